import pytest

from corvane.core import freeze


def netlist(**sections):
    return {"instances": {}, "connections": {}, "ports": {}, "placements": {}, "routes": {}, "nets": []} | sections


def test_renaming_follows_into_every_section():
    net = netlist(
        instances={"a": {"component": "mmi", "info": {}}, "b": {"component": "mmi"}, "c": {"component": "mmi"},
                   "s": {"info": {"l": 1}, "settings": {"n": 3}, "component": "straight"}},  # fmt: skip
        placements={"c": {"x": 1}, "a": {"x": 0}, "ghost": {"x": 9}},
        connections={"a,o2": "b,o1", "b,o2": "c,o1", "ghost,o1": "a,o4", "c,o2": "s,o1", "a,o5": "ghost,o2"},
        ports={"in": "a,o1", "lost": "ghost,o1", "out": "s,o2"},
        routes={"r": {"links": {"a,o3": "c,o3", "s,o3": "ghost,o3"}, "settings": {"radius": 5}}, "q": {}},
        nets=[{"p1": "b,o3", "p2": "s,o1", "name": "n1"}, {"p1": "ghost,o1", "p2": "s,o2"}],
    )  # "ghost" is not an instance: everything naming it goes
    assert freeze._normalize_names(net) is None
    assert net == netlist(
        instances={**{n: {"component": "mmi", "settings": {}} for n in ["mmi", "mmi_2", "mmi_3"]},
                   "straight": {"component": "straight", "settings": {"n": 3}}},  # fmt: skip
        placements={"mmi": {"x": 0}, "mmi_3": {"x": 1}},
        connections={"mmi,o2": "mmi_2,o1", "mmi_2,o2": "mmi_3,o1", "mmi_3,o2": "straight,o1"},
        ports={"in": "mmi,o1", "out": "straight,o2"},
        routes={"r": {"links": {"mmi,o3": "mmi_3,o3"}, "settings": {"radius": 5}}, "q": {"links": {}}},
        nets=[{"p1": "mmi_2,o3", "p2": "straight,o1"}],
    )
    assert list(net["placements"]) == ["mmi", "mmi_3"]
    assert list(net["instances"]["straight"]) == ["component", "settings"]


@pytest.mark.parametrize(
    "components, names",
    [
        (["mmi", "mmi", "mmi_2"], ["mmi", "mmi_2", "mmi_2_2"]),
        (["mmi_2", "mmi", "mmi"], ["mmi_2", "mmi", "mmi_3"]),
        (["mmi", "mmi_2", "mmi", "mmi", "mmi_3"], ["mmi", "mmi_2", "mmi_3", "mmi_4", "mmi_3_2"]),
    ],
)
def test_a_taken_name_is_never_given_again(components, names):
    n = len(components)
    net = netlist(instances={f"i{k}": {"component": c} for k, c in enumerate(components)},
                  connections={f"i{k},o1": f"i{k},o2" for k in range(n)})  # fmt: skip
    freeze._normalize_names(net)
    assert [(name, i["component"]) for name, i in net["instances"].items()] == list(zip(names, components))
    assert net["connections"] == {f"{name},o1": f"{name},o2" for name in names}


@pytest.mark.parametrize(
    "sections, error, message",
    [
        ({"connections": {"a,b,c": "a,o1"}}, ValueError, "Port reference 'a,b,c' must be 'instance,port'"),
        ({"connections": {"a,o1": "ao2"}}, ValueError, "Port reference 'ao2' must be 'instance,port'"),
        ({"routes": {"r": {"links": {"a,o1": "a,,o"}}}}, ValueError, "Port reference 'a,,o' must be 'instance,port'"),
        ({"nets": [{"p1": "x,o1", "p2": ""}]}, ValueError, "Port reference '' must be 'instance,port'"),
        ({"ports": {"p": None}}, TypeError, "Port reference None must be a text 'instance,port'"),
        ({"instances": {"a": {"component": 7}}}, TypeError, "The component of instance 'a' must be a text, not 7"),
    ],
)
def test_malformed_values_are_named_in_the_error(sections, error, message):
    with pytest.raises(error) as err:
        freeze._normalize_names(netlist(instances={"a": {"component": "m"}}) | sections)
    assert str(err.value) == message


def test_texts_with_lone_surrogates_round_trip():
    net = netlist(instances={"\udc80": {"component": "m\udcff"}}, ports={"p": "\udc80,o\ud800"})
    freeze._normalize_names(net)
    assert net["ports"] == {"p": "m\udcff,o\ud800"}
