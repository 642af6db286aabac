import math

import klayout.db as kdb
import numpy as np
import pytest
from orvik import LayerEnum
from velloc import Component, cell
from velloc.components import bend_circular, grating_coupler, mmi1x2, mzi, ring_single, straight

WG = LayerEnum.WG.value


def merged_count(component: Component, layer=WG) -> int:
    region = kdb.Region()
    for pts in component.get_polygons()[layer]:
        region.insert(
            kdb.Polygon([kdb.Point(*p) for p in np.rint(pts * 1000).astype(int).tolist()])
        )
    return region.merged().count()


def test_grating_coupler_teeth_are_many_point_arcs():
    gc = grating_coupler()
    polys = gc.polygons[WG]
    teeth = polys[1:]
    assert len(teeth) == 30
    for tooth in teeth:
        assert len(tooth) > 40
        radii = np.hypot(*(tooth * 1e-3).T)
        # Every vertex lies on the tooth's inner or outer circle around the input port.
        inner, outer = radii.min(), radii.max()
        assert np.all(np.minimum(abs(radii - inner), abs(radii - outer)) < 0.0015)
        assert outer - inner == pytest.approx(0.66 * 0.5, abs=0.002)
    assert LayerEnum.SLAB150.value in gc.polygons
    assert gc.ports["o1"].center == (0.0, 0.0) and gc.ports["o1"].orientation == 180.0


def test_bend_is_curved_and_its_ports_face_outwards():
    b = bend_circular(radius=5.0, angle=90.0)
    (poly,) = b.polygons[WG]
    assert len(poly) > 50
    assert b.ports["o2"].center == (5.0, 5.0) and b.ports["o2"].orientation == 90.0
    assert merged_count(b) == 1


@pytest.mark.parametrize(
    "factory, kwargs, name",
    [
        (straight, {}, "straight"),
        (straight, {"length": 10.0}, "straight"),  # a default given explicitly
        (straight, {"length": 20.5}, "straight_length20p5"),
        (straight, {"layer": LayerEnum.WGN, "width": 1}, "straight_width1_layerWGN"),
        (mzi, {"splitter": mmi1x2}, "mzi"),
        (mzi, {"delta_length": 5.5}, "mzi_delta_length5p5"),
    ],
)
def test_cell_names_come_from_changed_settings(factory, kwargs, name):
    assert factory(**kwargs).name == name


def test_cell_decorator_keeps_identity_and_locks_components():
    @cell
    def pad(size: float = 10.0) -> Component:
        """A square pad."""
        c = Component()
        c.add_polygon([(0, 0), (size, 0), (size, size), (0, size)], LayerEnum.M3)
        return c

    assert (pad.__name__, pad.__module__, pad.__doc__) == ("pad", __name__, "A square pad.")
    a, b = pad(), pad()
    assert a is not b  # nothing cached
    assert a.settings == {"size": 10.0} and a.function_name == "pad"
    with pytest.raises(RuntimeError):
        a.add_polygon([(0, 0), (1, 0), (0, 1)], LayerEnum.M3)
    parent = Component("parent")
    assert [parent.add_ref(a).name, parent.add_ref(b).name] == ["pad_1", "pad_2"]
    with pytest.raises(ValueError, match="already used"):
        parent.add_ref(a, "pad_1")
    with pytest.raises(ValueError, match="itself"):
        parent.add_ref(parent)


def check_netlist(net: dict, component: Component) -> None:
    """Connections, ports and nets name existing instances and use each port once."""
    assert set(net) == {
        "instances",
        "placements",
        "connections",
        "ports",
        "routes",
        "nets",
        "warnings",
    }
    assert (
        list(net["instances"]) == list(net["placements"]) == [r.name for r in component.references]
    )
    used = []
    for a, b in net["connections"].items():
        used += [a, b]
    used += list(net["ports"].values())
    assert len(used) == len(set(used))
    by_name = {r.name: r.component for r in component.references}
    for ref in used:
        inst, port = ref.split(",")
        assert port in by_name[inst].ports
    assert net["nets"] == [{"p1": a, "p2": b} for a, b in net["connections"].items()]
    for placement in net["placements"].values():
        assert set(placement) == {"x", "y", "rotation", "mirror"}


def test_mzi_netlist_connects_everything():
    c = mzi()
    net = c.get_netlist()
    check_netlist(net, c)
    inst = net["instances"]
    assert [n for n, i in inst.items() if i["component"] == "mmi1x2"] == ["cp1", "cp2"]
    assert net["placements"]["cp2"]["rotation"] == 180.0
    assert any(p["mirror"] for p in net["placements"].values())
    assert net["ports"] == {"o1": "cp1,o1", "o2": "cp2,o1"}
    assert net["warnings"] == {}
    # All 34 instance ports are used (2 x 3 + 8 x 2 + 6 x 2): 16 connections and 2 ports.
    assert len(net["connections"]) == 16
    assert inst["cp1"]["settings"]["layer"] == "WG"
    # Connected ports really touch: the waveguide is one piece from o1 to o2.
    assert merged_count(c) == 1
    # The longer arm makes the interferometer taller below than above.
    (_, y0), (_, y1) = c.bbox()
    assert -y0 - y1 == pytest.approx(10.0 / 2, abs=0.01)


def test_ring_netlist_closes_the_loop_and_reports_open_ports():
    c = ring_single()
    net = c.get_netlist()
    check_netlist(net, c)
    assert len(net["connections"]) == 8  # bottom, right, top, left sides and four bends
    assert net["ports"] == {"o1": "bus,o1", "o2": "bus,o2"}
    assert merged_count(c) == 2  # bus and ring, separated by the gap

    open_ring = Component("open")
    open_ring.add_ref(straight(), "a")
    open_ring.add_ref(straight(), "b", origin=(10.0, 0.0))
    open_ring.add_ref(straight(), "c", origin=(40.0, 0.0))
    net = open_ring.get_netlist()
    assert net["connections"] == {"a,o2": "b,o1"}
    assert net["warnings"] == {"optical": {"unconnected_ports": ["a,o1", "b,o2", "c,o1", "c,o2"]}}


def test_leaf_netlist_has_no_instances():
    net = straight().get_netlist()
    assert net["instances"] == {} and net["connections"] == {} and net["ports"] == {}


def test_connect_with_mirror_and_any_angle():
    parent = Component("p")
    bend = bend_circular(angle=30.0)
    first = parent.add_ref(bend, "first", rotation=17.0)
    second = parent.add_ref(bend, "second", mirror=True).connect("o1", first.ports["o2"])
    assert second.ports["o1"].center == pytest.approx(first.ports["o2"].center, abs=1e-3)
    # Mirrored, the second bend turns back to the starting direction.
    assert second.ports["o2"].orientation == pytest.approx(17.0)
    assert math.isclose((second.ports["o1"].orientation - first.ports["o2"].orientation) % 360, 180)


def test_route_bundles_name_ports_of_references():
    links = {"cp1,o2": "cp2,o3", "cp1,o3": "cp2,o2"}
    settings = {"radius": 12.0, "width": 0.5}
    assert mzi(radius=12.0).get_netlist()["routes"] == {"arms": {"links": links, "settings": settings}}
    c = Component("routed")
    c.add_ref(straight(), "a")
    for links in ({"a,o1": "b,o1"}, {"a,o1": "a,o9"}, {"a": "a,o2"}):
        with pytest.raises(ValueError, match="is not a port of a reference"):
            c.add_route("r", links)
