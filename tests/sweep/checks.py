"""What a run of the setup program may leave behind when one platform call fails: the rules
of the fault sweep, apart from running anything."""

import os
import struct

from suite import regfile

QUESTION = "升级选择(是)，卸载请选(否)，退出按（取消） "
FRESH_INSTALL = "中文 (国际版) - 澄鹭五笔安装成功"
IDYES, IDNO = 6, 7
MODULE = "quenlix.ime"
TARGET = "C:\\Windows\\system32\\quenlix.ime"
RECORD_KEY = "hklm\\software\\quenlix"
PRELOAD_KEY = "hkcu\\keyboard layout\\preload"
LAYOUTS_KEY = "hklm\\system\\currentcontrolset\\control\\keyboard layouts\\"


# ---- the command line ---------------------------------------------------------------------

def normalise(command_line):
    """The command line as the program edits it before choosing its mode: quotes dropped,
    lower-cased, the first "/s" and "/p" cut out (the text up to a NUL, as Windows hands it)."""
    text = command_line.split("\0")[0].replace('"', "").lower()
    for switch in ("/s", "/p"):
        at = text.find(switch)
        if at >= 0:
            text = text[:at] + text[at + len(switch):]
    return text


def expected_exit(command_line, events, fault, baseline_events):
    """The exit code of the mode the run took: 2 after an uninstall, else 0. The question's
    answer is read from the run's own events; a question box that failed to show (the fault
    hit the first message box, which the unfaulted run used for the question) quits."""
    raw = command_line.split("\0")[0].replace('"', "").lower()
    if "/patch" in raw:
        return 0
    asked = [e for e in events if e.get("event") == "message" and e.get("text") == QUESTION]
    if asked:
        answer = asked[0].get("answer")
        if answer == IDNO:
            return 2
        if answer != IDYES:
            return 0
    elif fault == ("MessageBoxW", 1):
        first = next((e for e in baseline_events if e.get("event") == "message"), None)
        if first is not None and first.get("text") == QUESTION:
            return 0
    return 2 if "/u" in normalise(command_line) else 0


def program_directory(command_line, program, cwd):
    """The directory an install records: the edited command line cut at its last backslash,
    or, without one, the running program's own directory (lower-cased)."""
    text = normalise(command_line)
    cut = text.rfind("\\")
    if cut >= 0:
        return text[:cut]
    path = program if ":" in program else cwd.rstrip("\\") + "\\" + program
    return path.lower().rsplit("\\", 1)[0]


# ---- files --------------------------------------------------------------------------------

def apply_patch(module, patch):
    """The patched module, or None when the patch fails any check of its format: header,
    records, each range inside ModuleSize, which must be the module's length, every byte
    present and nothing after the last record."""
    if len(patch) < 6:
        return None
    size, count = struct.unpack_from("<IH", patch, 0)
    if size != len(module):
        return None
    out = bytearray(module)
    at = 6
    for _ in range(count):
        if len(patch) - at < 8:
            return None
        offset, length = struct.unpack_from("<II", patch, at)
        at += 8
        if offset + length > size or len(patch) - at < length:
            return None
        out[offset:offset + length] = patch[at:at + length]
        at += length
    return bytes(out) if at == len(patch) else None


def module_versions(drive_root):
    """Every module the run may leave installed: each quenlix.ime outside the system
    directory, and each of those with a valid patch.big5 of its directory applied."""
    versions = set()
    system = os.path.join(drive_root, "windows", "system32").lower()
    for here, _, names in os.walk(drive_root):
        if here.lower() == system:
            continue
        by_lower = {n.lower(): n for n in names}
        if MODULE not in by_lower:
            continue
        with open(os.path.join(here, by_lower[MODULE]), "rb") as f:
            module = f.read()
        versions.add(module)
        if "patch.big5" in by_lower:
            with open(os.path.join(here, by_lower["patch.big5"]), "rb") as f:
                patched = apply_patch(module, f.read())
            if patched is not None:
                versions.add(patched)
    return versions


def check_module(before, after, versions, uninstalled, fault):
    """The installed module is the old one, a new one or a fully patched new one. It may be
    gone only when there was none, after an uninstall, or when the copy that replaces it
    failed: the install removes the old module before it copies the new one."""
    if after is None:
        if before is None or uninstalled or fault == ("CopyFileW", 1):
            return []
        return ["the installed module is gone"]
    if after == before or after in versions:
        return []
    return [f"the installed module ({len(after)} bytes) is neither the old one nor a new one"]


def check_files(before, after, baseline_after):
    """Files other than the program's own work keep their contents: the package, the setup
    program and whatever else stood on the drive. Files are keyed by their lower-case path in
    the drive ("dl/patch.big5"). The program's own work: c:\\install.exe goes, the installed
    module is judged on its own, each patch.big5 holds its old or its new contents, and a font
    in the Fonts folder may be overwritten by the package's font of that name."""
    problems = []
    target = TARGET[3:].replace("\\", "/").lower()
    for path in sorted(set(before) | set(after)):
        old, now = before.get(path), after.get(path)
        if now == old or path in (target, "install.exe"):
            continue
        name = path.rsplit("/", 1)[-1]
        if name == "patch.big5":
            if now != baseline_after.get(path):
                problems.append(f"{path} is neither the old nor the new patch")
        elif path.startswith("windows/fonts/"):
            fonts = {data for other, data in before.items()
                     if other.rsplit("/", 1)[-1] == name and not other.startswith("windows/")}
            if now not in fonts:
                problems.append(f"{path} is neither the old font nor the package's")
        elif old is not None:
            problems.append(f"{path} changed" if now is not None else f"{path} is gone")
    return problems


# ---- registry -----------------------------------------------------------------------------

def value_text(entry):
    """A string value's (type, text up to its first NUL), or None when absent."""
    if entry is None:
        return None
    _, vtype, data = entry
    text = data[:len(data) - len(data) % 2].decode("utf-16-le", "replace")
    return vtype, text.split("\0")[0]


def record(registry):
    key = registry.get(RECORD_KEY)
    values = key["values"] if key else {}
    return value_text(values.get("system")), value_text(values.get("system_backup"))


def check_record(before, after, new_directory, baseline_after, uninstalled, fresh=False):
    """The record as a whole is the old one or the one this run writes (or, when only the new
    "system" could not be written, the old one with its backup already made); it may be gone
    after an uninstall. Never a new "system" that lost the earlier directory, unless the run
    found no installation (a failed read of the record) and so installed afresh, as shown."""
    system_before, backup_before = before
    allowed = {tuple(before), tuple(baseline_after)}
    if fresh:
        allowed.add(((1, new_directory), backup_before))
    if system_before is not None:
        allowed.add((system_before, (1, system_before[1])))
    if uninstalled:
        allowed.add((None, None))
    if tuple(after) not in allowed:
        return [f"record (system, system_backup) is {tuple(after)}; before it was {tuple(before)}, "
                f"a whole run leaves {tuple(baseline_after)}"]
    return []


def module_layouts(registry):
    """Identifiers of the layouts whose input method is the module, lower-case."""
    ids = set()
    for name, key in registry.items():
        if name.startswith(LAYOUTS_KEY):
            entry = value_text(key["values"].get("ime file"))
            if entry is not None and entry[1].lower() == MODULE:
                ids.add(name[len(LAYOUTS_KEY):])
    return ids


def preload(registry, module_ids):
    """The preload entries in number order, without the module's own."""
    key = registry.get(PRELOAD_KEY)
    numbered = []
    for name, entry in (key["values"].items() if key else []):
        if name.isdigit() and int(name) > 0:
            text = value_text(entry)[1]
            if text.lower() not in module_ids:
                numbered.append((int(name), text.lower()))
    return [text for _, text in sorted(numbered)]


def first_occurrences(items):
    seen = []
    for item in items:
        if item not in seen:
            seen.append(item)
    return seen


def is_subsequence(short, long):
    it = iter(long)
    return all(item in it for item in short)


def check_preload(before, after):
    """Every other entry is still there and in its order; a failing write may leave an entry
    twice, but nothing is lost, reordered or added."""
    if is_subsequence(before, after) and first_occurrences(after) == first_occurrences(before):
        return []
    return [f"preload entries {before} became {after}"]


def installed_afresh(events):
    """Whether the run told the user of a fresh install (not an upgrade)."""
    return any(e.get("event") == "message" and str(e.get("text", "")).startswith(FRESH_INSTALL)
               for e in events)
