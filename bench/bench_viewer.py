"""How fast the viewer page shows the shared layouts in headless Chromium.

For each layout of examples/gds (or the files given), and with
--copies N for the Tiny Tapeout layouts side by side N times (each copy with
cells of its own; 20 copies hold 825,580 shapes), lumino's message
(layer-wise unless --cell) is written with its viewer page; Chromium then
loads the page --repeat times with software WebGL2 (SwiftShader).  Printed
per layout: the message size, what the page drew, the time from navigation
start to the first frame drawn (median, min and max over the runs) with the
median of each step, the median time of a redraw (one frame, without the
loading), of a pick (the id buffer drawn and read at the canvas centre),
and of the whole Chromium run.  The page runs with its option "sync" (no
pauses for the progress bar) and without virtual time, so its clock is the
real one.  --assets DIR takes viewer.html and the script files from DIR instead
of the package (to compare versions of the page in one sitting).  Asserts
nothing; the figures depend on the machine and on what else runs on it.

    python3 bench/bench_viewer.py [--repeat N] [--cell] [--size WxH] [--copies N] [--assets DIR] [FILE.gds ...]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import velloc.pdk
import velloc.technology as vlt

from corvane import viewer
from corvane.core import communication, lumino, pdk
from corvane.viewer import headless, texts

from bench_lumino import copies_side_by_side

DATA = Path(__file__).resolve().parents[1] / "examples"


def stack_for(gds: Path) -> Path:
    return DATA / ("sky130_like_stack.json" if gds.name.startswith(("tt_", "copies_")) else "photonics_stack.json")


def message(gds: Path, output: lumino.Output, folder: Path) -> Path:
    stack, views = vlt.read_layer_technology(stack_for(gds))
    sent: list[Path] = []
    previous = communication.set_transport(lambda m: sent.append(communication.write_to_inbox(m, folder)))
    pdk.set_pdk(velloc.pdk.Pdk(name=gds.stem, layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(str(gds), output)
    finally:
        pdk.reset()
        communication.set_transport(previous)
    # The layout's texts beside the message, as the command line writes them.
    texts.write_page_data(gds, sent[0])
    return sent[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--cell", action="store_true", help="cell-wise messages (default layer-wise)")
    parser.add_argument("--size", default="1280x800")
    parser.add_argument("--copies", type=int, help="also the Tiny Tapeout layouts side by side this many times")
    parser.add_argument("--assets", type=Path, help="folder with the viewer.html and script files to use")
    args = parser.parse_args()
    if headless.find_chromium() is None:
        print("chromium is not installed (scripts/setup.sh installs it)", file=sys.stderr)
        return 1
    size = tuple(int(v) for v in args.size.split("x"))
    output = lumino.Output.CELL if args.cell else lumino.Output.LAYER
    print(f"viewer page in headless Chromium (SwiftShader), window {args.size}, {args.repeat} loads per file, {output.name.lower()}-wise"
          + (f", page from {args.assets}" if args.assets else ""))
    print()
    print("| file | message (MB) | parts | placements | polygons drawn | triangles drawn | first frame (ms): median [min-max] "
          "| of which: parse+decode / triangulate / layout+upload / draw (ms) | redraw (ms) | pick (ms) | chromium run (s) |")
    print("|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        files = args.files or sorted((DATA / "gds").glob("*.gds"), key=lambda p: p.stat().st_size)
        if args.copies:
            files.append(Path(tmp) / f"copies_{args.copies}.gds")
            copies_side_by_side(files[-1], args.copies)
        # The centre of the canvas, left of which the panel is.
        fragment = f"redraw=3&sync&pick={(size[0] - 281) // 2},{size[1] // 2}"
        for gds in files:
            page = viewer.write_page(message(gds, output, Path(tmp)), assets=args.assets)
            runs, walls = [], []
            for _ in range(args.repeat):
                start = time.perf_counter()
                runs.append(headless.page_stats(page, size=size, fragment=fragment, timeout=1800, virtual_time=False))
                walls.append(time.perf_counter() - start)
            first = [r["firstFrameMs"] for r in runs]
            step = lambda *keys: statistics.median(sum(r["stepsMs"][k] for k in keys) for r in runs)  # noqa: E731
            redraw = statistics.median(t for r in runs for t in r["redrawMs"])
            picks = [r["pickMs"] for r in runs if r.get("pickMs") is not None]
            r = runs[0]
            print(
                f"| {gds.name} | {page.with_suffix('.json').stat().st_size / 1e6:.2f} | {r['parts']} | {r['placements']:,} "
                f"| {r['polygonsDrawn']:,} | {r['trianglesDrawn']:,} "
                f"| {statistics.median(first):.0f} [{min(first):.0f}-{max(first):.0f}] "
                f"| {step('parse', 'decode'):.0f} / {step('triangulate'):.0f} / {step('layout', 'upload'):.0f} / {step('draw'):.0f} "
                f"| {redraw:.0f} | {statistics.median(picks) if picks else float('nan'):.0f} | {statistics.median(walls):.1f} |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
