"""The Wine side: the real setup.exe in one fresh Wine prefix per test run,
driven by the harness (tools/wine). Each scenario first puts back what the
previous one touched: files that were not there when the prefix was made are
deleted, and the registry keys any scenario names (plus the ones the setup
program writes) are restored to their state after the prefix was made."""

import json
import os
import shutil
import subprocess
import time

from . import model
from .drive import Drive

LOCALES = {
    0x0804: "zh_CN.UTF-8", 0x0404: "zh_TW.UTF-8", 0x1004: "zh_SG.UTF-8", 0x0C04: "zh_HK.UTF-8",
    0x0409: "en_US.UTF-8", 0x0401: "ar_SA.UTF-8", 0x0411: "ja_JP.UTF-8",
}
# Registry keys the setup program (and Wine's input-method manager on its
# behalf) may change; restored before every scenario.
FOOTPRINT_KEYS = [
    "HKLM\\Software\\quenlix",
    "HKCU\\EUDC",
    "HKCU\\EUDC\\936",
    "HKCU\\Keyboard Layout\\Preload",
    "HKLM\\System\\CurrentControlSet\\Control\\Keyboard Layouts",
    model.PENDING_KEY,
]
RELAY_FUNCTIONS = "user32.MessageBoxW;shell32.ShellExecuteW;user32.SendMessageW;user32.SendMessageTimeoutW"
TOOLS = ["harness.exe", "regtool.exe", "ime_host.exe", "recorder.exe", "probe.exe", "quenlix.ime"]
WORK = "qtest"  # C:\qtest: the tools, job files and logs; never reset


def hex_utf16z(text):
    return (text + "\0").encode("utf-16-le").hex()


class WineSide:
    name = "wine"
    tolerate_terminator = True

    def __init__(self, build_dir, prefix_dir, all_keys):
        self.build_dir = build_dir
        self.prefix = os.path.abspath(prefix_dir)
        self.drive = Drive(os.path.join(self.prefix, "drive_c"))
        self.work = os.path.join(self.prefix, "drive_c", WORK)
        self.tool_dir = os.path.join(build_dir, "tools", "wine")
        self.setup_exe = os.path.join(build_dir, "setup.exe")
        self.samples = {}
        self.keeper = None
        self.pristine_files = set()
        self.reset_keys = list(dict.fromkeys(FOOTPRINT_KEYS + list(all_keys)))
        self.pristine_registry = {}
        self.current_registry = {}
        self.server_started = False

    # ---- environment ----------------------------------------------------

    def env(self, lang=0x0409):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDEBUG")}
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            # No Mono/Gecko install prompts; the recording stand-ins placed as
            # cacls.exe and write.exe are run instead of Wine's own programs.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;cacls.exe,write.exe=n",
            "LC_ALL": LOCALES[lang],
        })
        return env

    def check_ready(self):
        if shutil.which("wine") is None or shutil.which("wineserver") is None:
            return "wine is not installed (run tools/wine/prepare.sh)"
        missing = [p for p in [self.setup_exe] + [os.path.join(self.tool_dir, t) for t in TOOLS]
                   if not os.path.isfile(p)]
        if missing:
            return "not built: " + ", ".join(missing) + " (build the win64 tree first)"
        have = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
        lacking = [loc for loc in LOCALES.values() if loc.lower().replace("utf-8", "utf8") not in have]
        if lacking:
            return "locales missing: " + ", ".join(lacking) + " (run tools/wine/prepare.sh)"
        return None

    def _wine(self, args, lang=0x0409, stdout_name="wine.out", stderr_name="wine.err", timeout=120):
        with open(os.path.join(self.work, stdout_name), "wb") as out, \
                open(os.path.join(self.work, stderr_name), "wb") as err:
            proc = subprocess.Popen(["wine"] + args, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=self.env(lang))
            try:
                return proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise RuntimeError(f"wine {' '.join(args)} did not finish within {timeout} s")

    def _regtool(self, ops):
        with open(os.path.join(self.work, "reg-ops.txt"), "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(ops) + "\n")
        self._wine([f"C:\\{WORK}\\regtool.exe", f"C:\\{WORK}\\reg-ops.txt", f"C:\\{WORK}\\reg-out.jsonl"])
        with open(os.path.join(self.work, "reg-out.jsonl"), encoding="utf-8") as f:
            lines = [json.loads(line) for line in f if line.strip()]
        errors = [line for line in lines if "error" in line]
        if errors:
            raise RuntimeError(f"registry tool: {errors}")
        return lines

    # ---- prefix ---------------------------------------------------------

    def start(self):
        if os.path.exists(self.prefix):
            # A prefix left by an earlier run: stop its server before removing it.
            subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            shutil.rmtree(self.prefix)
        os.makedirs(self.work)
        # A persistent server: Wine's helper processes inherit the first
        # program's output and keep it open, so output only ever goes to files.
        with open(os.path.join(self.work, "wineserver.log"), "wb") as log:
            subprocess.run(["wineserver", "-p"], env=self.env(), stdout=log, stderr=log, check=True)
        self.server_started = True
        self._wine(["wineboot", "-i"], stdout_name="wineboot.out", stderr_name="wineboot.err", timeout=300)
        for tool in TOOLS:
            shutil.copy(os.path.join(self.tool_dir, tool), os.path.join(self.work, tool))
        system32 = self.drive.resolve("C:\\Windows\\system32")
        for name in ("cacls.exe", "write.exe"):
            shutil.copy(os.path.join(self.tool_dir, "recorder.exe"), os.path.join(system32, name))
        self._regtool([
            "set\tHKCU\\Software\\Wine\\Drivers\tGraphics\t1\t" + hex_utf16z("null"),
            "set\tHKCU\\Software\\Wine\\Debug\tRelayInclude\t1\t" + hex_utf16z(RELAY_FUNCTIONS),
        ])
        # The desktop that wineboot started has no display driver; a restart
        # of the prefix's server lets the next program start one with the
        # null driver just configured.
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(self.work, "wineserver.log"), "ab") as log:
            subprocess.run(["wineserver", "-p"], env=self.env(), stdout=log, stderr=log, check=True)
        # Keeps Wine's services running between scenarios (each scenario
        # would otherwise pay for starting them again).
        self.keeper = subprocess.Popen(["wine", f"C:\\{WORK}\\ime_host.exe", "--keep"], stdin=subprocess.DEVNULL,
                                       stdout=open(os.path.join(self.work, "keeper.out"), "wb"),
                                       stderr=subprocess.STDOUT, env=self.env())
        with open(os.path.join(self.tool_dir, "quenlix.ime"), "rb") as f:
            self.samples = {"module": f.read()}
        dumps = self._regtool([f"dump\t{k}" for k in self.reset_keys])
        for dump in dumps:
            self.pristine_registry[dump["key"].lower()] = dump
        self.current_registry = dict(self.pristine_registry)
        self.pristine_files = set(self._walk())

    def close(self):
        if self.keeper is not None and self.keeper.poll() is None:
            self.keeper.kill()
            self.keeper.wait()
        if self.server_started:
            subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.server_started = False

    def _walk(self):
        root = self.drive.root
        for here, dirs, files in os.walk(root):
            rel = os.path.relpath(here, root)
            if rel == ".":
                dirs[:] = [d for d in dirs if d.lower() not in (WORK, "users")]
            for name in dirs + files:
                yield os.path.normpath(os.path.join(rel, name)).lower()

    def _reset_files(self):
        root = self.drive.root
        for here, dirs, files in os.walk(root, topdown=True):
            rel = os.path.relpath(here, root)
            if rel == ".":
                dirs[:] = [d for d in dirs if d.lower() not in (WORK, "users")]
            keep_dirs = []
            for d in dirs:
                if os.path.normpath(os.path.join(rel, d)).lower() in self.pristine_files:
                    keep_dirs.append(d)
                else:
                    shutil.rmtree(os.path.join(here, d))
            dirs[:] = keep_dirs
            for name in files:
                if os.path.normpath(os.path.join(rel, name)).lower() not in self.pristine_files:
                    os.remove(os.path.join(here, name))

    def _registry_reset_ops(self):
        ops = []
        for key in self.reset_keys:
            pristine = self.pristine_registry.get(key.lower(), {"exists": False})
            current = self.current_registry.get(key.lower())
            if not pristine["exists"]:
                if current is None or current["exists"]:
                    ops.append(f"delkey\t{key}")
                continue
            if current is None or not current["exists"]:
                ops.append(f"mkkey\t{key}")
                current = {"values": [], "subkeys": []}
            keep = {v["name"].lower(): v for v in pristine["values"]}
            for v in current["values"]:
                if v["name"].lower() not in keep:
                    ops.append(f"delvalue\t{key}\t{v['name']}")
            now = {v["name"].lower(): v for v in current["values"]}
            for name, v in keep.items():
                if now.get(name) != v:
                    ops.append(f"set\t{key}\t{v['name']}\t{v['type']}\t{v['hex']}")
            if set(s.lower() for s in current["subkeys"]) - set(s.lower() for s in pristine["subkeys"]):
                ops.append("\t".join(["prune", key] + pristine["subkeys"]))
        return ops

    # ---- one scenario ---------------------------------------------------

    def run(self, scenario):
        if scenario.lang not in LOCALES:
            return None, [f"no locale stands for language 0x{scenario.lang:04x} under Wine"]
        self._reset_files()
        for name in ("events.jsonl", "registry.jsonl", "relay.log", "commands.log", "ready.txt"):
            path = os.path.join(self.work, name)
            if os.path.exists(path):
                os.remove(path)
        self.drive.put(scenario.cwd, None)
        image = self.setup_exe if scenario.image == "setup" else os.path.join(self.tool_dir, scenario.image + ".exe")
        with open(image, "rb") as f:
            self.drive.put(scenario.program, f.read())
        for source in (scenario.files_before, scenario.wine_files_before):
            for path, described in source.items():
                self.drive.put(path, model.file_bytes(described, self.samples))

        ops = self._registry_reset_ops()
        for key, values in model.registry_values_before(scenario, include_wine=True):
            ops.append(f"delkey\t{key}")
            ops.append(f"mkkey\t{key}")
            for name, vtype, data in values:
                ops.append(f"set\t{key}\t{name}\t{vtype}\t{data.hex()}")
        job = [
            f"exe={scenario.program}",
            f"cmdline={scenario.command_line}",
            f"cwd={scenario.cwd}",
            f"out=C:\\{WORK}\\events.jsonl",
            f"relay=C:\\{WORK}\\relay.log",
            "childdebug=+pid,+relay",
            "timeout=60000",
            f"regout=C:\\{WORK}\\registry.jsonl",
        ]
        job += [f"answer={model.ANSWERS[a]}" for a in scenario.answers]
        job += [f"reg={op}" for op in ops]
        job += [f"regdump={k}" for k in self.reset_keys]
        with open(os.path.join(self.work, "job.txt"), "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(job) + "\n")

        problems = []
        host = None
        try:
            if scenario.loaded:
                host, problem = self._start_host(scenario.lang)
                if problem:
                    return None, [problem]
            status = self._wine([f"C:\\{WORK}\\harness.exe", f"C:\\{WORK}\\job.txt"], lang=scenario.lang,
                                stdout_name="harness.out", stderr_name="relay.log", timeout=150)
            if status != 0:
                problems.append(f"harness exit status {status}")
        finally:
            if host is not None:
                if host.poll() is None:
                    host.kill()
                host.wait()

        events = []
        events_path = os.path.join(self.work, "events.jsonl")
        if os.path.exists(events_path):
            with open(events_path, encoding="utf-8") as f:
                for line in f:
                    if line.strip():
                        event = json.loads(line)
                        if event.get("event") == "error":
                            problems.append(f"harness: {event['what']}: {event['detail']}")
                        else:
                            events.append(event)
        else:
            problems.append("the harness wrote no events")
        registry = {}
        self.current_registry = {}
        reg_path = os.path.join(self.work, "registry.jsonl")
        if os.path.exists(reg_path):
            with open(reg_path, encoding="utf-8") as f:
                for line in f:
                    if not line.strip():
                        continue
                    dump = json.loads(line)
                    self.current_registry[dump["key"].lower()] = dump
                    if dump.get("exists"):
                        registry[model.normal_key(dump["key"])] = {
                            "key": dump["key"],
                            "values": {v["name"].lower(): (v["name"], v["type"], bytes.fromhex(v["hex"]))
                                       for v in dump["values"]},
                        }
        exit_code = events[-1]["code"] if events and events[-1].get("event") == "exit" else None
        observed = model.Observed(events, exit_code, self.drive.read, self.drive.glob, registry, False)
        return observed, problems

    def _start_host(self, lang):
        ready = os.path.join(self.work, "ready.txt")
        host = subprocess.Popen(["wine", f"C:\\{WORK}\\ime_host.exe", "C:\\Windows\\system32\\quenlix.ime",
                                 f"C:\\{WORK}\\ready.txt"], stdin=subprocess.DEVNULL,
                                stdout=open(os.path.join(self.work, "host.out"), "wb"),
                                stderr=subprocess.STDOUT, env=self.env(lang))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if os.path.exists(ready):
                with open(ready, encoding="ascii") as f:
                    text = f.read()
                if text.endswith("\n"):
                    if text.startswith("hwnd"):
                        return host, None
                    break
            if host.poll() is not None:
                break
            time.sleep(0.05)
        if host.poll() is None:
            host.kill()
        host.wait()
        text = open(ready).read().strip() if os.path.exists(ready) else "no answer"
        return None, f"the module host could not load C:\\Windows\\system32\\quenlix.ime: {text}"
