"""Benchmark of the 3D file export on the shared layouts; prints a Markdown table.

Per GDS file of examples/gds (or the folder given), with its layer
stack (sky130_like_stack.json for the tt_um_* files, photonics_stack.json
for the others), layer-wise and at the default tolerance, for each way of
writing placements the installed package knows (``--instancing none``,
``ext``, ``both``; an older package writes both scenes only): the time of
``gds_to_glb`` (median of ``--repeat`` runs, default 3), of that the
conversion to viewer data (``to_3D_viewer``, shared by all modes), the file
size, meshes, placements and triangles.

``--rounds N`` repeats the whole table N times in turns with another
package (``--against PATH``: a folder to put first on sys.path in a child
process, e.g. an earlier staged build), so that before and after come from
one sitting.  It asserts nothing.

Usage: python3 bench/bench_export.py [GDS_DIR] [--repeat N] [--against STAGE --rounds N]
"""

from __future__ import annotations

import argparse
import gc
import inspect
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "examples"


def stack_for(gds: Path) -> Path:
    return DATA / ("sky130_like_stack.json" if gds.name.startswith("tt_um_") else "photonics_stack.json")


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def measure(files: list[Path], repeat: int) -> list[dict]:
    import velloc.technology as vlt

    from corvane.core import lumino
    from corvane.export import gds_to_glb

    modes = ["none", "ext", "both"] if "instancing" in inspect.signature(gds_to_glb).parameters else ["both"]
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for gds in files:
            stack, views = vlt.read_layer_technology(stack_for(gds))
            kw = dict(layer_stack=stack, layer_views=views)
            convert = median_time(lambda: lumino.to_3D_viewer(str(gds), lumino.Output.LAYER, as_dict=True, **kw), repeat)
            for mode in modes:
                out = Path(tmp) / "out.glb"
                extra = {"instancing": mode} if len(modes) > 1 else {}
                summary = None

                def run():
                    nonlocal summary
                    summary = gds_to_glb(gds, out, lumino.Output.LAYER, **kw, **extra)

                seconds = median_time(run, repeat)
                rows.append({"file": gds.name, "mode": mode, "seconds": seconds, "convert": convert,
                             "bytes": summary.bytes, "meshes": summary.meshes, "placements": summary.placements,
                             "triangles": summary.triangles})
    return rows


def table(rows: list[dict], title: str) -> str:
    lines = [f"### {title}", "", "| file | instancing | export s | of it to_3D_viewer s | file MB | meshes | placements | triangles |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['file']} | {r['mode']} | {r['seconds']:.3f} | {r['convert']:.3f} | {r['bytes'] / 1e6:.2f} | "
                     f"{r['meshes']:,} | {r['placements']:,} | {r['triangles']:,} |")
    return "\n".join(lines)


def merged(rounds: list[list[dict]]) -> list[dict]:
    """Medians of the times over rounds; the rest from the first."""
    out = []
    for k, first in enumerate(rounds[0]):
        row = dict(first)
        row["seconds"] = statistics.median(r[k]["seconds"] for r in rounds)
        row["convert"] = statistics.median(r[k]["convert"] for r in rounds)
        out.append(row)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("gds_dir", nargs="?", type=Path, default=DATA / "gds")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--against", type=Path, help="another package's folder, measured in turns with this one")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)  # child mode: rows as JSON
    args = parser.parse_args()
    files = sorted(args.gds_dir.glob("*.gds"))
    if args.json:
        print(json.dumps(measure(files, args.repeat)))
        return

    def child(path: Path | None) -> list[dict]:
        env = dict(os.environ)
        if path is not None:
            env["PYTHONPATH"] = os.pathsep.join([str(path), *filter(None, [env.get("PYTHONPATH")])])
        command = [sys.executable, __file__, str(args.gds_dir), "--repeat", str(args.repeat), "--json"]
        return json.loads(subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout)

    if args.against is None:
        print(table(measure(files, args.repeat), "this package"))
        return
    this, other = [], []
    for _ in range(args.rounds):
        other.append(child(args.against))
        this.append(child(None))
    print(table(merged(other), f"{args.against} (median of {args.rounds} rounds)"))
    print()
    print(table(merged(this), f"this package (median of {args.rounds} rounds)"))


if __name__ == "__main__":
    main()
