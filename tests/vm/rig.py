#!/usr/bin/env python3
"""The test machine: Debian's own kernel under QEMU, with the host's root shared
read-only, the virtual recorder presented to it as a USB disk, and the kernel's record
of every SCSI command as the oracle.

  rig.py prepare WORK VM_INIT       fetch and unpack the kernel, build the initramfs
  rig.py run WORK SCENARIO [options] boot the machine on one scenario and check it

Exit codes: 0 passed, 1 failed, 77 the machine cannot start here (said plainly)."""
import argparse
import gzip
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import time
import zipfile

SKIP = 77
MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay", "configfs", "sg", "sd_mod",
           "scsi_debug", "dummy_hcd", "libcomposite", "usb_f_fs", "usb_storage"]


# --- preparing the machine ---------------------------------------------------------

def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def fetch_kernel(work):
    """Debian's linux-image-amd64, downloaded and unpacked in the build tree (never
    installed on this machine). Returns the unpacked root."""
    root = os.path.join(work, "kernel", "root")
    if os.path.isdir(os.path.join(root, "lib", "modules")):
        return root
    downloads = os.path.join(work, "kernel", "debs")
    os.makedirs(downloads, exist_ok=True)
    asked = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True, text=True)
    if asked.returncode != 0:  # no package lists yet on this machine
        run(["apt-get", "update", "-qq"], stdout=subprocess.DEVNULL)
        asked = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], check=True,
                               capture_output=True, text=True)
    depends = asked.stdout
    image = re.search(r"Depends: (linux-image-[0-9][^\s]*-amd64)", depends).group(1)
    run(["apt-get", "download", image], cwd=downloads, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    package = [name for name in os.listdir(downloads) if name.startswith(image + "_")][0]
    os.makedirs(root, exist_ok=True)
    run(["dpkg-deb", "-x", os.path.join(downloads, package), root])
    return root


def module_index(root):
    index = {}
    for directory, _, files in os.walk(os.path.join(root, "lib", "modules")):
        for name in files:
            if name.endswith(".ko"):
                index[name[:-3].replace("-", "_")] = os.path.join(directory, name)
    return index


def module_order(index, wanted):
    """The modules and what they depend on, each after its dependencies (read from the
    modules' own .modinfo; the package carries no modules.dep)."""
    order = []

    def visit(name):
        if name in order:
            return
        data = open(index[name], "rb").read()
        found = re.search(rb"\x00depends=([^\x00]*)\x00", data)
        for dependency in (found.group(1).decode().split(",") if found else []):
            if dependency:
                visit(dependency.replace("-", "_"))
        order.append(name)

    for name in wanted:
        visit(name)
    return order


def cpio_newc(entries):
    """An initramfs archive: (name, mode, bytes) entries in the 'newc' format."""
    data = bytearray()
    for number, (name, mode, content) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        encoded = name.encode() + b"\0"
        fields = [number, mode, 0, 0, 1, 0, len(content), 0, 0, 0, 0, len(encoded), 0]
        data += ("070701" + "".join("%08X" % value for value in fields)).encode() + encoded
        data += b"\0" * (-len(data) % 4) + content
        data += b"\0" * (-len(data) % 4)
    return bytes(data)


def prepare(work, vm_init):
    root = fetch_kernel(work)
    index = module_index(root)
    entries = [("proc", stat.S_IFDIR | 0o755, b""), ("sys", stat.S_IFDIR | 0o755, b""),
               ("dev", stat.S_IFDIR | 0o755, b""), ("modules", stat.S_IFDIR | 0o755, b""),
               ("init", stat.S_IFREG | 0o755, open(vm_init, "rb").read())]
    listing = []
    for name in module_order(index, MODULES):
        entries.append(("modules/%s.ko" % name, stat.S_IFREG | 0o644, open(index[name], "rb").read()))
        # Two device controllers: a scenario may connect two recorders.
        listing.append("/modules/%s.ko" % name + (" num=2" if name == "dummy_hcd" else ""))
    entries.append(("modules.list", stat.S_IFREG | 0o644, ("\n".join(listing) + "\n").encode()))
    with gzip.open(os.path.join(work, "initramfs.gz"), "wb", compresslevel=1) as out:
        out.write(cpio_newc(entries))
    kernel = [name for name in os.listdir(os.path.join(root, "boot")) if name.startswith("vmlinuz-")][0]
    shutil.copy(os.path.join(root, "boot", kernel), os.path.join(work, "vmlinuz"))
    print("prepared: %s, %d modules" % (kernel, len(listing)))


# --- running a scenario --------------------------------------------------------------

def boot(work, scenario, build, source, results, memory, timeout):
    """Runs the machine until it powers off. None when QEMU cannot start at all."""
    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        return "qemu-system-x86_64 is not installed"
    append = ("console=ttyS0 quiet panic=-1 qdp.guest=%s qdp.scenario=%s qdp.build=%s qdp.source=%s"
              % (os.path.join(source, "tests", "vm", "guest.py"), scenario, build, source))
    command = [qemu, "-accel", "tcg", "-m", str(memory), "-smp", "1",
               "-kernel", os.path.join(work, "vmlinuz"), "-initrd", os.path.join(work, "initramfs.gz"),
               "-append", append, "-display", "none", "-monitor", "none",
               "-serial", "file:" + os.path.join(results, "console.txt"), "-no-reboot", "-nic", "none",
               "-virtfs", "local,path=/,mount_tag=hostroot,readonly=on,multidevs=remap,security_model=none",
               "-virtfs", "local,path=%s,mount_tag=results,security_model=none" % results]
    started = time.monotonic()
    try:
        finished = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None if os.path.exists(os.path.join(results, "console.txt")) else "QEMU did not start"
    if finished.returncode != 0 and not os.path.getsize(os.path.join(results, "console.txt")):
        return "QEMU cannot start: " + (finished.stderr.strip() or "exit code %d" % finished.returncode)
    print("machine ran %.0f s" % (time.monotonic() - started))
    return None


def on_terminal(text):
    return text.replace("\n", "\r\n")


class Checks:
    def __init__(self, results, expect):
        self.results = results
        self.expect = expect
        self.failures = []
        self.passed = 0
        self.result = json.load(open(os.path.join(results, "result.json")))

    def check(self, condition, what):
        if condition:
            self.passed += 1
        else:
            self.failures.append(what)

    def equal(self, actual, expected, what):
        self.check(actual == expected, "%s:\n  expected %r\n  got      %r" % (what, expected, actual))

    def state(self):
        path = os.path.join(self.results, "recorder_state.json")
        return json.load(open(path)) if os.path.exists(path) else {}

    def kernel_commands(self):
        """(process, SCSI host, command bytes) of every command the kernel dispatched."""
        commands = []
        pattern = re.compile(r"^\s*(\S+)-\d+\s.*scsi_dispatch_cmd_start: host_no=(\d+) .*raw=([0-9a-f ]+)\)")
        for line in open(os.path.join(self.results, "trace.txt")):
            found = pattern.match(line)
            if found:
                commands.append((found.group(1), "host" + found.group(2),
                                 bytes.fromhex(found.group(3).replace(" ", ""))))
        return commands

    def ordinary_disk_hosts(self):
        return {host for host, name in self.result.get("scsi_hosts_before", {}).items()
                if name == "scsi_debug"}

    # The updater's commands are told from the kernel's own by their 16-byte command
    # blocks: the kernel sends 6-, 10- and 12-byte blocks, and the process it records
    # is whoever dispatched the command, often one of its own workers.
    def ordinary_disk_got_only_inquiry(self):
        disk = self.ordinary_disk_hosts()
        self.check(bool(disk), "no ordinary disk (scsi_debug) was present")
        to_disk = [c for _, host, c in self.kernel_commands() if len(c) == 16 and host in disk]
        self.check(len(to_disk) > 0, "the updater sent nothing to the ordinary disk")
        self.equal(sorted({c[0] for c in to_disk}), [0x12],
                   "the operation codes the updater sent to the ordinary disk")

    def recorder_commands(self):
        disk = self.ordinary_disk_hosts()
        counts = {}
        for _, host, block in self.kernel_commands():
            if host not in disk and (len(block) == 16 or block[0] == 0xC8):
                key = "%02x" % block[0] if block[0] != 0xC8 else "c8/%02x" % block[1]
                counts[key] = counts.get(key, 0) + 1
                self.check(len(block) == 16, "a vendor command of %d bytes: %s" % (len(block), block.hex()))
        return counts

    def expected_commands(self, golden):
        counts = {}
        for line in open(golden):
            if line.startswith("pause"):
                continue
            block = bytes.fromhex(line.split()[1])
            key = "%02x" % block[0] if block[0] != 0xC8 else "c8/%02x" % block[1]
            counts[key] = counts.get(key, 0) + 1
        return counts

    def report(self):
        for failure in self.failures:
            print("FAILED: " + failure)
        print("%d passed, %d failed" % (self.passed, len(self.failures)))
        return 0 if not self.failures else 1


def head(expect, boot_loader, firmware="2.4"):
    return ("Quirn Dorvel+ Firmware Updater version %s\n\n" % expect.version +
            "Current Boot Loader version: %s\n" % boot_loader +
            "Current firmware version: %s\n" % firmware +
            "Press 'Y' to load firmware version %s or other key to exit.\n" % expect.firmware)


CONFIRM = ("\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
           "Press 'L' to confirm load or other key to exit.\n")
CLOSING = "\nDisconnect recorder to apply firmware changes.\n\r\nPress any key to exit.\r\n"
WAIT = "Device is not connected.\nConnect device to continue or press Esc to exit.\n"


def older(version):
    major, minor = (int(part) for part in version.split("."))
    value = major * 256 + minor - 1
    return "%d.%d" % (value >> 8, value & 0xFF)


def full_update_text(expect):
    dots = "." * 53
    return (head(expect, older(expect.boot_loader)) + CONFIRM +
            "\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
            "Press 'Y' to upgrade Boot Loader %s to version %s or other key to exit.\n"
            % (older(expect.boot_loader), expect.boot_loader) +
            "Replacing Boot Loader" + dots + "OK\n" + "Replacing firmware" + dots + "OK\n" +
            "Erasing memory" + "." * 56 + "OK\n" + CLOSING)


def without_spaces(text):
    """Console text as Wine draws it, compared without its spacing and line ends."""
    return re.sub(r"\s", "", text)


def check_updated_recorder(checks, expect):
    """The end state of a whole update with boot-loader replacement, and the commands
    that the kernel sent for it."""
    state = checks.state()
    checks.equal(state.get("program_area_matches_image"), True, "program area against the image")
    checks.equal(state.get("boot_loader_matches_image"), True, "boot-loader section against the image")
    checks.equal(state.get("boot_loader_version"), expect.boot_loader, "installed boot loader")
    checks.equal(state.get("firmware_version"), expect.firmware, "installed firmware")
    checks.equal(state.get("firmware_marker"), "FWOK", "firmware marker")
    checks.equal(state.get("erased_page_ranges"), [[32768, 262144]], "erased flash pages")
    checks.equal(state.get("restarts"), 4, "restarts")
    checks.ordinary_disk_got_only_inquiry()
    actual = checks.recorder_commands()
    golden = checks.expected_commands(expect.golden)
    probes = {"12", "c8/00", "25"}
    for key in sorted(set(golden) | set(actual)):
        if key in probes:
            # One probe at start and after each restart. The polls run back to back, so
            # while the recorder leaves, a few of them may reach it before its node goes:
            # up to three a restart (five INQUIRYs in all were seen in one run).
            extra = 4 * 3
            checks.check(golden.get(key, 0) <= actual.get(key, 0) <= golden.get(key, 0) + extra,
                         "%s: %d commands, expected %d to %d" % (key, actual.get(key, 0),
                                                                 golden.get(key, 0), golden.get(key, 0) + extra))
        else:
            checks.equal(actual.get(key, 0), golden.get(key, 0), "commands %s to the recorder" % key)
    return actual


def check_full_update(checks, expect):
    result = checks.result
    checks.equal(result.get("exit_code"), 0, "exit code")
    checks.equal(result.get("console"), on_terminal(full_update_text(expect)), "the console")
    checks.equal(result.get("stderr"), "", "standard error")
    actual = check_updated_recorder(checks, expect)
    # Each restart is a real disconnect: the kernel saw the device leave and enumerated
    # it anew (once more at the end, when the recorder stops), and the updater found
    # the node gone each time.
    dmesg = open(os.path.join(checks.results, "dmesg.txt")).read()
    checks.equal(dmesg.count("USB disconnect"), 4 + 1, "USB disconnects in the kernel log")
    node = result.get("recorder_node", "?")
    checks.equal(dmesg.count("Attached scsi generic %s " % node[5:]), 1 + 4,
                 "attachments of the recorder's node in the kernel log")
    log = open(os.path.join(checks.results, "command.log")).read()
    checks.equal(log.count("(%s) open failed: no such device" % node), 4,
                 "restarts at which the updater found the node gone")
    checks.check("(%s) 12 00 00" % node in log and ": GOOD," in log, "the command log names the node")
    print("update with boot-loader replacement: %.1f s from the last key, against 169.6 s of pauses"
          % result.get("update_seconds", 0))
    print("commands from the updater to the recorder: %d" % sum(actual.values()))


def check_firmware_non_root(checks, expect):
    result = checks.result
    checks.equal(result.get("exit_code"), 0, "exit code")
    dots = "." * 53
    expected = (head(expect, expect.boot_loader) + CONFIRM + "Replacing firmware" + dots + "OK\n" +
                "Erasing memory" + "." * 56 + "OK\n" + CLOSING)
    checks.equal(result.get("console"), on_terminal(expected), "the console")
    # The ordinary disk, not the user's to open, was tried only by the first scan, and
    # the recorder's node, handed over a moment after each arrival, failed only for
    # that moment: nothing to tell.
    checks.equal(result.get("stderr"), "", "standard error")
    state = checks.state()
    checks.equal(state.get("program_area_matches_image"), True, "program area against the image")
    checks.equal(state.get("restarts"), 2, "restarts")
    checks.equal(state.get("erased_page_ranges"), [[32768, 262144]], "erased flash pages")
    checks.check(result.get("nodes_handed_over", 0) >= 3, "the node was handed over at each arrival")


def check_no_access(checks, expect):
    result = checks.result
    checks.equal(result.get("exit_code"), 0, "exit code")
    checks.equal(result.get("running_after_wait"), True, "still waiting after several seconds")
    checks.equal(result.get("console"), on_terminal("Quirn Dorvel+ Firmware Updater version %s\n\n"
                                                    % expect.version + WAIT), "the console")
    note = "Cannot open /dev/sg%d: Permission denied; the updater needs read and write access to it.\n"
    checks.equal(result.get("stderr"), note % 0 + note % 1, "standard error")


def check_exclusive(checks, expect):
    result = checks.result
    checks.equal(result.get("exit_code"), 0, "exit code")
    checks.equal(result.get("told_while_held"), True, "told while the node was held")
    checks.equal(result.get("running_while_held"), True, "still waiting while the node was held")
    checks.equal(result.get("stderr"), "Cannot open %s: Device or resource busy; it is in use by another program.\n"
                 % result.get("recorder_node"), "standard error")
    expected = ("Quirn Dorvel+ Firmware Updater version %s\n\n" % expect.version + WAIT +
                head(expect, expect.boot_loader).split("\n\n", 1)[1])
    checks.equal(result.get("console"), on_terminal(expected), "the console")


def check_unplugged(checks, expect):
    result = checks.result
    checks.equal(result.get("exit_code"), 2, "exit code")
    expected = (head(expect, expect.boot_loader) + CONFIRM + "Replacing firmware" +
                "\r\nERROR: Recorder did not come back after restart.\r\n\r\nPress any key to exit.\r\n")
    checks.equal(result.get("console"), on_terminal(expected), "the console")
    checks.check(120 <= result.get("waited_seconds", 0) < 150, "waited %s s" % result.get("waited_seconds"))
    checks.equal(checks.state().get("restarts"), 1, "restarts")


def check_udev_rule(checks, expect):
    tested = checks.result.get("udev", {})
    recorder = checks.result.get("recorder_node", "/dev/?")[5:]
    checks.equal(sorted(tested), sorted(["sg0", recorder]), "the generic nodes tested")
    for name, output in tested.items():
        tags = re.findall(r"^(?:CURRENT_)?TAGS=(.*)$", output, re.M)
        tagged = any(":uaccess:" in line for line in tags)
        checks.equal(tagged, name == recorder, "%s tagged for the user at the seat (%s)" % (name, tags))


def check_wine32(checks, expect):
    result = checks.result
    banner = "Quirn Dorvel+ Firmware Updater version %s" % expect.version
    checks.equal(result.get("version_exit"), 0, "--version: exit code")
    checks.equal(result.get("version_output"),
                 "%s\r\nOffers firmware version %s with Boot Loader version %s.\r\n"
                 % (banner, expect.firmware, expect.boot_loader), "--version: what it read from its own images")
    console = result.get("first_console", "")
    # Wine draws the console itself; the last line break shows when the next line comes.
    checks.check(banner + "\n\n" + WAIT.rstrip("\n") in console,
                 "the console shows the banner and the device wait:\n%r" % console)
    checks.equal(result.get("first_waits"), True, "the first copy waits for a recorder")
    checks.equal(result.get("second_waited_for_a_key"), True, "the second copy waits for a key")
    checks.equal(result.get("second_exit"), 1, "the second copy's exit code")
    checks.equal(result.get("second_output"),
                 banner + "\r\n\r\nClose all other digital recorder applications and try again.\r\n"
                 "Press any key to exit.\r\n", "the second copy's output")
    checks.equal(result.get("first_still_waiting"), True, "the first copy undisturbed")
    checks.equal(result.get("first_exit"), 0, "Esc ends the device wait with exit code 0")
    print("wineboot took %s s in the machine" % result.get("wineboot_seconds"))


def check_wine32_update(checks, expect):
    result = checks.result
    checks.equal(result.get("exit_code"), 0, "exit code")
    checks.equal(without_spaces(result.get("console", "")), without_spaces(full_update_text(expect)),
                 "the console, without spacing")
    checks.equal(result.get("stderr"), "", "standard error")
    check_updated_recorder(checks, expect)
    log = open(os.path.join(checks.results, "command.log"), errors="replace").read()
    checks.check("\\\\.\\PHYSICALDRIVE1 12 00 00" in log and ": GOOD," in log,
                 "the command log names \\\\.\\PHYSICALDRIVE1")
    # A user who may not open the node is told once, in the system's words, and the
    # wait goes on.
    checks.equal(result.get("refused_waits"), True, "the wait goes on while the node is refused")
    checks.check(re.fullmatch(r"Cannot open \\\\\.\\PHYSICALDRIVE1: [^\r\n]+; the updater must run as "
                              r"administrator\.\r?\n", result.get("refused_stderr", "")) is not None,
                 "one line on standard error names the refused drive: %r" % result.get("refused_stderr"))
    checks.equal(result.get("no_return_exit_code"), 2, "exit code when the recorder does not come back")
    expected = ("Quirn Dorvel+ Firmware Updater version %s\n\n" % expect.version + WAIT +
                head(expect, expect.boot_loader).split("\n\n", 1)[1] + CONFIRM + "Replacing firmware" +
                "\r\nERROR: Recorder did not come back after restart.\r\n\r\nPress any key to exit.\r\n")
    checks.equal(without_spaces(result.get("no_return_console", "")), without_spaces(expected),
                 "the console when the recorder does not come back, without spacing")
    checks.equal(result.get("no_return_stderr"), result.get("refused_stderr"),
                 "standard error: nothing told during the update")
    checks.check(120 <= result.get("no_return_seconds", 0) < 160,
                 "waited %s s for the recorder" % result.get("no_return_seconds"))
    print("update with boot-loader replacement by the 32-bit release under Wine: %.1f s from the last key"
          % result.get("seconds", 0))


def check_two_recorders(checks, expect):
    result = checks.result
    listing = json.loads(result.get("listing", "null") or "null")
    nodes = result.get("recorder_nodes", [])
    checks.equal(result.get("listing_exit"), 0, "--list --json: exit code")
    checks.equal(sorted((entry["node"], entry["boot_loader"], entry["firmware"], entry["action"],
                         entry["boot_loader_first"]) for entry in listing or []),
                 sorted([(nodes[0], older(expect.boot_loader), "2.4", "update", True),
                         (nodes[1], expect.boot_loader, None, "update", False)]),
                 "--list --json: both recorders with their versions")
    for entry in listing or []:
        checks.equal(entry["device"], "\\\\.\\PHYSICALDRIVE" + entry["node"][len("/dev/sg"):],
                     "the device path of %s" % entry["node"])
    checks.equal(result.get("exit_code"), 0, "--yes --device: exit code")
    expected = (head(expect, older(expect.boot_loader)) + "Y\n" + CONFIRM + "L\n" +
                "\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
                "Press 'Y' to upgrade Boot Loader %s to version %s or other key to exit.\nY\n"
                % (older(expect.boot_loader), expect.boot_loader) +
                "Replacing Boot Loader" + "." * 53 + "OK\n" + "Replacing firmware" + "." * 53 + "OK\n" +
                "Erasing memory" + "." * 56 + "OK\n" + CLOSING)
    checks.equal(result.get("console"), expected, "--yes --device: its output, with no terminal")
    state = checks.state()
    checks.equal(state.get("program_area_matches_image"), True, "the named recorder's program area")
    checks.equal(state.get("boot_loader_matches_image"), True, "the named recorder's boot loader")
    other = json.load(open(os.path.join(checks.results, "other_state.json")))
    checks.equal(other.get("restarts"), 0, "the other recorder was not restarted")
    # From the kernel's trace of the update run alone: the updater sent the other
    # recorder and the ordinary disk nothing but INQUIRY.
    untouched = set(result.get("untouched_hosts", []))
    checks.equal(len(untouched), 2, "the other recorder's and the ordinary disk's SCSI hosts")
    sent = sorted({c[0] for _, host, c in checks.kernel_commands() if len(c) == 16 and host in untouched})
    checks.check(set(sent) <= {0x12}, "operation codes sent to the others: %s" % sent)


def check_interrupted_update(checks, expect):
    result = checks.result
    dots = "." * 53
    failed = "Replacing firmware" + dots + "Failed\nPress any key to exit.\n"
    checks.equal(result.get("first_exit"), 2, "the interrupted run's exit code")
    checks.equal(result.get("first_console"), on_terminal(full_update_text(expect).split(
        "Replacing firmware")[0] + failed), "the interrupted run's console")
    # Each run that ended with Failed left nothing marked to start, and a recorder that
    # comes back.
    unavailable = head(expect, expect.boot_loader, "unavailable.") + CONFIRM
    checks.equal(result.get("failed_exit"), 2, "the exit code of the run with a failed command")
    checks.equal(result.get("failed_console"), on_terminal(unavailable + failed),
                 "the console of the run with a failed command")
    for name in ("interrupted_state.json", "failed_state.json"):
        left = json.load(open(os.path.join(checks.results, name)))
        checks.equal((left.get("program_area_matches_image"), left.get("firmware_marker"), left.get("bricked")),
                     (False, "\u00ff" * 4, False), "%s: half written, its status record erased" % name)
    checks.equal(result.get("exit_code"), 0, "the last run's exit code")
    checks.equal(result.get("console"), on_terminal(unavailable + "Replacing firmware" + dots + "OK\n" +
                                                    "Erasing memory" + CLOSING), "the last run's console")
    state = checks.state()
    checks.equal(state.get("program_area_matches_image"), True, "program area against the image")
    checks.equal(state.get("boot_loader_matches_image"), True, "boot-loader section against the image")
    checks.equal(state.get("firmware_marker"), "FWOK", "firmware marker")
    # No valid firmware before the last run: the recordings are kept.
    checks.equal((state.get("stored_pages"), state.get("erased_page_ranges")), (1, []), "storage kept")
    checks.ordinary_disk_got_only_inquiry()
    actual = checks.recorder_commands()
    checks.equal((actual.get("c8/0a", 0), actual.get("28", 0)), (0, 0), "no storage command")
    # Sent: 2 record reads, 2 erases and a restart; 53 page erases, 1,696 writes, 848
    # reads back and one of the commit; a restart; 128 reads of the boot loader.
    checks.equal((actual.get("c8/02", 0), actual.get("c8/03", 0)), (2732, 2730),
                 "I2C sends and receives of the run with --verify")
    print("firmware-only update with --verify: %.1f s from the last key, against 84.8 s of pauses"
          % result.get("update_seconds", 0))

SCENARIOS = {
    "full_update": (check_full_update, 1024, 900),
    "firmware_non_root": (check_firmware_non_root, 1024, 600),
    "no_access": (check_no_access, 1024, 300),
    "exclusive": (check_exclusive, 1024, 300),
    "unplugged": (check_unplugged, 1024, 600),
    "udev_rule": (check_udev_rule, 1024, 300),
    "wine32": (check_wine32, 3072, 1200),
    "wine32_update": (check_wine32_update, 3072, 2300),
    "two_recorders": (check_two_recorders, 1024, 900),
    "interrupted_update": (check_interrupted_update, 1024, 900),
}


def unpack_release(package, results):
    """The release executable as cpack packed it, for the machine to run."""
    if not package or not os.path.exists(package):
        return "no release package %s (build it with cpack --preset windows-i686)" % package
    if not os.path.exists("/usr/lib/wine/wine"):
        return "Debian's 32-bit Wine is not installed (scripts/setup.sh all installs it)"
    with zipfile.ZipFile(package) as archive:
        archive.extract("bin/QDp_FW_FirstUpdater.exe", os.path.join(results, "release"))
    return None


def run_scenario(arguments):
    checker, memory, timeout = SCENARIOS[arguments.scenario]
    results = os.path.join(arguments.work, "results", arguments.scenario)
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    if arguments.scenario.startswith("wine32"):
        problem = unpack_release(arguments.package, results)
        if problem is not None:
            print("The release cannot be run here: " + problem)
            return SKIP
    problem = boot(arguments.work, arguments.scenario, os.path.abspath(arguments.build),
                   os.path.abspath(arguments.source), results, memory, timeout)
    if problem is not None:
        print("The test machine cannot run here: " + problem)
        return SKIP
    if not os.path.exists(os.path.join(results, "result.json")):
        print("FAILED: the machine left no result; its console ends with:")
        print(open(os.path.join(results, "console.txt"), errors="replace").read()[-3000:])
        return 1
    checks = Checks(results, arguments)
    if not checks.result.get("completed"):
        print("FAILED: the scenario did not complete:\n" + checks.result.get("error", ""))
        print(checks.result.get("console", "")[-2000:])
        return 1
    checker(checks, arguments)
    return checks.report()


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    preparing = commands.add_parser("prepare")
    preparing.add_argument("work")
    preparing.add_argument("vm_init")
    running = commands.add_parser("run")
    running.add_argument("work")
    running.add_argument("scenario", choices=sorted(SCENARIOS))
    running.add_argument("--build", required=True)
    running.add_argument("--source", required=True)
    running.add_argument("--version", required=True)
    running.add_argument("--firmware", required=True)
    running.add_argument("--boot-loader", required=True)
    running.add_argument("--golden", required=True)
    running.add_argument("--package", default="")
    arguments = parser.parse_args()
    if arguments.command == "prepare":
        prepare(arguments.work, arguments.vm_init)
        return 0
    return run_scenario(arguments)


if __name__ == "__main__":
    sys.exit(main())
