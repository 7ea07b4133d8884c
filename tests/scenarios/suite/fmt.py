"""Writes scenario files in the suite's layout: an object or list stays on one
line while it fits, otherwise one member a line.
  python3 -m suite.fmt cases/FILE.json...   (from tests/scenarios)"""

import json
import sys


def fmt(value, indent=0, width=118):
    one = json.dumps(value, ensure_ascii=False)
    if len(one) + indent <= width or not isinstance(value, (dict, list)) or not value:
        return one
    pad = " " * (indent + 2)
    if isinstance(value, dict):
        items = [pad + json.dumps(k, ensure_ascii=False) + ": " + fmt(v, indent + 2, width) for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + " " * indent + "}"
    return "[\n" + ",\n".join(pad + fmt(v, indent + 2, width) for v in value) + "\n" + " " * indent + "]"


def main(paths):
    for path in paths:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        with open(path, "w", encoding="utf-8") as f:
            f.write(fmt(data) + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
