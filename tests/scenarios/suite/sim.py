"""The simulated side: a fresh machine folder per scenario, setup-sim run on
it, then the folder inspected."""

import json
import os
import shutil
import subprocess

from . import model, regfile
from .drive import Drive

# The simulated machine needs no loadable module: any fixed bytes stand for it.
SAMPLES = {"module": b"MZ" + bytes((i * 7 + 3) & 0xFF for i in range(4094))}


class SimSide:
    name = "sim"
    tolerate_terminator = False

    def __init__(self, build_dir, work_dir):
        self.runner = os.path.join(build_dir, "setup-sim")
        self.work_dir = work_dir
        self.samples = SAMPLES

    def check_ready(self):
        if not os.access(self.runner, os.X_OK):
            return f"setup-sim not found at {self.runner} (build the native tree first)"
        return None

    def run(self, scenario):
        machine = os.path.join(self.work_dir, scenario.name)
        drive = self.prepare(scenario, machine)
        try:
            proc = subprocess.run(self.command(scenario, machine), capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            return None, ["setup-sim did not finish within 60 s"]
        problems = []
        events, bad_lines = parse_events(proc.stdout)
        problems += [f"setup-sim printed a line that is not JSON: {line!r}" for line in bad_lines]
        if proc.stderr.strip():
            problems.append("setup-sim stderr: " + proc.stderr.decode("utf-8", "replace").strip())
        observed = model.Observed(events, proc.returncode, drive.read, drive.glob, read_registry(machine), True)
        if proc.returncode != scenario.expected_exit:
            problems.append(f"exit status {proc.returncode}, expected {scenario.expected_exit}")
        return observed, problems

    def prepare(self, scenario, machine):
        """Makes the machine folder the scenario starts from; returns its drive."""
        if os.path.exists(machine):
            shutil.rmtree(machine)
        drive = Drive(os.path.join(machine, "drive_c"))
        for d in ("C:\\Windows\\system32", "C:\\Windows\\Fonts"):
            drive.put(d, None)
        drive.put(scenario.cwd, None)
        drive.put(scenario.program, b"MZ setup program placeholder")
        for path, described in scenario.files_before.items():
            drive.put(path, model.file_bytes(described, self.samples))
        if scenario.layouts is not None:
            with open(os.path.join(machine, "machine.ini"), "w", encoding="ascii") as f:
                f.write(f"language=0x{scenario.lang:04X}\nlayouts={','.join(scenario.layouts)}\n")
        by_root = {"HKLM": [], "HKCU": []}
        for key, values in model.registry_values_before(scenario, include_wine=False):
            by_root[regfile.split_root(key)[0]].append((key, values))
        for root, fname in (("HKLM", "system.reg"), ("HKCU", "user.reg")):
            if by_root[root]:
                regfile.write(os.path.join(machine, fname), by_root[root])
        return drive

    def command(self, scenario, machine, extra=()):
        """The setup-sim command line that runs the scenario on `machine`."""
        cmd = [self.runner, "--json", "--machine", machine, "--cwd", scenario.cwd,
               "--lang", f"0x{scenario.lang:04x}"]
        if scenario.loaded:
            cmd.append("--loaded")
        for answer in scenario.answers:
            cmd += ["--answer", answer]
        cmd += list(extra)
        cmd += ["--", scenario.command_line]
        return cmd

    def close(self):
        pass


def parse_events(stdout):
    """setup-sim --json output -> (events, lines that are not JSON)."""
    events, bad = [], []
    for line in stdout.decode("utf-8", "replace").splitlines():
        if line.strip():
            try:
                events.append(json.loads(line))
            except json.JSONDecodeError:
                bad.append(line)
    return events, bad


def read_registry(machine):
    """Both hives of a machine folder, in the form model.Observed takes."""
    registry = {}
    for root, fname in (("HKLM", "system.reg"), ("HKCU", "user.reg")):
        path = os.path.join(machine, fname)
        if os.path.exists(path):
            registry.update(regfile.read(path, root))
    return registry
