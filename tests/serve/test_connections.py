"""The "connections" of layer stacks: checked like the layer entries, parsed into joins and labels."""

from __future__ import annotations

import json

import networkx as nx
import pytest

from corvane import stacks
from corvane.stacks import connections
from corvane.stacks.connections import Layer, Op

from .conftest import STACK

M1, VIA, M2 = Layer((68, 20), "met1"), Layer((68, 44), "via"), Layer((69, 20), "met2")


def with_connections(value):
    return {**{k: v for k, v in STACK.items() if k != "connections"}, "connections": value}


def joins(*items):
    return {"joins": list(items)}


@pytest.mark.parametrize(
    "value, problem",
    [
        ([], 'connections: must be an object with "joins" (and "labels")'),
        ({"join": []}, 'connections: unknown key "join": did you mean "joins"?'),
        ({"vias": []}, 'connections: unknown key "vias" (known keys: source, note, joins, labels)'),
        ({}, 'connections: "joins" is missing'),
        ({"joins": [], "source": "x"}, "connections.joins: must be a non-empty list of joins"),
        ({"joins": [["met1"]], "source": 3}, 'connections: "source" must be a text'),
        (joins(["met1"]), "connections.joins[0]: must be a list of three layers [conductor, via, conductor] or two"),
        (joins(["met1", "via", "met2"], "met1"), "connections.joins[1]: must be a list of three layers"),
        (joins(["met1", "vai", "met2"]), 'connections.joins[0][1]: no layer "vai" in "layers": did you mean "via"?'),
        (joins(["met1", "via", "poly"]), 'connections.joins[0][2]: no layer "poly" in "layers" (a layer name of "layers", or LAYER/DATATYPE)'),
        (joins(["met1-", "via", "met2"]), 'connections.joins[0][0]: "met1-" ends where a layer is expected'),
        (joins(["(met1+met2", "via", "met2"]), 'connections.joins[0][0]: "(met1+met2": a "(" is not closed'),
        (joins(["met1 met2", "via", "met2"]), 'connections.joins[0][0]: "met1 met2": "met2" where an operator (+ - * ^) is expected'),
        (joins(["met1)", "via", "met2"]), 'connections.joins[0][0]: "met1)": ")" where an operator'),
        (joins(["*met1", "via", "met2"]), 'connections.joins[0][0]: "*met1": "*" where a layer is expected'),
        (joins(["70000/0", "via", "met2"]), 'connections.joins[0][0]: "70000/0": a layer and datatype go from 0 to 65535'),
        (joins([3, "via", "met2"]), "connections.joins[0][0]: must be a layer name or expression (a non-empty text), not 3"),
        (joins(["  ", "via", "met2"]), 'connections.joins[0][0]: must be a layer name or expression (a non-empty text), not "  "'),
        (joins(["met1", "via", "met2"]) | {"labels": []}, "connections.labels: must be an object"),
        (joins(["met1", "via", "met2"]) | {"labels": {"met1": 5}}, 'connections.labels["met1"]: must be a layer name or LAYER/DATATYPE, not 5'),
        (joins(["met1", "via", "met2"]) | {"labels": {"met1": ["68/5", "mt2"]}}, 'connections.labels["met1"][1]: no layer "mt2" in "layers": did you mean "met2"?'),
        (joins(["met1", "via", "met2"]) | {"labels": {"metal1": "68/5"}}, 'connections.labels["metal1"]: no layer "metal1" in "layers": did you mean "met1"?'),
        (joins(["met1", "via", "met2"]) | {"labels": {"met1": "68/5+68/6"}}, 'connections.labels["met1"]: no layer "68/5+68/6"'),
    ],
)
def test_check_names_the_connection_and_the_problem(value, problem):
    with pytest.raises(stacks.StackError) as error:
        stacks.check(with_connections(value), "s.json")
    assert str(error.value).startswith(f"s.json: {problem}")


@pytest.mark.parametrize(
    "text, tree",
    [
        ("met1", M1),
        ("68/20", Layer((68, 20))),
        ("met1+met2*via", Op("+", M1, Op("*", M2, VIA))),
        ("met1-met2-via", Op("-", Op("-", M1, M2), VIA)),
        ("(met1 + met2) ^ via", Op("^", Op("+", M1, M2), VIA)),
        ("met1^met2-via", Op("-", Op("^", M1, M2), VIA)),
        (" ( ( met1 ) ) ", M1),
    ],
)
def test_expressions_take_and_and_xor_before_or_and_not(text, tree):
    parsed = connections.parse(with_connections(joins([text, "via", "met2"])))
    assert parsed.joins == ((tree, VIA, M2),)


def test_a_two_item_join_has_no_via_and_labels_name_their_layers():
    parsed = connections.parse(with_connections(joins(["met1", "met2"]) | {"labels": {"met1": ["68/5", "via"], "met2": "69/5"}}))
    assert parsed.joins == ((M1, None, M2),)
    assert parsed.labels == ((M1, (68, 5)), (M1, (68, 44)), (M2, (69, 5)))


def test_a_layer_whose_name_has_an_operator_is_taken_whole():
    data = json.loads(json.dumps(STACK))
    data["layers"][0]["name"] = "met-1"
    data["connections"] = joins(["met-1", "via", "met2"])
    assert connections.parse(stacks.check(data)).joins == ((Layer((68, 20), "met-1"), VIA, M2),)


def test_a_stack_without_connections_has_none():
    assert connections.parse({k: v for k, v in STACK.items() if k != "connections"}) is None


def test_connections_survive_the_stack_file_writer(tmp_path):
    path = tmp_path / "s.json"
    path.write_text(stacks.to_json(stacks.check(json.loads(json.dumps(STACK)))))
    assert stacks.read(path)["connections"] == STACK["connections"]


@pytest.mark.parametrize("name", ["sky130", "gf180mcu", "ihp-sg13g2"])
def test_built_in_stacks_join_their_conductors_into_one_stack(name):
    """Every via joins two conductors, and the joins reach from the bottom conductor to the top metal."""
    data = stacks.builtin(name)
    parsed = connections.parse(data)
    graph = nx.Graph()
    for a, via, b in parsed.joins:
        ends = [a.left if isinstance(a, Op) else a, b]
        assert via is not None and all(isinstance(e, Layer) and e.name for e in ends)
        graph.add_edges_from([(ends[0].name, via.name), (via.name, ends[1].name)])
    assert nx.is_connected(graph)
    metals = [e["name"] for e in data["layers"] if e["name"] in graph]
    top = max(metals, key=lambda n: next(e["zmin"] for e in data["layers"] if e["name"] == n))
    assert nx.has_path(graph, parsed.joins[0][0].left.name, top)
    # Every label names the net of a conductor that is joined.
    assert {c.name for c, _ in parsed.labels} <= set(graph)
