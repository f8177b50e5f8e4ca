#!/usr/bin/env python3
"""The test machine: Debian's own kernel under QEMU, with the host's root shared
read-only, the virtual recorder presented to it as a USB disk, and the kernel's record
of every SCSI command as the oracle.

  rig.py list                       the scenarios (tests/vm/scenarios.py), with their limits
  rig.py prepare WORK VM_INIT       fetch and unpack the kernel, build the initramfs
  rig.py run WORK SCENARIO [options] boot the machine on one scenario and judge it

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

import scenarios

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
        # Three device controllers: a scenario may connect three recorders.
        listing.append("/modules/%s.ko" % name + (" num=3" if name == "dummy_hcd" else ""))
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


class Checks:
    """The host's judging of what a scenario left in its results folder."""

    def __init__(self, results, build):
        self.results = results
        self.build = build
        self.failures = []
        self.passed = 0
        self.notes = []

    def check(self, condition, what):
        if condition:
            self.passed += 1
        else:
            self.failures.append(what)

    def equal(self, actual, expected, what):
        self.check(actual == expected, "%s:\n  expected %r\n  got      %r" % (what, expected, actual))

    def say(self, note):
        self.notes.append(note)

    def run(self, run, exit_code, console=None, stderr=None, shown=lambda text: text, what="the run"):
        """A program's exit code, and its console and standard error where given."""
        self.equal(run.exit_code, exit_code, "%s: exit code" % what)
        if console is not None:
            self.equal(shown(run.console), console, "%s: the console" % what)
        if stderr is not None:
            self.equal(run.stderr, stderr, "%s: standard error" % what)

    def file(self, name):
        return open(os.path.join(self.results, name), errors="replace").read()

    def state(self, name="recorder_state.json"):
        return json.loads(self.file(name))

    def kernel_commands(self, name="trace.txt"):
        """(process, SCSI host, command bytes) of every command the kernel dispatched."""
        return kernel_commands(self.file(name))

    def commands_by_port(self, name, ports):
        return commands_by_port(self.file(name), ports)

    def ordinary_disk_got_only_inquiry(self, result):
        disk = ordinary_disk_hosts(result)
        self.check(bool(disk), "no ordinary disk (scsi_debug) was present")
        to_disk = [c for _, host, c in self.kernel_commands() if len(c) == 16 and host in disk]
        self.check(len(to_disk) > 0, "the updater sent nothing to the ordinary disk")
        self.equal(sorted({c[0] for c in to_disk}), [0x12], "the operation codes the updater sent to the ordinary disk")

    def recorder_commands(self, result):
        counts, odd = recorder_commands(self.kernel_commands(), ordinary_disk_hosts(result))
        self.equal(odd, [], "vendor commands not of 16 bytes")
        return counts

    def commands_as_virtual(self, what, commands, options):
        """The updater's commands to one recorder against those it sends the virtual
        recorder set up alike (--yes, the build's qdp_virtual_updater)."""
        state = os.path.join(self.results, "virtual_%s.json" % "_".join(options).replace("-", ""))
        own_network = os.path.join(os.path.dirname(__file__), "..", "support", "own_network.sh")  # the lock
        runner = os.path.join(self.build, "sim", "qdp_virtual_updater")
        subprocess.run(["sh", own_network, runner, "--yes", "--state", state] + list(options),
                       stdin=subprocess.DEVNULL, capture_output=True, check=False)
        counts, odd = recorder_commands(commands, set())
        self.equal(odd, [], "%s: vendor commands not of 16 bytes" % what)
        for problem in against_golden(counts, json.loads(self.file(os.path.basename(state)))["commands"], 4):
            self.failures.append("%s: %s" % (what, problem))

    def updated_recorder(self, expect, result):
        """The end state of a whole update with boot-loader replacement, and the commands
        that the kernel sent for it."""
        state = self.state()
        self.equal((state["program_area_matches_image"], state["boot_loader_matches_image"],
                    state["boot_loader_version"], state["firmware_version"], state["firmware_marker"],
                    state["bricked"]),
                   (True, True, expect.boot_loader, expect.firmware, "FWOK", False),
                   "program area, boot loader, versions and marker against the image")
        self.equal(state["erased_page_ranges"], [[32768, 262144]], "erased flash pages")
        self.equal(state["restarts"], 4, "restarts")
        self.ordinary_disk_got_only_inquiry(result)
        actual = self.recorder_commands(result)
        for problem in against_golden(actual, golden_commands(expect.golden), restarts=4):
            self.failures.append(problem)
        return actual

    def report(self):
        for note in self.notes:
            print(note)
        for failure in self.failures:
            print("FAILED: " + failure)
        print("%d passed, %d failed" % (self.passed, len(self.failures)))
        return 0 if not self.failures else 1


TRACE_LINE = re.compile(r"^\s*(\S+)-\d+\s.*scsi_dispatch_cmd_start: host_no=(\d+) .*raw=([0-9a-f ]+)\)")


def kernel_commands(trace):
    """(process, SCSI host, command bytes) of every command in the kernel's trace."""
    commands = []
    for line in trace.splitlines():
        found = TRACE_LINE.match(line)
        if found:
            commands.append((found.group(1), "host" + found.group(2), bytes.fromhex(found.group(3).replace(" ", ""))))
    return commands


HOST_PORT_LINE = re.compile(r"console: .*scsi (host\d+): usb-storage (\d+-[\d.]+):")


def commands_by_port(trace, ports):
    """The commands of the kernel's trace by the USB port of the recorder they went to.
    A recorder that leaves and comes back gets whichever host number is free, so its
    host is followed through the kernel's own log lines in the trace, from `ports`
    ({"hostN": port} when the trace began). A host serving no USB port keeps its name."""
    ports, found = dict(ports), {}
    for line in trace.splitlines():
        host = HOST_PORT_LINE.search(line)
        if host:
            ports[host.group(1)] = host.group(2)
        for command in kernel_commands(line):
            found.setdefault(ports.get(command[1], command[1]), []).append(command)
    return found


def ordinary_disk_hosts(result):
    return {host for host, name in result.scsi_hosts_before.items() if name == "scsi_debug"}


def command_key(block):
    return "%02x" % block[0] if block[0] != 0xC8 else "c8/%02x" % block[1]


def recorder_commands(commands, disk_hosts):
    """The updater's commands to the recorders, counted by kind, and any vendor command
    not of 16 bytes. The updater's are told from the kernel's own by their 16-byte
    command blocks: the kernel sends 6-, 10- and 12-byte blocks, and the process it
    records is whoever dispatched the command, often one of its own workers."""
    counts, odd = {}, []
    for _, host, block in commands:
        if host not in disk_hosts and (len(block) == 16 or block[0] == 0xC8):
            counts[command_key(block)] = counts.get(command_key(block), 0) + 1
            if len(block) != 16:
                odd.append(block.hex())
    return counts, odd


def golden_commands(golden):
    counts = {}
    for line in open(golden):
        if not line.startswith("pause"):
            key = command_key(bytes.fromhex(line.split()[1]))
            counts[key] = counts.get(key, 0) + 1
    return counts


def against_golden(actual, golden, restarts):
    """What differs between the commands sent and the golden trace's. One probe at start
    and after each restart; the polls run back to back, so while the recorder leaves, a
    few of them may reach it before its node goes: up to three a restart (five INQUIRYs
    in all were seen in one run)."""
    problems = []
    for key in sorted(set(golden) | set(actual)):
        least = golden.get(key, 0)
        most = least + (3 * restarts if key in ("12", "c8/00", "25") else 0)
        if not least <= actual.get(key, 0) <= most:
            problems.append("%s: %d commands to the recorder, expected %d to %d"
                            % (key, actual.get(key, 0), least, most))
    return problems


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
    scenario = scenarios.SCENARIOS[arguments.scenario]
    results = os.path.join(arguments.work, "results", scenario.name)
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    if scenario.release:
        problem = unpack_release(arguments.package, results)
        if problem is not None:
            print("The release cannot be run here: " + problem)
            return SKIP
    problem = boot(arguments.work, scenario.name, os.path.abspath(arguments.build),
                   os.path.abspath(arguments.source), results, scenario.memory, scenario.limit)
    if problem is not None:
        print("The test machine cannot run here: " + problem)
        return SKIP
    if not os.path.exists(os.path.join(results, "result.json")):
        print("FAILED: the machine left no result; its console ends with:")
        print(open(os.path.join(results, "console.txt"), errors="replace").read()[-3000:])
        return 1
    record = json.load(open(os.path.join(results, "result.json")))
    if not record["completed"]:
        print("FAILED: the scenario did not complete:\n" + record["error"])
        return 1
    checks = Checks(results, os.path.abspath(arguments.build))
    expect = scenarios.Expect(arguments.version, arguments.firmware, arguments.boot_loader, arguments.golden)
    scenario.judge(checks, scenarios.from_json(record["result"]), expect)
    return checks.report()


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list")
    preparing = commands.add_parser("prepare")
    preparing.add_argument("work")
    preparing.add_argument("vm_init")
    running = commands.add_parser("run")
    running.add_argument("work")
    running.add_argument("scenario", choices=sorted(scenarios.SCENARIOS))
    running.add_argument("--build", required=True)
    running.add_argument("--source", required=True)
    running.add_argument("--version", required=True)
    running.add_argument("--firmware", required=True)
    running.add_argument("--boot-loader", required=True)
    running.add_argument("--golden", required=True)
    running.add_argument("--package", default="")
    arguments = parser.parse_args()
    if arguments.command == "list":
        # For CMake: a scenario a line, with its time limit and the machine's memory.
        for scenario in scenarios.SCENARIOS.values():
            print("%s %d %d" % (scenario.name, scenario.limit, scenario.memory))
        return 0
    if arguments.command == "prepare":
        prepare(arguments.work, arguments.vm_init)
        return 0
    return run_scenario(arguments)


if __name__ == "__main__":
    sys.exit(main())
