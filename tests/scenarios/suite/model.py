"""Scenario files and the comparison of what a run left behind with what the
scenario expects. Both sides (simulated Windows, Wine) share this."""

import fnmatch
import json
import os
import re

ANSWERS = {"ok": 1, "cancel": 2, "yes": 6, "no": 7}
STRING_TYPES = (1, 2, 7)  # REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ
PENDING_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
PENDING_VALUE = "PendingFileRenameOperations"
SIDES = ("sim", "wine")


class ScenarioError(Exception):
    pass


def merge(base, override):
    """Variant fields over the file's common fields: objects merge key by key,
    everything else (null included) is replaced."""
    out = dict(base)
    for key, value in override.items():
        if isinstance(value, dict) and isinstance(out.get(key), dict):
            out[key] = merge(out[key], value)
        else:
            out[key] = value
    return out


def scenarios_in_file(path):
    """A file holds one scenario, or common fields plus "variants": a table of
    cases, each a name and the fields in which it differs."""
    stem = os.path.splitext(os.path.basename(path))[0]
    with open(path, encoding="utf-8") as f:
        try:
            data = json.load(f)
        except json.JSONDecodeError as e:
            raise ScenarioError(f"{path}: {e}") from e
    variants = data.pop("variants", None)
    if variants is None:
        return [Scenario(path, stem, data)]
    out = []
    for variant in variants:
        variant = dict(variant)
        name = variant.pop("name", None)
        if not name:
            raise ScenarioError(f"{path}: a variant without a name")
        out.append(Scenario(path, f"{stem}/{name}", merge(data, variant)))
    return out


class Scenario:
    def __init__(self, path, name, data):
        self.path = path
        self.name = name
        self.data = data
        known = {"title", "sides", "before", "cwd", "command_line", "program", "answers", "expect", "wine", "note",
                 "image"}
        unknown = set(data) - known
        if unknown:
            raise ScenarioError(f"{path}: unknown fields {sorted(unknown)}")
        for field in ("before", "cwd", "command_line", "expect"):
            if field not in data:
                raise ScenarioError(f"{path}: missing field {field!r}")
        self.title = data.get("title", self.name)
        # "image": which built program stands at `program` (the setup program
        # unless a fixture of the Wine tools is named).
        self.image = data.get("image", "setup")
        self.sides = tuple(data.get("sides", SIDES))
        before = data["before"]
        self.lang = int(str(before.get("lang", "0x0804")), 16)
        self.loaded = bool(before.get("loaded", False))
        # Keyboard layouts loaded in the session, in order (hex identifiers);
        # None leaves the machine's default.
        self.layouts = before.get("layouts")
        self.files_before = before.get("files", {})
        self.registry_before = before.get("registry", {})
        self.cwd = data["cwd"]
        self.command_line = data["command_line"]
        self.program = data.get("program") or program_from_command_line(self.command_line)
        self.answers = []
        for answer in data.get("answers", []):
            if answer not in ANSWERS:
                raise ScenarioError(f"{path}: unknown answer {answer!r}")
            self.answers.append(answer)
        expect = data["expect"]
        self.expected_exit = expect["exit"]
        self.expected_events = list(expect.get("events", [])) + [{"event": "exit", "code": self.expected_exit}]
        self.files_after = expect.get("files", {})
        self.registry_after = expect.get("registry", {})
        self.pending_deletes = expect.get("pending_deletes")
        wine = data.get("wine", {})
        self.wine_files_before = wine.get("files", {})
        self.wine_registry_before = wine.get("registry", {})
        # Check the values described early so a typo fails as the scenario's own error.
        for described in list(self.files_before.values()) + list(self.wine_files_before.values()):
            if described is not None and not isinstance(described, dict):
                raise ScenarioError(f"{path}: a file before must be an object")
        for key, values in list(self.registry_before.items()) + list(self.wine_registry_before.items()):
            for name, described in (values or {}).items():
                encode_value(described)

    def registry_keys(self):
        """Every key the scenario names, before or after."""
        keys = list(self.registry_before) + list(self.wine_registry_before) + list(self.registry_after)
        if self.pending_deletes is not None:
            keys.append(PENDING_KEY)
        return keys


def program_from_command_line(command_line):
    text = command_line.lstrip()
    if text.startswith('"'):
        end = text.find('"', 1)
        return text[1:end] if end > 0 else text[1:]
    return text.split()[0] if text.split() else text


def load_scenarios(case_dir, selection):
    """All scenarios, or those selected by file name (all its variants), by
    "file/variant", or by path."""
    paths = sorted(os.path.join(case_dir, n) for n in os.listdir(case_dir) if n.endswith(".json"))
    everything = [s for p in paths for s in scenarios_in_file(p)]
    if not selection:
        return everything
    chosen = []
    for item in selection:
        if os.path.isfile(item):
            chosen.extend(scenarios_in_file(item))
            continue
        match = [s for s in everything if s.name == item or s.name.split("/")[0] == item]
        if not match:
            raise ScenarioError(f"no scenario named {item!r}")
        chosen.extend(match)
    return chosen


# ---- values -------------------------------------------------------------

def encode_value(described):
    """A registry value as a scenario describes it -> (type, bytes)."""
    if not isinstance(described, dict):
        raise ScenarioError(f"registry value must be an object or null, got {described!r}")
    if "sz" in described:
        text = described["sz"] + ("\0" if described.get("nul") else "")
        return 1, text.encode("utf-16-le")
    if "expand_sz" in described:
        text = described["expand_sz"] + ("\0" if described.get("nul") else "")
        return 2, text.encode("utf-16-le")
    if "multi_sz" in described:
        return 7, "".join(s + "\0" for s in described["multi_sz"]).encode("utf-16-le") + b"\0\0"
    if "dword" in described:
        return 4, int(described["dword"]).to_bytes(4, "little")
    if "hex" in described:
        return int(described.get("type", 3)), bytes.fromhex(described["hex"])
    raise ScenarioError(f"unknown registry value description {described!r}")


def file_bytes(described, samples):
    """A file as a scenario describes it -> bytes (None for a directory)."""
    if described.get("dir"):
        return None
    if "text" in described:
        return described["text"].encode("utf-8")
    if "hex" in described:
        return bytes.fromhex(described["hex"])
    if "sample" in described:
        if described["sample"] not in samples:
            raise ScenarioError(f"unknown sample {described['sample']!r}")
        return samples[described["sample"]]
    raise ScenarioError(f"unknown file description {described!r}")


def describe_value(vtype, data):
    if vtype in STRING_TYPES and len(data) % 2 == 0:
        return f"type {vtype} {data.decode('utf-16-le', 'replace')!r} ({len(data)} bytes)"
    return f"type {vtype} hex {data.hex()}"


# ---- comparison ---------------------------------------------------------

class Observed:
    """What one run produced. `files` maps a Windows path to bytes, None for a
    directory, or raises KeyError when absent; `glob` lists matching paths;
    `registry` maps lower-case 'ROOT\\key' to {"key", "values": {lower name:
    (name, type, bytes)}} for the keys that exist (on Wine: those dumped)."""

    def __init__(self, events, exit_status, read_file, glob, registry, registry_complete):
        self.events = events
        self.exit_status = exit_status
        self.read_file = read_file
        self.glob = glob
        self.registry = registry
        self.registry_complete = registry_complete  # False: keys not dumped are unknown


def _match_field(expected, actual):
    if isinstance(expected, dict) and "re" in expected:
        return isinstance(actual, str) and re.fullmatch(expected["re"], actual) is not None
    return expected == actual and type(expected) is type(actual)


def compare_events(expected, actual):
    problems = []
    for i in range(max(len(expected), len(actual))):
        e = expected[i] if i < len(expected) else None
        a = actual[i] if i < len(actual) else None
        if e is None:
            problems.append(f"event {i + 1}: unexpected {json.dumps(a, ensure_ascii=False)}")
        elif a is None:
            problems.append(f"event {i + 1}: missing {json.dumps(e, ensure_ascii=False)}")
        elif set(e) != set(a) or not all(_match_field(e[k], a[k]) for k in e):
            problems.append(f"event {i + 1}: expected {json.dumps(e, ensure_ascii=False)}\n"
                            f"{'':12}got      {json.dumps(a, ensure_ascii=False)}")
    return problems


def strings_equal(expected, actual, tolerate_terminator):
    """tolerate_terminator: Wine stores a terminator the program did not count
    (see WINE-DIFFERENCES.md)."""
    etype, edata = expected
    atype, adata = actual
    if etype != atype:
        return False
    if edata == adata:
        return True
    return (tolerate_terminator and etype in STRING_TYPES and len(edata) % 2 == 0
            and not edata.endswith(b"\0\0") and adata == edata + b"\0\0")


def compare_state(scenario, observed, samples, tolerate_terminator):
    problems = []
    for path, described in scenario.files_after.items():
        if any(ch in path for ch in "*?"):
            matches = observed.glob(path)
            want = described.get("count") if described else 0
            if want is not None and len(matches) != want:
                problems.append(f"{path}: {len(matches)} files match, expected {want}")
            if described and "content" in described:
                content = file_bytes(described["content"], samples)
                for m in matches:
                    if observed.read_file(m) != content:
                        problems.append(f"{m}: content differs from the expected {described['content']}")
            continue
        try:
            data = observed.read_file(path)
            present = True
        except KeyError:
            present = False
        if described is None:
            if present:
                problems.append(f"{path}: should be absent but exists")
            continue
        if not present:
            problems.append(f"{path}: missing")
            continue
        want = file_bytes(described, samples)
        if want is None:
            if data is not None:
                problems.append(f"{path}: should be a directory but is a file")
        elif data is None:
            problems.append(f"{path}: should be a file but is a directory")
        elif data != want:
            problems.append(f"{path}: content differs ({len(data)} bytes, expected {len(want)})")
    for key, values in scenario.registry_after.items():
        entry = observed.registry.get(normal_key(key))
        if values is None:
            if entry is not None:
                problems.append(f"[{key}] should be absent but exists")
            continue
        if entry is None:
            problems.append(f"[{key}] missing")
            continue
        only = values.get("$only", False)
        for name, described in values.items():
            if name == "$only":
                continue
            actual = entry["values"].get(name.lower())
            if described is None:
                if actual is not None:
                    problems.append(f"[{key}] \"{name}\" should be absent, holds {describe_value(actual[1], actual[2])}")
                continue
            want = encode_value(described)
            if actual is None:
                problems.append(f"[{key}] \"{name}\" missing, expected {describe_value(*want)}")
            elif not strings_equal(want, (actual[1], actual[2]), tolerate_terminator):
                problems.append(f"[{key}] \"{name}\" holds {describe_value(actual[1], actual[2])}, "
                                f"expected {describe_value(*want)}")
        if only:
            named = {n.lower() for n in values if n != "$only"}
            extra = [v[0] for k, v in entry["values"].items() if k not in named]
            if extra:
                problems.append(f"[{key}] has unexpected values {extra}")
    if scenario.pending_deletes is not None:
        problems += compare_pending(scenario.pending_deletes, observed)
    return problems


def compare_pending(patterns, observed):
    """Every pattern names exactly one existing file that a delete-at-restart
    entry (source, empty destination) names; no other entries expected."""
    entry = observed.registry.get(normal_key(PENDING_KEY))
    raw = entry["values"].get(PENDING_VALUE.lower()) if entry else None
    items = []
    if raw is not None:
        items = raw[2].decode("utf-16-le", "replace").split("\0")
    pairs = []
    i = 0
    while i + 1 < len(items) and items[i]:
        pairs.append((items[i], items[i + 1]))
        i += 2
    deletions = [src[4:] if src.startswith("\\??\\") else src for src, dst in pairs if dst == ""]
    problems = []
    for pattern in patterns:
        found = [d for d in deletions if fnmatch.fnmatch(d.lower(), pattern.lower())]
        if len(found) != 1:
            problems.append(f"delete-at-restart entries matching {pattern}: {found} (all entries: {pairs})")
    if len(pairs) != len(patterns):
        problems.append(f"delete-at-restart entries: {pairs}, expected {len(patterns)}")
    return problems


def normal_key(key):
    from .regfile import split_root
    root, rest = split_root(key)
    return (root + ("\\" + rest if rest else "")).lower()


def registry_values_before(scenario, include_wine):
    """[(key, [(name, type, bytes)])] to put in place before the run."""
    merged = {}
    sources = [scenario.registry_before] + ([scenario.wine_registry_before] if include_wine else [])
    for source in sources:
        for key, values in source.items():
            if values is None:  # the key is absent
                merged.pop(key, None)
                continue
            slot = merged.setdefault(key, [])
            for name, described in (values or {}).items():
                vtype, data = encode_value(described)
                slot.append((name, vtype, data))
    return list(merged.items())
