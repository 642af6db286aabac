"""Benchmark of lumino on OASIS files against KLayout's read of them; prints a
Markdown table.

Files: the OASIS files of ../shared/data/corpus, and OASIS files written
here by KLayout from the shared GDS layouts (tt_um_vga_clock.gds and
UBC_Logo.gds, compressed into repetitions, in CBLOCKs, strict mode) and
from a generated layout of many cells with about a million shapes.  Each
file is drawn with a stack holding every layer it has.

Per file and build: KLayout's ``Layout().read``, ``lumino`` layer-wise (the
whole road to a message delivered to an in-memory transport), their ratio
measured in the same process (medians of ``--repeat`` runs, read and lumino
interleaved), and whether the core's reader answered.  Each measurement runs
in a fresh child process; ``--before PYTHONPATH`` adds the figures of
another build (a staged package of an earlier commit), the builds taking
turns file by file so that both see the same machine.  It asserts nothing.

Usage: python3 bench/bench_oasis.py [--repeat N] [--before PYTHONPATH] [--keep DIR]
"""

from __future__ import annotations

import argparse
import gc
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


def write_stack(layout_path: Path, stack_path: Path) -> None:
    """A stack with a level for every (layer, datatype) of the file."""
    import klayout.db as kdb

    ly = kdb.Layout()
    ly.read(str(layout_path))
    pairs = sorted({(ly.get_info(li).layer, ly.get_info(li).datatype) for li in ly.layer_indices()})
    levels = [dict(name=f"L{l}_{d}", layer=l, datatype=d, zmin=0.1 * k, thickness=0.2,
                   color=f"#{(k * 37) % 256:02x}80{(k * 91) % 256:02x}") for k, (l, d) in enumerate(pairs)]
    stack_path.write_text(json.dumps({"name": layout_path.stem, "layers": levels}))


def write_files(folder: Path) -> list[Path]:
    import klayout.db as kdb

    files = sorted((REPO / ".." / "shared" / "data" / "corpus").glob("*.oas"))

    def as_oasis(ly, name, **opts):
        options = kdb.SaveLayoutOptions()
        options.format = "OASIS"
        for key, value in opts.items():
            setattr(options, "oasis_" + key, value)
        path = folder / name
        ly.write(str(path), options)
        files.append(path)

    for gds, opts in [("tt_um_vga_clock.gds", dict(compression_level=2, write_cblocks=True, strict_mode=True)),
                      ("UBC_Logo.gds", dict(compression_level=2, write_cblocks=True))]:
        if (DATA / "gds" / gds).is_file():
            ly = kdb.Layout()
            ly.read(str(DATA / "gds" / gds))
            as_oasis(ly, gds.replace(".gds", ".oas"), **opts)
    # Many cells of boxes, polygons and paths, placed many times.
    ly = kdb.Layout()
    top = ly.create_cell("TOP")
    for k in range(100):
        c = ly.create_cell(f"C{k}")
        for j in range(10000):
            x, y = (j * 7919 + k * 13) % 200000, (j * 104729) % 150000
            li = ly.layer(k % 6, j % 2)
            if j % 3 == 0:
                c.shapes(li).insert(kdb.Box(x, y, x + 300 + j % 170, y + 100 + j % 50))
            elif j % 3 == 1:
                c.shapes(li).insert(kdb.Polygon([kdb.Point(x, y), kdb.Point(x + 90, y + 400), kdb.Point(x - 30, y + 90),
                                                 kdb.Point(x - 60, y + 20)]))
            else:
                c.shapes(li).insert(kdb.Path([kdb.Point(x, y), kdb.Point(x + 500, y), kdb.Point(x + 500, y + 300)], 40))
        top.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(k % 4, False, (k % 10) * 250000, (k // 10) * 200000)))
    as_oasis(ly, "generated_1M.oas", compression_level=1, write_cblocks=True)
    return files


def measure(path: Path, stack: Path, repeat: int) -> dict:
    """Child-process mode: medians of KLayout's read and of lumino."""
    import klayout.db as kdb
    import velloc.pdk
    import velloc.technology as vlt

    from corvane.core import communication, lumino, pdk

    layers, views = vlt.read_layer_technology(stack)
    pdk.set_pdk(velloc.pdk.Pdk(name="bench", layer_stack=layers, layer_views=views))
    sent = []
    communication.set_transport(sent.append)

    def read():
        kdb.Layout().read(str(path))

    def whole():
        lumino.lumino(str(path), lumino.Output.LAYER)
        sent.clear()

    whole()  # warm-up: libraries loaded and initialised
    reads, wholes, ratios = [], [], []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        read()
        r = time.perf_counter() - t
        gc.collect()
        t = time.perf_counter()
        whole()
        w = time.perf_counter() - t
        reads.append(r)
        wholes.append(w)
        ratios.append(w / r)
    answered = lumino._read_layout(str(path), counts=True)[0] is not None
    return {"read": statistics.median(reads), "lumino": statistics.median(wholes),
            "ratio": statistics.median(ratios), "answered": answered}


def child(build: str | None, path: Path, stack: Path, repeat: int) -> dict:
    env = dict(os.environ)
    if build is not None:
        env["PYTHONPATH"] = build
    out = subprocess.run([sys.executable, __file__, "--measure", str(path), "--stack", str(stack),
                          "--repeat", str(repeat)], check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--before", help="PYTHONPATH of another build to measure beside this one")
    ap.add_argument("--keep", type=Path, help="write the generated files here instead of a temporary folder")
    ap.add_argument("--measure", type=Path, help=argparse.SUPPRESS)
    ap.add_argument("--stack", type=Path, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure:
        print(json.dumps(measure(args.measure, args.stack, args.repeat)))
        return
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.keep or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        files = write_files(folder)
        builds = [("before", args.before)] if args.before is not None else []
        builds.append(("this build", None))
        print(f"median of {args.repeat} runs per file and build, each build in a child process\n")
        print("| file | size (kB) | build | KLayout read (ms) | lumino layer (ms) | lumino / read | core's reader |")
        print("|---|---:|---|---:|---:|---:|---|")
        for path in files:
            stack = folder / (path.stem + ".stack.json")
            write_stack(path, stack)
            for name, build in builds:
                r = child(build, path, stack, args.repeat)
                print(f"| {path.name} | {path.stat().st_size / 1e3:.0f} | {name} | {r['read'] * 1e3:.1f} "
                      f"| {r['lumino'] * 1e3:.1f} | {r['ratio']:.2f} | {'answers' if r['answered'] else 'declines'} |",
                      flush=True)


if __name__ == "__main__":
    main()
