#!/usr/bin/env python3
"""Checks a manual page against its program's --help, both ways, whatever the
help's layout: every option token that --help prints ("--name", "-x",
"-platform") must appear in the page, and every option that the page's
OPTIONS section lists as an item must be one --help prints (-h and --help
excepted: some parsers print them, some do not). Also runs groff over the
page and fails on any warning.

    check_man_options.py --page PAGE -- PROGRAM [ARGS...]

More than one "-- PROGRAM ARGS" may follow (zlfetch: "zlfetch --help" and
"zlfetch get --help", ...); their options are taken together.
Prints "N passed, N failed".
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

# An option token: a dash or two and a letter, not inside a word, a path or
# a number ("HTTP-looking", "DIR/-x", "-1" are not options).
OPTION = re.compile(r"(?<![\w\-/.$])(--?[A-Za-z][A-Za-z0-9-]*)")
HELP_ONLY = {"-h", "--help"}


def help_options(command):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    run = subprocess.run(command, capture_output=True, text=True, timeout=30, env=env)
    text = run.stdout + run.stderr
    if run.returncode != 0:
        raise SystemExit(f"{' '.join(command)} exited {run.returncode}:\n{text}")
    return set(OPTION.findall(text))


def page_text(roff):
    """The page's words with the roff escapes that options go through undone."""
    text = roff.replace("\\-", "-").replace("\\e", "\\")
    text = re.sub(r"\\f(\[[^\]]*\]|\(..|.)", "", text)  # font changes
    return re.sub(r"\\\(..", " ", text)                # named characters


def listed_options(roff):
    """Options named by the item tags (.TP lines) of the OPTIONS section(s)."""
    options, section, tag_next = set(), "", False
    for line in roff.splitlines():
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
        elif line.startswith(".TP"):
            tag_next = True
            continue
        elif tag_next and section == "OPTIONS":
            options |= set(OPTION.findall(page_text(line)))
        tag_next = False
    return options


def groff_warnings(path):
    if not shutil.which("groff") or not shutil.which("preconv"):
        return None
    pre = subprocess.run(["preconv", path], capture_output=True, check=True)
    run = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8"], input=pre.stdout, capture_output=True)
    return run.stderr.decode(errors="replace").strip()


def main():
    argv = sys.argv[1:]
    if "--" not in argv:
        raise SystemExit(__doc__)
    head = argv[:argv.index("--")]
    commands, current = [], None
    for word in argv[argv.index("--"):]:
        if word == "--":
            current = []
            commands.append(current)
        else:
            current.append(word)
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    args = parser.parse_args(head)

    roff = open(args.page, encoding="utf-8").read()
    printed = set()
    for command in commands:
        printed |= help_options(command)
    named = set(OPTION.findall(page_text(roff)))
    listed = listed_options(roff)
    page = os.path.basename(args.page)

    failures = []
    missing = sorted(printed - named)
    if missing:
        failures.append(f"{page} does not name {', '.join(missing)}, which --help prints")
    unknown = sorted(listed - printed - HELP_ONLY)
    if unknown:
        failures.append(f"{page} lists {', '.join(unknown)}, which --help does not print")
    if not printed:
        failures.append("--help printed no option at all")
    warnings = groff_warnings(args.page)
    if warnings:
        failures.append(f"groff warns about {page}:\n{warnings}")
    for f in failures:
        print("FAILED:", f)
    checks = 3 if warnings is not None else 2
    print(f"{page}: {len(printed)} options in --help, {len(listed)} listed in the page")
    print(f"{checks - min(len(failures), checks)} passed, {min(len(failures), checks)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
