#!/usr/bin/env python3
"""Prints keys of a simulated machine's registry (.reg files) with their values decoded.

usage: show-registry.py MACHINE_DIR KEY_PATTERN...
"""
import pathlib
import re
import sys

TYPES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}


def describe(data: str) -> str:
    match = re.fullmatch(r'hex(?:\((\w+)\))?:(.*)', data)
    if match:
        kind = int(match.group(1) or "3", 16)
        raw = bytes(int(b, 16) for b in match.group(2).replace("\\", "").split(",") if b.strip())
        if kind in (1, 2, 7):
            text = raw.decode("utf-16-le", errors="replace")
            nul = "with terminator" if text.endswith("\0") else "no terminator"
            return f'"{text.rstrip(chr(0))}" ({TYPES[kind]}, {len(raw)} bytes, {nul})'
        return f"{raw.hex(' ')} ({TYPES.get(kind, kind)})"
    if data.startswith('"'):
        return f"{data} (REG_SZ, with terminator)"
    return data


def main() -> None:
    machine, patterns = pathlib.Path(sys.argv[1]), [re.compile(p, re.I) for p in sys.argv[2:]]
    for hive in ("system.reg", "user.reg"):
        path = machine / hive
        if not path.exists():
            continue
        show = False
        for line in path.read_bytes().decode("utf-16").splitlines():
            if line.startswith("["):
                show = any(p.search(line) for p in patterns)
                if show:
                    print("    " + line)
            elif show and "=" in line:
                name, data = line.split("=", 1)
                print(f"        {name} = {describe(data)}")


if __name__ == "__main__":
    main()
