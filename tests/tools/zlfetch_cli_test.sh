#!/usr/bin/env bash
# The zlfetch front end's version, help and error exits.
set -u
zlfetch=$1
fail() { echo "FAIL: $*"; exit 1; }
out=$("$zlfetch" version) || fail "version exited $?"
[[ $out == zlfetch\ * ]] || fail "version printed '$out'"
"$zlfetch" --help | grep -q '^usage: zlfetch' || fail "--help"
"$zlfetch" nosuch 2>/dev/null; [ $? -eq 2 ] || fail "unknown command must exit 2"
"$zlfetch" 2>/dev/null; [ $? -eq 2 ] || fail "no command must exit 2"
"$zlfetch" version --bogus 2>/dev/null; [ $? -eq 2 ] || fail "unknown option must exit 2"
echo "zlfetch cli: ok"
