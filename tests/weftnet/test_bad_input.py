"""Graph data of the wrong shape fails with a TypeError that says where,
instead of a silent wrong graph (texts taken letter by letter or searched for
substrings) or an error from deep inside."""

from __future__ import annotations

import pytest

from corvane.core import weftnet

from .conftest import func, graph_data


@pytest.mark.parametrize(
    "change, message",
    [
        # "yaml" in "not_yaml_at_all" would make any function a factory
        (lambda d: d["functions"]["a.m.f"].update(decorators="not_yaml_at_all", resolved_decorators=[]),
         "func_info['decorators'] must be a list of texts, not str"),
        (lambda d: d["functions"]["a.m.f"].update(resolved_decorators={"velloc.cell": 1}),
         "func_info['resolved_decorators'] must be a list of texts, not dict"),
        # a callee "a.m.g" given as a text would give the callees "a", ".", "m", "g"
        (lambda d: d["functions"]["a.m.f"].update(resolved_calls="a.m.g"),
         "graph_data['functions']['a.m.f']['resolved_calls'] must be a list of texts, not str"),
        (lambda d: d["functions"]["a.m.f"].update(resolved_component_gets=b"a.m.g"),
         "graph_data['functions']['a.m.f']['resolved_component_gets'] must be a list of texts, not bytes"),
        (lambda d: d["functions"]["a.m.f"].update(parameter_defaults=[("x", 1)]),
         "graph_data['functions']['a.m.f']['parameter_defaults'] must be a dict, not list"),
        (lambda d: d["functions"]["a.m.f"].update(resolved_parameter_defaults=None),
         "graph_data['functions']['a.m.f']['resolved_parameter_defaults'] must be a dict, not NoneType"),
        (lambda d: d.update(functions=[("a.m.f", {})]), "graph_data['functions'] must be a dict, not list"),
        (lambda d: d.update(modules=["a.m"]), "graph_data['modules'] must be a dict, not list"),
        (lambda d: d["modules"].update({"a.m": "a/m.py"}), "graph_data['modules']['a.m'] must be a dict, not str"),
        (lambda d: d["modules"]["a.m"].update(path=None), "graph_data['modules']['a.m']['path'] must be a path text, not NoneType"),
    ],
)
def test_graph_data_of_the_wrong_shape_says_where(tmp_path, change, message):
    data = graph_data(tmp_path, {"a.m.f": func("a.m.g"), "a.m.g": func()})
    change(data)
    with pytest.raises(TypeError) as e:
        weftnet.create_weftnet(data, lib_paths={"a": tmp_path})
    assert str(e.value) == message


@pytest.mark.parametrize("name", ['it\'s "q"', "zürich_東京", "a\\b"])
def test_names_with_quotes_and_non_ascii_text_become_nodes(tmp_path, name):
    data = graph_data(tmp_path, {f"a.m.{name}": func("a.m.leaf"), "a.m.leaf": func()})
    G = weftnet.create_weftnet(data, lib_paths={"a": tmp_path})
    assert list(G.edges) == [(name, "leaf")]
    assert list(weftnet.get_static_records(G)) == ["leaf", name]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: weftnet.get_static_records({"a": {}}), "G must be a networkx DiGraph, not dict"),
        (lambda: weftnet.plot_weftnet([], show=False), "G must be a networkx DiGraph, not list"),
        (lambda: weftnet._color_map(None), "G must be a networkx DiGraph, not NoneType"),
        (lambda: weftnet._find_lib_root(None), "lib_path must be a path (str or os.PathLike), not NoneType"),
        (lambda: weftnet._find_lib_name(3), "lib_path must be a path (str or os.PathLike), not int"),
    ],
)
def test_graphs_and_paths_of_the_wrong_kind(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
