#!/usr/bin/env python3
"""Prints keys of a simulated machine's registry (.reg files) with their values decoded.

usage: show-registry.py MACHINE_DIR KEY_PATTERN...
"""
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "scenarios"))
from suite import regfile  # noqa: E402  (the one reader of the machine's .reg files)

TYPES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}


def describe(kind: int, data: bytes) -> str:
    if kind in (1, 2, 7):
        text = data.decode("utf-16-le", errors="replace")
        nul = "with terminator" if text.endswith("\0") else "no terminator"
        return f'"{text.rstrip(chr(0))}" ({TYPES[kind]}, {len(data)} bytes, {nul})'
    return f"{data.hex(' ')} ({TYPES.get(kind, kind)})"


def main() -> None:
    machine, patterns = pathlib.Path(sys.argv[1]), [re.compile(p, re.I) for p in sys.argv[2:]]
    for hive, root in (("system.reg", "HKLM"), ("user.reg", "HKCU")):
        path = machine / hive
        if not path.exists():
            continue
        for entry in regfile.read(path, root).values():
            root_name, rest = regfile.split_root(entry["key"])
            key = f"[{regfile.LONG_ROOT[root_name]}\\{rest}]"
            if not any(p.search(key) for p in patterns):
                continue
            print("    " + key)
            for name, kind, data in entry["values"].values():
                print(f'        "{name}" = {describe(kind, data)}')


if __name__ == "__main__":
    main()
