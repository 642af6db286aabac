"""Netlists of the wrong shape fail with a TypeError that says where;
malformed port references with a ValueError that names them."""

from __future__ import annotations

import pytest

from corvane.core import freeze

from .test_normalize import netlist


@pytest.mark.parametrize(
    "net, error, message",
    [
        (None, TypeError, "netlist must be a dict, not NoneType"),
        (netlist(instances=[("a", {"component": "m"})]), TypeError, "netlist['instances'] must be a dict, not list"),
        (netlist(instances={"a": "m"}), TypeError, "netlist['instances']['a'] must be a dict with 'component', not str"),
        (netlist(placements=["a"]), TypeError, "netlist['placements'] must be a dict, not list"),
        (netlist(connections=[("a,o1", "b,o1")]), TypeError, "netlist['connections'] must be a dict, not list"),
        (netlist(ports="a,o1"), TypeError, "netlist['ports'] must be a dict, not str"),
        (netlist(routes=[{"links": {}}]), TypeError, "netlist['routes'] must be a dict, not list"),
        (netlist(routes={"r": "a,o1"}), TypeError, "netlist['routes']['r'] must be a dict, not str"),
        (netlist(routes={"r": {"links": [("a,o1", "a,o2")]}}), TypeError, "netlist['routes']['r']['links'] must be a dict, not list"),
        (netlist(nets={"p1": "a,o1", "p2": "a,o2"}), TypeError, "netlist['nets'] must be a list of {'p1', 'p2'} maps, not dict"),
        (netlist(nets="a,o1"), TypeError, "netlist['nets'] must be a list of {'p1', 'p2'} maps, not str"),
        (netlist(nets=[("a,o1", "a,o2")]), TypeError, "a net of netlist['nets'] must be a dict with 'p1' and 'p2', not tuple"),
        # malformed port references, wherever they stand
        (netlist(ports={"o1": "a"}), ValueError, "Port reference 'a' must be 'instance,port'"),
        (netlist(connections={"a,o1,x": "a,o2"}), ValueError, "Port reference 'a,o1,x' must be 'instance,port'"),
        (netlist(routes={"r": {"links": {"a,o1": ""}}}), ValueError, "Port reference '' must be 'instance,port'"),
        (netlist(nets=[{"p1": "a,o1", "p2": 7}]), TypeError, "Port reference 7 must be a text 'instance,port'"),
        (netlist(nets=[{"p1": "a,o1"}]), KeyError, "'p2'"),
    ],
)
def test_netlists_of_the_wrong_shape_say_where(net, error, message):
    if net is not None:
        net["instances"] = net["instances"] or {"a": {"component": "m"}}
    with pytest.raises(error) as e:
        freeze._normalize_names(net)
    assert str(e.value) == message


@pytest.mark.parametrize("name", ['mmi "x"', "a/b", "zürich", "東京"])
def test_instance_and_port_names_with_quotes_slashes_and_non_ascii_text(name):
    net = netlist(
        instances={f"{name}#1": {"component": name}, f"{name}#2": {"component": name}},
        ports={"o1": f"{name}#1,o1"},
        nets=[{"p1": f"{name}#1,o2", "p2": f"{name}#2,é"}],
    )
    freeze._normalize_names(net)
    assert list(net["instances"]) == [name, f"{name}_2"]
    assert net["ports"] == {"o1": f"{name},o1"}
    assert net["nets"] == [{"p1": f"{name},o2", "p2": f"{name}_2,é"}]


def test_cell_name_must_be_a_text():
    with pytest.raises(TypeError, match="^cell_name must be a str, not int$"):
        freeze.freeze(3)
