#!/usr/bin/env python3
"""Runs one scenario inside the test machine: the virtual recorder as a USB device
(qdp_usb_recorder), the real updater against it through usb-storage and sg, and the
kernel's own record of every SCSI command. What the host judges goes to /results: the
scenario's typed result (result.json), the kernel's command trace and log, and the
recorders' end states.

The kernel command line gives qdp.scenario, qdp.build (the Linux build tree) and
qdp.source (the source tree)."""
import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import termios
import threading
import time
import traceback

import scenarios
from scenarios import LOAD, CONFIRM_LOAD, UPGRADE, Result, Run, console_text

RESULTS = "/results"
TRACING = "/sys/kernel/tracing"
# The machine's own folder, for what an unprivileged user must reach: the source and
# build trees may lie in a folder that only root may enter.
STAGING = "/opt/qdp"
WINE = "/usr/lib/wine/wine"


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


def as_user(uid):
    def switch():
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
    return switch


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
                as_user(uid)()
            os.execve(argv[0], argv, env if env is not None else dict(os.environ))
        os.close(slave)
        os.close(error_write)
        if output_to_pipe:
            os.close(output_write)
        self.errors = error_read
        self.output = output_read
        self.screen = self.stderr = self.piped = b""
        self.status = None
        self.last_key = time.monotonic()

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
        self.last_key = time.monotonic()

    def running(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = status
        return self.status is None

    def wait_exit_for(self, seconds):
        """Whether the program ended within `seconds`, reading its output meanwhile."""
        end = time.monotonic() + seconds
        while self.running() and time.monotonic() < end:
            self.pump(0.05)
        self.pump(0.05)
        return not self.running()

    def wait_exit(self, seconds):
        if not self.wait_exit_for(seconds):
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            return None
        return os.waitstatus_to_exitcode(self.status)


class Guest:
    """What a scenario can do in the machine."""

    def __init__(self, values):
        self.build = values["build"]
        self.source = values["source"]
        self.updater = os.path.join(self.build, "QDp_FW_FirstUpdater")
        self.recorders = []  # running qdp_usb_recorder processes
        self.nodes = []  # the recorders' nodes, in their order of start
        self.hosts = {}
        self.staged_logs = {}
        self.trace_kept = False
        self.wait_for = wait_for

    def set_up_kernel(self):
        os.makedirs("/dev/pts", exist_ok=True)
        subprocess.run(["mount", "-t", "devpts", "devpts", "/dev/pts", "-o", "ptmxmode=0666,mode=0620"],
                       check=False)
        subprocess.run(["mount", "-t", "configfs", "none", "/sys/kernel/config"], check=False)
        subprocess.run(["mount", "-t", "tracefs", "nodev", TRACING], check=False)
        write(os.path.join(TRACING, "buffer_size_kb"), "65536")
        write(os.path.join(TRACING, "events/scsi/scsi_dispatch_cmd_start/enable"), "1")
        # The kernel's log in the same record: which USB port each SCSI host serves, in
        # order with the commands, as recorders leave and come back under new numbers.
        write(os.path.join(TRACING, "events/printk/console/enable"), "1")
        write(os.path.join(TRACING, "tracing_on"), "1")
        for host in os.listdir("/sys/class/scsi_host"):
            self.hosts[host] = open("/sys/class/scsi_host/%s/proc_name" % host).read().strip()

    def result(self, **found):
        """The scenario's result: runs of programs and other facts, by name."""
        runs = {name: value for name, value in found.items() if isinstance(value, Run)}
        facts = {name: value for name, value in found.items() if not isinstance(value, Run)}
        return Result(dict(self.hosts), list(self.nodes), runs, facts)

    def result_path(self, name):
        return os.path.join(RESULTS, name)

    @staticmethod
    def usb_ports():
        """{"hostN": USB port} of the SCSI hosts that usb-storage serves now."""
        ports = {}
        for host in os.listdir("/sys/class/scsi_host"):
            found = re.search(r"/(\d+-[\d.]+):1\.0/host\d+/", os.path.realpath("/sys/class/scsi_host/" + host))
            if found:
                ports[host] = found.group(1)
        return ports

    @staticmethod
    def scsi_host(node):
        """The SCSI host ("hostN") of a generic node."""
        path = os.path.realpath("/sys/class/scsi_generic/%s/device" % node[5:])
        return re.search(r"/(host\d+)/", path).group(1)

    # --- recorders ------------------------------------------------------------------

    def start_recorder(self, *options, state="recorder_state.json"):
        before = set(recorder_nodes())
        self.recorders.append(subprocess.Popen(
            [os.path.join(self.build, "sim", "qdp_usb_recorder"), "--image",
             os.path.join(self.source, "resources", "FWC.bin"), "--state", self.result_path(state)] + list(options),
            stdout=open(self.result_path("recorder.log"), "a"), stderr=subprocess.STDOUT))
        node = wait_for(lambda: ([n for n in recorder_nodes() if n not in before] or [None])[0], 60)
        if node is None:
            raise RuntimeError("the recorder did not appear as a generic SCSI node")
        self.nodes.append(node)
        return node

    def stop_recorder(self):
        """Stops the recorder started last; it writes its end state."""
        recorder = self.recorders.pop()
        recorder.send_signal(signal.SIGTERM)
        try:
            recorder.wait(30)
        except subprocess.TimeoutExpired:
            recorder.kill()

    @contextlib.contextmanager
    def node_owner(self, uid):
        """Gives the recorder's node to a user whenever it appears, as udev would."""
        owner = type("Owner", (), {"count": 0, "stop": False})()

        def hand_over():
            while not owner.stop:
                for node in recorder_nodes():
                    try:
                        if os.stat(node).st_uid != uid:
                            os.chown(node, uid, -1)
                            owner.count += 1
                    except OSError:
                        pass
                time.sleep(0.01)

        thread = threading.Thread(target=hand_over, daemon=True)
        thread.start()
        try:
            yield owner
        finally:
            owner.stop = True

    # --- the updater ------------------------------------------------------------------

    def stage(self, source, uid):
        """A copy of a file where `uid` can reach it; the folder is that user's."""
        os.makedirs(STAGING, exist_ok=True)
        os.chown(STAGING, uid, uid)
        copy = os.path.join(STAGING, os.path.basename(source))
        shutil.copy(source, copy)
        return copy

    def updater_session(self, arguments=(), uid=None):
        updater, log = self.updater, self.result_path("command.log")
        if uid is not None:
            # The updater and its log where the user can reach them, as they would be
            # in a user's own folders; the log is copied to the results at the end.
            updater = self.stage(self.updater, uid)
            log = os.path.join(STAGING, "command.log")
            self.staged_logs["command.log"] = log
        open(log, "a").close()
        if uid is not None:
            os.chown(log, uid, -1)
        env = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "QDP_LOG": log}
        return Session([updater] + list(arguments), uid=uid, env=env)

    def answer(self, session, prompt, key, seconds=120, shown=lambda x: x):
        if not session.wait_for(prompt, seconds, shown=shown):
            raise RuntimeError("no prompt %r; the screen shows %r" % (prompt, shown(session.screen)[-400:]))
        session.type(key)

    def finish(self, session, shown=lambda x: x):
        return Run(session.wait_exit(60), shown(session.screen).decode("latin-1"),
                   session.stderr.decode("latin-1"), round(time.monotonic() - session.last_key, 1))

    def dialogue(self, session, keys, end, shown=lambda x: x, settle=0):
        """Answers the prompts to load, to confirm and to upgrade, one key each; waits
        up to `end` seconds for the closing prompt, answers it and returns the run, its
        time counted from the last answer to the closing prompt."""
        for prompt, key in zip((LOAD, CONFIRM_LOAD, UPGRADE), keys):
            if not session.wait_for(prompt, 300, shown=shown):
                raise RuntimeError("no prompt %r; the screen shows %r" % (prompt, shown(session.screen)[-400:]))
            time.sleep(settle)
            session.type(bytes([key]))
            progress("typed %c" % key)
        answered = time.monotonic()
        if not session.wait_for(b"Press any key to exit.", end, shown=shown):
            raise RuntimeError("no end: %r" % shown(session.screen)[-400:])
        seconds = round(time.monotonic() - answered, 1)
        session.type(b" ")
        run = self.finish(session, shown)
        return Run(run.exit_code, run.console, run.stderr, seconds)

    def run(self, argv, timeout=120):
        """A program with no terminal at all, as a script runs it."""
        env = {"PATH": "/usr/bin:/bin", "QDP_LOG": self.result_path("command.log")}
        started = time.monotonic()
        done = subprocess.run(argv, env=env, start_new_session=True, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)
        return Run(done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1"),
                   round(time.monotonic() - started, 1))

    def udev_test(self, rule):
        os.makedirs("/etc/udev/rules.d", exist_ok=True)
        shutil.copy(os.path.join(self.source, "resources", rule), "/etc/udev/rules.d/" + rule)
        tested = {}
        for name in sorted(os.listdir("/sys/class/scsi_generic")):
            run = subprocess.run(["udevadm", "test", "--action=add", "/sys/class/scsi_generic/" + name],
                                 capture_output=True, text=True, timeout=120)
            tested[name] = run.stdout + run.stderr
        return tested

    def wine(self, uid):
        return WineUser(self, uid)

    # --- the kernel's record ------------------------------------------------------

    def clear_trace(self):
        open(os.path.join(TRACING, "trace"), "w").close()

    def keep_trace(self):
        """The kernel's record so far goes to trace.txt; what follows, elsewhere."""
        shutil.copy(os.path.join(TRACING, "trace"), self.result_path("trace.txt"))
        self.clear_trace()
        self.trace_kept = True

    def keep_staged(self, name):
        shutil.copy(os.path.join(STAGING, name), self.result_path(name))

    def collect(self):
        for name, log in self.staged_logs.items():
            shutil.copy(log, self.result_path(name))
        write(os.path.join(TRACING, "tracing_on"), "0")
        shutil.copy(os.path.join(TRACING, "trace"),
                    self.result_path("trace_rest.txt" if self.trace_kept else "trace.txt"))
        with open(self.result_path("dmesg.txt"), "w") as out:
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


class WineUser:
    """The Windows release under Debian's 32-bit Wine, run by an unprivileged user with
    a prefix of its own. Wine follows at most five device files per process and never
    forgets one, and devtmpfs makes a returning disk's node anew: Wine's drives link to
    nodes made once (major 21), which keep their inode while the disk comes and goes."""

    def __init__(self, guest, uid):
        self.guest, self.uid = guest, uid
        self.release = guest.stage(guest.result_path("release/bin/QDp_FW_FirstUpdater.exe"), uid)
        home = os.path.join(STAGING, "home")
        os.makedirs(home, exist_ok=True)
        os.chown(home, uid, uid)
        self.env = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": home, "USER": "recorder",
                    "WINEARCH": "win32", "WINEPREFIX": os.path.join(home, "prefix"), "WINEDEBUG": "-all",
                    "WINEDLLOVERRIDES": "mscoree,mshtml="}
        progress("wineboot as user %d" % uid)
        started = time.monotonic()
        subprocess.run([WINE, "wineboot", "--init"], env=self.env, stdin=subprocess.DEVNULL,
                       preexec_fn=as_user(uid), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        self.boot_seconds = round(time.monotonic() - started, 1)
        self.nodes = os.path.join(STAGING, "nodes")

    def log_env(self, log):
        return dict(self.env, QDP_LOG="Z:" + os.path.join(STAGING, log).replace("/", "\\"))

    def run(self, arguments):
        done = subprocess.run([WINE, self.release] + arguments, env=self.env, stdin=subprocess.DEVNULL,
                              preexec_fn=as_user(self.uid), capture_output=True, timeout=300)
        return Run(done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1"), 0)

    def session(self, output_to_pipe=False, log="command.log"):
        return Session([WINE, self.release], uid=self.uid, env=self.log_env(log), output_to_pipe=output_to_pipe)

    def link_drives(self):
        os.makedirs(self.nodes, exist_ok=True)
        for name in os.listdir("/sys/class/scsi_generic"):
            major, minor = open("/sys/class/scsi_generic/%s/dev" % name).read().split(":")
            path = os.path.join(self.nodes, name)
            os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(int(major), int(minor)))
            os.chown(path, self.uid, self.uid)
        for drive in (0, 1):
            os.symlink(os.path.join(self.nodes, "sg%d" % drive),
                       os.path.join(self.env["WINEPREFIX"], "dosdevices", "physicaldrive%d" % drive))

    def refuse(self, node):
        os.chown(os.path.join(self.nodes, os.path.basename(node)), 0, 0)

    def let_in(self, node):
        os.chown(os.path.join(self.nodes, os.path.basename(node)), self.uid, self.uid)

    def dialogue(self, session, keys, end):
        # As an operator types: after the program reads keys. Wine's console echoes a
        # key typed before the read, as no console on Windows does.
        return self.guest.dialogue(session, keys, end, shown=console_text, settle=1)


def main():
    values = command_line()
    guest = Guest(values)
    scenario = scenarios.SCENARIOS[values["scenario"]]
    record = {"scenario": scenario.name, "completed": False, "error": "", "result": None}
    try:
        guest.set_up_kernel()
        try:
            record["result"] = json.loads(scenarios.to_json(scenario.play(guest)))
            record["completed"] = True
        finally:
            while guest.recorders:
                guest.stop_recorder()
    except Exception:
        record["error"] = traceback.format_exc()
    try:
        guest.collect()
    except Exception:
        record["error"] += traceback.format_exc()
    write(os.path.join(RESULTS, "result.json"), json.dumps(record, indent=1))
    os.sync()


if __name__ == "__main__":
    main()
