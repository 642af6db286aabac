"""Topology-preserving simplification: shapely (GEOS) against lumino's C++ simplifier.

For every GDS file of examples/gds (or the files given), every polygon
hull in micrometres (x / 1000, as lumino reads them) is simplified at the
tolerance (--tolerance, default 0.01) by
- shapely: shapely.simplify(polygons, tolerance, preserve_topology=True) on
  the polygons built once (from_ragged_array), the call lumino makes;
- lumino._simplify_outlines with one thread and with one per core.
Prints a Markdown table: polygons, points, the median times of --repeat runs
(default 7, the three interleaved), the speed-ups over shapely, and whether
every outline came out bit for bit as shapely's (or was handed back to it).
It asserts nothing; the figures depend on the machine and on what else runs.

Usage: python3 bench/bench_simplify.py [--repeat 7] [--tolerance 0.01] [GDS ...]
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import klayout.db as kdb
import numpy as np
import shapely

from corvane.core import lumino

DATA = Path(__file__).resolve().parents[1] / "examples" / "gds"


def hulls(path: Path):
    ly = kdb.Layout()
    ly.read(str(path))
    coords, offsets = [], [0]
    for cell in ly.each_cell():
        for li in ly.layer_indices():
            for shape in cell.shapes(li).each():
                polygon = None if shape.is_text() else shape.polygon
                if polygon is None:
                    continue
                coords += [(p.x / 1000, p.y / 1000) for p in polygon.to_dtype().each_point_hull()]
                offsets.append(len(coords))
    return np.array(coords, dtype=np.float64).reshape(-1, 2), np.array(offsets, dtype=np.int64)


def shapely_polygons(coords, offsets):
    keep = np.flatnonzero(np.diff(offsets) >= 3)
    parts = [coords[offsets[k] : offsets[k + 1]] for k in keep]
    rings = np.concatenate([[0], np.cumsum([len(p) for p in parts])]).astype(np.int64)
    return keep, shapely.from_ragged_array(
        shapely.GeometryType.POLYGON, np.concatenate(parts), (rings, np.arange(len(parts) + 1))
    )


def identical(coords, offsets, simplified, ours) -> tuple[bool, int]:
    """Whether every outline we handled equals shapely's; and how many we handed back."""
    xy, out_offsets, status = ours
    keep, _ = shapely_polygons(coords, offsets)
    expected = [None] * (len(offsets) - 1)
    for k, geom in zip(keep, simplified):
        if geom is not None and shapely.get_type_id(geom) == 3 and not geom.is_empty:
            expected[k] = shapely.get_coordinates(geom.exterior)[:-1]
    same = True
    for k, ref in enumerate(expected):
        if status[k] == 2:
            continue
        got = xy[out_offsets[k] : out_offsets[k + 1]]
        if ref is None:
            same &= bool(status[k] == 1)
        else:
            same &= bool(status[k] == 0 and got.shape == ref.shape and (got.view(np.int64) == ref.view(np.int64)).all())
    return same, int((status == 2).sum())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("files", nargs="*", type=Path)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--tolerance", type=float, default=0.01)
    args = ap.parse_args()
    files = args.files or sorted(DATA.glob("*.gds"))
    version = lumino._geos_version()
    print(f"shapely {shapely.__version__}, GEOS {'.'.join(map(str, shapely.geos_version))}; "
          f"verified: {lumino._verified_geos()}; tolerance {args.tolerance}; medians of {args.repeat} runs\n")
    if version not in lumino._verified_geos():
        print("the installed GEOS is not verified: lumino would simplify through shapely")
        return
    print("| file | polygons | points | shapely ms | C++ 1 thread ms | C++ all threads ms | speed-up 1 / all | identical | handed back |")
    print("|---|---:|---:|---:|---:|---:|---:|---|---:|")
    for path in files:
        coords, offsets = hulls(path)
        _, polys = shapely_polygons(coords, offsets)
        times = {"shapely": [], "one": [], "all": []}
        for _ in range(args.repeat):
            t = time.perf_counter()
            simplified = shapely.simplify(polys, args.tolerance, preserve_topology=True)
            times["shapely"].append(time.perf_counter() - t)
            t = time.perf_counter()
            lumino._simplify_outlines(coords, offsets, args.tolerance, threads=1)
            times["one"].append(time.perf_counter() - t)
            t = time.perf_counter()
            ours = lumino._simplify_outlines(coords, offsets, args.tolerance, threads=0)
            times["all"].append(time.perf_counter() - t)
        ms = {k: 1000 * statistics.median(v) for k, v in times.items()}
        same, back = identical(coords, offsets, simplified, ours)
        print(f"| {path.name} | {len(offsets) - 1} | {len(coords)} | {ms['shapely']:.1f} | {ms['one']:.1f} | "
              f"{ms['all']:.1f} | {ms['shapely'] / ms['one']:.1f}x / {ms['shapely'] / ms['all']:.1f}x | "
              f"{'yes' if same else 'NO'} | {back} |")


if __name__ == "__main__":
    main()
