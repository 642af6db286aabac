"""Fuzzing of the three extension modules and the host's analyser.

Generated cases run in child processes (workers), each case within a time
bound: a worker that dies during a case is a crash, one that overruns the
bound is a hang (the worker is killed and a new one goes on with the next
case).  Every case is made from (seed, index) alone, so any case can be
replayed: ``--replay INDEX``.

Targets (weights in TARGETS):
- gds: real and generated GDS files, cut, bytes flipped, records mutated
  (lengths, counts, coordinates, transformation flags and reals),
  through to_3D_viewer (both outputs) and lumino;
- layout: random in-memory layouts through ParseGDS with random arguments,
  every public operation, and public state reassigned to junk between calls;
- ktrans: KTrans of every transformation kind and of junk; map form, matrix
  and products checked against KLayout's own arithmetic;
- encode: asdict, create_json, numpy_to_buffer_json of random nested values
  (arrays of any dtype, shape and stride, records, deep and cyclic data);
- layers: get_layer_properties of random stacks and views; PdkLayer texts
  against Python's format;
- exclude: layer exclusion patterns against fnmatch;
- weftnet: create_weftnet and records of random graph data; _int_hash and
  _is_submodule_of against their definitions;
- freeze: _normalize_names of random netlists (names unique, references
  followed);
- analyser: generate_call_graph of mutated Python sources.

Outcomes: ok; error (a Python exception, which is what bad input should
give); bug (SystemError, a wrong result against a reference, or an error
where none may occur); crash; hang.  The exit status is non-zero when there
is a bug, a crash or a hang.

Usage: python3 scripts/fuzz.py [--cases 100000] [--seed 1] [--workers 2] [--asan] [--verbose]
       [--timeout 20] [--targets gds,layout,...] [--replay INDEX]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "examples"

TARGETS = {
    "gds": 14,
    "layout": 16,
    "ktrans": 12,
    "encode": 12,
    "layers": 8,
    "exclude": 8,
    "weftnet": 12,
    "freeze": 12,
    "analyser": 6,
}


class Bug(Exception):
    """A wrong result: the case found a fault, not bad input."""


def check(condition: bool, what: str) -> None:
    if not condition:
        raise Bug(what)


# ---- values ------------------------------------------------------------------

JUNK_TEXTS = ["", "a", "1/0", "..", "../../x", "/abs", "*", "?", "[", "[!a]", "é", "東京", '"', "'", "\\", "\x00", "a,b", ",", "a,b,c"]


def junk(r: random.Random, depth: int = 0):
    """Any Python value, small."""
    import numpy as np

    choices = [
        lambda: None, lambda: r.choice([True, False]), lambda: r.randint(-(2**70), 2**70),
        lambda: r.choice([0, -1, 1, 2**31, -(2**63)]), lambda: r.choice([0.0, -0.0, 1e308, -1e-308, float("nan"), float("inf")]),
        lambda: r.uniform(-1e6, 1e6), lambda: r.choice(JUNK_TEXTS), lambda: bytes(r.randrange(256) for _ in range(r.randint(0, 5))),
        lambda: object(), lambda: np.arange(r.randint(0, 4), dtype=r.choice(["f4", "f8", "i4", "u1", "O"])),
    ]
    if depth < 3:
        choices += [
            lambda: [junk(r, depth + 1) for _ in range(r.randint(0, 3))],
            lambda: tuple(junk(r, depth + 1) for _ in range(r.randint(0, 3))),
            lambda: {str(junk(r, depth + 1))[:8]: junk(r, depth + 1) for _ in range(r.randint(0, 3))},
        ]
    return r.choice(choices)()


def maybe(r: random.Random, value, p: float = 0.1):
    """`value`, or now and then junk in its place."""
    return junk(r) if r.random() < p else value


# ---- layouts -----------------------------------------------------------------


def random_layout(r: random.Random, wild: bool = False):
    import klayout.db as kdb

    ly = kdb.Layout()
    ly.dbu = r.choice([0.001, 0.001, 0.0005, 0.005, 1e-5, 0.1])
    span = 2**30 if wild and r.random() < 0.2 else 5000
    coord = lambda: r.randint(-span, span)  # noqa: E731
    n = r.randint(1, 40 if wild and r.random() < 0.1 else 6)
    cells = [ly.create_cell(r.choice(["c", "é/\"'", "東京", "a b", "..", ""]) + str(k)) for k in range(n)]
    layers = [ly.layer(*r.choice([(1, 0), (2, 0), (3, 5), (9, 0), (1, 1)])) for _ in range(3)]
    for cell in cells:
        for _ in range(r.randint(0, 4)):
            shapes = cell.shapes(r.choice(layers))
            kind = r.randrange(6)
            x, y = coord(), coord()
            if kind == 0:
                shapes.insert(kdb.Box(x, y, x + r.randint(0, 3000), y + r.randint(0, 3000)))
            elif kind == 1:
                shapes.insert(kdb.Polygon([kdb.Point(coord(), coord()) for _ in range(r.randint(0, 12))]))
            elif kind == 2:
                poly = kdb.Polygon(kdb.Box(x, y, x + 2000, y + 2000))
                poly.insert_hole(kdb.Box(x + 500, y + 500, x + 900, y + 900))
                shapes.insert(poly)
            elif kind == 3:
                pts = [kdb.Point(coord(), coord()) for _ in range(r.randint(1, 5))]
                shapes.insert(kdb.Path(pts, r.randint(0, 400), r.randint(-50, 50), r.randint(-50, 50), r.random() < 0.3))
            elif kind == 4:
                shapes.insert(kdb.Text(r.choice(JUNK_TEXTS), kdb.Trans(x, y)))
            else:
                shapes.insert(kdb.Edge(x, y, coord(), coord()))
    # Placements of each cell in the flattened layout: kept bounded, since
    # flattening is exponential in the depth of a hierarchy.
    mult = [1] * n
    for i, cell in enumerate(cells[:-1]):
        for _ in range(r.randint(0, 3)):
            j = r.randrange(i + 1, n)
            child = cells[j]
            if r.random() < 0.6:
                t = kdb.Trans(r.randrange(8), coord(), coord())
            else:
                mag = r.choice([1.0, 0.5, 2.0, 1e-3, 1e3, r.uniform(0.01, 10)])
                t = kdb.ICplxTrans(mag, r.uniform(-720, 720), r.random() < 0.5, coord(), coord())
            na, nb = (r.randint(1, 6), r.randint(1, 6)) if r.random() < 0.3 else (1, 1)
            if mult[j] + mult[i] * na * nb > 5000:
                continue
            mult[j] += mult[i] * na * nb
            if na * nb > 1:
                arr = kdb.CellInstArray(child.cell_index(), t, kdb.Vector(coord(), coord()), kdb.Vector(coord(), coord()), na, nb)
            else:
                arr = kdb.CellInstArray(child.cell_index(), t)
            cell.insert(arr)
    return ly


def layer_table(r: random.Random):
    from corvane.core import lumino

    specs = r.sample([(1, 0), (2, 0), (3, 5), (1, 1), (7, 7)], r.randint(0, 5))
    return {s: lumino.PdkLayer(r.choice(["WG", "M1", "a*b", "[x]", "é", ""]) + str(k), r.choice([0.22, 1, 0.0]), r.uniform(-5, 5), "#00ff00")
            for k, s in enumerate(specs)}


# ---- GDS bytes ---------------------------------------------------------------


def gds_records(data: bytes) -> list[tuple[int, int]]:
    """(offset, length) of each record, as far as the lengths hold."""
    out, at = [], 0
    while at + 4 <= len(data):
        n = int.from_bytes(data[at:at + 2], "big")
        if n < 4:
            break
        out.append((at, n))
        at += n
    return out


def mutate_gds(r: random.Random, data: bytes) -> bytes:
    b = bytearray(data)
    for _ in range(r.randint(1, 3)):
        kind = r.randrange(6)
        recs = gds_records(bytes(b))
        if kind == 0 and b:  # cut
            del b[r.randrange(len(b)):]
        elif kind == 1 and b:  # flip bytes
            for _ in range(r.randint(1, 8)):
                b[r.randrange(len(b))] = r.randrange(256)
        elif recs and kind == 2:  # a record's payload: extreme numbers
            at, n = r.choice(recs)
            for k in range(at + 4, at + n, 4):
                if r.random() < 0.5:
                    b[k:k + 4] = r.choice([b"\x7f\xff\xff\xff", b"\x80\x00\x00\x00", b"\x00\x00\x00\x00", b"\xff\xff\xff\xff"])[: at + n - k]
        elif recs and kind == 3:  # drop, duplicate or swap records
            i, j = r.randrange(len(recs)), r.randrange(len(recs))
            (a, n), (c, m) = recs[i], recs[j]
            op = r.randrange(3)
            if op == 0:
                del b[a:a + n]
            elif op == 1:
                b[a:a] = b[c:c + m]
            elif a + n <= c:
                b[a:c + m] = b[c:c + m] + b[a + n:c] + b[a:a + n]
        elif recs and kind == 4:  # a record's length
            at, _ = r.choice(recs)
            b[at:at + 2] = r.choice([0, 2, 4, 6, 0xFFFF, r.randrange(65536)]).to_bytes(2, "big")
        elif recs:  # transformation flags, reals, array counts
            at, n = r.choice(recs)
            if n > 4:
                b[at + 4:at + n] = bytes(r.randrange(256) for _ in range(n - 4))
    return bytes(b)


# ---- targets -----------------------------------------------------------------


class World:
    """What the cases share in one worker: imports, seed data, a scratch folder."""

    def __init__(self):
        import klayout.db as kdb
        import velloc.pdk
        import velloc.technology as vlt

        from corvane.core import lumino

        self.folder = tempfile.mkdtemp(prefix="corvane-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.seeds = []
        for name in ("RingResonator.gds", "tt_um_loopback.gds"):
            if (DATA / "gds" / name).exists():
                self.seeds.append((DATA / "gds" / name).read_bytes())
        self.stacks = []
        for name in ("photonics_stack.json", "sky130_like_stack.json"):
            if (DATA / name).exists():
                self.stacks.append(vlt.read_layer_technology(DATA / name))
        self.stacks.append((velloc.pdk.get_layer_stack(), velloc.pdk.get_layer_views()))
        self.sources = [p.read_text() for p in sorted((REPO / "standins" / "velloc" / "velloc").glob("*.py"))]
        self.sent = []
        self.out = None  # the supervisor's pipe, in a worker
        lumino.comms = type("Capture", (), {"send_message": staticmethod(self.sent.append)})()
        self.kdb = kdb

    def phase(self, name: str) -> None:
        """Tell the supervisor which part of a case runs now."""
        if self.out:
            self.out.write(f"P {name}\n")

    def path(self, name: str) -> str:
        return os.path.join(self.folder, name)


def t_gds(r: random.Random, w: World):
    import klayout.db as kdb

    from corvane.core import lumino

    if w.seeds and r.random() < 0.5:
        data = r.choice(w.seeds[:1] * 4 + w.seeds)
    else:
        opts = kdb.SaveLayoutOptions()
        opts.format = "GDS2"
        data = random_layout(r).write_bytes(opts)
    clean = r.random() < 0.1
    if not clean:
        data = mutate_gds(r, data)
    path = w.path("case.gds")
    Path(path).write_bytes(data)
    stack, views = r.choice(w.stacks)
    tol = r.choice([None, 0.01, 0.0, 1.0])
    exclude = r.choice([None, [], ["*"], ["m*", "[a-z]?"]])
    # KLayout's own read first, timed apart: a few damaged bytes can make it
    # build millions of instances (an off-grid array is split into single
    # ones), and the viewer data holds every placement of a layout.
    w.phase("klayout")
    layout = kdb.Layout()
    try:
        layout.read(path)
    except RuntimeError:
        check(not clean, "a file KLayout wrote could not be read")
        raise
    placements = flattened_placements(layout, 200_000)
    w.phase("corvane")
    if placements is None:
        raise Oversized("more than 200,000 placements")
    for output in (lumino.Output.CELL, lumino.Output.LAYER):
        try:
            data_out = lumino.to_3D_viewer(path, output, layer_views=views, layer_stack=stack, curve_tolerance=tol,
                                           exclude_layers=exclude, as_dict=r.random() < 0.5)
        except RuntimeError:
            check(not clean, "a file KLayout wrote could not be converted")
            raise
        del data_out
    from corvane.core import pdk

    pdk.set_pdk(velloc_pdk(stack, views))
    try:
        lumino.lumino(path, r.choice([lumino.Output.CELL, lumino.Output.LAYER]), curve_tolerance=tol, exclude_layers=exclude)
        message = json.loads(w.sent.pop().content)
        check(list(message) == ["type", "data", "config"], "message keys")
    finally:
        pdk.reset()


class Oversized(Exception):
    """A layout too large to convert within a case's time: not tried."""


def flattened_placements(layout, limit: int):
    """The number of placements of all cells in the flattened layout, or None
    once it exceeds `limit` (instances are counted only while that holds)."""
    mult = {c.cell_index(): 1 for c in layout.top_cells()}
    total = 0
    for ci in layout.each_cell_top_down():
        m = mult.get(ci, 0)
        cell = layout.cell(ci)
        if cell.child_instances() > limit:
            return None
        for inst in cell.each_inst():
            n = inst.na * inst.nb if inst.is_regular_array() else inst.size()
            mult[inst.cell_index] = mult.get(inst.cell_index, 0) + m * n
            total += m * n
            if total > limit:
                return None
    return total


def velloc_pdk(stack, views):
    import velloc.pdk

    return velloc.pdk.Pdk(name="fuzz", layer_stack=stack, layer_views=views)


def t_layout(r: random.Random, w: World):
    from corvane.core import lumino

    ly = random_layout(r, wild=True)
    args = {
        "z_scale": maybe(r, r.choice([1.0, 2.0, 1e-9, 1e9])),
        "curve_tolerance": maybe(r, r.choice([None, 0.01, 0.0, 10.0])),
        "exclude_layers": maybe(r, r.choice([None, [], ["*"], ["wg*"]])),
    }
    g = lumino.ParseGDS(maybe(r, ly, 0.05), maybe(r, layer_table(r), 0.05), **args)
    ops = [
        lambda: g.export_cells(combine=r.random() < 0.7),
        lambda: g.export_layers(combine=r.random() < 0.7),
        lambda: g.to_viewer(maybe(r, r.choice([lumino.Output.CELL, lumino.Output.LAYER]))),
        # A second combining composes the placements again, as specified: on
        # a deep hierarchy their number grows by powers, so it is not repeated.
        lambda: g.combine_references(lumino.Output.CELL) if not g.cell_combined else None,
        lambda: g.combine_references(lumino.Output.LAYER) if not g.layer_combined else None,
        lambda: g.combine_references(junk(r)),
        lambda: g.create_json(g.to_viewer(r.choice([lumino.Output.CELL, lumino.Output.LAYER]))),
        lambda: lumino.numpy_to_buffer_json(g.asdict(g.to_viewer(r.choice([lumino.Output.CELL, lumino.Output.LAYER])))),
        lambda: g.parse_cells(maybe(r, r.choice(list(ly.each_cell())))),
        lambda: g.extract_dpolygon(maybe(r, w.kdb.Polygon([w.kdb.Point(r.randint(-9, 9), r.randint(-9, 9)) for _ in range(r.randint(0, 6))]))),
        lambda: getattr(g, r.choice(["get_name", "get_zmin", "get_height", "get_color"]))(maybe(r, r.choice([(1, 0), (9, 9)]))),
        lambda: g.extract_layers(),
        # public state reassigned to junk, as any caller may
        lambda: setattr(g, r.choice(["layers", "instances", "instance_mapping", "parsed_cells", "parsed_layers", "layer_map",
                                     "reverse_layer_map", "cell_index_map", "exclude_layers", "curve_tolerance", "layout"]), junk(r)),
        lambda: setattr(g, r.choice(["cell_combined", "layer_combined"]), True),
    ]
    errors = 0
    for _ in range(r.randint(1, 8)):
        try:
            r.choice(ops)()
        except (SystemError, Bug):
            raise
        except Exception:
            errors += 1
    return "some errors" if errors else None


def simple_matrix(t):
    import math

    a = [0, 90, 180, 270][t.angle] / 180 * math.pi
    s, c, rr = math.sin(a), math.cos(a), -1 if t.is_mirror() else 1
    return ((c, (-rr) * s, t.disp.x / 1000), (s, rr * c, t.disp.y / 1000))


def t_ktrans(r: random.Random, w: World):
    kdb = w.kdb
    from corvane.core import lumino

    def transformation():
        k = r.randrange(5)
        v = lambda: r.choice([0, 1, -1, 10**9, -(10**9), r.randint(-(2**31), 2**31 - 1)])  # noqa: E731
        if k == 0:
            return kdb.Trans(r.randrange(8), v(), v())
        if k == 1:
            return kdb.DTrans(r.randrange(8), r.uniform(-1e6, 1e6), r.uniform(-1e6, 1e6))
        if k == 2:
            return kdb.ICplxTrans(r.choice([1.0, 0.5, 3.0, 1e-6]), r.uniform(-1000, 1000), r.random() < 0.5, v(), v())
        if k == 3:
            return kdb.DCplxTrans(r.choice([1.0, 2.5]), r.uniform(-360, 360), r.random() < 0.5, r.uniform(-1, 1), 0.0)
        return junk(r)

    t = transformation()
    k = lumino.KTrans(t)
    d, m = k.to_dict(), k.trans_matrix()
    repr(k)
    if isinstance(t, kdb.Trans):
        check(d == {"mirror": t.is_mirror(), "angle": [0, 90, 180, 270][t.angle], "displacement": [t.disp.x / 1000, t.disp.y / 1000]}, "to_dict")
        check(m == simple_matrix(t), f"trans_matrix of {t}")
    else:  # any transformation: the matrix moves points as KLayout does (lengths in um)
        dt = kdb.DCplxTrans(t) if not isinstance(t, kdb.DCplxTrans) else t
        for x, y in ((0.0, 0.0), (1.25, -3.5)):
            q = dt * kdb.DPoint(x * 1000, y * 1000)
            got = (m[0][0] * x + m[0][1] * y + m[0][2], m[1][0] * x + m[1][1] * y + m[1][2])
            tol = 1e-9 * (1 + abs(q.x) / 1000 + abs(q.y) / 1000)
            check(abs(got[0] - q.x / 1000) <= tol and abs(got[1] - q.y / 1000) <= tol, f"matrix of {t} at {(x, y)}")
    ps = [lumino.KTrans(transformation()) for _ in range(r.randint(0, 3))]
    ts = [lumino.KTrans(transformation()) for _ in range(r.randint(0, 3))]
    pa, ta = maybe(r, ps), maybe(r, ts)
    prod = lumino.KTrans.multiply(pa, ta)
    genuine = pa is ps and ta is ts and ps and ts
    check(len(prod) == len(ps) * len(ts) if genuine else True, "product length")
    for j, out in enumerate(prod if genuine else []):
        p_, t_ = ps[j % len(ps)], ts[j // len(ps)]
        expect = kdb.DCplxTrans(p_.trans) * kdb.DCplxTrans(t_.trans)
        q = expect * kdb.DPoint(1000.0, 2000.0)
        mm = out.trans_matrix()
        got = (mm[0][0] + 2 * mm[0][1] + mm[0][2], mm[1][0] + 2 * mm[1][1] + mm[1][2])
        tol = 1e-6 * (1 + abs(q.x) / 1000 + abs(q.y) / 1000)
        check(abs(got[0] - q.x / 1000) <= tol and abs(got[1] - q.y / 1000) <= tol, f"product {p_!r} * {t_!r}")


def t_encode(r: random.Random, w: World):
    import base64

    import numpy as np

    from corvane.core import lumino

    def value(depth=0):
        k = r.randrange(8 if depth < 6 else 3)
        if k == 0:
            shape = tuple(r.randint(0, 4) for _ in range(r.randint(0, 3)))
            a = np.zeros(shape, dtype=r.choice(["f4", "f8", "i2", "u8", "?", "c8", "<U3", "O", "V4", ">f4"]))
            if a.ndim and r.random() < 0.5:
                a = a[..., ::-1] if a.shape[-1] else a
            if a.ndim > 1 and r.random() < 0.5:
                a = a.T
            return a
        if k == 1:
            return junk(r)
        if k == 2:
            return r.choice([None, 1, "x", 2.5])
        if k == 3:
            return [value(depth + 1) for _ in range(r.randint(0, 3))]
        if k == 4:
            return tuple(value(depth + 1) for _ in range(r.randint(0, 3)))
        if k == 5:
            return {r.choice(["a", "b", 1, None, (1, 2)]): value(depth + 1) for _ in range(r.randint(0, 3))}
        if k == 6:
            return lumino.Shape([r.randint(0, 5)], r.random(), matrices=np.arange(r.randint(0, 12), dtype="f4"))
        return lumino.Part("p", "/p", shape=lumino.Shape([], 1.0), color=value(depth + 1))

    v = value()
    if r.random() < 0.05:  # deep or cyclic
        deep = v
        for _ in range(r.choice([50, 5000])):
            deep = [deep]
        v = deep
        if r.random() < 0.5:
            cyc = [1]
            cyc.append(cyc)
            v = {"c": cyc}
    g = lumino.ParseGDS(w.kdb.Layout(), {})
    for op in r.sample(["asdict", "create_json", "buffers"], 3):
        try:
            if op == "asdict":
                g.asdict(v)
            elif op == "create_json":
                g.create_json(v)
            else:
                out = lumino.numpy_to_buffer_json({"v": v})
                if isinstance(v, np.ndarray) and v.dtype != object:
                    rec = out["v"]
                    check(base64.b64decode(rec["buffer"]) == np.ascontiguousarray(v).ravel().tobytes(), "buffer bytes")
                    check(rec["shape"] == [v.size] and rec["dtype"] == str(v.dtype), "buffer record")
        except (SystemError, Bug):
            raise
        except Exception:
            pass


def t_layers(r: random.Random, w: World):
    import velloc.technology as vlt

    from corvane.core import lumino

    class Level:
        pass

    class Views:
        def get_from_tuple(self, spec):
            mode = r.randrange(4)
            if mode == 0:
                raise KeyError(spec)
            view = type("View", (), {})()
            view.fill_color = None if mode == 1 else maybe(r, vlt.Color("#123456"), 0.2)
            return view

    members = [level.layer.layer for stack, _ in w.stacks for level in stack.layers.values()
               if isinstance(level.layer, vlt.LogicalLayer)]
    levels = {}
    for k in range(r.randint(0, 6)):
        lv = Level()
        kind = r.randrange(4)
        if kind == 0:
            lv.layer = vlt.LogicalLayer(maybe(r, r.choice(members)))
        elif kind == 1:
            lv.layer = vlt.LogicalLayer((1, 0))  # not an enumeration member: skipped
        elif kind == 2:
            lv.layer = vlt.DerivedLayer(vlt.LogicalLayer(r.choice(members)), vlt.LogicalLayer(r.choice(members)))
            lv.derived_layer = maybe(r, r.choice([None, vlt.LogicalLayer(r.choice(members))]))
        else:
            lv.layer = junk(r)
        if r.random() < 0.9:
            lv.thickness, lv.zmin = maybe(r, r.uniform(0, 3)), maybe(r, r.uniform(-3, 3))
        if kind != 2:
            lv.derived_layer = None
        levels[f"l{k}"] = lv
    stack = type("Stack", (), {"layers": maybe(r, levels, 0.05)})()
    try:
        lumino.get_layer_properties(stack, maybe(r, Views(), 0.05))
    except (SystemError, Bug):
        raise
    except Exception:
        pass
    for value in (r.uniform(-1e5, 1e5), r.choice([0.0, -0.0, 1e-5, 99.95, 1e300, float("nan"), float("inf")]), r.randint(-5, 5)):
        layer = lumino.PdkLayer("n", value, value, "#000000")
        text = f"PdkLayer(name='n', thickness={format(value, '5.3') if isinstance(value, float) else repr(value)}, "
        check(repr(layer).startswith(text) and str(layer) == repr(layer), f"PdkLayer text of {value!r}")


def t_exclude(r: random.Random, w: World):
    from fnmatch import fnmatch

    import klayout.db as kdb

    from corvane.core import lumino

    alphabet = "ab*?[]!-^\\.Éé東 "
    names = {}
    ly = kdb.Layout()
    top = ly.create_cell("T")
    for k in range(r.randint(1, 5)):
        spec = (k + 1, 0)
        names[spec] = "".join(r.choice(alphabet) for _ in range(r.randint(0, 6)))
        top.shapes(ly.layer(*spec)).insert(kdb.Box(0, 0, 10, 10))
    patterns = ["".join(r.choice(alphabet) for _ in range(r.randint(0, 6))) for _ in range(r.randint(0, 3))]
    layers = {s: lumino.PdkLayer(n, 1.0, 0.0, "#fff") for s, n in names.items()}
    g = lumino.ParseGDS(ly, layers, exclude_layers=patterns)
    g.export_cells()
    data = g.to_viewer(lumino.Output.CELL)
    shown = sorted(p.name for top_ in data.parts for p in top_.parts)
    expected = sorted(f"{n} ({s[0]}, {s[1]})" for s, n in names.items()
                      if not any(fnmatch(f"{n} ({s[0]}, {s[1]})".lower(), p.lower()) for p in patterns))
    check(shown == expected, f"exclusion of {names} by {patterns}: {shown} != {expected}")


def ref_int_hash(s: str) -> int:
    def val(c):
        try:
            return int(c)
        except ValueError:
            return ord(c)

    while len(s) > 1:
        s = str(sum(val(c) for c in s))
    return int(s)


def t_weftnet(r: random.Random, w: World):
    import networkx as nx

    from corvane.core import weftnet

    s = "".join(r.choice("ab.1٣²_ é東\x00") for _ in range(r.randint(0, 8)))
    try:
        expect = ref_int_hash(s)
    except ValueError:
        expect = ValueError
    try:
        got = weftnet._int_hash(s)
    except ValueError:
        got = ValueError
    check(got == expect, f"_int_hash({s!r}) = {got}, not {expect}")
    a, b = "".join(r.choice("ab.") for _ in range(r.randint(0, 4))), "".join(r.choice("ab.") for _ in range(r.randint(0, 3)))
    check(weftnet._is_submodule_of(a, b) == (a == b or a.startswith(b + ".")), f"_is_submodule_of({a!r}, {b!r})")

    libs = ["lib", "lib2", "velloc", "other"][: r.randint(1, 4)]
    funcs, modules = {}, {}
    names = [f"{r.choice(libs)}.{r.choice(['m', 'n.o', 'samples'])}.{r.choice(['f', 'g', 'h', 'é', 'x y'])}" for _ in range(r.randint(0, 12))]
    for full in names:
        rec = {
            "decorators": maybe(r, r.choice([["@cell"], [], ["yaml"]])),
            "resolved_decorators": maybe(r, r.choice([["velloc.cell"], [], ["pdk_device"]])),
            "parameter_defaults": maybe(r, {"p": "x"}, 0.05),
            "resolved_parameter_defaults": maybe(r, {"p": r.choice(names) if names else "x"}, 0.05),
            "resolved_calls": maybe(r, r.sample(names, r.randint(0, min(3, len(names)))), 0.05),
            "resolved_component_gets": maybe(r, [], 0.05),
            "is_partial": junk(r),
            "tags": junk(r),
        }
        if r.random() < 0.05:
            rec.pop(r.choice(list(rec)))
        funcs[full] = maybe(r, rec, 0.03)
        modules[full.rsplit(".", 1)[0]] = maybe(r, {"path": w.path(full.rsplit(".", 1)[0] + ".py"), "errors": maybe(r, [])}, 0.03)
    data = maybe(r, {"functions": maybe(r, funcs, 0.03), "modules": maybe(r, modules, 0.03)}, 0.03)
    G = weftnet.create_weftnet(data, lib_paths={lib: Path(w.folder) for lib in libs})
    check(isinstance(G, nx.DiGraph) and all(u != v for u, v in G.edges), "graph without self-edges")
    for op in (lambda: weftnet.get_static_records(G), lambda: weftnet._color_map(G),
               lambda: weftnet._get_errors(data, r.choice(list(modules) or ["x"]))):
        try:
            op()
        except (SystemError, Bug):
            raise
        except Exception:
            pass


def t_freeze(r: random.Random, w: World):
    from corvane.core import freeze

    comps = ["mmi", "mmi_2", "s", "é", "a,b", "mmi_2_2", ""]
    inst_names = [f"i{k}" for k in range(r.randint(0, 8))]
    ref = lambda: maybe(r, f"{r.choice(inst_names + ['ghost'])},{r.choice(['o1', 'o2', ''])}", 0.05)  # noqa: E731
    net = {
        "instances": {n: maybe(r, {"component": maybe(r, r.choice(comps), 0.03), "settings": {"k": 1}}, 0.03) for n in inst_names},
        "connections": {ref(): ref() for _ in range(r.randint(0, 4))},
        "ports": {f"o{k}": ref() for k in range(r.randint(0, 3))},
        "placements": {n: {"x": 1} for n in inst_names if r.random() < 0.5},
        "routes": {"r": {"links": {ref(): ref() for _ in range(r.randint(0, 3))}}} if r.random() < 0.5 else {},
        "nets": [{"p1": ref(), "p2": ref()} for _ in range(r.randint(0, 3))],
    }
    if r.random() < 0.05:
        net[r.choice(list(net))] = junk(r)
    instances = net["instances"]
    before = {n: i["component"] for n, i in instances.items() if isinstance(i, dict) and "component" in i} if isinstance(instances, dict) else {}
    freeze._normalize_names(net)
    new = net["instances"]
    check(len(new) == len(instances), "an instance was lost")
    check([i["component"] for i in new.values()] == list(before.values()), "components in order")
    for a, b in list(net["connections"].items()) + list(net["ports"].items()):
        for x in (a, b) if a in net["connections"] else (b,):
            check(x.rsplit(",", 1)[0] in new, f"reference {x} to no instance")


def t_analyser(r: random.Random, w: World):
    from corvane.weftnet import generate_call_graph

    lib = Path(w.folder) / "fuzzlib"
    lib.mkdir(exist_ok=True)
    for old in lib.iterdir():
        old.unlink()
    for k in range(r.randint(1, 3)):
        lines = r.choice(w.sources).splitlines()
        for _ in range(r.randint(1, 6)):
            op = r.randrange(5)
            if not lines:
                break
            i = r.randrange(len(lines))
            if op == 0:
                del lines[i]
            elif op == 1:
                lines.insert(i, lines[r.randrange(len(lines))])
            elif op == 2:
                lines[i] = lines[i][: r.randrange(len(lines[i]) + 1)]
            elif op == 3:
                lines.insert(i, r.choice(["x = (" * 200 + ")" * 200, "def f(a=lambda: f()): return f", "import .. as x",
                                          "from . import *", "class A(A): pass", "@" * 3, "x: int = y := 3", "\x00"]))
            else:
                lines[i] = "".join(r.choice("()[]{}:@.=,'\" abc") for _ in range(r.randint(0, 20)))
        name = r.choice(["__init__.py", "a.py", "b.py"])
        data = "\n".join(lines).encode("utf-8", "surrogatepass")
        if r.random() < 0.1:
            data = data[: r.randrange(len(data) + 1)] + bytes([r.randrange(256)])
        (lib / name).write_bytes(data)
    out = generate_call_graph({"fuzzlib": str(lib)})
    check(isinstance(out, dict), "graph data is a dict")


RUNNERS = {name: globals()["t_" + name] for name in TARGETS}


def run_case(seed: int, index: int, world: World, only: list[str]) -> tuple[str, str]:
    r = random.Random(f"{seed}:{index}")
    names = [t for t in TARGETS if t in only]
    target = r.choices(names, weights=[TARGETS[t] for t in names])[0]
    try:
        RUNNERS[target](r, world)
        return target, "ok"
    except Bug as e:
        return target, "bug " + str(e)[:300]
    except SystemError as e:
        return target, "bug SystemError: " + str(e)[:300]
    except RecursionError:
        return target, "error RecursionError"
    except Oversized:
        return target, "skipped"
    except Exception as e:
        return target, "error " + type(e).__name__


# ---- worker and supervisor -----------------------------------------------------


def worker(seed: int, start: int, stop: int, only: list[str], fd: int) -> None:
    import resource

    # Bound what one case may take, so a runaway allocation fails instead of
    # taking the machine.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # ASan maps terabytes of shadow memory
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    out = os.fdopen(fd, "w", buffering=1)
    world = World()
    world.out = out
    for index in range(start, stop):
        out.write(f"B {index}\n")
        target, outcome = run_case(seed, index, world, only)
        out.write(f"E {index} {target} {outcome}\n".replace("\n", " ").rstrip() + "\n")
    out.write("D\n")


def worker_env(args) -> dict:
    """The workers' environment: this one, or with --asan the modules built by
    scripts/sanitize.sh with the sanitizer runtimes preloaded."""
    env = dict(os.environ)
    if args.asan:
        stage = REPO / "build" / "asan" / "stage"
        if not (stage / "corvane" / "core").is_dir():
            sys.exit("fuzz: no sanitized build; run scripts/sanitize.sh first")
        libs = [subprocess.run(["gcc", f"-print-file-name={n}"], capture_output=True, text=True).stdout.strip()
                for n in ("libasan.so", "libubsan.so")]
        env.update(PYTHONPATH=str(stage), LD_PRELOAD=" ".join(libs), PYTHONMALLOC="malloc",
                   ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1",
                   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    return env


def supervise(args) -> int:
    total, started = args.cases, time.time()
    per = -(-total // args.workers)
    todo = collections.deque((k * per, min(total, (k + 1) * per)) for k in range(args.workers) if k * per < total)
    counts: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
    findings: list[str] = []
    first: dict[tuple[str, str], int] = {}  # the first case of each outcome, to replay
    done = 0
    running = []  # [proc, read end, (next, stop), deadline, current, stderr file, buffer]

    def spawn(start, stop):
        rfd, wfd = os.pipe()
        err = tempfile.TemporaryFile()
        cmd = [sys.executable, __file__, "--worker", str(start), str(stop), "--seed", str(args.seed), "--fd", str(wfd),
               "--targets", ",".join(args.targets)]
        proc = subprocess.Popen(cmd, pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL,
                                env=worker_env(args))
        os.close(wfd)
        running.append([proc, rfd, [start, stop], None, None, err, b"", "corvane"])

    for start, stop in todo:
        spawn(start, stop)
    last_report = time.time()
    while running:
        now = time.time()
        waits = [max(0.0, (w[3] or now + 1) - now) for w in running]
        ready, _, _ = select.select([w[1] for w in running], [], [], min(waits + [1.0]))
        for w in list(running):
            proc, rfd, span, deadline, current, err, buf, phase = w
            if rfd in ready:
                chunk = os.read(rfd, 65536)
                if chunk:
                    buf += chunk
                    *lines, buf = buf.split(b"\n")
                    w[6] = buf
                    for line in lines:
                        parts = line.decode("utf-8", "replace").split(" ", 3)
                        if parts[0] == "B":
                            w[4], w[3], w[7] = int(parts[1]), time.time() + args.timeout, "corvane"
                        elif parts[0] == "P":
                            w[7] = parts[1]
                        elif parts[0] == "E":
                            index, target, outcome = int(parts[1]), parts[2], parts[3]
                            kind = outcome.split(" ", 1)[0]
                            key = kind if kind != "error" else outcome
                            counts[target][key] += 1
                            first.setdefault((target, key), index)
                            if kind == "bug":
                                findings.append(f"bug   case {index} ({target}): {outcome[4:]}")
                            done += 1
                            w[4], w[3], span[0] = None, None, index + 1
                    continue
                # end of stream: finished, or died
                proc.wait()
                os.close(rfd)
                running.remove(w)
                if w[4] is not None or proc.returncode != 0:
                    index = w[4] if w[4] is not None else span[0]
                    err.seek(0)
                    tail = err.read()[-1500:].decode("utf-8", "replace").strip().replace("\n", " | ")
                    sig = -proc.returncode if proc.returncode < 0 else None
                    findings.append(f"crash case {index}: exit {proc.returncode}" + (f" ({signal.Signals(sig).name})" if sig else "") + f": {tail[-600:]}")
                    counts["(all)"]["crash"] += 1
                    done += 1
                    if index + 1 < span[1]:
                        spawn(index + 1, span[1])
                continue
            if deadline is not None and time.time() > deadline:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()
                os.close(rfd)
                running.remove(w)
                if phase == "klayout":  # KLayout's own reader, not this package
                    findings.append(f"slow  case {current}: KLayout's read of the file took over {args.timeout} s")
                    counts["(all)"]["klayout"] += 1
                else:
                    findings.append(f"hang  case {current}: over {args.timeout} s")
                    counts["(all)"]["hang"] += 1
                done += 1
                if current + 1 < span[1]:
                    spawn(current + 1, span[1])
        if time.time() - last_report > 30:
            last_report = time.time()
            print(f"  {done}/{total} cases, {time.time() - started:.0f} s", file=sys.stderr, flush=True)

    elapsed = time.time() - started
    crashes = sum(c["crash"] for c in counts.values())
    hangs = sum(c["hang"] for c in counts.values())
    bugs = sum(c["bug"] for c in counts.values())
    build = "sanitized build" if args.asan else "build " + os.path.dirname(__import__("corvane.core.lumino").core.lumino.__file__)
    print(f"fuzz: {done} cases in {elapsed:.0f} s (seed {args.seed}, {args.workers} workers, {args.timeout} s per case, {build})")
    slow_reads = counts["(all)"]["klayout"]
    skipped = sum(c["skipped"] for c in counts.values())
    print(f"fuzz: {crashes} crashes, {hangs} hangs, {bugs} wrong results")
    print(f"fuzz: {slow_reads} files KLayout itself needed over {args.timeout} s to read, "
          f"{skipped} with over 200,000 placements not converted")
    print("| target | cases | ok | errors (bad input refused) |")
    print("|---|---:|---:|---|")
    for target in TARGETS:
        c = counts.get(target)
        if not c:
            continue
        errs = sorted(((k[6:], v) for k, v in c.items() if k.startswith("error")), key=lambda kv: -kv[1])
        print(f"| {target} | {sum(c.values()) - c['skipped']} | {c['ok']} | " + ", ".join(f"{k} {v}" for k, v in errs[:6]) + " |")
        if args.verbose:
            print("|  | first cases: " + ", ".join(f"{k} #{i}" for (t, k), i in first.items() if t == target) + " | | |")
    for f in findings[:50]:
        print(f)
    return 1 if crashes or hangs or bugs else 0


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cases", type=int, default=100_000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--timeout", type=float, default=20.0)
    p.add_argument("--targets", default=",".join(TARGETS))
    p.add_argument("--asan", action="store_true", help="workers run the sanitized build of scripts/sanitize.sh")
    p.add_argument("--verbose", action="store_true", help="name the first case of each outcome")
    p.add_argument("--replay", type=int, help="run one case in this process and show its outcome")
    p.add_argument("--worker", nargs=2, type=int, help=argparse.SUPPRESS)
    p.add_argument("--fd", type=int, help=argparse.SUPPRESS)
    args = p.parse_args()
    args.targets = [t for t in args.targets.split(",") if t]
    unknown = set(args.targets) - set(TARGETS)
    if unknown:
        p.error(f"unknown targets: {sorted(unknown)}")
    if args.worker:
        worker(args.seed, args.worker[0], args.worker[1], args.targets, args.fd)
        return 0
    if args.replay is not None:
        world = World()
        r = random.Random(f"{args.seed}:{args.replay}")
        target = r.choices(args.targets, weights=[TARGETS[t] for t in args.targets])[0]
        print("target:", target)
        RUNNERS[target](r, world)
        print("ok")
        return 0
    return supervise(args)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception:
        traceback.print_exc()
        sys.exit(2)
