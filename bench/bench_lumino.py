"""Benchmark of ParseGDS on the shared layouts; prints a Markdown table.

Per GDS file: KLayout's read time, ParseGDS + export_cells(combine=True),
ParseGDS + export_layers(combine=True) (each on a fresh parser, so both
include the parse), their ratios to the read time measured in this process,
the peak resident memory of a child process that reads and exports the file
once, the pool size and the number of placements in the combined cell tree.

Usage: python3 bench/bench_lumino.py [GDS_DIR] [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import json
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / ".." / "shared" / "data"


def stack_for(gds: Path) -> Path:
    name = "sky130_like_stack.json" if gds.name.startswith("tt_um_") else "photonics_stack.json"
    return DATA / name


def load(gds: Path):
    import klayout.db as kdb

    layout = kdb.Layout()
    layout.read(str(gds))
    return layout


def layer_table(gds: Path):
    import velloc.technology as vlt

    from corvane.core import lumino

    return lumino.get_layer_properties(*vlt.read_layer_technology(stack_for(gds)))


def placements(cell) -> int:
    """Placements held anywhere in a combined tree: each is relative to the top."""
    return sum(ref.trans_count + placements(ref) for ref in cell.references)


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def peak_rss_child(gds: Path) -> tuple[float, float]:
    """(peak RSS after imports, peak RSS after one read and both exports) of
    a fresh interpreter, in MiB."""
    out = subprocess.run(
        [sys.executable, __file__, "--measure-rss", str(gds)], check=True, capture_output=True, text=True
    ).stdout
    return tuple(json.loads(out.strip().splitlines()[-1]))


def peak_rss_mib() -> float:
    """Peak resident set of this process in MiB: VmHWM from /proc (reset by
    exec), else ru_maxrss, which on Linux a child inherits from its parent."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def measure_rss(gds: Path) -> None:
    """Child-process mode: print [base, peak] maxrss in MiB as JSON."""
    import klayout.db  # noqa: F401
    import numpy  # noqa: F401
    import shapely  # noqa: F401

    from corvane.core import lumino

    layers = layer_table(gds)
    base = peak_rss_mib()
    layout = load(gds)
    parser = lumino.ParseGDS(layout, layers)
    parser.export_cells(combine=True)
    parser.export_layers(combine=True)
    print(json.dumps([base, peak_rss_mib()]))


def bench(gds: Path, repeat: int) -> dict:
    from corvane.core import lumino

    layers = layer_table(gds)
    read = median_time(lambda: load(gds), repeat)
    layout = load(gds)

    def cells():
        p = lumino.ParseGDS(layout, layers)
        p.export_cells(combine=True)
        return p

    def by_layer():
        lumino.ParseGDS(layout, layers).export_layers(combine=True)

    t_cells = median_time(cells, repeat)
    t_layers = median_time(by_layer, repeat)
    parser = cells()
    base, peak = peak_rss_child(gds)
    return {
        "file": gds.name,
        "read": read,
        "cells": t_cells,
        "layers": t_layers,
        "base": base,
        "peak": peak,
        "pool": len(parser.instances),
        "placements": sum(placements(c) for c in parser.parsed_cells.cells),
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("gds_dir", nargs="?", type=Path, default=DATA / "gds")
    ap.add_argument("--repeat", type=int, default=5, help="runs per timing; the median is reported")
    ap.add_argument("--measure-rss", type=Path, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure_rss:
        measure_rss(args.measure_rss)
        return
    files = sorted(args.gds_dir.glob("*.gds"), key=lambda p: p.stat().st_size)
    if not files:
        sys.exit(f"no GDS files in {args.gds_dir}")
    print(f"median of {args.repeat} runs; memory: peak resident set (VmHWM) of a child process per file\n")
    print(
        "| file | KLayout read (ms) | parse + export_cells (ms) | ratio | export_layers (ms) | ratio "
        "| peak RSS (MiB) | RSS over imports (MiB) | pool | placements |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for gds in files:
        r = bench(gds, args.repeat)
        print(
            f"| {r['file']} | {r['read'] * 1e3:.1f} | {r['cells'] * 1e3:.1f} | {r['cells'] / r['read']:.1f} "
            f"| {r['layers'] * 1e3:.1f} | {r['layers'] / r['read']:.1f} | {r['peak']:.0f} "
            f"| {r['peak'] - r['base']:.0f} | {r['pool']} | {r['placements']} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
