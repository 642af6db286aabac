"""Benchmark of lumino, GDS file to viewer message, on the shared layouts;
prints Markdown tables.

Per GDS file (with its layer stack: sky130_like_stack.json for the tt_um_*
files, photonics_stack.json for the others) and output mode (cell, layer):

- KLayout's own ``Layout.read`` of the file;
- the parse: ``ParseGDS`` + ``export_cells``/``export_layers(combine=True)``
  on the layout read once;
- ``to_3D_viewer`` (read, parse, viewer tree);
- ``lumino``, the whole path: viewer tree, map form, base64 buffers, JSON
  text, message delivered to an in-memory transport of the host;
- the ratio lumino / read, both measured in this process (each figure is the
  median of ``--repeat`` runs, default 5);
- the peak resident memory (VmHWM) of a child process that runs lumino once,
  absolute and above the level after imports;
- the message size.

``--profile FILE`` instead breaks one lumino call on FILE down by stage.

Usage: python3 bench/bench_lumino.py [GDS_DIR] [--repeat N] [--profile FILE]
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
MODES = ("CELL", "LAYER")


def stack_for(gds: Path) -> Path:
    name = "sky130_like_stack.json" if gds.name.startswith("tt_um_") else "photonics_stack.json"
    return DATA / name


def technology(gds: Path):
    import velloc.technology as vlt

    return vlt.read_layer_technology(stack_for(gds))


def load(gds: Path):
    import klayout.db as kdb

    layout = kdb.Layout()
    layout.read(str(gds))
    return layout


class Inbox:
    """An in-memory transport: keeps the last message delivered through the host."""

    def __init__(self):
        self.last = None

    def __call__(self, message):
        self.last = message
        return None


def activate(gds: Path) -> Inbox:
    """Make the file's layer stack the active PDK and deliver messages in memory."""
    import velloc.pdk

    from corvane.core import communication, pdk

    stack, views = technology(gds)
    pdk.set_pdk(velloc.pdk.Pdk(name=stack_for(gds).stem, layer_stack=stack, layer_views=views))
    inbox = Inbox()
    communication.set_transport(inbox)
    return inbox


def median_time(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


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


def measure_rss(gds: Path, mode: str) -> None:
    """Child-process mode: run lumino once, print [base, peak] in MiB as JSON."""
    import klayout.db  # noqa: F401
    import numpy  # noqa: F401
    import orjson  # noqa: F401
    import shapely  # noqa: F401

    from corvane.core import lumino

    activate(gds)
    base = peak_rss_mib()
    lumino.lumino(str(gds), getattr(lumino.Output, mode))
    print(json.dumps([base, peak_rss_mib()]))


def peak_rss_child(gds: Path, mode: str) -> tuple[float, float]:
    out = subprocess.run(
        [sys.executable, __file__, "--measure-rss", str(gds), "--mode", mode],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return tuple(json.loads(out.strip().splitlines()[-1]))


def bench(gds: Path, mode: str, repeat: int) -> dict:
    from corvane.core import lumino

    output = getattr(lumino.Output, mode)
    inbox = activate(gds)
    stack, views = technology(gds)
    layers = lumino.get_layer_properties(stack, views)
    layout = load(gds)

    def parse():
        p = lumino.ParseGDS(layout, layers)
        (p.export_cells if mode == "CELL" else p.export_layers)(combine=True)

    def viewer():
        lumino.to_3D_viewer(str(gds), output, layer_views=views, layer_stack=stack)

    def whole():
        lumino.lumino(str(gds), output)

    # Interleaved per run, so that read and lumino see the same machine state.
    reads, parses, viewers, wholes, ratios = [], [], [], [], []
    for _ in range(repeat):
        r = median_time(lambda: load(gds), 1)
        w = median_time(whole, 1)
        reads.append(r)
        wholes.append(w)
        ratios.append(w / r)
        parses.append(median_time(parse, 1))
        viewers.append(median_time(viewer, 1))
    base, peak = peak_rss_child(gds, mode)
    return {
        "file": gds.name,
        "mode": mode.lower(),
        "read": statistics.median(reads),
        "parse": statistics.median(parses),
        "viewer": statistics.median(viewers),
        "lumino": statistics.median(wholes),
        "ratio": statistics.median(ratios),
        "base": base,
        "peak": peak,
        "size": len(inbox.last.content.encode()),
    }


def profile(gds: Path, repeat: int) -> None:
    """Median time of each stage of one lumino call, as lumino runs them."""
    import orjson

    from corvane.core import lumino
    from corvane.core.shared import none
    from corvane.models import LuminoMessage

    stack, views = technology(gds)
    for mode in MODES:
        output = getattr(lumino.Output, mode)
        stages: dict[str, list[float]] = {}

        def timed(name, fn):
            gc.collect()
            t = time.perf_counter()
            value = fn()
            stages.setdefault(name, []).append(time.perf_counter() - t)
            return value

        for _ in range(repeat):
            layers = timed("layer table", lambda: lumino.get_layer_properties(stack, views))
            layout = timed("KLayout read", lambda: load(gds))
            gds_ = timed("ParseGDS (layer map, cell index)", lambda: lumino.ParseGDS(layout, layers))
            if mode == "CELL":
                timed("parse (export_cells, no combine)", lambda: gds_.export_cells(combine=False))
                timed("combine_references", lambda: gds_.combine_references(output))
            else:
                timed("parse (export_cells, no combine)", lambda: gds_.export_cells(combine=False))
                timed("filter by layer (export_layers, no combine)", lambda: gds_.export_layers(combine=False))
                timed("combine_references", lambda: gds_.combine_references(output))
            data = timed("to_viewer", lambda: gds_.to_viewer(output))
            as_map = timed("asdict", lambda: gds_.asdict(data))
            buffers = timed("numpy_to_buffer_json", lambda: lumino.numpy_to_buffer_json(as_map))
            envelope = {"type": "data", "data": buffers, "config": {}}
            raw = timed("orjson.dumps", lambda: orjson.dumps(envelope, default=none))
            text = timed("decode to text", lambda: raw.decode("utf-8"))
            timed("message record", lambda: LuminoMessage(content=text))
        total = sum(statistics.median(v) for v in stages.values())
        print(f"\n{gds.name}, {mode.lower()}-wise: stages of lumino, median of {repeat} runs\n")
        print("| stage | ms | share |")
        print("|---|---:|---:|")
        for name, values in stages.items():
            t = statistics.median(values)
            print(f"| {name} | {t * 1e3:.1f} | {100 * t / total:.0f}% |")
        print(f"| total | {total * 1e3:.1f} | |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("gds_dir", nargs="?", type=Path, default=DATA / "gds")
    ap.add_argument("--repeat", type=int, default=5, help="runs per timing; the median is reported")
    ap.add_argument("--profile", type=Path, help="break one lumino call on this file down by stage")
    ap.add_argument("--measure-rss", type=Path, help=argparse.SUPPRESS)
    ap.add_argument("--mode", choices=MODES, default="LAYER", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure_rss:
        measure_rss(args.measure_rss, args.mode)
        return
    if args.profile:
        profile(args.profile, args.repeat)
        return
    files = sorted(args.gds_dir.glob("*.gds"), key=lambda p: p.stat().st_size)
    if not files:
        sys.exit(f"no GDS files in {args.gds_dir}")
    print(
        f"median of {args.repeat} runs; memory: peak resident set (VmHWM) of a child process per file and mode "
        "that runs lumino once\n"
    )
    print(
        "| file | output | KLayout read (ms) | parse + export (ms) | to_3D_viewer (ms) | lumino (ms) "
        "| lumino / read | peak RSS (MiB) | RSS over imports (MiB) | message (MB) |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for gds in files:
        for mode in MODES:
            r = bench(gds, mode, args.repeat)
            print(
                f"| {r['file']} | {r['mode']} | {r['read'] * 1e3:.1f} | {r['parse'] * 1e3:.1f} "
                f"| {r['viewer'] * 1e3:.1f} | {r['lumino'] * 1e3:.1f} | {r['ratio']:.1f} | {r['peak']:.0f} "
                f"| {r['peak'] - r['base']:.0f} | {r['size'] / 1e6:.2f} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
