"""The C++ topology-preserving simplifier against shapely, live.

lumino._simplify_outlines / _simplify_polygon must give bit for bit the
coordinates of shapely.simplify(Polygon(shell, holes), tolerance,
preserve_topology=True) with the GEOS that shapely loads, or say "keep" where
shapely gives no polygon (or raises), or "not handled".  The comparisons run
only when the installed GEOS is one of the verified versions: a new shapely
release skips them instead of failing.

The normal run tries a fixed set of random examples; CORVANE_PROPERTY_EXAMPLES=N
explores N random ones.
"""

from __future__ import annotations

import importlib.util
import math
import os
import random
import subprocess
import sys
import warnings
from pathlib import Path

import klayout.db as kdb
import numpy as np
import pytest
import shapely
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane.core import lumino
from .release import needs_reader

REPO = Path(__file__).resolve().parents[2]
GDS = sorted((REPO / "examples" / "gds").glob("*.gds"))
SIMPLIFIED, KEEP, NOT_HANDLED = 0, 1, 2

verified = pytest.mark.skipif(
    tuple(shapely.geos_version) not in lumino._verified_geos(),
    reason=f"GEOS {shapely.geos_version} is not among the verified versions {lumino._verified_geos()}: "
    "lumino simplifies through shapely there",
)

_explore = int(os.environ.get("CORVANE_PROPERTY_EXAMPLES", "0") or 0)
PROPERTY = settings(
    max_examples=_explore or 300,
    derandomize=not _explore,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# ---- the reference -------------------------------------------------------------


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def shapely_rings(rings, tolerance):
    """GEOS's rings (without closing points), or None where it gives no polygon."""
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            result = shapely.simplify(shapely.Polygon(rings[0], rings[1:]), tolerance, preserve_topology=True)
    except (ValueError, shapely.errors.GEOSException):
        return None
    if result is None or shapely.get_type_id(result) != 3 or result.is_empty:
        return None
    return [np.asarray(result.exterior.coords)[:-1]] + [np.asarray(h.coords)[:-1] for h in result.interiors]


def shapely_outlines(coords, offsets, tolerance):
    """shapely on a batch of shells, vectorised as lumino calls it: per outline
    its points without the closing one, or None."""
    sizes = np.diff(offsets)
    out = [None] * len(sizes)
    ok = np.flatnonzero(sizes >= 3)  # fewer points make no ring
    if len(ok):
        parts = [coords[offsets[k] : offsets[k + 1]] for k in ok]
        rings = np.concatenate([[0], np.cumsum([len(p) for p in parts])])
        polys = shapely.from_ragged_array(
            shapely.GeometryType.POLYGON, np.concatenate(parts), (rings, np.arange(len(parts) + 1))
        )
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            try:
                result = shapely.simplify(polys, tolerance, preserve_topology=True)
            except shapely.errors.GEOSException:  # one outline breaks the batch: one by one
                result = [shapely_one(p, tolerance) for p in polys]
        for k, geom in zip(ok, result):
            if geom is not None and shapely.get_type_id(geom) == 3 and not geom.is_empty:
                out[k] = shapely.get_coordinates(geom.exterior)[:-1]
    return out


def shapely_one(polygon, tolerance):
    try:
        return shapely.simplify(polygon, tolerance, preserve_topology=True)
    except shapely.errors.GEOSException:
        return None


def check_outlines(coords, offsets, tolerance, **kwargs):
    """Every outline simplified as shapely does it; returns the statuses."""
    coords = np.ascontiguousarray(coords, dtype=np.float64).reshape(-1, 2)
    offsets = np.asarray(offsets, dtype=np.int64)
    xy, out_offsets, status = lumino._simplify_outlines(coords, offsets, tolerance, **kwargs)
    expected = shapely_outlines(coords, offsets, tolerance)
    for k, ref in enumerate(expected):
        if status[k] == NOT_HANDLED:
            continue
        got = xy[out_offsets[k] : out_offsets[k + 1]]
        if ref is None:
            assert status[k] == KEEP and len(got) == 0, k
        else:
            assert status[k] == SIMPLIFIED, k
            assert got.shape == ref.shape and (bits(got) == bits(ref)).all(), (k, got, ref)
    return status


def check_polygon(rings, tolerance):
    rings = [np.ascontiguousarray(r, dtype=np.float64).reshape(-1, 2) for r in rings]
    status, got = lumino._simplify_polygon(rings, tolerance)
    if status == NOT_HANDLED:
        return status
    ref = shapely_rings(rings, tolerance)
    if ref is None:
        assert status == KEEP and got == []
    else:
        assert status == SIMPLIFIED
        assert len(got) == len(ref)
        for g, r in zip(got, ref):
            assert g.shape == r.shape and (bits(g) == bits(r)).all(), (g, r)
    return status


# ---- real layouts ----------------------------------------------------------------


def hulls(path):
    """Every polygon hull of a layout, in micrometres as lumino reads them."""
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


@verified
@pytest.mark.parametrize("path", GDS, ids=[p.stem for p in GDS])
def test_every_polygon_of_the_shared_layouts(path):
    coords, offsets = hulls(path)
    for tolerance in (0.01, 0.0, 0.001, 0.1, 2.0):
        status = check_outlines(coords, offsets, tolerance)
        assert (status != NOT_HANDLED).all()  # nanometre grids are always handled


def same_arrays(one, other):
    return all(a.dtype == b.dtype and a.shape == b.shape and (a.view(np.uint8) == b.view(np.uint8)).all()
               for a, b in zip(one, other))


THREADS = [{"threads": 2}, {"threads": 7}, {"threads": 0}, {"threads": 4, "fail_thread_starts_after": 0},
           {"threads": 4, "fail_thread_starts_after": 1}]


@verified
@pytest.mark.parametrize("kwargs", THREADS, ids=lambda k: "-".join(f"{v}" for v in k.values()))
def test_threads_give_the_one_thread_result(kwargs):
    coords, offsets = hulls(next(p for p in GDS if p.stem == "MiniChip_1mm"))
    one = lumino._simplify_outlines(coords, offsets, 0.01, threads=1)
    assert same_arrays(one, lumino._simplify_outlines(coords, offsets, 0.01, **kwargs))
    # The parse's road: every outline afterwards, simplified where GEOS gives a polygon.
    xy, out_offsets, status = one
    final = [xy[out_offsets[k] : out_offsets[k + 1]] if status[k] == SIMPLIFIED else coords[offsets[k] : offsets[k + 1]]
             for k in range(len(status))]
    flat = np.concatenate(final)
    expected = (flat, np.concatenate([[0], np.cumsum([len(f) for f in final])]), np.zeros(len(status), np.uint8))
    assert same_arrays(expected, lumino._simplify_outlines(coords, offsets, 0.01, in_place=True, **kwargs))


# ---- the fuzzer's layouts ----------------------------------------------------------


def fuzz_module():
    spec = importlib.util.spec_from_file_location("corvane_fuzz", REPO / "scripts" / "fuzz.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@verified
@pytest.mark.parametrize("tolerance", [0.01, 0.0, 10.0])
def test_the_fuzzers_layouts(tolerance):
    fuzz = fuzz_module()
    coords, offsets = [], [0]
    r = random.Random(17)
    for _ in range(150):
        ly = fuzz.random_layout(r, wild=True)
        for cell in ly.each_cell():
            for li in ly.layer_indices():
                for shape in cell.shapes(li).each():
                    polygon = None if shape.is_text() else shape.polygon
                    if polygon is not None:
                        coords += [(p.x / 1000, p.y / 1000) for p in polygon.to_dtype().each_point_hull()]
                        offsets.append(len(coords))
    for _ in range(400):  # the small outlines the fuzzer gives extract_dpolygon
        n = r.randint(0, 6)
        polygon = kdb.Polygon([kdb.Point(r.randint(-9, 9), r.randint(-9, 9)) for _ in range(n)])
        coords += [(p.x / 1000, p.y / 1000) for p in polygon.to_dtype().each_point_hull()]
        offsets.append(len(coords))
    status = check_outlines(np.array(coords).reshape(-1, 2), offsets, tolerance)
    assert (status != NOT_HANDLED).all()


# ---- random polygons ------------------------------------------------------------


@st.composite
def outlines(draw):
    """A ring with the features that decide GEOS's choices: arcs, spikes,
    near-collinear runs, repeated and self-touching points."""
    kind = draw(st.sampled_from(["arc", "grid", "staircase", "bowtie"]))
    if kind == "arc":
        n = draw(st.integers(3, 120))
        radius = draw(st.floats(0.05, 50))
        sweep = draw(st.sampled_from([math.pi / 2, math.pi, 2 * math.pi]))
        pts = [(radius * math.cos(sweep * k / n), radius * math.sin(sweep * k / n)) for k in range(n + 1)]
        if sweep < 2 * math.pi:  # a waveguide bend: back along a smaller radius
            inner = radius * draw(st.floats(0.5, 0.99))
            pts += [(inner * math.cos(sweep * k / n), inner * math.sin(sweep * k / n)) for k in range(n, -1, -1)]
        if draw(st.booleans()):  # on a 1 nm grid
            pts = [(round(x, 3), round(y, 3)) for x, y in pts]
    elif kind == "grid":  # collinear, repeated, crossing points on a small lattice
        pts = draw(st.lists(st.tuples(st.integers(-4, 4), st.integers(-4, 4)), min_size=0, max_size=14))
    elif kind == "staircase":  # axis-parallel runs with collinear extra points
        steps = draw(st.lists(st.tuples(st.sampled_from([1, 0.5, 1e-3, 0]), st.sampled_from([1, 0.25, 1e-3, 0])),
                              min_size=1, max_size=20))
        pts = [(0.0, 0.0)]
        for dx, dy in steps:
            pts += [(pts[-1][0] + dx, pts[-1][1]), (pts[-1][0] + dx, pts[-1][1] + dy)]
        pts += [(pts[-1][0], -1.0), (0.0, -1.0)]
    else:  # figure eight and a ring touching itself, edges densified
        corners = draw(st.sampled_from([[(0, 0), (2, 2), (2, 0), (0, 2)], [(0, 0), (4, 0), (4, 4), (2, 0), (0, 4)]]))
        pts = []
        for (x0, y0), (x1, y1) in zip(corners, corners[1:] + corners[:1]):
            m = draw(st.integers(1, 5))
            pts += [(x0 + (x1 - x0) * t / m, y0 + (y1 - y0) * t / m) for t in range(m)]
    pts = [tuple(map(float, p)) for p in pts]
    for _ in range(draw(st.integers(0, 3))):  # spikes, near-collinear kinks, repeats
        if not pts:
            break
        k = draw(st.integers(0, len(pts) - 1))
        x, y = pts[k]
        what = draw(st.sampled_from(["spike", "kink", "repeat", "touch"]))
        if what == "spike":
            pts.insert(k, (x + draw(st.floats(-20, 20)), y + draw(st.floats(-20, 20))))
        elif what == "kink":
            pts.insert(k, (x + draw(st.sampled_from([1e-9, -1e-9, 1e-3])), y))
        elif what == "repeat":
            pts.insert(k, (x, y))
        else:
            pts.insert(k, pts[draw(st.integers(0, len(pts) - 1))])
    if pts and draw(st.booleans()):
        pts.append(pts[0])
    return pts


scales = st.sampled_from([1.0, 1e-3, 1e3, 1e-9, 1e9, 2.0**-400, 2.0**400])
offsets_ = st.sampled_from([0.0, 0.0, 12345.678, -1e6])


def scaled(pts, scale, offset):
    return [(x * scale + offset, y * scale + offset) for x, y in pts]


def size_of(pts):
    if not pts:
        return 1.0
    a = np.asarray(pts)
    return float(max(np.ptp(a[:, 0]), np.ptp(a[:, 1]), 1e-300))


tolerances = st.one_of(st.just(0.0), st.floats(-6, 0.5).map(lambda e: 10.0**e))


@verified
@PROPERTY
@given(outlines(), scales, offsets_, tolerances)
def test_random_outlines(pts, scale, offset, relative):
    pts = scaled(pts, scale, offset)
    coords = np.asarray(pts, dtype=np.float64).reshape(-1, 2)
    check_outlines(coords, [0, len(coords)], relative * size_of(pts))


@verified
@PROPERTY
@given(outlines(), st.lists(outlines(), min_size=1, max_size=3), scales, tolerances)
def test_random_polygons_with_holes(shell, holes, scale, relative):
    # Holes scaled down into the shell's box; they may cross it or each other.
    holes = [[(0.3 * x + 0.1, 0.3 * y + 0.1) for x, y in h] for h in holes if len(h) >= 4]
    if len(shell) < 4:
        return
    rings = [scaled(r, scale, 0.0) for r in [shell] + holes]
    check_polygon(rings, relative * size_of(rings[0]))


@st.composite
def wavy_bands(draw):
    """A band along a wavy line, or a hairpin of one folded back on itself:
    few monotone runs, long ones, and near misses between them, at a
    tolerance around the band's width."""
    n = draw(st.integers(10, 300))
    waves = draw(st.lists(st.tuples(st.floats(0.01, 1.0), st.floats(0.2, 8.0), st.floats(0, 6.3)), min_size=1,
                          max_size=3))
    width = draw(st.floats(1e-3, 0.5))

    def line(x):
        return sum(a * math.sin(f * x + p) for a, f, p in waves)

    xs = [10.0 * k / n for k in range(n + 1)]
    out = [(x, line(x)) for x in xs]
    back = [(x, line(x) + width) for x in reversed(xs)]
    if draw(st.booleans()):  # a hairpin: out along the line, back just above it, round the end
        gap = width * draw(st.floats(0.05, 3.0))
        back = [(x, y + gap) for x, y in back] + [(-width, line(0.0) + width)]
    pts = out + back
    if draw(st.booleans()):
        pts = [(round(x, 3), round(y, 3)) for x, y in pts]
    return pts, width * draw(st.floats(0.05, 3.0))


@verified
@PROPERTY
@given(wavy_bands())
def test_wavy_bands_and_hairpins(band):
    pts, tolerance = band
    coords = np.asarray(pts, dtype=np.float64)
    check_outlines(coords, [0, len(coords)], tolerance)


@st.composite
def rings_with_near_copies(draw):
    """An arc of a few hundred points, some followed by copies of themselves
    moved by a few units in the last place: a section that ends at such a
    point has points beyond its ends and a rounding error short of them,
    which the furthest point search sorts four at a time."""
    n = draw(st.integers(40, 400))
    radius = draw(st.floats(0.5, 500))
    turn = draw(st.floats(0.5, 2 * math.pi))
    noise = draw(st.floats(0, 1e-3))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    pts = []
    for k in range(n):
        t = turn * k / n
        r = radius * (1 + noise * rng.standard_normal())
        x, y = r * math.cos(t), r * math.sin(t)
        pts.append((x, y))
        for _ in range(int(rng.integers(0, 4)) if rng.random() < 0.3 else 0):
            steps = rng.integers(-3, 4, size=2)
            pts.append((float(x + steps[0] * np.spacing(x)), float(y + steps[1] * np.spacing(y))))
    return pts, radius * draw(st.sampled_from([0.0, 1e-9, 1e-6, 1e-4, 1e-2]))


@verified
@PROPERTY
@given(rings_with_near_copies())
def test_points_a_rounding_error_from_a_section_end(ring):
    pts, tolerance = ring
    check_outlines(np.asarray(pts, dtype=np.float64), [0, len(pts)], tolerance)


@st.composite
def polylines_and_queries(draw):
    """A polyline of long monotone runs (arcs, straight and axis-parallel
    stretches, turns), some runs of segments gone, and query boxes around
    its points, in an order that jumps about."""
    pts = [(0.0, 0.0)]
    for _ in range(draw(st.integers(1, 6))):
        kind = draw(st.sampled_from(["arc", "line", "axis", "turn"]))
        n = draw(st.integers(1, 60))
        x, y = pts[-1]
        if kind == "arc":
            r, a0, sweep = draw(st.floats(0.5, 20)), draw(st.floats(0, 6.3)), draw(st.floats(-3.2, 3.2))
            cx, cy = x - r * math.cos(a0), y - r * math.sin(a0)
            angles = [a0 + sweep * k / n for k in range(1, n + 1)]
            pts += [(cx + r * math.cos(a), cy + r * math.sin(a)) for a in angles]
        elif kind == "line":
            dx, dy = draw(st.floats(-1, 1)), draw(st.floats(-1, 1))
            pts += [(x + dx * k, y + dy * k) for k in range(1, n + 1)]
        elif kind == "axis":
            dx, dy = draw(st.sampled_from([(1.0, 0.0), (0.0, 1.0), (-0.5, 0.0), (0.0, -0.25), (0.0, 0.0)]))
            pts += [(x + dx * k, y + dy * k) for k in range(1, n + 1)]
        else:
            pts += [(x + draw(st.floats(-3, 3)), y + draw(st.floats(-3, 3))) for _ in range(min(n, 4))]
    segments = len(pts) - 1
    cuts = sorted(draw(st.lists(st.integers(0, segments), max_size=6, unique=True)))
    gone = cuts[: len(cuts) // 2 * 2]
    queries, nears = [], []
    for _ in range(draw(st.integers(1, 30))):
        cx, cy = pts[draw(st.integers(0, segments))]
        w, h = draw(st.floats(0, 4)), draw(st.floats(0, 4))
        ox, oy = draw(st.floats(-w, 0.0)), draw(st.floats(-h, 0.0))
        queries.append((cx + ox, cx + ox + w, cy + oy, cy + oy + h))
        nears.append(draw(st.one_of(st.integers(0, segments - 1), st.just(2**32 - 1))))
    return pts, gone, queries, nears


@PROPERTY
@given(polylines_and_queries())
def test_the_chain_search_finds_every_segment_a_box_meets(case):
    pts, gone, queries, nears = case
    xy = np.asarray(pts, dtype=np.float64)
    got = lumino._chain_search(xy, gone, np.asarray(queries, dtype=np.float64), nears)
    alive = np.ones(len(pts) - 1, dtype=bool)
    for a, b in zip(gone[::2], gone[1::2]):
        alive[a:b] = False
    lo, hi = np.minimum(xy[:-1], xy[1:]), np.maximum(xy[:-1], xy[1:])
    for (minx, maxx, miny, maxy), handed in zip(queries, got):
        meets = alive & (lo[:, 0] <= maxx) & (hi[:, 0] >= minx) & (lo[:, 1] <= maxy) & (hi[:, 1] >= miny)
        assert set(np.flatnonzero(meets)) <= set(handed)


@verified
@pytest.mark.parametrize(
    "points, tolerance, expected",
    [
        ([], 0.01, KEEP),  # an empty polygon
        ([(0, 0)], 0.01, KEEP),  # no ring: shapely raises
        ([(0, 0), (1, 0)], 0.01, KEEP),
        ([(0, 0), (1, 1), (0, 0)], 1.0, SIMPLIFIED),  # three points are closed all the same
        ([(0, 0), (0, 0), (0, 0)], 0.0, SIMPLIFIED),
        ([(0, 0), (1, 0), (1, 1)], float("nan"), KEEP),  # shapely gives None
        ([(0, 0), (1, 0), (1, 1)], -1.0, KEEP),  # GEOS raises
        ([(0, 0), (1, 0), (1, 1), (0, 1)], math.inf, SIMPLIFIED),
        ([(0, 0), (1, 0), (2, 0), (2, 1), (0, 1)], 1e-300, SIMPLIFIED),
        ([(0, 0), (1, 0), (1, 1), (0, 1)], 0.01, SIMPLIFIED),
        ([(0, 0), (math.nan, 0), (1, 1)], 0.01, NOT_HANDLED),  # GEOS's answer is not promised
        ([(0, 0), (math.inf, 0), (1, 1)], 0.01, NOT_HANDLED),
        ([(0, 0), (1e200, 0), (1, 1)], 0.01, NOT_HANDLED),
        ([(0, 0), (1e-200, 0), (1, 1)], 0.01, NOT_HANDLED),
        ([(0, 0), (1, 0), (1, 1), (0, 1), (0, 1e-200)], 0.01, NOT_HANDLED),  # the last y
        ([(0, 0), (1, 0), (1, 1), (math.nan, 1)], 0.01, NOT_HANDLED),
    ],
)
def test_degenerate_outlines(points, tolerance, expected):
    coords = np.asarray(points, dtype=np.float64).reshape(-1, 2)
    assert check_outlines(coords, [0, len(coords)], tolerance)[0] == expected
    assert check_polygon([coords], tolerance) == expected


# Rings whose points tie, or nearly tie, for the furthest from a section's
# chord or from the ring's start point: the first of equal distances wins.
FAN = [(0.0, 0.0), (5.0, 0.0), (4.0, 3.0), (3.0, 4.0), (0.0, 5.0), (-3.0, 4.0), (-4.0, 3.0)]
NEAR_FAN = [(0.0, 0.0), (5.0, 0.0), (4.0, 3.0), (3.0, 4.0 + 2e-16), (0.0, 5.0), (-3.0, 4.0 - 2e-16), (-4.0, 3.0)]
TIES = [
    [FAN],
    [FAN[::-1]],
    [NEAR_FAN],
    [[(x * 1e6 + 0.25, y * 1e6 - 0.5) for x, y in FAN]],
    [[(0.0, 0.0), (1.0, 1.0), (2.0, 0.0), (3.0, 1.0), (4.0, 0.0), (4.0, 2.0), (0.0, 2.0)]],  # a zigzag
    # A hole whose collinear points go, beside one that keeps its own.
    [
        [(0.0, 0.0), (10.0, 0.0), (10.0, 10.0), (0.0, 10.0)],
        [(1.0, 1.0), (1.0, 3.0), (1.0, 5.0), (1.0, 7.0), (3.0, 7.0), (3.0, 1.0), (2.0, 1.0)],
        [(5.0, 5.0), (5.0, 6.0), (5.0, 7.0), (6.0, 6.0)],
    ],
]


@verified
@pytest.mark.parametrize("tolerance", [0.0, 0.5, 2.0, 5.0, 100.0])
@pytest.mark.parametrize("rings", TIES, ids=["fan", "reversed", "near", "moved", "zigzag", "holes"])
def test_ties_for_the_furthest_point(rings, tolerance):
    assert check_polygon(rings, tolerance) != NOT_HANDLED
    shell = np.asarray(rings[0], dtype=np.float64)
    assert check_outlines(shell, [0, len(shell)], tolerance)[0] != NOT_HANDLED


def far_point_ring(n, k):
    """A ring of n + 1 points around the origin, all on the unit circle but
    point k, at radius 3: the furthest from the start at every place of a
    block of four and of the points after the last whole block."""
    angle = 2 * math.pi / (n + 1)
    return [((3.0 if j == k else 1.0) * math.cos(j * angle), (3.0 if j == k else 1.0) * math.sin(j * angle))
            for j in range(n + 1)]


@verified
@pytest.mark.parametrize("tolerance", [0.05, 1.5])
@pytest.mark.parametrize("n", range(4, 12))
def test_the_furthest_point_at_every_place_of_a_block(n, tolerance):
    rings = [far_point_ring(n, k) for k in range(1, n + 1)]
    coords = np.concatenate([np.asarray(r) for r in rings])
    offsets = np.cumsum([0] + [len(r) for r in rings])
    assert NOT_HANDLED not in check_outlines(coords, offsets, tolerance)


def spiral_band(turns, points_per_turn=90, gap=0.3, width=0.2):
    """A band wound `turns` times around the origin, its turns `gap` apart:
    about four monotone runs per turn and side, and near misses between the
    turns that flattening at a tolerance of the gap's order must refuse."""
    pitch = gap + width
    angles = [2 * math.pi * k / points_per_turn for k in range(int(turns * points_per_turn) + 1)]

    def side(offset, angles):
        radius = [offset + pitch * a / (2 * math.pi) for a in angles]
        return [(r * math.cos(a), r * math.sin(a)) for r, a in zip(radius, angles)]

    return side(1, angles) + side(1 + width, angles[::-1])


@verified
@pytest.mark.parametrize("tolerance", [0.001, 0.05, 0.2, 0.4, 1.0])
@pytest.mark.parametrize("turns", [1, 2.5, 6, 12])  # from a few monotone runs to many more
def test_spirals_whose_turns_come_close(turns, tolerance):
    band = spiral_band(turns)
    assert check_outlines(np.asarray(band), [0, len(band)], tolerance)[0] != NOT_HANDLED
    hole = [(0.3 * math.cos(a), 0.3 * math.sin(a)) for a in np.linspace(0, 2 * math.pi, 40, endpoint=False)]
    assert check_polygon([band, hole], tolerance) != NOT_HANDLED


def bump_over_a_hole():
    """A square whose top edge bulges 0.4 over a hole that lies in the bulge:
    flattening the bulge at tolerance 1 would leave the hole outside."""
    top = [(10 - 10 * k / 40, 10 + 0.4 * math.sin(math.pi * k / 40)) for k in range(41)]
    shell = [(0.0, 0.0), (10.0, 0.0)] + top
    hole = [(4.9, 10.1), (5.1, 10.1), (5.0, 10.2)]
    return [shell, hole]


@verified
def test_a_bulge_over_a_hole():
    rings = bump_over_a_hole()
    assert check_polygon(rings, 1.0) == SIMPLIFIED
    _, (shell, hole) = lumino._simplify_polygon([np.asarray(r, dtype=np.float64) for r in rings], 1.0)
    # Since GEOS 3.12 the bulge stays around the hole; 3.11 flattens it.
    kept = tuple(shapely.geos_version) >= (3, 12, 0)
    assert (shell[:, 1].max() > 10.0) == kept


@verified
def test_the_ring_start_point_goes_last():
    # The start point lies on the bottom edge: since GEOS 3.12 it goes.
    points = np.array([(5.0, 0.0), (10.0, 0.0), (10.0, 10.0), (0.0, 10.0), (0.0, 0.0)])
    check_outlines(points, [0, 5], 0.1)
    xy, _, _ = lumino._simplify_outlines(points, np.array([0, 5]), 0.1)
    assert len(xy) == (4 if tuple(shapely.geos_version) >= (3, 12, 0) else 5)


# ---- the Python edge -------------------------------------------------------------


@pytest.mark.parametrize(
    "coords, offsets, error",
    [
        (np.zeros((3, 3)), [0, 3], ValueError),  # not (x, y) pairs
        (np.zeros(5), [0, 2], ValueError),
        (np.zeros((3, 2)), [0, 4], ValueError),  # beyond the points
        (np.zeros((3, 2)), [0, 2, 1], ValueError),  # falling
        (np.zeros((3, 2)), [-1, 3], ValueError),
        (np.zeros((3, 2)), [], ValueError),
        (np.zeros((3, 2)), np.zeros((2, 2), dtype=np.int64), TypeError),
        ("xy", [0, 1], TypeError),
    ],
)
def test_bad_batches_raise(coords, offsets, error):
    with pytest.raises(error):
        lumino._simplify_outlines(coords, np.asarray(offsets, dtype=np.int64), 0.01, geos=(3, 14, 1))


def test_unverified_versions_are_refused():
    with pytest.raises(ValueError, match="not a verified version"):
        lumino._simplify_outlines(np.zeros((4, 2)), np.array([0, 4]), 0.01, geos=(3, 9, 0))
    with pytest.raises(TypeError):
        lumino._simplify_polygon([np.zeros((4, 2))], 0.01, geos="3.14.1")


def test_an_empty_batch():
    xy, offsets, status = lumino._simplify_outlines(np.zeros((0, 2)), np.array([0]), 0.01, geos=(3, 14, 1))
    assert xy.shape == (0, 2) and offsets.tolist() == [0] and status.dtype == np.uint8 and len(status) == 0


def probe(tmp_path, folder, libs):
    """lumino._geos_version() in a child whose sys.path starts with a folder
    holding a package named shapely (that must not be imported) and the
    given library files in `folder`."""
    (tmp_path / "shapely").mkdir()
    (tmp_path / "shapely" / "__init__.py").write_text("raise ImportError('not to be imported')\n")
    (tmp_path / folder).mkdir(exist_ok=True)
    for name in libs:
        (tmp_path / folder / name).write_bytes(b"")
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); from corvane.core import lumino; "
        "print(lumino._geos_version(), 'shapely' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, check=True)
    return out.stdout.strip()


@pytest.mark.parametrize(
    "folder, libs, expected",
    [
        ("shapely.libs", ["libgeos-d1e818bb.so.3.14.1", "libgeos_c-ac38a227.so.1.20.5"], "(3, 14, 1) False"),
        ("shapely/.dylibs", ["libgeos.3.13.1.dylib", "libgeos_c.1.19.2.dylib"], "(3, 13, 1) False"),
        ("shapely.libs", ["libgeos-1.so.3.14.1", "libgeos-2.so.3.13.1"], "None False"),  # two: cannot tell
        ("shapely.libs", ["libgeos-x.so.3.14", "libgeos-y.so.3.14.1.2", "geos.dll"], "None False"),
        ("shapely.libs", [], "None False"),
        ("elsewhere", ["libgeos-d1e818bb.so.3.14.1"], "None False"),
    ],
)
def test_the_geos_version_is_read_without_importing_shapely(tmp_path, folder, libs, expected):
    assert probe(tmp_path, folder, libs) == expected


def test_the_geos_version_follows_changes_of_the_installation(tmp_path):
    """The package's place is kept between calls, but not past a change of
    sys.path or of its folders; the libraries are looked at every time."""
    for root, lib in (("first", "libgeos-a.so.3.14.1"), ("second", "libgeos-b.so.3.12.2")):
        (tmp_path / root / "shapely").mkdir(parents=True)
        (tmp_path / root / "shapely" / "__init__.py").write_text("raise ImportError('not to be imported')\n")
        (tmp_path / root / "shapely.libs").mkdir()
        (tmp_path / root / "shapely.libs" / lib).write_bytes(b"")
    code = """if True:
        import os, shutil, sys
        first, second = sys.argv[1:]
        sys.path.insert(0, first)
        from corvane.core import lumino
        libs = os.path.join(first, "shapely.libs")
        print(lumino._geos_version(), lumino._geos_version())
        open(os.path.join(libs, "libgeos-c.so.3.13.1"), "w").close()
        print(lumino._geos_version())  # two libraries: cannot tell
        os.remove(os.path.join(libs, "libgeos-a.so.3.14.1"))
        print(lumino._geos_version())
        sys.path.insert(0, second)
        print(lumino._geos_version())
        sys.path.remove(second)
        print(lumino._geos_version())
        shutil.rmtree(os.path.join(first, "shapely"))  # the package gone from its folder
        print(lumino._geos_version(), "shapely" in sys.modules)
    """
    args = [str(tmp_path / "first"), str(tmp_path / "second")]
    out = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, check=True)
    fresh = "from corvane.core import lumino; print(lumino._geos_version(), 'shapely' in sys.modules)"
    installed = subprocess.run([sys.executable, "-c", "import sys; " + fresh], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [
        "(3, 14, 1) (3, 14, 1)",
        "None",
        "(3, 13, 1)",
        "(3, 12, 2)",
        "(3, 13, 1)",
        installed.stdout.strip(),
    ]


def test_the_installed_geos_version_is_shapelys():
    code = "import sys; from corvane.core import lumino; v = lumino._geos_version(); import shapely; print(v == shapely.geos_version, v)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("True")
    assert lumino._geos_version() == shapely.geos_version  # shapely imported: its own word


# ---- simplified while the file is read ------------------------------------------


def manhattan(hull):
    """Every edge horizontal or vertical: never simplified, left to the parse."""
    return bool(np.all((hull == np.roll(hull, -1, axis=0)).any(axis=1)))


@verified
@pytest.mark.parametrize("gds", ["MiniChip_1mm.gds", "RingResonator.gds"])
@pytest.mark.parametrize(
    "workers, fail_after",
    [(0, -1), (1, -1), (7, -1), (7, 2), (3, 0)],
    ids=["none", "one", "seven", "two-start", "none-start"],
)
@pytest.mark.parametrize("worker_points", [0, 2048], ids=["any-work", "enough-work"])
@needs_reader
def test_outlines_simplified_during_the_read_are_the_batch_ones(gds, workers, fail_after, worker_points):
    path = next(p for p in GDS if p.name == gds)
    assert_presimplified_are_the_batch_ones(path, workers, fail_after, worker_points=worker_points)


def twins_layout(path):
    """One wavy ring in cells of its own and on two layers, and variants of it:
    one point moved, one point fewer, started at another point (the same
    hull once read)."""
    ly = kdb.Layout()
    ly.dbu = 0.001
    layers = [ly.layer(1, 0), ly.layer(2, 0)]
    # Every other point lies 2 nm off the line through its neighbours.
    ring = [
        kdb.Point(round((20000 + 2 * (k % 2)) * math.cos(t) + 600 * math.sin(7 * t)), round(20000 * math.sin(t)))
        for k, t in ((k, 2 * math.pi * k / 180) for k in range(180))
    ]
    moved = list(ring)
    moved[91] = kdb.Point(moved[91].x + 3, moved[91].y)
    top = ly.create_cell("TOP")
    for n, pts in enumerate([ring, ring, moved, ring[1:] + ring[:1], ring[:-1], ring]):
        cell = ly.create_cell(f"C{n}")
        for li in layers:
            cell.shapes(li).insert(kdb.Polygon(pts, True))
        top.insert(kdb.CellInstArray(cell.cell_index(), kdb.Trans(kdb.Vector(50000 * n, 0))))
    ly.write(str(path))
    return path


@verified
@pytest.mark.parametrize("workers", [0, 1, 3])
@needs_reader
def test_shapes_with_the_same_points_in_several_cells_take_the_same_outline(tmp_path, workers):
    made = assert_presimplified_are_the_batch_ones(twins_layout(tmp_path / "twins.gds"), workers, -1, least=0)
    assert made == 6 * 2


def one_large_cell(path, oasis):
    """One cell of many large wavy rings (the outlines the reader tells before
    the cell ends), some repeated in the cell and on a second layer, a large
    staircase (Manhattan) and a long wavy path, written as GDS2 or OASIS."""
    ly = kdb.Layout()
    ly.dbu = 0.001
    layers = [ly.layer(1, 0), ly.layer(2, 0)]
    top = ly.create_cell("TOP")

    def ring(r, n, k0):
        return [kdb.Point(round((r + 3 * (k % 3)) * math.cos(t) + 40 * math.sin(9 * t)) + 90000 * k0,
                          round(r * math.sin(t))) for k, t in ((k, 2 * math.pi * k / n) for k in range(n))]

    rings = [ring(20000 + 700 * j, 300 + 170 * j, j % 4) for j in range(12)]
    for j, pts in enumerate(rings + rings[:3]):
        top.shapes(layers[j % 2]).insert(kdb.Polygon(pts, True))
    top.shapes(layers[1]).insert(kdb.Polygon(rings[5], True))
    stairs = [kdb.Point(0, -100000)]
    for k in range(150):
        stairs += [kdb.Point(100 * k + 100, -100000 + 100 * k), kdb.Point(100 * k + 100, -100000 + 100 * k + 100)]
    top.shapes(layers[0]).insert(kdb.Polygon(stairs + [kdb.Point(0, -100000 + 15000)], True))
    spine = [kdb.Point(200 * k, -150000 + round(800 * math.sin(k / 9))) for k in range(400)]
    top.shapes(layers[1]).insert(kdb.Path(spine, 300))
    if oasis:
        options = kdb.SaveLayoutOptions()
        options.format = "OASIS"
        ly.write(str(path), options)
    else:
        ly.write(str(path))
    return path


@verified
@pytest.mark.parametrize("oasis", [False, True], ids=["gds", "oasis"])
@pytest.mark.parametrize("workers", [0, 1, 3])
@needs_reader
def test_outlines_told_before_their_cell_ends_are_the_batch_ones(tmp_path, oasis, workers):
    path = one_large_cell(tmp_path / ("one.oas" if oasis else "one.gds"), oasis)
    # The twelve rings at least (KLayout's OASIS writer drops a shape equal to another on its layer).
    assert assert_presimplified_are_the_batch_ones(path, workers, -1, least=12) >= 12


def assert_presimplified_are_the_batch_ones(path, workers, fail_after, least=100, worker_points=0):
    made = lumino._presimplified(str(path), 0.01, workers, fail_thread_starts_after=fail_after,
                                 worker_points=worker_points)
    count = len(made)
    layout, _ = lumino._read_layout(str(path))
    assert layout["dbu"] == 0.001
    keys, hulls = [], []
    for ci, cell in enumerate(layout["cells"]):
        for at, shapes in enumerate(cell["shapes"]):
            for k, hull in enumerate(shapes):
                if hull is not None:
                    keys.append((ci, at, k))
                    hulls.append(np.asarray(hull, dtype=np.float64).reshape(-1, 2) / 1000.0)
    offsets = np.cumsum([0] + [len(h) for h in hulls])
    xy, offs, status = lumino._simplify_outlines(np.concatenate(hulls), offsets, 0.01, threads=1)
    for j, key in enumerate(keys):
        given = hulls[j] if status[j] == KEEP else xy[offs[j]:offs[j + 1]]
        if key in made:  # every outline made during the read is the batch's, and never a Manhattan one
            assert not manhattan(hulls[j]), key
            assert status[j] != NOT_HANDLED and bits(made.pop(key)).tolist() == bits(given).tolist(), key
        elif status[j] != NOT_HANDLED:  # one left out is Manhattan or one simplification leaves as it is
            assert manhattan(hulls[j]) or bits(given).tolist() == bits(hulls[j]).tolist(), key
    assert not made
    assert sum(1 for s in status if s == SIMPLIFIED) > least
    return count
