"""The test machine's scenarios, each in one place: what the guest does (play, run
inside the machine), how the host judges what it left (judge), and its time limit.
The guest hands the host one typed result per scenario (a dataclass); a field the
host reads and the guest did not write is an error, not None."""
import dataclasses
import json
import os
import re
import time
import typing

NON_ROOT = 1000
DOTS = "." * 53
ERASE = "Erasing memory" + "." * 56 + "OK\n"
CONFIRM = ("\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
           "Press 'L' to confirm load or other key to exit.\n")
CLOSING = "\nDisconnect recorder to apply firmware changes.\n\r\nPress any key to exit.\r\n"
WAIT = "Device is not connected.\nConnect device to continue or press Esc to exit.\n"
FAILED = "Failed\nPress any key to exit.\n"
NOT_BACK = "\r\nERROR: Recorder did not come back after restart.\r\n\r\nPress any key to exit.\r\n"
LOAD, CONFIRM_LOAD, UPGRADE = b"or other key to exit.", b"confirm load", b"upgrade Boot Loader"


# --- The expected console text ------------------------------------------------------

class Expect:
    """The versions the build offers, and the console text the dialogue shows."""

    def __init__(self, version, firmware, boot_loader, golden):
        self.version, self.firmware, self.boot_loader, self.golden = version, firmware, boot_loader, golden

    @property
    def older(self):
        major, minor = (int(part) for part in self.boot_loader.split("."))
        value = major * 256 + minor - 1
        return "%d.%d" % (value >> 8, value & 0xFF)

    def banner(self):
        return "Quirn Dorvel+ Firmware Updater version %s\n\n" % self.version

    def head(self, boot_loader, firmware="2.4", banner=True):
        return ((self.banner() if banner else "") + "Current Boot Loader version: %s\n" % boot_loader +
                "Current firmware version: %s\n" % firmware +
                "Press 'Y' to load firmware version %s or other key to exit.\n" % self.firmware)

    def upgrade(self):
        return ("\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
                "Press 'Y' to upgrade Boot Loader %s to version %s or other key to exit.\n"
                % (self.older, self.boot_loader))

    def dialogue(self, boot_loader=None, firmware="2.4", banner=True, answers=False, upgrade=None):
        """The dialogue up to the programming: versions, the prompts (with the keys that
        --yes shows after them), and the upgrade prompt when the boot loader is older."""
        boot_loader = boot_loader or self.older
        upgrade = boot_loader == self.older if upgrade is None else upgrade
        key = (lambda k: k + "\n") if answers else (lambda k: "")
        return (self.head(boot_loader, firmware, banner) + key("Y") + CONFIRM + key("L") +
                (self.upgrade() + key("Y") if upgrade else ""))

    def full_update(self, answers=False):
        """A whole update with boot-loader replacement, as the console shows it."""
        return (self.dialogue(answers=answers) + "Replacing Boot Loader" + DOTS + "OK\n" +
                "Replacing firmware" + DOTS + "OK\n" + ERASE + CLOSING)


def on_terminal(text):
    return text.replace("\n", "\r\n")


def without_spaces(text):
    """Console text as Wine draws it, compared without its spacing and line ends."""
    return re.sub(r"\s", "", text)


def console_text(screen):
    """What a console drawn with cursor moves shows: moves forward become spaces, other
    control sequences and carriage returns go."""
    shown = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"1"), screen)
    shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown)
    shown = re.sub(rb"\x1b\][^\x07]*\x07", b"", shown)
    return shown.replace(b"\r", b"")


# --- Typed results -------------------------------------------------------------------

@dataclasses.dataclass
class Run:
    """One run of a program in the machine."""
    exit_code: typing.Optional[int]  # None: it did not end in time
    console: str
    stderr: str
    seconds: float  # from the last key to its end, or the whole run


@dataclasses.dataclass
class Result:
    """What a scenario hands the host: the machine before it started, the runs of
    programs by name, and other facts by name. A name the host reads and the guest did
    not write is an error (KeyError), never None."""
    scsi_hosts_before: typing.Dict[str, str]  # "host0": "scsi_debug"
    recorder_nodes: typing.List[str]  # the recorders' /dev/sgN, in their order of start
    runs: typing.Dict[str, Run]
    facts: typing.Dict[str, typing.Any]


def to_json(result):
    return json.dumps(dataclasses.asdict(result), indent=1)


def from_json(data):
    """The result from its JSON form; every field must be there."""
    fields = {field.name for field in dataclasses.fields(Result)}
    if set(data) != fields:
        raise ValueError("a result with fields %s, not %s" % (sorted(data), sorted(fields)))
    runs = {name: Run(**run) for name, run in data["runs"].items()}
    return Result(data["scsi_hosts_before"], data["recorder_nodes"], runs, data["facts"])


# --- The scenarios -------------------------------------------------------------------

class Scenario:
    """One scenario: `play` runs in the guest and returns its Result, `judge` checks it
    on the host; the machine's memory in MiB and QEMU's time limit in seconds."""
    memory, limit, release = 1024, 600, False  # release: runs the Windows release under Wine

    @property
    def name(self):
        return re.sub(r"(?<!^)(?=[A-Z])", "_", type(self).__name__).lower()


class FullUpdate(Scenario):
    """A whole update with boot-loader replacement, as root: Y, L, Y on a terminal."""
    limit = 900

    def play(self, guest):
        guest.start_recorder("--boot-loader", "older")
        return guest.result(run=guest.dialogue(guest.updater_session(), b"YLY", end=600))

    def judge(self, checks, result, expect):
        run = result.runs["run"]
        checks.run(run, 0, on_terminal(expect.full_update()), "")
        actual = checks.updated_recorder(expect, result)
        # Each restart is a real disconnect: the kernel saw the device leave and enumerated
        # it anew (once more when the recorder stops), and the updater found its node gone.
        node = result.recorder_nodes[0]
        dmesg, log = checks.file("dmesg.txt"), checks.file("command.log")
        checks.equal((dmesg.count("USB disconnect"), dmesg.count("Attached scsi generic %s " % node[5:]),
                      log.count("(%s) open failed: no such device" % node)), (4 + 1, 1 + 4, 4),
                     "USB disconnects and attachments in the kernel log; nodes found gone in the command log")
        checks.check("(%s) 12 00 00" % node in log and ": GOOD," in log, "the command log names the node")
        checks.say("update with boot-loader replacement: %.1f s from the last key, against 169.6 s of pauses; "
                   "%d commands from the updater to the recorder" % (run.seconds, sum(actual.values())))


class FirmwareNonRoot(Scenario):
    """A firmware-only update by a user who owns the recorder's node read-write, after
    each restart too: every new node is handed over as it appears, as a udev rule would
    do it (and just as late)."""

    def play(self, guest):
        with guest.node_owner(NON_ROOT) as handing:
            node = guest.start_recorder("--boot-loader", "equal")
            guest.wait_for(lambda: os.stat(node).st_uid == NON_ROOT, 10)
            run = guest.dialogue(guest.updater_session(uid=NON_ROOT), b"yl", end=600)
        return guest.result(run=run, nodes_handed_over=handing.count)

    def judge(self, checks, result, expect):
        # The ordinary disk, not the user's to open, was tried only by the first scan, and
        # the recorder's node, handed over a moment after each arrival, failed only for
        # that moment: nothing to tell.
        checks.run(result.runs["run"], 0, on_terminal(expect.dialogue(expect.boot_loader) + "Replacing firmware" +
                                                      DOTS + "OK\n" + ERASE + CLOSING), "")
        state = checks.state()
        checks.equal((state["program_area_matches_image"], state["restarts"], state["erased_page_ranges"]),
                     (True, 2, [[32768, 262144]]), "program area, restarts and erased flash pages")
        checks.check(result.facts["nodes_handed_over"] >= 3, "the node was handed over at each arrival")


class NoAccess(Scenario):
    """A user who can open no generic node: the updater waits and says why, once."""

    def play(self, guest):
        guest.start_recorder("--boot-loader", "equal")
        session = guest.updater_session(uid=NON_ROOT)
        session.wait_for(b"/dev/sg1", 30, in_stderr=True)
        running = not session.wait_exit_for(4)  # several seconds of scans after both were named
        session.type(b"\x1b")
        return guest.result(run=guest.finish(session), running_after_wait=running)

    def judge(self, checks, result, expect):
        checks.equal(result.facts["running_after_wait"], True, "still waiting after several seconds")
        note = "Cannot open /dev/sg%d: Permission denied; the updater needs read and write access to it.\n"
        checks.run(result.runs["run"], 0, on_terminal(expect.banner() + WAIT), note % 0 + note % 1)


class Exclusive(Scenario):
    """Another program holds the recorder's node exclusively, then lets it go."""

    def play(self, guest):
        holder = os.open(guest.start_recorder("--boot-loader", "equal"), os.O_RDWR | os.O_EXCL)
        session = guest.updater_session()
        told = session.wait_for(b"in use by another program", 30, in_stderr=True)
        running = not session.wait_exit_for(2)
        os.close(holder)
        guest.answer(session, LOAD, b"n", 60)
        return guest.result(run=guest.finish(session), told_and_waiting=told and running)

    def judge(self, checks, result, expect):
        checks.equal(result.facts["told_and_waiting"], True, "told while the node was held, and still waiting")
        checks.run(result.runs["run"], 0,
                   on_terminal(expect.banner() + WAIT + expect.head(expect.boot_loader, banner=False)),
                   "Cannot open %s: Device or resource busy; it is in use by another program.\n"
                   % result.recorder_nodes[0])


class Unplugged(Scenario):
    """The recorder leaves at its first restart and never comes back."""

    def play(self, guest):
        guest.start_recorder("--boot-loader", "equal", "--fault", "no-return")
        return guest.result(run=guest.dialogue(guest.updater_session(), b"YL", end=300))

    def judge(self, checks, result, expect):
        run = result.runs["run"]
        checks.run(run, 2, on_terminal(expect.dialogue(expect.boot_loader) + "Replacing firmware" + NOT_BACK))
        checks.check(120 <= run.seconds < 150, "waited %s s" % run.seconds)
        checks.equal(checks.state()["restarts"], 1, "restarts")


class UdevRule(Scenario):
    """The package's udev rule, as udev applies it to each generic node: the recorder's
    is tagged for the user at the seat, the ordinary disk's is not."""
    limit = 300

    def play(self, guest):
        guest.start_recorder("--boot-loader", "equal")
        return guest.result(udev=guest.udev_test("70-qdp-recorder.rules"))

    def judge(self, checks, result, expect):
        recorder, tested = result.recorder_nodes[0][5:], result.facts["udev"]
        checks.equal(sorted(tested), sorted(["sg0", recorder]), "the generic nodes tested")
        for name, output in tested.items():
            tags = re.findall(r"^(?:CURRENT_)?TAGS=(.*)$", output, re.M)
            checks.equal(any(":uaccess:" in line for line in tags), name == recorder,
                         "%s tagged for the user at the seat (%s)" % (name, tags))


class Wine32Update(Scenario):
    """The Windows release under Debian's 32-bit Wine, run by an unprivileged user:
    --version read from its own resources; the banner and the device wait, a second
    copy refused, Esc; a whole update with boot-loader replacement (Y, L, Y on its
    console); then a node refused to the user (told once, the wait goes on) that, once
    let in, never comes back from its first restart."""
    memory, limit, release = 3072, 2300, True

    def play(self, guest):
        wine = guest.wine(NON_ROOT)
        version = wine.run(["--version"])
        first = wine.session()
        first_waits = first.wait_for(b"press Esc to exit.", 300, shown=console_text) and first.running()
        second = wine.session(output_to_pipe=True)
        second.wait_for(b"Press any key to exit.", 300, in_pipe=True)
        second_waits = not second.wait_exit_for(2)
        second.type(b"k")
        refused = Run(second.wait_exit(120), second.piped.decode("latin-1"), "", 0)
        still_waiting = first.running()
        first.type(b"\x1b\x1b")  # Wine's console holds a lone Esc as the start of a sequence
        waiting = guest.finish(first, console_text)

        guest.start_recorder("--boot-loader", "older")
        wine.link_drives()
        update = wine.dialogue(wine.session(), b"YLY", 900)
        guest.stop_recorder()
        guest.keep_trace()
        guest.keep_staged("command.log")

        # The node refused to the user, then let in: the recorder never returns.
        node = guest.start_recorder("--boot-loader", "equal", "--fault", "no-return", state="no_return_state.json")
        listing = wine.run(["--list", "--json"])
        wine.refuse(node)
        session = wine.session(log="no_return.log")
        session.wait_for(b"PHYSICALDRIVE1", 120, in_stderr=True)
        refused_waits = not session.wait_exit_for(3)
        refused_stderr = session.stderr.decode("latin-1")
        wine.let_in(node)
        no_return = wine.dialogue(session, b"YL", 400)
        guest.keep_staged("no_return.log")
        return guest.result(version=version, waiting=waiting, second=refused, update=update, no_return=no_return,
                            listing=listing,
                            wineboot_seconds=wine.boot_seconds,
                            waits=[first_waits, second_waits, still_waiting, refused_waits],
                            refused_stderr=refused_stderr)

    def judge(self, checks, result, expect):
        banner = "Quirn Dorvel+ Firmware Updater version %s" % expect.version
        runs, refused = result.runs, result.facts["refused_stderr"]
        checks.run(runs["version"], 0, "%s\r\nOffers firmware version %s with Boot Loader version %s.\r\n"
                   % (banner, expect.firmware, expect.boot_loader), what="--version")
        # Wine draws the console itself; the last line break shows when the next line comes.
        checks.check(banner + "\n\n" + WAIT.rstrip("\n") in runs["waiting"].console,
                     "the console shows the banner and the device wait:\n%r" % runs["waiting"].console)
        checks.equal(result.facts["waits"], [True] * 4, "the first copy waits, the second for a key, the first "
                     "undisturbed; the wait goes on while the node is refused")
        checks.run(runs["second"], 1, banner + "\r\n\r\nClose all other digital recorder applications and try "
                   "again.\r\nPress any key to exit.\r\n", what="the second copy")
        checks.equal(runs["waiting"].exit_code, 0, "Esc ends the device wait with exit code 0")
        checks.run(runs["update"], 0, without_spaces(expect.full_update()), "", without_spaces, "the update")
        checks.updated_recorder(expect, result)
        log = checks.file("command.log")
        checks.check("\\\\.\\PHYSICALDRIVE1 12 00 00" in log and ": GOOD," in log,
                     "the command log names \\\\.\\PHYSICALDRIVE1")
        # A user who may not open the node is told once, in the system's words.
        checks.check(re.fullmatch(r"Cannot open \\\\\.\\PHYSICALDRIVE1: [^\r\n]+; the updater must run as "
                                  r"administrator\.\r?\n", refused) is not None,
                     "one line on standard error names the refused drive: %r" % refused)
        expected = (expect.banner() + WAIT + expect.dialogue(expect.boot_loader, banner=False) +
                    "Replacing firmware" + NOT_BACK)
        checks.run(runs["no_return"], 2, without_spaces(expected), refused, without_spaces,
                   "a recorder that does not come back")
        checks.check(120 <= runs["no_return"].seconds < 160, "waited %s s for it" % runs["no_return"].seconds)
        listed = json.loads(runs["listing"].console or "[{}]")
        checks.equal([e.get("device") for e in listed], ["\\\\.\\PHYSICALDRIVE1"], "--list --json under Wine")
        checks.say("the port that Wine tells for the recorder: %s" % (listed or [{}])[0].get("port"))
        checks.say("wineboot took %s s in the machine; update with boot-loader replacement by the 32-bit release "
                   "under Wine: %.1f s from the last key" % (result.facts["wineboot_seconds"], runs["update"].seconds))


class TwoRecorders(Scenario):
    """(Named for the two it began with.) Three recorders beside the ordinary disk, one on
    each of dummy_hcd's controllers: --list --json names all three with their ports; an
    unattended update of the one named, with no terminal, leaves the others alone; then
    --all --yes updates all three at once, each getting exactly the commands of one whole
    update, in about the time of one."""
    limit = 1500

    def play(self, guest):
        for controller, options, state in ((0, ("--boot-loader", "older"), "recorder_state.json"),
                                           (1, ("--boot-loader", "equal", "--firmware", "unavailable"),
                                            "second_state.json"),
                                           (2, ("--boot-loader", "older"), "third_state.json")):
            guest.start_recorder(*options, "--controller", "dummy_udc.%d" % controller, state=state)
        listing = guest.run([guest.updater, "--list", "--json"])
        nodes = {e["port"]: e["node"] for e in json.loads(listing.console or "[]")}
        named, started = guest.nodes[0], guest.usb_ports()
        # Each recorder's port, in their order of start, before any restart moves them.
        ports = [started[guest.scsi_host(node)] for node in guest.nodes]
        guest.clear_trace()
        single = guest.run([guest.updater, "--yes", "--device", named], timeout=900)
        after_single = guest.usb_ports()
        guest.keep_trace()  # the single update's commands alone
        everyone = guest.run([guest.updater, "--all", "--yes", "--json"], timeout=900)
        return guest.result(listing=listing, single=single, everyone=everyone, named=named, ports=nodes,
                            recorder_ports=ports,
                            hosts_single=started, hosts_all=after_single)

    def judge(self, checks, result, expect):
        listing, named = json.loads(result.runs["listing"].console or "null"), result.facts["named"]
        # Recorders that restart at once may come back under each other's host numbers;
        # they are told apart by their USB ports (in their order of start).
        nodes, ports = result.recorder_nodes, result.facts["recorder_ports"]
        checks.equal(result.runs["listing"].exit_code, 0, "--list --json: exit code")
        checks.equal(sorted((e["node"], e["boot_loader"], e["firmware"], e["boot_loader_first"])
                            for e in listing or []),
                     sorted([(nodes[0], expect.older, "2.4", True), (nodes[1], expect.boot_loader, None, False),
                             (nodes[2], expect.older, "2.4", True)]),
                     "--list --json: the three recorders with their versions")
        checks.equal(len({e["port"] for e in listing or []}), 3, "three ports, one each: %s" % result.facts["ports"])
        checks.run(result.runs["single"], 0, expect.full_update(answers=True), "", what="--yes --device, no terminal")
        # From the kernel's trace of the single update: the others got nothing but INQUIRY.
        single = checks.commands_by_port("trace.txt", result.facts["hosts_single"])
        sent = {c[0] for port, commands in single.items() if port != ports[0] for _, _, c in commands if len(c) == 16}
        checks.check(sent <= {0x12}, "operation codes sent to the others during the single update: %s" % sorted(sent))
        # --all: each recorder exactly the commands of its own whole update, as the
        # virtual runner sends them for a recorder like it.
        everyone = result.runs["everyone"]
        checks.equal(everyone.exit_code, 0, "--all --yes --json: exit code")
        summary = json.loads(everyone.console or "null") or []
        checks.equal(sorted((e["node"], e["outcome"], e["firmware_after"]) for e in summary),
                     sorted((n, "updated", expect.firmware) for n in nodes), "--all: the summary")
        trace = checks.commands_by_port("trace_rest.txt", result.facts["hosts_all"])
        kinds = (("--boot-loader", "equal"), ("--boot-loader", "equal", "--firmware", "unavailable"),
                 ("--boot-loader", "older"))
        for port, kind in zip(ports, kinds):
            checks.commands_as_virtual("port " + port, trace.get(port, []), ("--all",) + kind)
        disk = {h for h, name in result.scsi_hosts_before.items() if name == "scsi_debug"}
        checks.equal(sorted(set(trace) - disk), sorted(ports), "--all: the ports that commands went to")
        sent = {c[0] for host in disk for _, _, c in trace.get(host, []) if len(c) == 16}
        checks.check(sent <= {0x12}, "operation codes sent to the ordinary disk during --all: %s" % sorted(sent))
        for name in ("recorder_state.json", "second_state.json", "third_state.json"):
            state = checks.state(name)
            checks.equal((state["program_area_matches_image"], state["boot_loader_matches_image"], state["bricked"]),
                         (True, True, False), "%s: program area and boot loader" % name)
        checks.say("three recorders at once: %.1f s; one alone: %.1f s; ratio %.2f"
                   % (everyone.seconds, result.runs["single"].seconds,
                      everyone.seconds / max(result.runs["single"].seconds, 1)))


class InterruptedUpdate(Scenario):
    """The recorder is unplugged in the middle of the firmware programming; the updater
    ends; the recorder is plugged back in with what it kept. Run again, the updater
    meets a failed command in the firmware programming and ends; the recorder is
    unplugged and plugged back in once more, and the updater, run with --verify,
    finishes the update."""
    limit = 1200

    def play(self, guest):
        # About halfway through the firmware, after the boot loader was replaced.
        guest.start_recorder("--boot-loader", "older", "--fault", "unplug-at=5400", state="interrupted_state.json")
        interrupted = guest.dialogue(guest.updater_session(), b"YLY", end=600)
        guest.stop_recorder()
        # Plugged back in; its 2000th command (the kernel's counted) fails: about the
        # middle of the firmware programming.
        guest.start_recorder("--resume", guest.result_path("interrupted_state.json"), "--fault", "fail-at=2000",
                             state="failed_state.json")
        failed = guest.dialogue(guest.updater_session(), b"YL", end=600)
        guest.stop_recorder()
        # Plugged back in again; the kernel's record of the last run alone.
        guest.start_recorder("--resume", guest.result_path("failed_state.json"))
        guest.clear_trace()
        run = guest.dialogue(guest.updater_session(["--verify"]), b"YL", end=900)
        return guest.result(interrupted=interrupted, failed=failed, run=run)

    def judge(self, checks, result, expect):
        failed, runs = "Replacing firmware" + DOTS + FAILED, result.runs
        checks.run(runs["interrupted"], 2, on_terminal(expect.dialogue() + "Replacing Boot Loader" + DOTS + "OK\n" +
                                                       failed), what="the interrupted run")
        # Each run that ended with Failed left nothing marked to start, and a recorder that
        # comes back.
        unavailable = expect.dialogue(expect.boot_loader, "unavailable.")
        checks.run(runs["failed"], 2, on_terminal(unavailable + failed), what="the run with a failed command")
        for name in ("interrupted_state.json", "failed_state.json"):
            left = checks.state(name)
            checks.equal((left["program_area_matches_image"], left["firmware_marker"], left["bricked"]),
                         (False, "\u00ff" * 4, False), "%s: half written, its status record erased" % name)
        checks.run(runs["run"], 0, on_terminal(unavailable + "Replacing firmware" + DOTS + "OK\n" + "Erasing memory" +
                                               CLOSING), what="the last run")
        state = checks.state()
        # No valid firmware before the last run: the recordings are kept.
        checks.equal((state["program_area_matches_image"], state["boot_loader_matches_image"],
                      state["firmware_marker"], state["stored_pages"], state["erased_page_ranges"]),
                     (True, True, "FWOK", 1, []), "program area, boot loader, marker; the storage kept")
        checks.ordinary_disk_got_only_inquiry(result)
        actual = checks.recorder_commands(result)
        # Sent: 2 record reads, 2 erases and a restart; 53 page erases, 1,696 writes, 848
        # reads back and one of the commit; a restart; 128 reads of the boot loader; no
        # storage command.
        checks.equal((actual.get("c8/02", 0), actual.get("c8/03", 0), actual.get("c8/0a", 0), actual.get("28", 0)),
                     (2732, 2730, 0, 0), "I2C sends and receives, and storage commands, of the run with --verify")
        checks.say("firmware-only update with --verify: %.1f s from the last key, against 84.8 s of pauses"
                   % runs["run"].seconds)


SCENARIOS = {scenario.name: scenario for scenario in (
    FullUpdate(), FirmwareNonRoot(), NoAccess(), Exclusive(), Unplugged(), UdevRule(), Wine32Update(),
    TwoRecorders(), InterruptedUpdate())}
