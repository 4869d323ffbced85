#!/usr/bin/env python3
"""Tests of the Debian package, made by CPack from a build folder's programs.

    package_test.py build      --cpack-config FILE --out DIR
    package_test.py contents   --out DIR --app-id ID
    package_test.py desktop    --out DIR --app-id ID
    package_test.py metainfo   --out DIR --app-id ID --version V --screenshot PNG
    package_test.py lintian    --out DIR
    package_test.py service    --out DIR
    package_test.py completion --out DIR --zlfetch BIN --cli BIN

`build` makes DIR/zephyrloader_*.deb and unpacks it into DIR/root; the other
checks read those. Each prints "N passed, N failed", or "SKIP_ALL: ..." when a
tool it needs is not installed (scripts/setup installs them).
"""
import argparse
import configparser
import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

from check_man_options import OPTION  # one definition of what an option token is


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAILED: {what}" + (f"\n{detail}" if detail else ""))

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0


def need(*tools):
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        print(f"SKIP_ALL: {', '.join(missing)} not installed (scripts/setup installs them)")
        sys.exit(0)


def the_deb(out):
    debs = glob.glob(os.path.join(out, "zephyrloader_*.deb"))
    if len(debs) != 1:
        raise SystemExit(f"expected one package in {out}, found {debs} (the build test makes it)")
    return debs[0]


def run(command, **kw):
    return subprocess.run(command, capture_output=True, text=True, **kw)


def build(args):
    need("cpack", "dpkg-deb", "dpkg-shlibdeps")
    for old in glob.glob(os.path.join(args.out, "zephyrloader_*.deb")):
        os.remove(old)
    shutil.rmtree(os.path.join(args.out, "root"), ignore_errors=True)
    made = run(["cpack", "--config", args.cpack_config, "-B", args.out])
    print(made.stdout + made.stderr)
    if made.returncode != 0:
        return 1
    deb = the_deb(args.out)
    subprocess.run(["dpkg-deb", "-x", deb, os.path.join(args.out, "root")], check=True)
    print(f"made {deb}")
    print("1 passed, 0 failed")
    return 0


def expected_files(app_id):
    files = ["/usr/bin/zephyrloader", "/usr/bin/zephyrloader-cli", "/usr/bin/zlfetch", "/usr/bin/zlrendezvous",
             f"/usr/share/applications/{app_id}.desktop", f"/usr/share/metainfo/{app_id}.metainfo.xml",
             f"/usr/share/icons/hicolor/scalable/apps/{app_id}.svg",
             "/usr/share/man/man1/zephyrloader.1.gz", "/usr/share/man/man1/zephyrloader-cli.1.gz",
             "/usr/share/man/man1/zlfetch.1.gz", "/usr/share/man/man8/zlrendezvous.8.gz",
             "/usr/share/bash-completion/completions/zlfetch",
             "/usr/share/bash-completion/completions/zephyrloader-cli",
             "/lib/systemd/system/zlrendezvous.service", "/etc/default/zlrendezvous",
             "/usr/share/doc/zephyrloader/copyright", "/usr/share/doc/zephyrloader/changelog.gz"]
    files += [f"/usr/share/icons/hicolor/{n}x{n}/apps/{app_id}.png" for n in (48, 128, 256)]
    return files


def contents(args, c):
    need("dpkg-deb")
    deb = the_deb(args.out)
    listing = run(["dpkg-deb", "--contents", deb], check=True).stdout
    entries = {}
    for line in listing.splitlines():
        fields = line.split(None, 5)
        entries[fields[5].lstrip(".").split(" -> ")[0]] = fields[0]
    for path in expected_files(args.app_id):
        c.check(path in entries, f"the package lacks {path}")
    for name in ("zephyrloader", "zephyrloader-cli", "zlfetch", "zlrendezvous"):
        c.check(entries.get(f"/usr/bin/{name}", "").startswith("-rwxr-xr-x"), f"/usr/bin/{name} is not 0755")
    # Nothing enables the service: no wants/ links of its own, no unit under /etc.
    c.check(not any(p.startswith("/etc/systemd") for p in entries), "the package ships files under /etc/systemd")
    control = run(["dpkg-deb", "--field", deb, "Version", "Depends", "Package", "Architecture"], check=True).stdout
    print(control)
    # Dependencies from dpkg-shlibdeps: the Qt and C++ libraries appear with their versions.
    c.check(re.search(r"libqt6widgets6 \(>= ", control) is not None, "Depends has no versioned libqt6widgets6")
    c.check(re.search(r"libstdc\+\+6 \(>= ", control) is not None, "Depends has no versioned libstdc++6")
    return c.finish()


def read_desktop(path):
    parser = configparser.RawConfigParser(interpolation=None, delimiters=("=",))
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    return parser["Desktop Entry"]


def desktop(args, c):
    need("desktop-file-validate")
    root = os.path.join(args.out, "root")
    path = os.path.join(root, f"usr/share/applications/{args.app_id}.desktop")
    checked = run(["desktop-file-validate", path])
    c.check(checked.returncode == 0 and not checked.stdout.strip(), "desktop-file-validate complains",
            checked.stdout + checked.stderr)
    entry = read_desktop(path)
    categories = entry.get("Categories", "").split(";")
    c.check("Network" in categories and "FileTransfer" in categories, f"categories {categories}")
    c.check(entry.get("Name") and re.search(r"[\u4e00-\u9fff]", entry.get("Name[zh_CN]", "")),
            "no English Name next to a Chinese Name[zh_CN]")
    c.check(entry.get("Terminal") == "false", "the entry asks for a terminal")
    program = entry.get("Exec", "").split()[0] if entry.get("Exec") else ""
    c.check(os.path.isfile(os.path.join(root, "usr/bin", program)), f"Exec names {program!r}, not a program in /usr/bin")
    c.check(entry.get("Icon") == args.app_id, f"Icon is {entry.get('Icon')!r}")
    return c.finish()


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def metainfo(args, c):
    need("appstreamcli")
    path = os.path.join(args.out, "root", f"usr/share/metainfo/{args.app_id}.metainfo.xml")
    checked = run(["appstreamcli", "validate", "--no-net", path])
    c.check(checked.returncode == 0, "appstreamcli validate --no-net fails", checked.stdout + checked.stderr)
    text = open(path, encoding="utf-8").read()
    c.check(f'<release version="{args.version}"' in text, f"no release {args.version} in the metainfo")
    c.check(f"<launchable type=\"desktop-id\">{args.app_id}.desktop</launchable>" in text, "no launchable entry")
    image = re.search(r'<image type="source" width="(\d+)" height="(\d+)">([^<]+)</image>', text)
    c.check(image is not None, "no source screenshot")
    size = png_size(args.screenshot) if os.path.exists(args.screenshot) else None
    c.check(size is not None and os.path.getsize(args.screenshot) > 10000, f"no screenshot at {args.screenshot}")
    if image and size:
        c.check((int(image.group(1)), int(image.group(2))) == size,
                f"the metainfo says {image.group(1)}x{image.group(2)}, the screenshot is {size[0]}x{size[1]}")
        c.check(image.group(3).endswith("/" + os.path.basename(args.screenshot)),
                f"the screenshot URL {image.group(3)} does not name {os.path.basename(args.screenshot)}")
    return c.finish()


def lintian(args, c):
    need("lintian")
    checked = run(["lintian", "--fail-on", "error,warning", "--display-info", the_deb(args.out)])
    report = "\n".join(l for l in (checked.stdout + checked.stderr).splitlines() if not l.startswith("running with root"))
    print(report)
    c.check(checked.returncode == 0, "lintian reports errors or warnings (README: the Debian package)")
    return c.finish()


def service(args, c):
    need("systemd-analyze")
    root = os.path.join(args.out, "root")
    unit_text = open(os.path.join(root, "lib/systemd/system/zlrendezvous.service"), encoding="utf-8").read()
    for line in ("DynamicUser=yes", "ProtectSystem=strict", "NoNewPrivileges=yes", "ProtectHome=yes",
                 "PrivateTmp=yes", "PrivateDevices=yes", "CapabilityBoundingSet=CAP_NET_BIND_SERVICE",
                 "EnvironmentFile=-/etc/default/zlrendezvous"):
        c.check(re.search(rf"^{re.escape(line)}$", unit_text, re.M) is not None, f"the unit lacks {line}")
    with tempfile.TemporaryDirectory() as tmp:
        # The unit as installed, but with the program where it was unpacked.
        binary = os.path.join(root, "usr/bin/zlrendezvous")
        unit = os.path.join(tmp, "zlrendezvous.service")
        with open(unit, "w", encoding="utf-8") as f:
            f.write(unit_text.replace("ExecStart=/usr/bin/zlrendezvous", f"ExecStart={binary}"))
        verified = run(["systemd-analyze", "verify", "--man=no", unit])
        c.check(verified.returncode == 0 and not verified.stderr.strip(), "systemd-analyze verify complains",
                verified.stdout + verified.stderr)
        security = run(["systemd-analyze", "security", "--offline=yes", unit])
        level = re.search(r"Overall exposure level for \S+: ([0-9.]+)", security.stdout + security.stderr)
        print(level.group(0) if level else security.stdout + security.stderr)
        c.check(level is not None and float(level.group(1)) <= 2.0, "the service's exposure is above 2.0")

    # The command line the unit runs, with the settings of /etc/default, is one
    # zlrendezvous takes (on loopback and a free port instead of port 82).
    settings = dict(re.findall(r"^(ZLRENDEZVOUS_\w+)=(\S*)$",
                               open(os.path.join(root, "etc/default/zlrendezvous"), encoding="utf-8").read(), re.M))
    c.check(set(settings) == {"ZLRENDEZVOUS_BIND", "ZLRENDEZVOUS_PORT", "ZLRENDEZVOUS_EXPIRE"},
            f"/etc/default/zlrendezvous sets {sorted(settings)}")
    exec_line = re.search(r"^ExecStart=(.*)$", unit_text, re.M).group(1)
    settings.update(ZLRENDEZVOUS_BIND="127.0.0.1", ZLRENDEZVOUS_PORT="0")
    words = [re.sub(r"\$\{(\w+)\}", lambda m: settings.get(m.group(1), "UNSET"), w) for w in exec_line.split()]
    words[0] = os.path.join(root, words[0].lstrip("/"))
    server = subprocess.Popen(words, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    first = server.stdout.readline()
    server.send_signal(signal.SIGTERM)
    rest, _ = server.communicate(timeout=10)
    c.check(first.startswith("zlrendezvous listening on 127.0.0.1:") and server.returncode == 0,
            f"{' '.join(words)} did not run (exit {server.returncode})", first + rest)
    return c.finish()


COMPLETE = r'''
source /usr/share/bash-completion/bash_completion
source "$1"; function_name=$2; shift 2
COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
COMPREPLY=()
"$function_name" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\n' "${COMPREPLY[@]}"
'''


def complete(script, function, words, cwd):
    done = run(["bash", "-c", COMPLETE, "complete", script, function, *words], cwd=cwd)
    return set(filter(None, done.stdout.split("\n")))


def help_options(command):
    done = run(command, timeout=30)
    return set(OPTION.findall(done.stdout + done.stderr))


def completion(args, c):
    need("bash")
    if not os.path.exists("/usr/share/bash-completion/bash_completion"):
        print("SKIP_ALL: bash-completion not installed (scripts/setup installs it)")
        return 0
    completions = os.path.join(args.out, "root", "usr/share/bash-completion/completions")
    zlfetch, cli = os.path.join(completions, "zlfetch"), os.path.join(completions, "zephyrloader-cli")
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("game.torrent", "notes.txt"):
            open(os.path.join(tmp, name), "w").close()
        os.mkdir(os.path.join(tmp, "sub"))
        c.check(complete(zlfetch, "_zlfetch", ["zlfetch", ""], tmp) >= {"get", "seed", "info", "check", "version"},
                "zlfetch's commands are not offered")
        c.check(complete(zlfetch, "_zlfetch", ["zlfetch", "info", ""], tmp) == {"game.torrent", "sub"},
                "the torrent argument is not completed from .torrent files and folders")
        c.check(complete(zlfetch, "_zlfetch", ["zlfetch", "get", "--dir", "x", "--port", "5", ""], tmp)
                == {"game.torrent", "sub"}, "option values are taken for the torrent argument")
        c.check(complete(zlfetch, "_zlfetch", ["zlfetch", "get", "game.torrent", ""], tmp) == set(),
                "a second torrent argument is offered")
        c.check(complete(zlfetch, "_zlfetch", ["zlfetch", "get", "--dir", ""], tmp) == {"sub"},
                "--dir is not completed with folders")
        # Every option offered is one the program prints, and every option it
        # prints is offered somewhere, whatever the layout of its --help.
        offered = {}
        for command in ("get", "seed", "info", "check"):
            offered[command] = complete(zlfetch, "_zlfetch", ["zlfetch", command, "--"], tmp)
            known = help_options([args.zlfetch, command, "--help"])
            c.check(offered[command] and offered[command] <= known,
                    f"zlfetch {command} offers {sorted(offered[command] - known)}, which its --help does not print")
        printed = help_options([args.zlfetch, "--help"]) - {"-h"}
        c.check(printed <= set().union(*offered.values()),
                f"zlfetch prints {sorted(printed - set().union(*offered.values()))}, which no command offers")
        cli_offered = complete(cli, "_zephyrloader_cli", ["zephyrloader-cli", "--"], tmp)
        cli_printed = help_options([args.cli, "--help"])
        c.check(cli_offered - {"--help"} == cli_printed - {"-h", "--help"},
                f"zephyrloader-cli: offered {sorted(cli_offered)} against --help {sorted(cli_printed)}")
        c.check(complete(cli, "_zephyrloader_cli", ["zephyrloader-cli", "--verify", ""], tmp) == {"yes", "no"},
                "--verify is not completed with yes and no")
    return c.finish()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["build", "contents", "desktop", "metainfo", "lintian", "service",
                                         "completion"])
    parser.add_argument("--out", required=True)
    parser.add_argument("--cpack-config")
    parser.add_argument("--app-id")
    parser.add_argument("--version")
    parser.add_argument("--screenshot")
    parser.add_argument("--zlfetch")
    parser.add_argument("--cli")
    args = parser.parse_args()
    if args.what == "build":
        return build(args)
    return globals()[args.what](args, Checks())


if __name__ == "__main__":
    sys.exit(main())
