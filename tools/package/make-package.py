#!/usr/bin/env python3
"""Assembles the sample package as a real one is laid out: setup.exe, the module, its
"patch.big5" (made by the setup program's own "/patch" mode on a simulated machine), the
read-me and the EUDC fonts (stand-ins of our own).

usage: make-package.py BUILD_DIR OUT_DIR
"""
import pathlib
import shutil
import subprocess
import sys

SIMPLIFIED = "简体字表：澄鹭五笔 汉字 输入 编码 词语 国际 这个 学习 简体中文"
TRADITIONAL = "繁體字表：澄鷺五筆 漢字 輸入 編碼 詞語 國際 這個 學習 繁體中文"


def traditional_variant(module: bytes) -> bytes:
    """The module as a Traditional-Chinese build would be: its character table swapped."""
    simplified = SIMPLIFIED.encode("utf-16-le")
    if module.count(simplified) != 1:
        sys.exit("make-package: the module's character table was not found exactly once")
    return module.replace(simplified, TRADITIONAL.encode("utf-16-le"))


def make_patch(build: pathlib.Path, module: bytes, variant: bytes) -> bytes:
    machine = build / "package-maker-machine"
    shutil.rmtree(machine, ignore_errors=True)
    sim = build / "native" / "setup-sim"
    # The machine holds the shipped module in the current directory and its Traditional
    # Chinese form installed in the system directory.
    drive = machine / "drive_c"
    (drive / "pkg").mkdir(parents=True)
    (drive / "Windows" / "system32").mkdir(parents=True)
    (drive / "Windows" / "Fonts").mkdir()
    (drive / "pkg" / "quenlix.ime").write_bytes(module)
    (drive / "Windows" / "system32" / "quenlix.ime").write_bytes(variant)
    run = subprocess.run([sim, "--machine", machine, "--cwd", "C:\\pkg", "--json", "--",
                          '"C:\\pkg\\setup.exe" /patch'], capture_output=True, text=True)
    if "Patch create successfuly" not in run.stdout:
        sys.exit("make-package: the patch maker failed:\n" + run.stdout + run.stderr)
    return (drive / "pkg" / "patch.big5").read_bytes()


def main() -> None:
    build, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    source = pathlib.Path(__file__).resolve().parents[2] / "package"
    module = (build / "win64" / "tools" / "wine" / "quenlix.ime").read_bytes()
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    shutil.copy(build / "win64" / "setup.exe", out / "setup.exe")
    (out / "quenlix.ime").write_bytes(module)
    (out / "patch.big5").write_bytes(make_patch(build, module, traditional_variant(module)))
    for item in sorted(source.iterdir()):
        shutil.copy(item, out / item.name)


if __name__ == "__main__":
    main()
