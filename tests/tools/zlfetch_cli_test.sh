#!/usr/bin/env bash
# The zlfetch front end's version, help and error exits.
set -u
zlfetch=$1
fail() { echo "FAIL: $*"; exit 1; }
out=$("$zlfetch" version) || fail "version exited $?"
[[ $out == zlfetch\ * ]] || fail "version printed '$out'"
[ "$("$zlfetch" --version)" = "$out" ] || fail "--version printed '$("$zlfetch" --version)', not '$out'"
"$zlfetch" --help | grep -q '^usage: zlfetch' || fail "--help"
"$zlfetch" --help | grep -q -- '--version' || fail "--help does not name --version"
"$zlfetch" nosuch 2>/dev/null; [ $? -eq 2 ] || fail "unknown command must exit 2"
"$zlfetch" 2>/dev/null; [ $? -eq 2 ] || fail "no command must exit 2"
"$zlfetch" version --bogus 2>/dev/null; [ $? -eq 2 ] || fail "unknown option must exit 2"
# A torrent that cannot load names the reason and the byte, whichever command reads it.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'd8:announce3:abc4:infod4:name1:x12:piece lengthi16384e6:pieces20:abc' >"$work/bad.torrent"
expect_reason() {  # expect_reason ARGS...: exit 2 and the reason with its byte on stderr
  local err rc
  err=$("$zlfetch" "$@" 2>&1 >/dev/null)
  rc=$?
  [ $rc -eq 2 ] || fail "zlfetch $* exited $rc"
  [[ $err == *"truncated or declares an impossible length (at byte 62)"* ]] || fail "zlfetch $* printed '$err'"
}
expect_reason info "$work/bad.torrent"
expect_reason check "$work/bad.torrent" --dir "$work"
expect_reason get "$work/bad.torrent" --dir "$work/out" --source http://127.0.0.2:1/x
# After "--" a name that looks like an option is the torrent's.
cp "$work/bad.torrent" "$work/--bad.torrent"
(cd "$work" && expect_reason info -- --bad.torrent)
# A seed's upload limit above what the engine takes (32766 KiB/s) is refused
# before the torrent is read, not turned into "no limit".
err=$("$zlfetch" seed "$work/bad.torrent" --dir "$work" --upload-limit 32767 2>&1 >/dev/null)
rc=$?
[ $rc -eq 2 ] || fail "seed --upload-limit 32767 exited $rc"
[[ $err == *"--upload-limit"*32766* ]] || fail "seed --upload-limit 32767 printed '$err'"
echo "zlfetch cli: ok"
