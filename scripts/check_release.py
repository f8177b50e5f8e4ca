#!/usr/bin/env python3
"""Checks a Windows release executable: a 32-bit program that exports the device-access
functions listed in resources/QDp_FW_FirstUpdater.def, by their plain names and no
others, and carries the icon MAINICON, the committed images FWC and BRC, byte for
byte, as RCDATA resources, an application manifest that asks for administrator
rights and names Windows 7 to 11, and version information with the version written
in CMakeLists.txt.

Usage: check_release.py QDp_FW_FirstUpdater.exe resources/ [package.zip]
With a package, also checks that it holds the executable, its import library, the
header and the operator's README.txt (with Windows line ends).
"""
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zipfile


def listed_exports(resources):
    """The names of the .def file that the executable is linked with."""
    names = set()
    for line in open(os.path.join(resources, "QDp_FW_FirstUpdater.def")):
        word = line.strip()
        if word and word != "EXPORTS" and not word.startswith(";"):
            names.add(word)
    return names

def project_version(resources):
    """The one version, as CMakeLists.txt writes it."""
    text = open(os.path.join(resources, "..", "CMakeLists.txt")).read()
    return re.search(r"project\(QDp_FW_FirstUpdater VERSION ([0-9.]+)", text).group(1)


RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24
WINDOWS_7_TO_11 = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                   "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
IMAGE_FILE_MACHINE_I386 = 0x14C


class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        self.machine, sections = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.directory = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address outside the sections: %#x" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def exports(self):
        rva, _ = self.directory[0]
        at = self.offset(rva)
        count = struct.unpack_from("<I", self.data, at + 24)[0]
        names_rva = struct.unpack_from("<I", self.data, at + 32)[0]
        return {self.string(struct.unpack_from("<I", self.data, self.offset(names_rva) + 4 * i)[0])
                for i in range(count)}

    def resources(self):
        """{(type, name): bytes} for the first language of every resource."""
        base = self.offset(self.directory[2][0])

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    name_at = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, name_at)[0]
                    key = self.data[name_at + 2:name_at + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        found = {}
        for kind, types in entries(base):
            for name, languages in entries(base + (types & 0x7FFFFFFF)):
                _, leaf = next(entries(base + (languages & 0x7FFFFFFF)))
                rva, size = struct.unpack_from("<II", self.data, base + leaf)
                at = self.offset(rva)
                found[(kind, name)] = self.data[at:at + size]
        return found


def manifest_problems(manifest):
    if manifest is None:
        return ["no application manifest (resource 24, id 1)"]
    root = ElementTree.fromstring(manifest)
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    systems = {e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")}
    problems = []
    if levels != ["requireAdministrator"]:
        problems.append("the manifest asks for execution level %s" % levels)
    if systems != WINDOWS_7_TO_11:
        problems.append("the manifest names the systems %s" % sorted(systems))
    return problems


def version_blocks(data, at, end):
    """(key, value, children) of the blocks of a VS_VERSIONINFO between at and end."""
    while at + 6 <= end:
        length, value_length, text = struct.unpack_from("<HHH", data, at)
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        size = value_length * 2 if text else value_length
        value = data[value_at:value_at + size]
        if text:
            value = value.decode("utf-16-le").rstrip("\0")
        yield key, value, list(version_blocks(data, (value_at + size + 3) & ~3, at + length))
        at = (at + length + 3) & ~3


def version_problems(info, version):
    if info is None:
        return ["no version information (resource 16, id 1)"]
    (key, fixed, children), = version_blocks(info, 0, len(info))
    numbers = [int(part) for part in version.split(".")] + [0, 0]
    expected = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    problems = []
    if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
        problems.append("the version information is malformed")
    if (file_ms, file_ls) != expected or (product_ms, product_ls) != expected:
        problems.append("the version numbers are not %s" % version)
    strings = {}
    for name, _, tables in children:
        if name == "StringFileInfo":
            for _, _, entries in tables:
                strings.update({entry: value for entry, value, _ in entries})
    wanted = {"FileVersion": version, "ProductVersion": version,
              "ProductName": "Quirn Dorvel+ Firmware Updater",
              "FileDescription": "Quirn Dorvel+ Firmware Updater",
              "OriginalFilename": "QDp_FW_FirstUpdater.exe", "InternalName": "QDp_FW_FirstUpdater"}
    for name, value in wanted.items():
        if strings.get(name) != value:
            problems.append("version string %s is %r, not %r" % (name, strings.get(name), value))
    return problems


PACKAGED = {"bin/QDp_FW_FirstUpdater.exe", "lib/libQDp_FW_FirstUpdater.dll.a",
            "include/QDp_FW_FirstUpdater.h", "README.txt"}


def main(executable, resources, package=None):
    image = Image(open(executable, "rb").read())
    problems = []
    if image.machine != IMAGE_FILE_MACHINE_I386:
        problems.append("not a 32-bit program (machine %#x)" % image.machine)
    exports = image.exports()
    listed = listed_exports(resources)
    if exports != listed:
        problems.append("exports differ: missing %s, extra %s"
                        % (sorted(listed - exports), sorted(exports - listed)))
    found = image.resources()
    for name in ("FWC", "BRC"):
        committed = open(os.path.join(resources, name + ".bin"), "rb").read()
        if found.get((RT_RCDATA, name)) != committed:
            problems.append("RCDATA %s is not resources/%s.bin" % (name, name))
    if (RT_GROUP_ICON, "MAINICON") not in found:
        problems.append("no icon MAINICON")
    problems += manifest_problems(found.get((RT_MANIFEST, 1)))
    problems += version_problems(found.get((RT_VERSION, 1)), project_version(resources))
    checks = 15
    if package:
        checks += 1
        archive = zipfile.ZipFile(package)
        packaged = set(archive.namelist())
        if not PACKAGED <= packaged:
            problems.append("the package lacks %s" % sorted(PACKAGED - packaged))
        elif b"\n" in archive.read("README.txt").replace(b"\r\n", b""):
            problems.append("README.txt has lines that do not end in CR LF")
    for problem in problems:
        print("check_release: " + problem)
    print("%d passed, %d failed" % (checks - len(problems), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
