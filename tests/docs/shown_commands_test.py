#!/usr/bin/env python3
"""Every command that the README and the operator's README.txt show, run and checked
for the outcome they describe. Each is quoted as the document shows it, so that a
document that changes a command fails here until the command is checked again.
Where a command needs a recorder, the updater is the virtual runner under the same
name (a shim on PATH); what only Windows runs is run under Wine by
tests/windows/updater_under_wine.sh, and the test command itself by CI.

Usage: shown_commands_test.py SOURCE BUILD"""
import json
import os
import pty
import select
import subprocess
import sys
import tempfile
import time

SOURCE, BUILD = (os.path.abspath(path) for path in sys.argv[1:3])
RUNNER = os.path.join(BUILD, "sim", "qdp_virtual_updater")
DOCS = {name: open(os.path.join(SOURCE, name)).read() for name in ("README.md", "resources/README-operator.txt.in")}
failures = []
checked = 0


def shown(document, command):
    """The command as the document shows it; a failure when it does not."""
    if command not in DOCS[document]:
        failures.append("%s no longer shows: %s" % (document, command))
    return command


def expect(condition, what):
    global checked
    checked += 1
    if not condition:
        failures.append(what)


def dialogue(command, keys, cwd, env=None, seconds=120):
    """Runs a shell command on a terminal, typing its keys one at each prompt (every
    prompt ends "to exit."); its exit code and screen."""
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(cwd)
        os.execve("/bin/sh", ["sh", "-c", command], env or os.environ)
    screen, typed, end = b"", 0, time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], 0.2)
        try:
            chunk = os.read(fd, 65536) if ready else b""
        except OSError:
            break
        if ready and not chunk:
            break
        screen += chunk
        while typed < min(len(keys), screen.count(b"to exit.")):
            os.write(fd, keys[typed:typed + 1])
            typed += 1
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), screen.decode("latin-1")


def run(command, cwd, env=None):
    done = subprocess.run(["sh", "-c", command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, start_new_session=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def read(path):
    """A file the command should have written; empty when it did not."""
    return open(path).read() if os.path.exists(path) else ""


def updater_shim(folder, *options):
    """QDp_FW_FirstUpdater on PATH: the virtual runner, its recorder set up by options."""
    path = os.path.join(folder, "QDp_FW_FirstUpdater")
    with open(path, "w") as shim:
        shim.write('#!/bin/sh\nexec "%s" %s "$@"\n' % (RUNNER, " ".join(options)))
    os.chmod(path, 0o755)
    return dict(os.environ, PATH=folder + ":" + os.environ["PATH"], HOME=folder)


def main():
    work = tempfile.mkdtemp()
    readme, operator = "README.md", "resources/README-operator.txt.in"
    for folder in ("build", "examples"):  # the commands' paths, as from the source tree
        os.symlink(os.path.join(SOURCE, folder), os.path.join(work, folder))

    code, screen = dialogue(shown(readme, "scripts/demo.sh"), b"YLY ", SOURCE, seconds=600)
    expect(code == 0 and "Disconnect recorder to apply firmware changes." in screen, "demo.sh: %d %r" % (code,
                                                                                                   screen[-300:]))

    # After a failed or interrupted update: Y L Y, then the run again completes.
    code, screen = dialogue(shown(readme, "build/linux/sim/qdp_virtual_updater --fault unplug-at=3000 --state s.json"),
                            b"YLY ", work)
    expect(code == 2 and "Failed" in screen, "unplugged at 3000: %d %r" % (code, screen[-200:]))
    code, screen = dialogue(shown(readme, "build/linux/sim/qdp_virtual_updater --resume s.json"), b"YLY ", work)
    expect(code == 0 and "Disconnect recorder" in screen, "resumed: %d %r" % (code, screen[-200:]))

    # The switches, each as the updater's words to a recorder (the virtual one), with
    # their outcome.
    env = updater_shim(work, "--drive", "2", "--firmware", "unavailable")
    for words, document, keys, code, text in (
            ("QDp_FW_FirstUpdater", readme, b"YLY ", 0, "Disconnect recorder"),
            ("QDp_FW_FirstUpdater diag", operator, b"YLY ", 0, "Replacing Boot Loader"),
            ("QDp_FW_FirstUpdater --yes", operator, b"", 0, "Disconnect recorder"),
            ("QDp_FW_FirstUpdater --verify", operator, b"YLY ", 0, "Disconnect recorder"),
            ("QDp_FW_FirstUpdater --yes --device \\\\.\\PHYSICALDRIVE2", operator, b"", 0, "Disconnect recorder"),
            ("QDp_FW_FirstUpdater --list [--json]", operator, b"", 0, "firmware unavailable"),
            ("QDp_FW_FirstUpdater --all", operator, b"YLY ", 0, "unavailable -> 2.5: updated"),
            ("QDp_FW_FirstUpdater --version", operator, b"", 0, "Offers firmware version"),
            ("QDp_FW_FirstUpdater --help", operator, b"", 0, "Usage: QDp_FW_FirstUpdater")):
        command = shown(document, words).replace(" [--json]", "").replace("\\\\", "'\\\\").replace("DRIVE2", "DRIVE2'")
        got, screen = dialogue(command, keys, work, env)
        expect(got == code and text in screen, "%s: exit code %d, %r" % (words, got, screen[-300:]))

    # Every connected recorder in turn, unattended: the listing's JSON drives the updates.
    loop = DOCS[readme][DOCS[readme].index("QDp_FW_FirstUpdater --list --json |"):].split("\n```")[0]
    code, out, err = run(loop, work, updater_shim(work, "--drive", "3"))
    expect(code == 0 and out.count("Disconnect recorder") == 1 and "not updated" not in out,
           "the loop over --list --json: %d %r %r" % (code, out[-300:], err[-300:]))

    # Every recorder at once, unattended, the JSON summary kept.
    shown(operator, "QDp_FW_FirstUpdater --all --yes --json > summary.json")
    code, out, err = run(shown(readme, 'QDp_FW_FirstUpdater --all --yes --json > summary.json || echo "not every '
                               'recorder was updated (exit $?)"'), work, updater_shim(work, "--recorders", "3"))
    summary = read(os.path.join(work, "summary.json"))
    expect(code == 0 and out == "" and [e["outcome"] for e in json.loads(summary or "[]")] == ["updated"] * 3,
           "--all --yes --json: %d %r %r" % (code, summary[-300:], err[-300:]))

    # The command log, as a technician takes it.
    env = updater_shim(work)
    code, _ = dialogue(shown(readme, "QDP_LOG=$HOME/recorder-update.log QDp_FW_FirstUpdater"), b"n", work, env)
    log = read(os.path.join(work, "recorder-update.log"))
    expect(code == 0 and " 12 00 00 " in log and 'console "Press \'Y\' to load' in log, "QDP_LOG: %r" % log[:300])

    # The library, installed and used as the README shows.
    commands = [shown(readme, line) for line in (
        'cmake --install build/linux --prefix "$HOME/.local"',
        "export PKG_CONFIG_PATH=$HOME/.local/lib/pkgconfig",
        'cc examples/list_recorders.c -o list_recorders $(pkg-config --cflags --libs QDp_FW_FirstUpdater) \\\n'
        '   -Wl,-rpath,"$(pkg-config --variable=libdir QDp_FW_FirstUpdater)"',
        "./list_recorders")]
    code, out, err = run(" && ".join(c.replace("\\\n", "") for c in commands), work, dict(os.environ, HOME=work))
    expect(code == 0 and "recorder(s) found" in out, "the library: %d %r %r" % (code, out, err[-300:]))

    # The Debian package: built, installed as apt would (simulated: the test machine
    # keeps its own packages), its updater run and its manual page shown.
    package = "./build/package/qdp-fw-firstupdater_1.3_amd64.deb"
    code, out, err = run(shown(readme, "cpack --preset linux-deb"), SOURCE)
    expect(code == 0 and os.path.exists(os.path.join(SOURCE, package)), "cpack: %d %r" % (code, err[-300:]))
    shown(readme, "sudo apt install " + package)
    code, out, err = run("apt-get install --simulate " + package, SOURCE)
    expect(code == 0 and "Inst qdp-fw-firstupdater" in out, "apt install: %d %r" % (code, (out + err)[-300:]))
    root = os.path.join(work, "root")
    subprocess.run(["dpkg-deb", "-x", os.path.join(SOURCE, package), root], check=True)
    installed = os.path.join(root, "usr", "bin", shown(readme, "QDp_FW_FirstUpdater "))
    code, screen = dialogue(installed.strip() + "; echo exit $?", b"\x1b", work)
    expect("Device is not connected." in screen and "exit 0" in screen, "the package's updater: %r" % screen[-200:])
    shown(readme, "man QDp_FW_FirstUpdater")
    page = os.path.join(root, "usr", "share", "man", "man1", "QDp_FW_FirstUpdater.1.gz")
    code, out, err = run("gzip -dc %s | groff -man -Tascii 2>&1 | col -b | tr -s ' ' | grep -c 'update the firmware'"
                         % page, work)
    expect(out.strip() not in ("", "0"), "the manual page: %r" % (out + err))
    rule = open(os.path.join(SOURCE, "resources", "70-qdp-recorder.rules")).read().strip().split("\n")[-1]
    expect(rule in DOCS[readme], "the README's udev rule differs from resources/70-qdp-recorder.rules")

    # What only Windows runs: under Wine, by the Windows tests, as it stands.
    wine = open(os.path.join(SOURCE, "tests", "windows", "updater_under_wine.sh")).read()
    for document, line in ((operator, "for /L %n in (0,1,8) do QDp_FW_FirstUpdater --yes --device "
                                      "\\\\.\\PHYSICALDRIVE%n"),
                           (operator, "set QDP_LOG=%USERPROFILE%\\Desktop\\recorder-update.log"),
                           (readme, "set QDP_LOG=%USERPROFILE%\\Desktop\\recorder-update.log"),
                           (operator, "QDp_FW_FirstUpdater.exe")):
        expect(shown(document, line) in wine, "updater_under_wine.sh does not run: " + line)

    # The test command itself, and the builds by hand: what CI runs (scripts/test.sh).
    for line in ("scripts/test.sh", "scripts/test.sh --quick",
                 "cmake --preset linux && cmake --build --preset linux && ctest --preset linux",
                 "cmake --preset windows-i686 && cmake --build --preset windows-i686",
                 "cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=Release && cmake --build build/plain"):
        shown(readme, line)

    for failure in failures:
        print("FAILED: " + failure)
    print("%d passed, %d failed" % (checked - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
