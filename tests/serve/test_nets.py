"""Nets traced through a stack's connections: what KLayout's net tracer finds, as the page draws it."""

from __future__ import annotations

import base64
import json

import klayout.db as kdb
import numpy as np
import pytest

from corvane import stacks
from corvane.core import lumino
from corvane.serve.nets import NetError, NetTracing
from corvane.stacks import connections

from .conftest import STACK, um, two_metal_layout


def tracing(layout, data=STACK, z_scale=1.0) -> NetTracing:
    data = stacks.check(json.loads(json.dumps(data)))
    table = lumino.get_layer_properties(*stacks.technology(data))
    return NetTracing(layout, connections.parse(data), table, z_scale)


def klayout_net(layout, cell, point_um, pair, joins, labels=()):
    """The non-text elements KLayout's tracer finds with the connections spelled out here:
    (layer pair, bounding box in um) each."""
    tech = kdb.NetTracerConnectivity()
    for join in joins:
        tech.connection(*join)
    for conductor, label in labels:
        tech.connection(conductor, label)
    tracer = kdb.NetTracer()
    point = kdb.Point(*um(*point_um))
    tracer.trace(tech, layout, layout.cell(cell), point, layout.find_layer(*pair))
    found = []
    for e in tracer.each_element():
        if not e.shape().is_text():
            box = e.shape().polygon.transformed(e.trans()).bbox().to_dtype(layout.dbu)
            found.append((layout.get_info(e.layer()).to_s(), (box.left, box.bottom, box.right, box.top)))
    return sorted(found), tracer.name()


def floats(record):
    return np.frombuffer(base64.b64decode(record["buffer"]), dtype=record["dtype"])


def drawn(net):
    """(layer name, bounding box) of every polygon of a traced net, as the page receives them."""
    out = []
    for layer in net["layers"]:
        xy = floats(layer["points"]).astype(float).reshape(-1, 2)
        at = 0
        for n in floats(layer["sizes"]):
            box = xy[at : at + n]
            out.append((layer["pair"], tuple(np.round([*box.min(0), *box.max(0)], 4))))
            at += n
    return sorted(out)


TWO_METAL = [("68/20", "68/44", "69/20")]


@pytest.mark.parametrize(
    "point, pair, shapes, name",
    [
        ((5, 1), (68, 20), 5, "net_a"),  # on W as placed
        ((59, 10), (68, 20), 5, "net_a"),  # on W turned by 90 degrees
        ((40, 1), (69, 20), 5, "net_a"),  # on the met2 that joins them
        ((19, 1), (68, 44), 5, "net_a"),  # on a via
        ((5, 11), (68, 20), 1, None),  # the lone box
        ((5, 39), (68, 20), 2, None),  # W mirrored: its wire and via, joined to nothing
    ],
)
def test_a_trace_finds_what_klayouts_tracer_finds(point, pair, shapes, name):
    layout = two_metal_layout()
    net = tracing(layout).trace("top", *point, pair)
    expected, expected_name = klayout_net(two_metal_layout(), "top", point, pair, TWO_METAL, [("68/20", "68/5")])
    assert net["shapes"] == len(expected) == shapes
    assert (net["name"], expected_name or None) == (name, name)
    got = [(f"{p[0]}/{p[1]}", box) for p, box in drawn(net)]
    assert got == [(layer, tuple(np.round(box, 4))) for layer, box in expected]
    lo = np.min([b[:2] for _, b in expected], axis=0)
    hi = np.max([b[2:] for _, b in expected], axis=0)
    assert net["bbox"] == pytest.approx([*lo, *hi])


def test_each_layer_comes_with_its_heights_and_colour():
    net = tracing(two_metal_layout(), z_scale=2.5).trace("top", 5, 1, (68, 20))
    assert [(l["name"], l["zmin"], l["height"], l["color"], l["drawn"]) for l in net["layers"]] == [
        ("met1 (68, 20)", 0.0, 2.5, "#3366cc", True),
        ("via (68, 44)", 2.5, 2.5, "#888888", True),
        ("met2 (69, 20)", 5.0, 2.5, "#cc3333", True),
    ]
    assert (net["elements"], net["texts"]) == (6, 1)


def placed_cell() -> kdb.Layout:
    """An L-shaped met1 polygon with a via in cell C, placed by every kind of
    transformation and by an array: 11 nets of two shapes."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    m1, via = layout.layer(68, 20), layout.layer(68, 44)
    c = layout.create_cell("C")
    c.shapes(m1).insert(kdb.Polygon([kdb.Point(*um(x, y)) for x, y in [(0, 0), (4, 0), (4, 1), (1, 1), (1, 3), (0, 3)]]))
    c.shapes(via).insert(kdb.Box(*um(0.2, 0.2, 0.8, 0.8)))
    top = layout.create_cell("top")
    for trans in [
        kdb.ICplxTrans(1, 0, False, *um(10, 10)),
        kdb.ICplxTrans(1, 90, False, *um(30, 10)),
        kdb.ICplxTrans(1, 180, True, *um(50, 10)),
        kdb.ICplxTrans(2, 270, False, *um(70, 10)),
        kdb.ICplxTrans(1.5, 30, True, *um(90, 10)),
    ]:
        top.insert(kdb.CellInstArray(c.cell_index(), trans))
    top.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(*um(110, 10)), kdb.Vector(*um(6, 0)), kdb.Vector(*um(0, 6)), 3, 2))
    return layout


def test_every_placement_of_a_shape_is_placed_as_klayout_places_it():
    layout = two_metal_layout()
    net = tracing(layout).trace("top", 5, 1, (68, 20))
    # The same outline at two placements (W as is and turned) is read once and placed twice.
    met1 = next(l for l in net["layers"] if l["pair"] == [68, 20])
    xy = floats(met1["points"]).reshape(-1, 2)
    assert met1["shapes"] == 2 and sorted(map(tuple, np.round(xy, 4))) == sorted(
        [(0, 0), (20, 0), (20, 2), (0, 2), (60, 0), (60, 20), (58, 20), (58, 0)]
    )


@pytest.mark.parametrize("k", range(11))
def test_rotated_mirrored_magnified_and_arrayed_placements_keep_their_points(k):
    layout = placed_cell()
    top = layout.cell("top")
    m1 = layout.find_layer(68, 20)
    # The k-th placement's polygon, as KLayout transforms it.
    shapes = []
    it = top.begin_shapes_rec(m1)
    while not it.at_end():
        shapes.append(it.shape().polygon.transformed(it.trans()))
        it.next()
    polygon = shapes[k]
    # A point surely inside: the middle of a trapezoid of the polygon.
    inner = polygon.decompose_trapezoids()[0].bbox().center()
    net = tracing(layout).trace("top", inner.x * layout.dbu, inner.y * layout.dbu, (68, 20))
    met1 = next(l for l in net["layers"] if l["pair"] == [68, 20])
    xy = floats(met1["points"]).astype(float).reshape(-1, 2)
    sizes = floats(met1["sizes"])
    outlines = np.split(xy, np.cumsum(sizes)[:-1])
    want = np.array([(p.x * layout.dbu, p.y * layout.dbu) for p in polygon.each_point_hull()])
    # KLayout rounds a rotated point to the grid; the page keeps it exact (to float32).
    assert any(len(o) == len(want) and np.abs(np.sort(o, 0) - np.sort(want, 0)).max() < 1.5 * layout.dbu for o in outlines)


SKY130_JOINS = [("65/20-66/20", "66/44", "67/20"), ("66/20", "66/44", "67/20"), ("67/20", "67/44", "68/20")]


def transistor() -> kdb.Layout:
    """A diffusion crossed by a poly gate, a contact and li1 on each side (source, drain),
    and the left li1 on met1 through mcon."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top = layout.create_cell("top")
    add = lambda pair, *box: top.shapes(layout.layer(*pair)).insert(kdb.Box(*um(*box)))  # noqa: E731
    add((65, 20), 0, 0, 3, 1)  # diff
    add((66, 20), 1.3, -0.5, 1.7, 1.5)  # poly, the gate
    add((66, 44), 0.3, 0.3, 0.5, 0.5)  # licon on the source
    add((66, 44), 2.5, 0.3, 2.7, 0.5)  # licon on the drain
    add((67, 20), 0, 0, 1, 1)  # li1 over the source
    add((67, 20), 2, 0, 3, 1)  # li1 over the drain
    add((67, 44), 0.3, 0.6, 0.5, 0.8)  # mcon
    add((68, 20), 0, 0.5, 1, 1)  # met1
    return layout


def test_the_gate_does_not_join_source_and_drain():
    net = tracing(transistor(), stacks.builtin("sky130")).trace("top", 0.5, 0.75, (68, 20))
    got = drawn(net)
    expected, _ = klayout_net(transistor(), "top", (0.5, 0.75), (68, 20), SKY130_JOINS)
    # The source's diffusion is computed once into a layer of its own; KLayout's
    # own expression gives the same pieces.
    assert got == sorted(
        (([65, 20] if layer.startswith("corvane") or layer == "" else [int(v) for v in layer.split("/")]), tuple(np.round(box, 4)))
        for layer, box in expected
    )
    assert [65, 20] in [pair for pair, _ in got]
    assert (67, 20) not in {tuple(pair) for pair, box in got if box[0] >= 2}  # the drain's li1 is not in the net
    # Without the gate cut out, the diffusion would join them.
    joined, _ = klayout_net(transistor(), "top", (0.5, 0.75), (68, 20), [("65/20", "66/44", "67/20")] + SKY130_JOINS[1:])
    assert len(joined) > len(expected)


def test_a_click_on_the_diffusion_starts_on_its_source_or_drain():
    net = tracing(transistor(), stacks.builtin("sky130")).trace("top", 2.8, 0.2, (65, 20))
    assert {(tuple(pair), box) for pair, box in drawn(net)} >= {((67, 20), (2.0, 0.0, 3.0, 1.0))}


@pytest.mark.parametrize(
    "point, pair, near, said",
    [
        ((1.5, 0.5), (65, 20), 0.005, "no shape on diff (65, 20) at x 1.5, y 0.5 um"),  # under the gate
        ((5, 5), (67, 20), 0.005, "no shape on li1 (67, 20) at x 5, y 5 um"),
        ((0.5, 0.5), (64, 20), 0.005, "nwell (64, 20) is in none of the stack's connections"),
        ((0.5, 0.5), (1, 0), 0.005, "(1, 0) is in none of the stack's connections"),
    ],
)
def test_a_trace_that_cannot_start_says_why(point, pair, near, said):
    with pytest.raises(NetError, match=f"^{said.replace('(', '[(]').replace(')', '[)]')}"):
        tracing(transistor(), stacks.builtin("sky130")).trace("top", *point, pair, near)


@pytest.mark.parametrize("off, found", [(0.003, True), (0.05, False), (-0.003, True)])
def test_a_click_just_beside_a_shape_within_the_pixel_still_starts_on_it(off, found):
    nets = tracing(two_metal_layout())
    x = 20 + off if off > 0 else 0 + off
    if found:
        assert nets.trace("top", x, 1, (68, 20), near=0.005)["name"] == "net_a"
    else:
        with pytest.raises(NetError):
            nets.trace("top", x, 1, (68, 20), near=0.005)


def test_a_layout_of_several_top_cells_needs_the_cell_named():
    layout = two_metal_layout()
    layout.create_cell("other")
    with pytest.raises(NetError, match="2 top cells"):
        tracing(layout).trace(None, 5, 1, (68, 20))
    assert tracing(layout).trace("top", 5, 1, (68, 20))["shapes"] == 5
