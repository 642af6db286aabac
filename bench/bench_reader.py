"""Benchmark of the direct GDS2 reader against KLayout's own read; prints a
Markdown table.

Per GDS file: KLayout's ``Layout().read``; the direct reader
(``lumino._read_layout(..., counts=True)``: the file read into a buffer and
parsed into the core's layout, only sizes returned to Python) with all layers
kept, and with only the layers of the file's stack (sky130_like_stack.json
for the tt_um_* files, photonics_stack.json for the others); the ratios
reader / KLayout.  Each figure is the median of ``--repeat`` runs (default
7), the three reads interleaved in one process.  The reader is given the installed klayout
version and the registered libraries, as a caller that looked them up once
would (the package-metadata lookup of the version costs about half a
millisecond).  It asserts nothing; the figures depend on the machine and on
what else runs on it.

Usage: python3 bench/bench_reader.py [GDS ...] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import statistics
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "examples"


def stack_pairs(gds: Path):
    name = "sky130_like_stack.json" if gds.name.startswith("tt_um_") else "photonics_stack.json"
    return [(e["layer"], e["datatype"]) for e in json.loads((DATA / name).read_text())["layers"]]


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    files = args.files or sorted((DATA / "gds").glob("*.gds"))

    import importlib.metadata

    import klayout.db as kdb

    from corvane.core import lumino

    known = {"klayout_version": importlib.metadata.version("klayout"), "libraries": list(kdb.Library.library_names())}

    def klayout_read(path):
        layout = kdb.Layout()
        layout.read(path)
        return layout

    print("| file | shapes | points | instances | KLayout read (ms) | reader, all layers (ms) | ratio | "
          "reader, stack layers (ms) | ratio |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for gds in files:
        path = str(gds)
        pairs = stack_pairs(gds)
        counts, why = lumino._read_layout(path, counts=True, **known)
        if counts is None:
            print(f"| {gds.name} | declined: {why} | | | | | | | |")
            continue
        times = {"klayout": [], "all": [], "stack": []}
        for _ in range(args.repeat):
            times["klayout"].append(timed(lambda: klayout_read(path))[0])
            times["all"].append(timed(lambda: lumino._read_layout(path, counts=True, **known))[0])
            times["stack"].append(timed(lambda: lumino._read_layout(path, pairs, counts=True, **known))[0])
        k, a, s = (statistics.median(times[key]) * 1e3 for key in ("klayout", "all", "stack"))
        print(f"| {gds.name} | {counts['shapes']:,} | {counts['points']:,} | {counts['instances']:,} | {k:.1f} | "
              f"{a:.1f} | {a / k:.2f} | {s:.1f} | {s / k:.2f} |")


if __name__ == "__main__":
    main()
