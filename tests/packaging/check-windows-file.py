#!/usr/bin/env python3
"""Reads the resources of a Windows file (PE32 or PE32+) as Windows would.

  check-windows-file.py version --version V --product P --company C FILE...
      each FILE's version resource: the fixed file and product versions V.0, the strings FileVersion and
      ProductVersion V, ProductName P, CompanyName C, OriginalFilename the file's own name, a FileDescription, and
      the file type (an application for .exe, a library for .dll); one line per fault, exit status 1 on any.
  check-windows-file.py extract FILE TYPE NAME OUT
      writes the bytes of resource TYPE/NAME (names or numbers) of FILE to OUT.
"""
import argparse
import os
import struct
import sys

RT_VERSION = 16
VFT_APP, VFT_DLL = 1, 2


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("not an MZ file")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        sections, optional_size = struct.unpack_from("<H12xH", d, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", d, optional)[0]
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        self.resource_rva, _ = struct.unpack_from("<II", d, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            virtual_size, rva, raw_size, raw = struct.unpack_from("<IIII", d, table + i * 40 + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def _entries(self, directory):
        base = self.offset(self.resource_rva)
        named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, base + directory + 16 + i * 8)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                name = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le").upper()
            yield name, target

    def resources(self, kind):
        """The bytes of every resource of type `kind` (a number or a name), by name, first language only."""
        if not self.resource_rva:
            return {}
        found = {}
        for type_name, type_dir in self._entries(0):
            if type_name != kind:
                continue
            for name, name_dir in self._entries(type_dir & 0x7FFFFFFF):
                _, leaf = next(self._entries(name_dir & 0x7FFFFFFF))
                rva, size = struct.unpack_from("<II", self.data, self.offset(self.resource_rva) + leaf)
                found[name] = self.data[self.offset(rva):self.offset(rva) + size]
        return found


def version_nodes(blob, pos=0):
    """A VS_VERSIONINFO node at pos: (key, value bytes or text, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", blob, pos)
    end = pos + length
    key_end = pos + 6
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[pos + 6:key_end].decode("utf-16-le")
    at = (key_end + 2 + 3) & ~3
    if kind == 1:  # text, its length in characters
        value = blob[at:at + 2 * value_length].decode("utf-16-le").rstrip("\0")
        at += 2 * value_length
    else:
        value = blob[at:at + value_length]
        at += value_length
    children = []
    at = (at + 3) & ~3
    while at < end:
        child = version_nodes(blob, at)
        children.append(child)
        at = (at + struct.unpack_from("<H", blob, at)[0] + 3) & ~3
    return key, value, children


def check_version(path, version, product, company):
    faults = []
    name = os.path.basename(path)
    blobs = PeFile(path).resources(RT_VERSION)
    if len(blobs) != 1:
        return [f"{name}: {len(blobs)} version resources, expected one"]
    key, fixed, children = version_nodes(next(iter(blobs.values())))
    if key != "VS_VERSION_INFO" or len(fixed) != 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        return [f"{name}: the version resource has no fixed file information"]
    parts = [int(p) for p in version.split(".")] + [0]
    want = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", fixed, 8)
    file_type = struct.unpack_from("<I", fixed, 36)[0]
    shown = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    if (file_ms, file_ls) != want:
        faults.append(f"{name}: fixed file version {shown(file_ms, file_ls)}, expected {version}.0")
    if (product_ms, product_ls) != want:
        faults.append(f"{name}: fixed product version {shown(product_ms, product_ls)}, expected {version}.0")
    expected_type = VFT_DLL if name.lower().endswith(".dll") else VFT_APP
    if file_type != expected_type:
        faults.append(f"{name}: file type {file_type}, expected {expected_type}")
    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, pairs in tables:
                strings.update({k: v for k, v, _ in pairs})
    expected = {"FileVersion": version, "ProductVersion": version, "ProductName": product,
                "CompanyName": company, "OriginalFilename": name}
    for field, value in expected.items():
        if strings.get(field) != value:
            faults.append(f"{name}: {field} is {strings.get(field)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        faults.append(f"{name}: no FileDescription")
    if not faults:
        print(f"ok: {name} is version {version} of {product} by {company}: {strings['FileDescription']}")
    return faults


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    version = commands.add_parser("version")
    version.add_argument("--version", required=True)
    version.add_argument("--product", required=True)
    version.add_argument("--company", required=True)
    version.add_argument("files", nargs="+")
    extract = commands.add_parser("extract")
    extract.add_argument("file")
    extract.add_argument("type")
    extract.add_argument("name")
    extract.add_argument("out")
    args = parser.parse_args()

    if args.command == "version":
        faults = []
        for path in args.files:
            try:
                faults += check_version(path, args.version, args.product, args.company)
            except (OSError, ValueError, KeyError, struct.error) as e:
                faults.append(f"{os.path.basename(path)}: cannot read its resources: {e}")
        for fault in faults:
            print(f"FAIL: {fault}")
        return 1 if faults else 0
    key = lambda text: int(text) if text.isdigit() else text.upper()
    found = PeFile(args.file).resources(key(args.type)).get(key(args.name))
    if found is None:
        print(f"FAIL: {args.file} has no resource {args.type}/{args.name}")
        return 1
    with open(args.out, "wb") as f:
        f.write(found)
    return 0


if __name__ == "__main__":
    sys.exit(main())
