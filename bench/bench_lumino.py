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

``--profile FILE`` instead times the parts of a lumino call on FILE that can
be run on their own;
``--scaling`` times lumino on generated layouts holding the Tiny Tapeout
designs side by side 1, 2, 4, ... times (all cells copied, so the shape count
grows with the copies).

Usage: python3 bench/bench_lumino.py [GDS_DIR] [--repeat N] [--profile FILE] [--scaling [MAX]]
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
DATA = REPO / "examples"
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


def current_rss_mib() -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return peak_rss_mib()


def measure_rss(gds: Path, mode: str) -> None:
    """Child-process mode: after one warm-up conversion of a small layout
    (libraries loaded and initialised) and with the peak reset, run lumino
    once (mode "READ": only read the file); print [resident before, peak] in
    MiB as JSON."""
    import tempfile

    import klayout.db as kdb

    from corvane.core import lumino

    activate(gds)
    with tempfile.TemporaryDirectory() as tmp:
        warm = kdb.Layout()
        shapes = warm.create_cell("WARM").shapes(warm.layer(1, 0))
        shapes.insert(kdb.Box(0, 0, 1000, 1000))
        shapes.insert(kdb.Polygon([kdb.Point(k * 10, (k * k) % 97) for k in range(50)] + [kdb.Point(500, -500)]))
        warm.write(f"{tmp}/warm.gds")
        lumino.lumino(f"{tmp}/warm.gds", lumino.Output.LAYER)
    gc.collect()
    try:  # reset the peak to the resident set now (Linux)
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass
    base = current_rss_mib()
    if mode == "READ":
        layout = load(gds)  # noqa: F841
    else:
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
    read_base, read_peak = peak_rss_child(gds, "READ")
    return {
        "layout_mem": read_peak - read_base,
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
    """Where one lumino call on a file spends its time: the parts of its road
    that can be run on their own, each the median of `repeat` runs."""
    import klayout.db as kdb
    import numpy as np
    import shapely

    from corvane.core import lumino

    inbox = activate(gds)
    stack, views = technology(gds)
    layers = lumino.get_layer_properties(stack, views)
    layout = load(gds)
    probe = lumino.ParseGDS(layout, layers, curve_tolerance=None)
    probe.export_cells(combine=False)
    outlines = np.array([shapely.Polygon(p) for p in probe.instances if len(p) > 4])

    def serialise():
        options = kdb.SaveLayoutOptions()
        options.format = "GDS2"
        options.gds2_multi_xy_records = True
        options.deselect_all_layers()
        for index in probe.layer_map:
            options.add_layer(index, layout.get_info(index))
        layout.write_bytes(options)

    stages = {
        "layer table (get_layer_properties)": lambda: lumino.get_layer_properties(stack, views),
        "KLayout read": lambda: load(gds),
        "serialisation of the mapped layers (Layout.write_bytes)": serialise,
        "parse without simplification (ParseGDS + export_cells, uncombined)": lambda: lumino.ParseGDS(
            layout, layers, curve_tolerance=None).export_cells(combine=False),
        f"simplification of the {len(outlines)} non-rectangular polygons (shapely, one thread)": lambda: shapely.simplify(
            outlines, 0.01, preserve_topology=True),
        "parse with simplification and combining (ParseGDS + export_cells)": lambda: lumino.ParseGDS(
            layout, layers).export_cells(combine=True),
    }
    for mode in MODES:
        output = getattr(lumino.Output, mode)
        stages[f"lumino, {mode.lower()}-wise (everything)"] = lambda output=output: lumino.lumino(str(gds), output)
    print(f"\n{gds.name}: median of {repeat} runs\n")
    print("| stage | ms |")
    print("|---|---:|")
    for name, fn in stages.items():
        print(f"| {name} | {median_time(fn, repeat) * 1e3:.1f} |")
    print(f"\nmessage: {len(inbox.last.content) / 1e6:.2f} MB")


def copies_side_by_side(path: Path, copies: int, sources=None) -> tuple[int, int]:
    """Writes to ``path`` the Tiny Tapeout layouts (``sources``, read from the
    shared data when not given) side by side ``copies`` times, each copy with
    cells of its own; returns its shapes and placements."""
    import klayout.db as kdb

    if sources is None:
        sources = [load(p) for p in sorted((DATA / "gds").glob("tt_um_*.gds"))]
    layout = kdb.Layout()
    top = layout.create_cell("TOP")
    for k in range(copies):
        for j, source in enumerate(sources):
            holder = layout.create_cell(f"COPY_{k}_{j}")
            holder.copy_tree(source.top_cells()[0])
            top.insert(kdb.CellInstArray(holder.cell_index(), kdb.Trans(k * 300_000, j * 300_000)))
    layout.write(str(path))
    shapes = sum(c.shapes(li).size() for c in layout.each_cell() for li in layout.layer_indices())
    return shapes, sum(c.child_instances() for c in layout.each_cell())


def scaling(gds_dir: Path, most: int, repeat: int) -> None:
    """lumino on layouts holding the Tiny Tapeout designs 1, 2, 4, ... times
    side by side (and `most` times, when it is not a power of two); the peak
    memory of one layer-wise lumino call in a child process beside the
    message it makes."""
    import tempfile

    from corvane.core import lumino

    sources = [load(p) for p in sorted(gds_dir.glob("tt_um_*.gds"))]
    if not sources:
        sys.exit(f"no tt_um_*.gds files in {gds_dir}")
    inbox = activate(sorted(gds_dir.glob("tt_um_*.gds"))[0])
    counts = []
    copies = 1
    while copies < most:
        counts.append(copies)
        copies *= 2
    counts.append(most)
    print(f"median of {repeat} runs; every copy has cells of its own, so shapes and placements grow with the copies; "
          "memory: peak resident set of a child process running lumino layer-wise once, above the warm process\n")
    print("| copies | shapes | placements | KLayout read (ms) | lumino cell (ms) | lumino layer (ms) "
          "| lumino layer / read | lumino layer per 1,000 shapes (ms) | peak rise (MiB) | message (MiB) "
          "| peak rise / message |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        for copies in counts:
            # Named tt_um_* so that a child process takes the same layer stack.
            path = Path(tmp) / f"tt_um_copies_{copies}.gds"
            shapes, placements = copies_side_by_side(path, copies, sources)
            read = median_time(lambda: load(path), repeat)
            cell = median_time(lambda: lumino.lumino(str(path), lumino.Output.CELL), repeat)
            layer = median_time(lambda: lumino.lumino(str(path), lumino.Output.LAYER), repeat)
            message = len(inbox.last.content) / 2**20  # ASCII text: characters are bytes
            inbox.last = None
            base, peak = peak_rss_child(path, "LAYER")
            print(f"| {copies} | {shapes} | {placements} | {read * 1e3:.1f} | {cell * 1e3:.1f} | {layer * 1e3:.1f} "
                  f"| {layer / read:.2f} | {layer * 1e6 / shapes:.3f} | {peak - base:.0f} | {message:.1f} "
                  f"| {(peak - base) / message:.2f} |", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("gds_dir", nargs="?", type=Path, default=DATA / "gds")
    ap.add_argument("--repeat", type=int, default=5, help="runs per timing; the median is reported")
    ap.add_argument("--profile", type=Path, help="break one lumino call on this file down by stage")
    ap.add_argument("--measure-rss", type=Path, help=argparse.SUPPRESS)
    ap.add_argument("--mode", choices=(*MODES, "READ"), default="LAYER", help=argparse.SUPPRESS)
    ap.add_argument("--scaling", type=int, nargs="?", const=8, help="largest number of copies (default 8; 20 copies hold about 800,000 shapes)")
    args = ap.parse_args()
    if args.measure_rss:
        measure_rss(args.measure_rss, args.mode)
        return
    if args.profile:
        profile(args.profile, args.repeat)
        return
    if args.scaling:
        scaling(args.gds_dir, args.scaling, args.repeat)
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
        "| lumino / read | peak RSS (MiB) | peak over warm process (MiB) | layout's own (MiB) | message (MB) "
        "| peak over / (layout + 3 x message) |"
    )
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for gds in files:
        for mode in MODES:
            r = bench(gds, mode, args.repeat)
            print(
                f"| {r['file']} | {r['mode']} | {r['read'] * 1e3:.1f} | {r['parse'] * 1e3:.1f} "
                f"| {r['viewer'] * 1e3:.1f} | {r['lumino'] * 1e3:.1f} | {r['ratio']:.1f} | {r['peak']:.0f} "
                f"| {r['peak'] - r['base']:.0f} | {r['layout_mem']:.0f} | {r['size'] / 1e6:.2f} "
                f"| {(r['peak'] - r['base']) / (r['layout_mem'] + 3 * r['size'] / 2**20):.2f} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
