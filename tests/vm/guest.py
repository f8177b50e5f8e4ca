#!/usr/bin/env python3
"""Runs one scenario inside the test machine: the virtual recorder as a USB device
(qdp_usb_recorder), the real updater against it through usb-storage and sg, and the
kernel's own record of every SCSI command. Everything the host side checks goes to
/results: the scenario's record (result.json), the kernel's command trace, the
kernel log and the recorder's end state.

The kernel command line gives qdp.scenario, qdp.build (the Linux build tree) and
qdp.source (the source tree)."""
import fcntl
import json
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import termios
import threading
import time
import traceback

RESULTS = "/results"
TRACING = "/sys/kernel/tracing"
NON_ROOT = 1000
# The machine's own folder, for what an unprivileged user must reach: the source and
# build trees may lie in a folder that only root may enter.
STAGING = "/opt/qdp"


def command_line():
    values = {}
    for word in open("/proc/cmdline").read().split():
        if word.startswith("qdp.") and "=" in word:
            key, value = word[4:].split("=", 1)
            values[key] = value
    return values


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def recorder_nodes():
    """The recorders' /dev/sgN, found by their identity."""
    base = "/sys/class/scsi_generic"
    found = []
    for name in sorted(os.listdir(base)) if os.path.isdir(base) else []:
        try:
            vendor = open(os.path.join(base, name, "device", "vendor")).read().strip()
            model = open(os.path.join(base, name, "device", "model")).read().strip()
        except OSError:
            continue
        if vendor == "Cool" and model == "Mass Storage" and os.path.exists("/dev/" + name):
            found.append("/dev/" + name)
    return found


def recorder_node():
    """The recorder's /dev/sgN; None while it is away."""
    return (recorder_nodes() or [None])[0]


def scsi_host(node):
    """The SCSI host ("hostN") of a generic node."""
    return re.search(r"/(host\d+)/", os.path.realpath("/sys/class/scsi_generic/%s/device" % node[5:])).group(1)


def progress(text):
    """A line on the machine's console, for whoever watches a long scenario."""
    print("guest: " + text, flush=True)


def wait_for(condition, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return None


class NodeOwner(threading.Thread):
    """Gives the recorder's node to a user whenever it appears."""

    def __init__(self, uid):
        super().__init__(daemon=True)
        self.uid = uid
        self.stop = False
        self.count = 0

    def run(self):
        while not self.stop:
            node = recorder_node()
            try:
                if node is not None and os.stat(node).st_uid != self.uid:
                    os.chown(node, self.uid, -1)
                    self.count += 1
            except OSError:
                pass
            time.sleep(0.01)


class Session:
    """A program on a pseudo-terminal of its own (its controlling terminal, where its
    keys come from), standard error apart; standard output on the terminal, or in a
    pipe of its own."""

    def __init__(self, argv, uid=None, env=None, output_to_pipe=False):
        self.master, slave = os.openpty()
        error_read, error_write = os.pipe()
        output_read, output_write = os.pipe() if output_to_pipe else (None, None)
        self.pid = os.fork()
        if self.pid == 0:
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
            os.dup2(slave, 0)
            os.dup2(output_write if output_to_pipe else slave, 1)
            os.dup2(error_write, 2)
            if uid is not None:
                os.setgroups([])
                os.setgid(uid)
                os.setuid(uid)
            os.execve(argv[0], argv, env if env is not None else dict(os.environ))
        os.close(slave)
        os.close(error_write)
        if output_to_pipe:
            os.close(output_write)
        self.errors = error_read
        self.output = output_read
        self.screen = b""
        self.stderr = b""
        self.piped = b""
        self.status = None

    def pump(self, timeout):
        watched = [self.master, self.errors] + ([self.output] if self.output is not None else [])
        ready, _, _ = select.select(watched, [], [], timeout)
        for fd in ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b""
            if fd == self.master:
                self.screen += chunk
            elif fd == self.output:
                self.piped += chunk
            elif chunk:
                self.stderr += chunk

    def wait_for(self, text, seconds, in_stderr=False, in_pipe=False, shown=lambda x: x):
        def seen():
            source = self.stderr if in_stderr else self.piped if in_pipe else self.screen
            return text in shown(source)

        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if seen():
                return True
            self.pump(0.05)
            if not self.running():
                self.pump(0.2)
                return seen()
        return False

    def type(self, keys):
        os.write(self.master, keys)

    def running(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = status
        return self.status is None

    def wait_exit(self, seconds):
        end = time.monotonic() + seconds
        while self.running() and time.monotonic() < end:
            self.pump(0.05)
        self.pump(0.2)
        if self.status is None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            return None
        return os.waitstatus_to_exitcode(self.status)


class Rig:
    def __init__(self, values):
        self.build = values["build"]
        self.source = values["source"]
        self.updater = os.path.join(self.build, "QDp_FW_FirstUpdater")
        self.recorder = None
        self.result = {"scenario": values["scenario"]}

    def set_up_kernel(self):
        os.makedirs("/dev/pts", exist_ok=True)
        subprocess.run(["mount", "-t", "devpts", "devpts", "/dev/pts", "-o", "ptmxmode=0666,mode=0620"],
                       check=False)
        subprocess.run(["mount", "-t", "configfs", "none", "/sys/kernel/config"], check=False)
        subprocess.run(["mount", "-t", "tracefs", "nodev", TRACING], check=False)
        write(os.path.join(TRACING, "buffer_size_kb"), "65536")
        write(os.path.join(TRACING, "events/scsi/scsi_dispatch_cmd_start/enable"), "1")
        write(os.path.join(TRACING, "tracing_on"), "1")
        hosts = {}
        for host in os.listdir("/sys/class/scsi_host"):
            hosts[host] = open("/sys/class/scsi_host/%s/proc_name" % host).read().strip()
        self.result["scsi_hosts_before"] = hosts
        self.result["generic_nodes_before"] = sorted(os.listdir("/sys/class/scsi_generic"))

    def start_recorder(self, *options, state="recorder_state.json"):
        self.recorder = subprocess.Popen(
            [os.path.join(self.build, "sim", "qdp_usb_recorder"), "--image",
             os.path.join(self.source, "resources", "FWC.bin"), "--state",
             os.path.join(RESULTS, state)] + list(options),
            stdout=open(os.path.join(RESULTS, "recorder.log"), "a"), stderr=subprocess.STDOUT)
        node = wait_for(recorder_node, 60)
        self.result["recorder_node"] = node
        if node is None:
            raise RuntimeError("the recorder did not appear as a generic SCSI node")
        return node

    def stop_recorder(self):
        if self.recorder is not None:
            self.recorder.send_signal(signal.SIGTERM)
            try:
                self.recorder.wait(30)
            except subprocess.TimeoutExpired:
                self.recorder.kill()
            self.result["recorder_exit"] = self.recorder.returncode

    def stage(self, source, uid):
        """A copy of a file where `uid` can reach it; the folder is that user's."""
        os.makedirs(STAGING, exist_ok=True)
        os.chown(STAGING, uid, uid)
        copy = os.path.join(STAGING, os.path.basename(source))
        shutil.copy(source, copy)
        return copy

    def updater_session(self, arguments=(), uid=None):
        updater, log = self.updater, os.path.join(RESULTS, "command.log")
        if uid is not None:
            # The updater and its log where the user can reach them, as they would be
            # in a user's own folders; the log is copied to the results at the end.
            updater = self.stage(self.updater, uid)
            log = os.path.join(STAGING, "command.log")
            self.staged_log = log
        open(log, "a").close()
        if uid is not None:
            os.chown(log, uid, -1)
        env = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "QDP_LOG": log}
        return Session([updater] + list(arguments), uid=uid, env=env)

    def finish(self, session, seconds=60):
        code = session.wait_exit(seconds)
        self.result["exit_code"] = code
        self.result["console"] = session.screen.decode("latin-1")
        self.result["stderr"] = session.stderr.decode("latin-1")
        if getattr(self, "staged_log", None):
            shutil.copy(self.staged_log, os.path.join(RESULTS, "command.log"))

    def answer(self, session, prompt, key, seconds=120):
        if not session.wait_for(prompt, seconds):
            raise RuntimeError("no prompt %r; the screen shows %r" % (prompt, session.screen[-400:]))
        session.type(key)

    def wait_end(self, session, seconds, what):
        if not session.wait_for(b"Press any key to exit.", seconds):
            raise RuntimeError("%s: %r" % (what, session.screen[-400:]))

    # --- scenarios ----------------------------------------------------------------

    def full_update(self):
        """A whole update with boot-loader replacement, as root: Y, L, Y."""
        self.start_recorder("--boot-loader", "older")
        session = self.updater_session()
        self.answer(session, b"or other key to exit.", b"Y")
        self.answer(session, b"confirm load", b"L")
        self.answer(session, b"upgrade Boot Loader", b"Y")
        started = time.monotonic()
        self.wait_end(session, 600, "the update did not end")
        self.result["update_seconds"] = round(time.monotonic() - started, 1)
        session.type(b" ")
        self.finish(session)

    def firmware_non_root(self):
        """A firmware-only update by a user who owns the recorder's node read-write,
        after each restart too: every new node is handed over as it appears, as a
        udev rule would do it (and just as late)."""
        handing = NodeOwner(NON_ROOT)
        handing.start()
        node = self.start_recorder("--boot-loader", "equal")
        wait_for(lambda: os.stat(node).st_uid == NON_ROOT, 10)
        session = self.updater_session(uid=NON_ROOT)
        self.answer(session, b"or other key to exit.", b"y")
        self.answer(session, b"confirm load", b"l")
        self.wait_end(session, 600, "the update did not end")
        session.type(b"x")
        self.finish(session)
        handing.stop = True
        self.result["nodes_handed_over"] = handing.count

    def no_access(self):
        """A user who can open no generic node: the updater waits and says why, once."""
        self.start_recorder("--boot-loader", "equal")
        session = self.updater_session(uid=NON_ROOT)
        session.wait_for(b"press Esc to exit.", 30)
        time.sleep(4)  # several seconds of scans
        session.pump(0.2)
        self.result["running_after_wait"] = session.running()
        session.type(b"\x1b\x1b")
        self.finish(session)

    def exclusive(self):
        """Another program holds the recorder's node exclusively, then lets it go."""
        node = self.start_recorder("--boot-loader", "equal")
        holder = os.open(node, os.O_RDWR | os.O_EXCL)
        session = self.updater_session()
        self.result["told_while_held"] = session.wait_for(b"in use by another program", 30,
                                                          in_stderr=True)
        time.sleep(2)
        self.result["running_while_held"] = session.running()
        os.close(holder)
        self.answer(session, b"or other key to exit.", b"n", 60)
        self.finish(session)

    def unplugged(self):
        """The recorder leaves at its first restart and never comes back."""
        self.start_recorder("--boot-loader", "equal", "--fault", "no-return")
        session = self.updater_session()
        self.answer(session, b"or other key to exit.", b"Y")
        self.answer(session, b"confirm load", b"L")
        started = time.monotonic()
        self.wait_end(session, 300, "no end after the recorder left")
        self.result["waited_seconds"] = round(time.monotonic() - started, 1)
        session.type(b" ")
        self.finish(session)

    def udev_rule(self):
        """The package's udev rule, as udev applies it to each generic node: the
        recorder's is tagged for the user at the seat, the ordinary disk's is not."""
        self.start_recorder("--boot-loader", "equal")
        os.makedirs("/etc/udev/rules.d", exist_ok=True)
        rule = os.path.join(self.source, "resources", "70-qdp-recorder.rules")
        write("/etc/udev/rules.d/70-qdp-recorder.rules", open(rule).read())
        tested = {}
        for name in sorted(os.listdir("/sys/class/scsi_generic")):
            run = subprocess.run(["udevadm", "test", "--action=add", "/sys/class/scsi_generic/" + name],
                                 capture_output=True, text=True, timeout=120)
            tested[name] = run.stdout + run.stderr
        self.result["udev"] = tested

    def wine32(self):
        """The Windows release executable under Debian's 32-bit Wine: the banner and the
        device wait on a console, Esc, a second copy refused, and --version read from
        its own resources."""
        release = os.path.join(RESULTS, "release", "bin", "QDp_FW_FirstUpdater.exe")
        env = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": "/root", "WINEARCH": "win32",
               "WINEPREFIX": "/tmp/wineprefix", "WINEDEBUG": "-all",
               "WINEDLLOVERRIDES": "mscoree,mshtml="}
        wine = "/usr/lib/wine/wine"
        started = time.monotonic()
        subprocess.run([wine, "wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        self.result["wineboot_seconds"] = round(time.monotonic() - started, 1)

        version = subprocess.run([wine, release, "--version"], env=env, stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=300)
        self.result["version_exit"] = version.returncode
        self.result["version_output"] = version.stdout.decode("latin-1")

        first = Session([wine, release], env=env)
        waited = first.wait_for(b"press Esc to exit.", 300, shown=console_text)
        self.result["first_console"] = console_text(first.screen).decode("latin-1")
        self.result["first_waits"] = waited and first.running()

        second = Session([wine, release], env=env, output_to_pipe=True)
        second.wait_for(b"Press any key to exit.", 300, in_pipe=True)
        time.sleep(2)
        second.pump(0.2)
        self.result["second_waited_for_a_key"] = second.running()
        second.type(b"k")
        self.result["second_exit"] = second.wait_exit(120)
        self.result["second_output"] = second.piped.decode("latin-1")

        self.result["first_still_waiting"] = first.running()
        # Wine's console holds a lone Esc as the start of a sequence; Esc twice is the
        # Esc key.
        first.type(b"\x1b\x1b")
        self.result["first_exit"] = first.wait_exit(120)

    def end_on_wine_console(self, session, seconds, name):
        """Waits for the closing prompt, answers it, and keeps under `name` how long it
        took from the last key, the exit code, the console and standard error."""
        started = time.monotonic()
        if not session.wait_for(b"Press any key to exit.", seconds, shown=console_text):
            raise RuntimeError("no end: %r" % console_text(session.screen)[-400:])
        self.result[name + "seconds"] = round(time.monotonic() - started, 1)
        session.type(b" ")
        self.result[name + "exit_code"] = session.wait_exit(120)
        self.result[name + "console"] = console_text(session.screen).decode("latin-1")
        self.result[name + "stderr"] = session.stderr.decode("latin-1")

    def wine32_update(self):
        """The Windows release, run by a user under Debian's 32-bit Wine, updates the
        recorder with boot-loader replacement: Y, L, Y on its console. Then, in the same
        machine, a recorder whose node the user may not open (told once, the wait goes
        on) that, once let in, never comes back from its first restart."""
        self.start_recorder("--boot-loader", "older")
        # Wine follows at most five device files per process and never forgets one,
        # and devtmpfs makes a returning disk's node anew: Wine's drives link to nodes
        # made once here, which keep their inode while the disk comes and goes.
        nodes = os.path.join(STAGING, "nodes")
        os.makedirs(nodes, exist_ok=True)
        for name in os.listdir("/sys/class/scsi_generic"):
            major, minor = open("/sys/class/scsi_generic/%s/dev" % name).read().split(":")
            os.mknod(os.path.join(nodes, name), stat.S_IFCHR | 0o600, os.makedev(int(major), int(minor)))
            os.chown(os.path.join(nodes, name), NON_ROOT, NON_ROOT)
        release = self.stage(os.path.join(RESULTS, "release", "bin", "QDp_FW_FirstUpdater.exe"), NON_ROOT)
        home = os.path.join(STAGING, "home")
        os.makedirs(home, exist_ok=True)
        os.chown(home, NON_ROOT, NON_ROOT)
        env = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": home, "USER": "recorder",
               "WINEARCH": "win32", "WINEPREFIX": os.path.join(home, "prefix"), "WINEDEBUG": "-all",
               "WINEDLLOVERRIDES": "mscoree,mshtml=", "QDP_LOG": "Z:" + STAGING.replace("/", "\\") +
               "\\command.log"}
        wine = "/usr/lib/wine/wine"

        def as_user():
            os.setgroups([])
            os.setgid(NON_ROOT)
            os.setuid(NON_ROOT)

        progress("wineboot as user %d" % NON_ROOT)
        subprocess.run([wine, "wineboot", "--init"], env=env, stdin=subprocess.DEVNULL, preexec_fn=as_user,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        progress("wineboot done")
        for drive in (0, 1):
            os.symlink(os.path.join(nodes, "sg%d" % drive),
                       os.path.join(env["WINEPREFIX"], "dosdevices", "physicaldrive%d" % drive))

        session = Session([wine, release], uid=NON_ROOT, env=env)
        answer_on_wine_console(session, b"YLY")
        self.end_on_wine_console(session, 900, "")
        self.stop_recorder()
        shutil.copy(os.path.join(STAGING, "command.log"), os.path.join(RESULTS, "command.log"))
        # The kernel's record of the update alone; the rest goes to a file of its own.
        with open(os.path.join(TRACING, "trace")) as trace, \
                open(os.path.join(RESULTS, "trace.txt"), "w") as out:
            out.writelines(trace)
        open(os.path.join(TRACING, "trace"), "w").close()
        self.trace_file = "no_return_trace.txt"

        # The node refused to the user, then let in: the recorder never returns.
        self.start_recorder("--boot-loader", "equal", "--fault", "no-return", state="no_return_state.json")
        recorder = os.path.join(nodes, os.path.basename(self.result["recorder_node"]))
        os.chown(recorder, 0, 0)
        env["QDP_LOG"] = env["QDP_LOG"].replace("command.log", "no_return.log")
        session = Session([wine, release], uid=NON_ROOT, env=env)
        self.result["refused_told"] = session.wait_for(b"PHYSICALDRIVE1", 120, in_stderr=True)
        time.sleep(3)
        session.pump(0.2)
        self.result["refused_waits"] = session.running()
        self.result["refused_stderr"] = session.stderr.decode("latin-1")
        os.chown(recorder, NON_ROOT, NON_ROOT)
        answer_on_wine_console(session, b"YL")
        self.end_on_wine_console(session, 400, "no_return_")
        shutil.copy(os.path.join(STAGING, "no_return.log"), os.path.join(RESULTS, "no_return.log"))

    def two_recorders(self):
        """Two recorders beside the ordinary disk: --list --json names both; then an
        unattended update of the one named, with no terminal, leaves the other alone."""
        self.start_recorder("--boot-loader", "older", "--controller", "dummy_udc.0")
        first = self.recorder
        self.recorder = subprocess.Popen(
            [os.path.join(self.build, "sim", "qdp_usb_recorder"), "--image",
             os.path.join(self.source, "resources", "FWC.bin"), "--state",
             os.path.join(RESULTS, "other_state.json"), "--boot-loader", "equal", "--firmware",
             "unavailable", "--controller", "dummy_udc.1"],
            stdout=open(os.path.join(RESULTS, "other_recorder.log"), "w"), stderr=subprocess.STDOUT)
        other = self.recorder
        nodes = wait_for(lambda: len(recorder_nodes()) == 2 and recorder_nodes(), 60)
        if not nodes:
            raise RuntimeError("two recorders did not appear: %s" % recorder_nodes())
        env = {"PATH": "/usr/bin:/bin", "QDP_LOG": os.path.join(RESULTS, "command.log")}
        listing = subprocess.run([self.updater, "--list", "--json"], env=env, stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=120)
        self.result["listing_exit"] = listing.returncode
        self.result["listing"] = listing.stdout.decode("latin-1")
        entries = json.loads(listing.stdout or b"[]")
        named = [e["node"] for e in entries if e["boot_loader_first"]]
        # Which recorder is which, as the listing tells: the first has the older boot loader.
        self.result["recorder_nodes"] = [named[0] if named else "?"] + [n for n in nodes if n not in named]
        self.result["untouched_hosts"] = [scsi_host(n) for n in nodes if n not in named] + \
            [h for h, name in self.result["scsi_hosts_before"].items() if name == "scsi_debug"]
        open(os.path.join(TRACING, "trace"), "w").close()  # the update run's commands alone
        update = subprocess.run([self.updater, "--yes", "--device", named[0]], env=env, start_new_session=True,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=900)
        self.result["exit_code"] = update.returncode
        self.result["console"] = update.stdout.decode("latin-1")
        self.result["stderr"] = update.stderr.decode("latin-1")
        self.recorder = other
        self.stop_recorder()
        self.recorder = first

    def interrupted_update(self):
        """The recorder is unplugged in the middle of the firmware programming; the
        updater ends; the recorder is plugged back in with what it kept. Run again, the
        updater meets a failed command in the firmware programming and ends; the
        recorder is unplugged and plugged back in once more, and the updater, run with
        --verify, finishes the update."""
        # About halfway through the firmware, after the boot loader was replaced.
        self.start_recorder("--boot-loader", "older", "--fault", "unplug-at=5400",
                            state="interrupted_state.json")
        session = self.updater_session()
        self.answer(session, b"or other key to exit.", b"Y")
        self.answer(session, b"confirm load", b"L")
        self.answer(session, b"upgrade Boot Loader", b"Y")
        self.wait_end(session, 600, "no end after the recorder was unplugged")
        session.type(b" ")
        self.result["first_exit"] = session.wait_exit(60)
        self.result["first_console"] = session.screen.decode("latin-1")
        self.stop_recorder()
        # Plugged back in; its 2000th command (the kernel's counted) fails: about the
        # middle of the firmware programming.
        self.start_recorder("--resume", os.path.join(RESULTS, "interrupted_state.json"),
                            "--fault", "fail-at=2000", state="failed_state.json")
        session = self.updater_session()
        self.answer(session, b"or other key to exit.", b"Y")
        self.answer(session, b"confirm load", b"L")
        self.wait_end(session, 600, "no end after the failed command")
        session.type(b" ")
        self.result["failed_exit"] = session.wait_exit(60)
        self.result["failed_console"] = session.screen.decode("latin-1")
        self.stop_recorder()
        # Plugged back in again; the kernel's record of the last run alone.
        self.start_recorder("--resume", os.path.join(RESULTS, "failed_state.json"))
        open(os.path.join(TRACING, "trace"), "w").close()
        session = self.updater_session(["--verify"])
        self.answer(session, b"or other key to exit.", b"Y")
        self.answer(session, b"confirm load", b"L")
        started = time.monotonic()
        self.wait_end(session, 900, "the last run did not end")
        self.result["update_seconds"] = round(time.monotonic() - started, 1)
        session.type(b" ")
        self.finish(session)

    def run(self, scenario):
        self.set_up_kernel()
        try:
            getattr(self, scenario)()
        finally:
            self.stop_recorder()


def answer_on_wine_console(session, keys):
    """Answers the prompts to load, to confirm and to upgrade, one key each."""
    prompts = (b"or other key to exit.", b"confirm load", b"upgrade Boot Loader")
    for prompt, key in zip(prompts, keys):
        if not session.wait_for(prompt, 300, shown=console_text):
            raise RuntimeError("no prompt %r; the console shows %r" % (prompt, console_text(session.screen)))
        # As an operator types: after the program reads keys. Wine's console echoes a
        # key typed before the read, as no console on Windows does.
        time.sleep(1)
        session.type(bytes([key]))
        progress("typed %c" % key)


def console_text(screen):
    """What a console drawn with cursor moves shows: moves forward become spaces, other
    control sequences and carriage returns go."""
    shown = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"1"), screen)
    shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown)
    shown = re.sub(rb"\x1b\][^\x07]*\x07", b"", shown)
    return shown.replace(b"\r", b"")


def collect_kernel_records(trace_file):
    write(os.path.join(TRACING, "tracing_on"), "0")
    with open(os.path.join(TRACING, "trace")) as trace, \
            open(os.path.join(RESULTS, trace_file), "w") as out:
        for line in trace:
            out.write(line)
    with open(os.path.join(RESULTS, "dmesg.txt"), "w") as out:
        fd = os.open("/dev/kmsg", os.O_RDONLY | os.O_NONBLOCK)
        while True:
            try:
                record = os.read(fd, 8192)
            except BlockingIOError:
                break
            except OSError:
                continue
            out.write(record.decode("utf-8", "replace").split(";", 1)[-1])
        os.close(fd)


def main():
    values = command_line()
    rig = Rig(values)
    try:
        rig.run(values["scenario"])
        rig.result["completed"] = True
    except Exception:
        rig.result["completed"] = False
        rig.result["error"] = traceback.format_exc()
    try:
        collect_kernel_records(getattr(rig, "trace_file", "trace.txt"))
    except Exception:
        rig.result.setdefault("error", "")
        rig.result["error"] += traceback.format_exc()
    write(os.path.join(RESULTS, "result.json"), json.dumps(rig.result, indent=1))
    os.sync()


if __name__ == "__main__":
    main()
