"""Benchmark of ParseGDS on a caller's own layout (a KLayout layout held in
memory, not a file lumino reads itself); prints a Markdown table.

Cases: every GDS file of ``examples/gds`` read once by KLayout, with
its stack's layer table (sky130_like_stack.json for the tt_um_* files,
photonics_stack.json for the others), and two layouts built in memory: the
Tiny Tapeout designs copied side by side into new cells (``tt copies``),
and a generated layout of many boxes, polygons and texts placed by simple
instances (``generated``).  Per case: ``ParseGDS`` + ``export_cells`` and
``ParseGDS`` + ``export_layers``, both combined and unsimplified
(``curve_tolerance=None``, so that only the reading and the tree are timed)
and simplified (the default tolerance).  Each case gives the shortest wall
time of ``--repeat`` runs (default 5) and their median processor time (of
every thread of the process: the figure that stays put on a machine busy
with other work).

``--against PYTHONPATH`` times another build too (a staged developer build,
e.g. of an earlier commit): the two run in child processes taking turns,
``--rounds`` rounds (default 3), and the table shows both with their ratio.
It asserts nothing; the figures depend on the machine and on what else runs
on it.

Usage: python3 bench/bench_parse.py [--repeat N] [--against PYTHONPATH [--rounds R]]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "examples"


def layouts():
    """(name, KLayout layout, layer table) per case."""
    import klayout.db as kdb
    import velloc.technology as vlt

    from corvane.core import lumino

    def table(stack):
        return lumino.get_layer_properties(*vlt.read_layer_technology(DATA / stack))

    sky, photonics = table("sky130_like_stack.json"), table("photonics_stack.json")
    files = sorted((DATA / "gds").glob("*.gds"), key=lambda p: p.stat().st_size)
    for gds in files:
        layout = kdb.Layout()
        layout.read(str(gds))
        yield gds.name, layout, sky if gds.name.startswith("tt_um_") else photonics

    # Built in memory: the Tiny Tapeout designs side by side, twice.
    copies = kdb.Layout()
    top = copies.create_cell("TOP")
    for k in range(2):
        for j, gds in enumerate(p for p in files if p.name.startswith("tt_um_")):
            source = kdb.Layout()
            source.read(str(gds))
            holder = copies.create_cell(f"COPY_{k}_{j}")
            holder.copy_tree(source.top_cells()[0])
            top.insert(kdb.CellInstArray(holder.cell_index(), kdb.Trans(k * 300_000, j * 300_000)))
    yield "tt copies (in memory)", copies, sky

    generated = kdb.Layout()
    top = generated.create_cell("TOP")
    layers = [generated.layer(1, 0), generated.layer(4, 0), generated.layer(11, 0)]
    for c in range(40):
        cell = generated.create_cell(f"C{c}")
        for k in range(400):
            x, y = (k * 7919) % 20000, (k * 104729) % 20000
            li = layers[k % 3]
            if k % 4 == 0:
                cell.shapes(li).insert(kdb.Polygon([kdb.Point(x, y), kdb.Point(x + 300, y + 40),
                                                    kdb.Point(x + 150, y + 400), kdb.Point(x - 20, y + 200)]))
            elif k % 4 == 1:
                cell.shapes(li).insert(kdb.Text("t", x, y))
            else:
                cell.shapes(li).insert(kdb.Box(x, y, x + 200, y + 50 + k % 90))
        for r in range(25):
            top.insert(kdb.CellInstArray(cell.cell_index(), kdb.Trans(r % 4, r % 2 == 1, c * 30000, r * 30000)))
    yield "generated (in memory)", generated, photonics


def measure(repeat: int) -> dict:
    from corvane.core import lumino

    out = {}
    for name, layout, table in layouts():
        for export in ("export_cells", "export_layers"):
            for tolerance, label in ((None, "unsimplified"), (0.01, "simplified")):
                def run():
                    parser = lumino.ParseGDS(layout, table, curve_tolerance=tolerance)
                    getattr(parser, export)(combine=True)

                run()  # warm
                times = []
                for _ in range(repeat):
                    start, cpu = time.perf_counter(), time.process_time()
                    run()
                    times.append((time.perf_counter() - start, time.process_time() - cpu))
                out[f"{name} | {export}, {label}"] = times
    return out


def figures(times) -> tuple[float, float]:
    """Shortest wall time and median processor time, in ms."""
    return min(w for w, _ in times) * 1e3, statistics.median(c for _, c in times) * 1e3


def child(pythonpath: str, repeat: int) -> dict:
    env = dict(os.environ, PYTHONPATH=pythonpath)
    r = subprocess.run([sys.executable, __file__, "--child", "--repeat", str(repeat)], env=env, capture_output=True,
                       text=True, check=True)
    return json.loads(r.stdout.splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--against", help="PYTHONPATH of another build to time in turns with this one")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(measure(args.repeat)))
        return
    if not args.against:
        results = measure(args.repeat)
        print(f"{args.repeat} runs: shortest wall time, median processor time\n")
        print("| layout | parse | wall (ms) | processor (ms) |")
        print("|---|---|---:|---:|")
        for case, times in results.items():
            wall, cpu = figures(times)
            print(f"| {case} | {wall:.1f} | {cpu:.1f} |")
        return
    this = os.environ.get("PYTHONPATH", "")
    runs = {"other": {}, "this": {}}
    for _ in range(args.rounds):
        for label, path in (("other", args.against), ("this", this)):
            for case, times in child(path, args.repeat).items():
                runs[label].setdefault(case, []).extend(times)
    print(f"{args.rounds} rounds x {args.repeat} runs, the two builds taking turns: shortest wall time and "
          f"median processor time; other: PYTHONPATH={args.against}, this: PYTHONPATH={this or '(installed)'}\n")
    print("| layout | parse | other wall (ms) | this wall (ms) | other processor (ms) | this processor (ms) "
          "| this / other (processor) |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for case in runs["this"]:
        (aw, ac), (bw, bc) = figures(runs["other"][case]), figures(runs["this"][case])
        print(f"| {case} | {aw:.1f} | {bw:.1f} | {ac:.1f} | {bc:.1f} | {bc / ac:.2f} |")


if __name__ == "__main__":
    main()
