"""Registry files in `reg import` form (UTF-16LE with BOM, "Windows Registry
Editor Version 5.00"), as the simulated machine keeps them."""

import re

HEADER = "Windows Registry Editor Version 5.00"
ROOTS = {
    "HKEY_LOCAL_MACHINE": "HKLM",
    "HKLM": "HKLM",
    "HKEY_CURRENT_USER": "HKCU",
    "HKCU": "HKCU",
}
LONG_ROOT = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}


def split_root(key):
    head, _, rest = key.partition("\\")
    root = ROOTS.get(head.upper())
    if root is None:
        raise ValueError(f"unknown registry root in {key!r}")
    return root, rest


def _unquote(text, start):
    """Reads a quoted reg-file string beginning at text[start] == '"'."""
    out = []
    i = start + 1
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
        elif c == '"':
            return "".join(out), i + 1
        else:
            out.append(c)
            i += 1
    raise ValueError("unterminated string in registry file")


def _hex_bytes(text):
    text = text.replace("\\\n", "").replace(" ", "").replace("\t", "").replace("\n", "")
    if not text:
        return b""
    return bytes(int(part, 16) for part in text.split(",") if part)


def parse(text, default_root):
    """Returns {(ROOT\\key lower): {"key": original, "values": {name lower: (name, type, bytes)}}}."""
    if text.startswith("\ufeff"):
        text = text[1:]
    text = text.replace("\r\n", "\n")
    # Join continued lines (a trailing backslash after hex data).
    text = re.sub(r"\\\n\s*", "", text)
    keys = {}
    current = None
    for line in text.split("\n"):
        line = line.strip()
        if not line or line == HEADER or line.startswith(";") or line.startswith("REGEDIT"):
            continue
        if line.startswith("["):
            name = line[1:line.rindex("]")]
            if name.startswith("-"):
                current = None
                continue
            head = name.partition("\\")[0].upper()
            full = name if head in ROOTS else default_root + "\\" + name
            root, rest = split_root(full)
            full = root + ("\\" + rest if rest else "")
            current = keys.setdefault(full.lower(), {"key": full, "values": {}})
            continue
        if current is None:
            continue
        if line.startswith("@"):
            value_name, pos = "", 1
        elif line.startswith('"'):
            value_name, pos = _unquote(line, 0)
        else:
            raise ValueError(f"unreadable registry line: {line!r}")
        if line[pos] != "=":
            raise ValueError(f"unreadable registry line: {line!r}")
        data = line[pos + 1:]
        if data == "-":
            current["values"].pop(value_name.lower(), None)
            continue
        if data.startswith('"'):
            s, _ = _unquote(data, 0)
            entry = (1, (s + "\0").encode("utf-16-le"))
        elif data.lower().startswith("dword:"):
            entry = (4, int(data[6:], 16).to_bytes(4, "little"))
        elif data.lower().startswith("hex:"):
            entry = (3, _hex_bytes(data[4:]))
        elif data.lower().startswith("hex("):
            close = data.index(")")
            entry = (int(data[4:close], 16), _hex_bytes(data[close + 2:]))
        else:
            raise ValueError(f"unreadable registry value: {line!r}")
        current["values"][value_name.lower()] = (value_name, entry[0], entry[1])
    return keys


def read(path, default_root):
    with open(path, "rb") as f:
        raw = f.read()
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    else:
        text = raw.decode("utf-8-sig")
    return parse(text, default_root)


def _quote(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write(path, keys):
    """keys: list of (full key 'HKLM\\...', [(name, type, bytes), ...])."""
    lines = [HEADER, ""]
    for key, values in keys:
        root, rest = split_root(key)
        lines.append("[" + LONG_ROOT[root] + ("\\" + rest if rest else "") + "]")
        for name, vtype, data in values:
            lhs = "@" if name == "" else _quote(name)
            lines.append(f"{lhs}=hex({vtype:x}):" + ",".join(f"{b:02x}" for b in data))
        lines.append("")
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
