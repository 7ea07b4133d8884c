#!/usr/bin/env python3
"""Checks that a built setup.exe is what Windows needs: a GUI executable that imports system
DLLs only and carries icon group 107, a version resource naming the product, and a manifest
that asks for administrator rights and common controls 6.

usage: check_pe.py SETUP_EXE...
"""
import struct
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "imm32.dll", "msvcrt.dll"}
RT_ICON_GROUP, RT_VERSION, RT_MANIFEST = 14, 16, 24


class Image:
    def __init__(self, data: bytes):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32plus = magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (112 if self.pe32plus else 96)
        self.directory = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva: int) -> int:
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"rva {rva:#x} outside every section")

    def imports(self):
        rva = self.directory[1][0]
        at = self.offset(rva)
        names = []
        while True:
            name_rva = struct.unpack_from("<12xI", self.data, at)[0]
            if name_rva == 0:
                return names
            end = self.data.index(b"\0", self.offset(name_rva))
            names.append(self.data[self.offset(name_rva):end].decode().lower())
            at += 20

    def resources(self):
        """{(type, id): [data bytes of each language]} for numbered entries."""
        found = {}
        if self.directory[2][0] == 0:
            return found
        base = self.offset(self.directory[2][0])

        def entries(at):
            named, numbered = struct.unpack_from("<12xHH", self.data, at)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, at + 16 + 8 * i)

        for type_id, type_at in entries(base):
            for name_id, name_at in entries(base + (type_at & 0x7FFFFFFF)):
                for _, leaf in entries(base + (name_at & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.setdefault((type_id, name_id), []).append(
                        self.data[self.offset(rva):self.offset(rva) + size])
        return found


def check(path: str) -> list:
    image = Image(open(path, "rb").read())
    problems = []
    if image.subsystem != 2:
        problems.append(f"subsystem {image.subsystem}, not the Windows GUI (2)")
    others = sorted(set(image.imports()) - SYSTEM_DLLS)
    if others:
        problems.append("imports DLLs that Windows does not ship: " + ", ".join(others))
    resources = image.resources()
    if (RT_ICON_GROUP, 107) not in resources:
        problems.append("no icon group 107")
    version = b"".join(resources.get((RT_VERSION, 1), []))
    if "澄鹭五笔".encode("utf-16-le") not in version:
        problems.append("no version resource naming the product 澄鹭五笔")
    manifest = b"".join(resources.get((RT_MANIFEST, 1), [])).decode("utf-8", "replace")
    for needed in ('level="requireAdministrator"', 'name="Microsoft.Windows.Common-Controls"',
                   'version="6.0.0.0"', "supportedOS"):
        if needed not in manifest:
            problems.append(f"manifest lacks {needed}")
    return problems


def main() -> int:
    failed = 0
    for path in sys.argv[1:]:
        problems = check(path)
        print(("FAIL " if problems else "PASS ") + path)
        for problem in problems:
            print("    " + problem)
        failed += bool(problems)
    print(f"{len(sys.argv) - 1 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
