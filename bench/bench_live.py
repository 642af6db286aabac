"""How fast the live viewer follows a save, and how fast it traces nets.

With tt_um_vga_clock (or the file given) and its stack (sky130 by default),
a live viewer (``corvane.serve.LiveServer``) serves a copy of the file and
headless Chromium (software WebGL2 through SwiftShader) shows it.  Then:

* saves: the copy is written again --saves times (the same bytes, as a
  tool that saves an unchanged layout does).  Printed per save and as
  medians: from the end of the write to the new picture on screen (the
  version's first frame drawn in the page shown, or a new frame swapped in
  by the shell), split into the server's part (the watcher, the wait for a
  complete file and the conversion: the end of the write to the version
  being published) and the page's, with the page's own steps.
* nets: at points of the chip (a short signal net, the net of the longest
  met1 wire of the top cell, both power nets from their met4 straps), the
  trace through the server's address (KLayout's tracer, the shapes
  encoded, the answer over HTTP) --repeat times: elements, shapes drawn,
  the answer's size, the tracer's time, the encoding, the whole request
  (medians); and a click in the page on the first and last of them, from
  the click to the net drawn.

The machine's load is printed with the figures, which depend on it; the
page draws in software, where a graphics card draws a frame in
milliseconds.  Asserts nothing.

    python3 bench/bench_live.py [--saves N] [--repeat N] [--stack S] [--size WxH] [--no-nets] [FILE.gds]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time
import urllib.parse
import urllib.request
from pathlib import Path

import klayout.db as kdb

from corvane.serve import ConversionOptions, LiveServer
from corvane.viewer.devtools import Browser

DATA = Path(__file__).resolve().parents[1] / "examples"
VIEWER = "corvaneLive.viewer"
DOC = "corvaneLive.shown.frame.contentDocument"


def load() -> str:
    return "load average " + ", ".join(f"{v:.1f}" for v in os.getloadavg())


def yardstick(path: Path) -> float:
    """KLayout's read of the file (ms): how fast this machine is just now."""
    times = []
    for _ in range(5):
        started = time.perf_counter()
        kdb.Layout().read(str(path))
        times.append((time.perf_counter() - started) * 1000)
    return statistics.median(times)


def points(gds: Path) -> list[tuple[str, float, float, tuple[int, int]]]:
    """(what, x, y, layer) of the nets to trace, found in the layout."""
    layout = kdb.Layout()
    layout.read(str(gds))
    top = layout.top_cell()
    dbu = layout.dbu
    m1 = [s.bbox() for s in top.shapes(layout.find_layer(68, 20)).each() if s.is_box()]
    wires = sorted((b for b in m1 if min(b.width(), b.height()) >= 140), key=lambda b: max(b.width(), b.height()))
    short, longest = wires[len(wires) // 2], wires[-1]
    chosen = [("a signal net (a met1 wire of median length)", short, (68, 20)), ("the net of the longest met1 wire", longest, (68, 20))]
    # The power straps on met4, left to right, alternate between the two power nets.
    straps = sorted((s.bbox() for s in top.shapes(layout.find_layer(71, 20)).each() if s.bbox().height() > 100_000), key=lambda b: b.left)
    chosen += [(f"a power net (met4 strap {k + 1})", b, (71, 20)) for k, b in enumerate(straps[:2])]
    return [(what, box.center().x * dbu, box.center().y * dbu, pair) for what, box, pair in chosen]


def state(url: str) -> dict:
    with urllib.request.urlopen(url + "events", timeout=60) as response:
        for raw in response:
            line = raw.decode()
            if line.startswith("data: "):
                return json.loads(line[6:])
    raise RuntimeError("no state from the server")


def shown(tab, version: int) -> None:
    tab.wait_for(f"corvaneLive.shown && corvaneLive.shown.version === {version} && !corvaneLive.loading", 600)


def bench_saves(server: LiveServer, path: Path, tab, saves: int) -> None:
    data = path.read_bytes()
    rows = []
    for k in range(saves):
        version = k + 2
        with path.open("wb") as f:
            f.write(data)
        saved = time.time() * 1000
        shown(tab, version)
        swap = tab.evaluate("corvaneLive.swaps[corvaneLive.swaps.length - 1]")
        published = state(server.url)["publishedAt"]
        page = json.loads(tab.evaluate(f"{DOC}.getElementById('corvane-stats').textContent"))
        rows.append(
            {
                "total": swap["at"] - saved,
                "server": published - saved,
                "page": swap["at"] - published,
                "first frame": page["firstFrameMs"],
                **{f"  {name}": ms for name, ms in page["stepsMs"].items()},
            }
        )
        print(f"save {k + 1}: save to new picture {rows[-1]['total']:.0f} ms "
              f"(server {rows[-1]['server']:.0f} ms, page {rows[-1]['page']:.0f} ms); {load()}", flush=True)
    print("\n| from the end of the write | median (ms) | min | max |\n|---|---:|---:|---:|")
    labels = {"total": "to the new picture", "server": "the server: watcher, complete file, conversion, page",
              "page": "the page: to the new picture (in place or a new frame)", "first frame": "  of which the page's first frame"}
    for key in rows[0]:
        values = [r[key] for r in rows]
        print(f"| {labels.get(key, key)} | {statistics.median(values):.0f} | {min(values):.0f} | {max(values):.0f} |")


def trace(server: LiveServer, version: int, x: float, y: float, pair: tuple[int, int]) -> tuple[dict, float, int]:
    query = urllib.parse.urlencode({"v": version, "x": x, "y": y, "layer": f"{pair[0]}/{pair[1]}"})
    started = time.perf_counter()
    with urllib.request.urlopen(server.url + "net?" + query, timeout=600) as response:
        body = response.read()
    return json.loads(body), (time.perf_counter() - started) * 1000, len(body)


def bench_nets(server: LiveServer, tab, gds: Path, repeat: int, version: int) -> None:
    chosen = points(gds)
    print("\n| net | name | elements | shapes drawn | answer (MB) | tracer (ms) | encoding (ms) | request (ms) |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for what, x, y, pair in chosen:
        runs = [trace(server, version, x, y, pair) for _ in range(repeat)]
        net = runs[0][0]
        med = lambda values: statistics.median(values)  # noqa: E731
        print(f"| {what} | {net['name']} | {net['elements']:,} | {net['shapes']:,} | {runs[0][2] / 1e6:.2f} | "
              f"{med([r[0]['traceMs'] for r in runs]):.0f} | {med([r[0]['encodeMs'] for r in runs]):.0f} | "
              f"{med([r[1] for r in runs]):.0f} |", flush=True)
    print(f"\n{load()}; yardstick {yardstick(gds):.0f} ms\n\n| click in the page | shapes drawn | click to net drawn (ms) | of which the server (ms) |\n|---|---:|---:|---:|")
    for what, x, y, pair in (chosen[0], chosen[-1]):
        z = 1.3761 + 0.36 if pair == (68, 20) else 4.0211 + 0.845
        tab.evaluate(f"(() => {{ const c = {VIEWER}.camera; {VIEWER}.setSolo('{'met1' if pair == (68, 20) else 'met4'}', true);"
                     f" c.target = [{x}, {y}, c.target[2]]; c.half = 3; {VIEWER}.draw(); return 1; }})()")
        cx, cy = tab.evaluate(f"(() => {{ const r = {DOC}.getElementById('view').getBoundingClientRect();"
                              f" const [a, b] = {VIEWER}.toScreen([{x}, {y}, {z}]); return [r.left + a, r.top + b]; }})()")
        tab.evaluate(f"{DOC}.getElementById('corvane-net').textContent = '', 1")
        tab.click(cx, cy)
        net = tab.wait_for(f"(() => {{ const t = {DOC}.getElementById('corvane-net').textContent; const j = t ? JSON.parse(t) : null;"
                           " return j && (j.state === 'ready' || j.state === 'error') ? j : null; })()", 600)
        if net["state"] != "ready":
            print(f"| {what} | no net: {net.get('error')} | | |")
        else:
            print(f"| {what} | {net['shapes']:,} | {net['roundTripMs']:.0f} | {net['traceMs']:.0f} (tracer) |")
        tab.click(5, 5)  # on the panel: nothing
        tab.evaluate(f"{VIEWER}.setSolo('{'met1' if pair == (68, 20) else 'met4'}', false), 1")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("gds", nargs="?", type=Path, default=DATA / "gds" / "tt_um_vga_clock.gds")
    parser.add_argument("--stack", default="sky130")
    parser.add_argument("--saves", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--size", default="1280x800")
    parser.add_argument("--no-nets", action="store_true", help="only the saves")
    args = parser.parse_args()
    if not args.gds.is_file():
        print(f"no layout {args.gds}")
        return 1
    width, height = (int(v) for v in args.size.split("x"))
    folder = Path(tempfile.mkdtemp(prefix="bench-live-"))
    path = folder / args.gds.name
    shutil.copy(args.gds, path)
    print(f"{args.gds.name} ({path.stat().st_size:,} bytes), stack {args.stack}, page {width}x{height}; {load()}")
    print(f"yardstick: KLayout reads the file in {yardstick(path):.0f} ms (median of 5, this sitting)\n")
    server = LiveServer(path, ConversionOptions(stack=args.stack), say=lambda text: None)
    server.start()
    try:
        with Browser(timeout=600) as browser:
            tab = browser.open(server.url + "#sync", (width, height))
            shown(tab, 1)
            bench_saves(server, path, tab, args.saves)
            if not args.no_nets:
                bench_nets(server, tab, args.gds, args.repeat, args.saves + 1)
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
