"""A Windows drive kept as a Unix folder (drive_c of the simulated machine or
of the Wine prefix): Windows paths resolved without regard to letter case."""

import fnmatch
import os
import shutil


class Drive:
    def __init__(self, root):
        self.root = root  # the folder standing for C:\

    def _parts(self, winpath):
        p = winpath.replace("/", "\\")
        if len(p) >= 2 and p[1] == ":":
            if p[0].lower() != "c":
                raise ValueError(f"only drive C: is simulated: {winpath}")
            p = p[2:]
        return [c for c in p.split("\\") if c]

    def resolve(self, winpath, create_parents=False):
        """Unix path for winpath; existing components keep their own case."""
        here = self.root
        parts = self._parts(winpath)
        for i, part in enumerate(parts):
            candidate = os.path.join(here, part)
            if not os.path.lexists(candidate) and os.path.isdir(here):
                for name in os.listdir(here):
                    if name.lower() == part.lower():
                        candidate = os.path.join(here, name)
                        break
            if create_parents and i < len(parts) - 1 and not os.path.isdir(candidate):
                os.makedirs(candidate)
            here = candidate
        return here

    def read(self, winpath):
        path = self.resolve(winpath)
        if os.path.isdir(path):
            return None
        if not os.path.isfile(path):
            raise KeyError(winpath)
        with open(path, "rb") as f:
            return f.read()

    def put(self, winpath, data):
        """data: bytes for a file, None for a directory."""
        path = self.resolve(winpath, create_parents=True)
        if data is None:
            os.makedirs(path, exist_ok=True)
            return
        if os.path.isdir(path):
            shutil.rmtree(path)
        with open(path, "wb") as f:
            f.write(data)

    def glob(self, winpattern):
        parts = self._parts(winpattern)
        directory = self.resolve("C:\\" + "\\".join(parts[:-1]))
        if not os.path.isdir(directory):
            return []
        prefix = "C:\\" + "\\".join(parts[:-1])
        return sorted(prefix + "\\" + n for n in os.listdir(directory)
                      if fnmatch.fnmatch(n.lower(), parts[-1].lower()))
