#!/usr/bin/env python3
"""The patch benchmark behind run.sh: bench.py WORKDIR [SIZES_MIB...]

For each size, two pairs (few and many scattered runs of changed bytes), made reproducibly by
make_pair.py. Every command runs under /usr/bin/time for its peak memory; wall time is the
median of several runs (one run when a run takes over 5 s), with the page cache warm and
dirty pages written out before each run. Prints a Markdown table and writes it to
WORKDIR/results.md; the pairs and outputs are deleted as soon as their size is done.
"""
import os
import platform
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_pair  # noqa: E402

MIB = 1 << 20
SEED = 2024
# bsdiff sorts the suffixes of the whole old file: about 17 bytes of memory per module byte
# and minutes per 100 MiB on this kind of data. Larger pairs are left out.
BSDIFF_MAX_MIB = int(os.environ.get("BENCH_BSDIFF_MAX_MIB", "64"))
TIMEOUT = 900


def repeats_for(size_mib):
    return 7 if size_mib <= 8 else 5 if size_mib <= 64 else 3


def run_once(command, out_path=None):
    """Wall seconds and peak RSS (KiB) of one run, or None when it fails or times out.
    cmp writes its list to a file: with its output on /dev/null GNU cmp stops at the first
    difference."""
    if out_path and os.path.exists(out_path):
        os.remove(out_path)
    os.sync()
    rss_path = os.path.join(WORK, "rss")
    listing = open(out_path, "wb") if command[0] == "cmp" else subprocess.DEVNULL
    start = time.perf_counter()
    try:
        result = subprocess.run(
            ["/usr/bin/time", "-f", "%M", "-o", rss_path] + command,
            stdout=listing,
            stderr=subprocess.PIPE,
            timeout=TIMEOUT,
        )
    except subprocess.TimeoutExpired:
        return None
    finally:
        if listing != subprocess.DEVNULL:
            listing.close()
    seconds = time.perf_counter() - start
    # cmp -l answers 1 when the files differ.
    if result.returncode not in (0, 1) or (result.returncode == 1 and command[0] != "cmp"):
        sys.stderr.write(f"failed: {' '.join(command)}\n{result.stderr.decode()}\n")
        return None
    with open(rss_path) as f:
        rss = int(f.read().split()[-1])
    return seconds, rss


def measure_all(commands, repeats):
    """Runs the commands in turn, `repeats` rounds, so that a slow spell of the machine falls
    on all of them alike. Returns {name: (median seconds, largest peak RSS KiB) or None}.
    A command that took over 5 s is not run again."""
    times = {name: [] for name in commands}
    peaks = {name: 0 for name in commands}
    failed = set()
    for round_ in range(repeats):
        for name, (command, out_path) in commands.items():
            if name in failed or (round_ > 0 and times[name][0] > 5):
                continue
            one = run_once(command, out_path)
            if one is None:
                failed.add(name)
                continue
            times[name].append(one[0])
            peaks[name] = max(peaks[name], one[1])
    return {
        name: None if name in failed else (statistics.median(times[name]), peaks[name])
        for name in commands
    }


def same(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def describe_machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    fs = subprocess.run(["df", "-T", WORK], capture_output=True, text=True).stdout.split("\n")
    fstype = fs[1].split()[1] if len(fs) > 1 and fs[1] else "?"
    xdelta = subprocess.run(["xdelta3", "-V"], capture_output=True, text=True)
    xversion = (xdelta.stdout + xdelta.stderr).split("\n")[0].split(",")[0].strip()
    bsdiff = subprocess.run(
        ["dpkg-query", "-W", "-f", "${Version}", "bsdiff"], capture_output=True, text=True
    ).stdout.strip()
    return (
        f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, {fstype} file system; "
        f"{xversion}; bsdiff {bsdiff or '?'}; python {platform.python_version()}"
    )


def main():
    global WORK
    WORK = os.path.abspath(sys.argv[1])
    sizes = [int(s) for s in sys.argv[2:]] or [1, 64, 256]
    tool = os.path.join(WORK, "big5patch")
    old, new = os.path.join(WORK, "old"), os.path.join(WORK, "new")
    rows = []

    def row(pair, name, make, apply, patch_path, read, checked=True):
        def seconds(m):
            return "—" if m is None else f"{m[0]:.3f}"

        def ratio(m):
            return "—" if m is None else f"{m[0] / read:.2f}"

        def mib(m):
            return "—" if m is None else f"{m[1] / 1024:.1f}"

        size = os.path.getsize(patch_path) if patch_path and os.path.exists(patch_path) else None
        note = "" if checked else " (output differs!)"
        rows.append(
            f"| {pair} | {name}{note} | {seconds(make)} | {ratio(make)} | {seconds(apply)} "
            f"| {ratio(apply)} | {mib(make)} / {mib(apply)} | "
            f"{'—' if size is None else f'{size:,}'} |"
        )

    for size_mib in sizes:
        size = size_mib * MIB
        for shape, runs in (("few", 16), ("many", min(50000, size // 64))):
            pair = f"{size_mib} MiB, {shape} ({runs} runs)"
            sys.stderr.write(f"{pair}: generating\n")
            make_pair.write_pair(size, runs, SEED + size_mib, old, new)
            subprocess.run(["cat", old, new], stdout=subprocess.DEVNULL)  # warm the cache

            files = {name: os.path.join(WORK, name) for name in (
                "cmp.out", "out.cp", "patch.big5", "out.big5", "patch.xd3", "out.xd3", "patch.bsdiff",
                "out.bsdiff")}
            commands = {
                "read": (["cat", old, new], None),
                "copy": (["cp", old, files["out.cp"]], files["out.cp"]),
                "cmp": (["cmp", "-l", old, new], files["cmp.out"]),
                "big5patch make": ([tool, "make", old, new, "-o", files["patch.big5"]], None),
                "big5patch apply": (
                    [tool, "apply", files["patch.big5"], old, "-o", files["out.big5"]],
                    files["out.big5"],
                ),
                "xdelta3 make": (["xdelta3", "-e", "-f", "-s", old, new, files["patch.xd3"]], None),
                "xdelta3 apply": (
                    ["xdelta3", "-d", "-f", "-s", old, files["patch.xd3"], files["out.xd3"]],
                    files["out.xd3"],
                ),
            }
            if size_mib <= BSDIFF_MAX_MIB:
                commands["bsdiff make"] = (["bsdiff", old, new, files["patch.bsdiff"]], None)
                commands["bsdiff apply"] = (
                    ["bspatch", old, files["out.bsdiff"], files["patch.bsdiff"]],
                    files["out.bsdiff"],
                )
            sys.stderr.write(f"{pair}: timing\n")
            m = measure_all(commands, repeats_for(size_mib))
            read = m["read"][0]
            rows.append(
                f"| {pair} | read both files (`cat OLD NEW`) | {read:.3f} | 1.00 | | "
                f"| {m['read'][1] / 1024:.1f} | |"
            )
            rows.append(
                f"| {pair} | copy the module (`cp OLD OUT`) | | | {m['copy'][0]:.3f} "
                f"| {m['copy'][0] / read:.2f} | / {m['copy'][1] / 1024:.1f} | |"
            )
            row(pair, "`cmp -l OLD NEW > list`", m["cmp"], None, None, read)
            for name, suffix in (("big5patch", "big5"), ("xdelta3", "xd3"), ("bsdiff", "bsdiff")):
                if name + " make" not in commands:
                    rows.append(f"| {pair} | {name} | not run (over {BSDIFF_MAX_MIB} MiB) "
                                "| | | | | |")
                    continue
                checked = m[name + " apply"] is None or same(files["out." + suffix], new)
                label = "**big5patch**" if name == "big5patch" else name
                row(pair, label, m[name + " make"], m[name + " apply"], files["patch." + suffix],
                    read, checked)

            for path in [old, new] + list(files.values()):
                if os.path.exists(path):
                    os.remove(path)

    table = [
        f"Machine: {describe_machine()}.",
        "",
        "| pair | tool | make s | make ÷ read | apply s | apply ÷ read "
        "| peak RSS make / apply MiB | patch bytes |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ] + rows
    text = "\n".join(table) + "\n"
    with open(os.path.join(WORK, "results.md"), "w") as f:
        f.write(text)
    sys.stdout.write(text)
    os.remove(os.path.join(WORK, "rss"))


if __name__ == "__main__":
    main()
