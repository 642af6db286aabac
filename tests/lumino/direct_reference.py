"""What the direct readers must give, taken from KLayout's own read.

`klayout_layout(path, pairs)` reads the file with a fresh kdb.Layout and
walks it into the plain structure lumino._read_layout returns, so that the
two compare with ==.  Floats are compared by their exact bits (`exact`).
"""

from __future__ import annotations

import struct

import klayout.db as kdb


def complex_parts(t):
    """Displacement, sine, cosine and signed magnification (negative when
    mirrored) of a complex transformation, as KLayout holds them."""
    if hasattr(t, "to_bytes"):
        # KLayout's binary form (from 0.30.9): version, displacement, sine,
        # cosine, signed magnification.
        _, dx, dy, sin, cos, mag = struct.unpack("<Hqqddd", t.to_bytes())
        return dx, dy, sin, cos, mag
    return complex_parts_from_matrix(t)


def complex_parts_from_matrix(t):
    """The same, for releases without the binary form: with its
    magnification set to 1 (which leaves sine, cosine and the mirror as
    they are), the transformation's matrix holds cosine and sine as its
    first column."""
    unit = t.dup()
    unit.mag = 1.0
    m = kdb.IMatrix2d(unit)
    return t.disp.x, t.disp.y, m.m21(), m.m11(), -t.mag if t.is_mirror() else t.mag


def _instance(inst):
    """One entry of Cell.each_inst() in the reader's form."""
    d = {"child": inst.cell_index}
    if inst.is_complex():
        t = inst.cplx_trans
        dx, dy, sin, cos, mag = complex_parts(t)
        d.update(complex=True, mirror=mag < 0, rot=0, angle=t.angle, mag=abs(mag), sin=sin, cos=cos,
                 dx=float(dx), dy=float(dy))
    else:
        t = inst.trans
        d.update(complex=False, mirror=t.is_mirror(), rot=t.angle, angle=0.0, mag=1.0, sin=0.0, cos=1.0,
                 dx=float(t.disp.x), dy=float(t.disp.y))
    array = inst.is_regular_array()
    d.update(array=array, na=inst.na if array else 1, nb=inst.nb if array else 1,
             a=(inst.a.x, inst.a.y) if array else (0, 0), b=(inst.b.x, inst.b.y) if array else (0, 0))
    if array:
        # The elements run with the a index fastest.
        each = inst.cell_inst.each_cplx_trans() if inst.is_complex() else inst.cell_inst.each_trans()
        disps = [(e.disp.x, e.disp.y) for e in each]
        expected = [(d["dx"] + i * d["a"][0] + j * d["b"][0], d["dy"] + i * d["a"][1] + j * d["b"][1])
                    for j in range(d["nb"]) for i in range(d["na"])]
        assert disps == expected
    return d


def klayout_layout(path, pairs=None):
    """KLayout's read of `path`; shapes only for layers whose pair is in `pairs`."""
    ly = kdb.Layout()
    ly.read(str(path))
    layers = [(li, ly.get_info(li).layer, ly.get_info(li).datatype) for li in ly.layer_indices()]
    assert [li for li, _, _ in layers] == list(range(len(layers)))
    keep = {li for li, l, d in layers if pairs is None or (l, d) in set(pairs)}
    cells = []
    for ci in range(ly.cells()):
        if not ly.is_valid_cell_index(ci):  # an index KLayout left free
            cells.append(None)
            continue
        c = ly.cell(ci)
        shapes = []
        for li, _, _ in layers:
            hulls = []
            if li in keep:
                for s in c.shapes(li).each():
                    p = s.polygon
                    hulls.append(None if p is None else [(q.x, q.y) for q in p.each_point_hull()])
            shapes.append(hulls)
        cells.append({"name": c.name, "ghost": c.is_ghost_cell(), "shapes": shapes,
                      "instances": [_instance(i) for i in c.each_inst()]})
    return {"dbu": ly.dbu, "layers": layers, "cells": cells, "top_cells": [c.cell_index() for c in ly.top_cells()]}


def same(a, b):
    """Equal, floats to the bit (== alone takes -0.0 for 0.0)."""
    return a == b and exact(_floats(a)) == exact(_floats(b))


def _floats(layout):
    out = [layout["dbu"]]
    for c in layout["cells"]:
        for inst in c["instances"] if c else ():
            out += [v for v in inst.values() if isinstance(v, float)]
    return out


def exact(value):
    """`value` with every float replaced by its exact text (so -0.0 != 0.0)."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(exact(v) for v in value)
    return value


def first_difference(a, b, where="layout"):
    """Where two reads first differ (for a readable failure), or None."""
    if isinstance(a, dict) and isinstance(b, dict):
        if list(a) != list(b):
            return f"{where}: keys {list(a)} != {list(b)}"
        for k in a:
            d = first_difference(a[k], b[k], f"{where}[{k!r}]")
            if d:
                return d
        return None
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        if len(a) != len(b):
            return f"{where}: {len(a)} entries != {len(b)}"
        for k, (x, y) in enumerate(zip(a, b)):
            d = first_difference(x, y, f"{where}[{k}]")
            if d:
                return d
        return None
    return None if exact(a) == exact(b) and type(a) is type(b) else f"{where}: {a!r} != {b!r}"
