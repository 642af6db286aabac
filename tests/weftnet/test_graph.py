"""Call graph construction from hand-written graph data."""

import logging

import pytest

from corvane import settings
from corvane.core import weftnet

from .conftest import func, graph_data

PRIORITY_FUNCTIONS = {
    "velloc.components.straight": func(),
    "a.cells.wg": func("velloc.components.straight"),
    "b.cells.wg": func(),
    "b.cells.ring": func("b.cells.wg", "b.cells.ring"),
}


@pytest.mark.parametrize(
    "libs, nodes, wg_from, wg_others, edges",
    [
        (["velloc"], ["straight"], None, None, []),
        (["a", "velloc"], ["wg", "straight"], "a", [], [("wg", "straight")]),
        (["a", "b"], ["wg", "ring"], "a", ["b"], [("ring", "wg")]),
        (["b", "a", "velloc"], ["wg", "ring"], "b", ["a"], [("ring", "wg")]),
        (["a", "b", "velloc"], ["wg", "ring"], "a", ["b"], [("ring", "wg")]),
    ],
)
def test_library_priority(tmp_path, libs, nodes, wg_from, wg_others, edges):
    data = graph_data(tmp_path, PRIORITY_FUNCTIONS)
    G = weftnet.create_weftnet(data, lib_paths={lib: tmp_path / lib for lib in libs})
    assert sorted(G.nodes) == sorted(nodes)
    assert list(G.edges) == edges
    if wg_from:
        assert G.nodes["wg"]["source"] == str(tmp_path / wg_from / "cells.py")
        assert G.nodes["wg"]["other_sources"] == [str(tmp_path / lib / "cells.py") for lib in wg_others]


@pytest.mark.parametrize("pics, pdk_type", [("lib", "pdk"), ("elsewhere", "base_pdk")])
def test_node_properties_and_children(tmp_path, pics, pdk_type):
    settings.configure(pics_dir=tmp_path / pics)
    params = {"splitter": "mmi", "sizes": [1], "taper": "lib.parts.taper"}
    resolved = {"splitter": "lib.parts.mmi", "sizes": [2], "taper": "lib.parts.taper"}
    mzi = func("lib.top.mzi", "lib.parts.helper", "lib.parts.ghost", gets=["lib.parts.wg"])
    mzi.update(parameter_defaults=params, resolved_parameter_defaults=resolved, tags=["demo"])
    data = graph_data(
        tmp_path,
        {
            "lib.top.mzi": mzi,
            "lib.parts.helper": func(decorators=["@staticmethod"], resolved=[]),
            "lib.parts.mmi": func(decorators=["pdk_device"], resolved=[]),
            "lib.parts.wg": func(resolved=["velloc._cell.cell_with_module_name(...)"]),
            "lib.parts.taper": func(),
        },
    )
    G = weftnet.create_weftnet(data, lib_paths={"lib": tmp_path / "lib"})

    assert list(G.nodes) == ["mzi", "mmi", "wg", "taper"]
    # a self-call, an undecorated callee, a callee without record, a default equal to its raw text
    # and one that is no text add no edge
    assert list(G.edges) == [("mzi", "mmi"), ("mzi", "wg")]
    attrs = G.nodes["mzi"]
    assert list(attrs.items()) == [
        ("full_name", "lib.top.mzi"),
        ("short_name", "mzi"),
        ("source", str(tmp_path / "lib/top.py")),
        ("module", "lib.top"),
        ("package", "lib"),
        ("has_model", False),
        ("default_settings", params),
        ("is_partial", False),
        ("pdk_type", pdk_type),
        ("tags", ["demo"]),
        ("other_sources", []),
    ]
    assert attrs["default_settings"] is params


def test_functions_left_out(tmp_path, caplog):
    data = graph_data(
        tmp_path,
        {
            "lib.a.keep": func("lib.old.gone", "lib2.b.other"),
            "lib.old.gone": func(),
            "lib2.b.other": func(),
            "velloc.samples.demo": func(),
            "lib.lost.f": func(),
        },
    )
    del data["modules"]["lib.lost"]
    settings.configure(ignored_paths=[tmp_path / "lib/old.py"])
    libs = {"lib": tmp_path / "lib", "lib2": tmp_path / "lib2", "velloc.samples": tmp_path / "s"}

    G = weftnet.create_weftnet(data, lib_paths=libs)

    assert list(G.nodes) == ["keep", "other"]
    assert G.nodes["other"]["package"] == "lib2"  # "lib" does not capture lib2's functions
    assert list(G.edges) == [("keep", "other")]
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == [
        "Module lib.lost not found in graph data for function lib.lost.f."
    ]


def test_defaults_and_errors(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(weftnet, "generate_call_graph", lambda paths: seen.append(paths) or {})
    libs = {"a": tmp_path / "a", "b": tmp_path / "b"}
    with pytest.raises(ValueError) as err:
        weftnet.create_weftnet(lib_paths=libs)
    assert str(err.value) == "Could not parse any static call graph data from given lib paths:\n['a', 'b']."
    assert seen == [{"a": str(tmp_path / "a"), "b": str(tmp_path / "b")}]

    monkeypatch.setattr(weftnet, "generate_call_graph", lambda paths: [1])
    with pytest.raises(TypeError):
        weftnet.create_weftnet(lib_paths=libs)

    monkeypatch.setattr(weftnet, "default_lib_paths", lambda: {})
    with pytest.raises(ValueError, match=r"^No library paths given to create weftnet from\.$"):
        weftnet.create_weftnet({"functions": {}})


@pytest.mark.parametrize(
    "record, error",
    [
        ({k: v for k, v in func().items() if k != "tags"}, KeyError),
        (func(params={}, resolved_params={"x": "a.m.g"}), KeyError),
        (func() | {"resolved_calls": None}, TypeError),
        ([], TypeError),
    ],
)
def test_bad_function_records(tmp_path, record, error):
    data = graph_data(tmp_path, {"a.m.f": record})
    with pytest.raises(error):
        weftnet.create_weftnet(data, lib_paths={"a": tmp_path})


@pytest.mark.parametrize("args, kwargs", [(([1],), {}), ((None,), {"lib_paths": ["a"]}), (("x",), {})])
def test_arguments_are_type_checked(args, kwargs):
    with pytest.raises(TypeError):
        weftnet.create_weftnet(*args, **kwargs)


@pytest.mark.parametrize(
    "record, expected",
    [
        ({"decorators": ["@cell"], "resolved_decorators": ["velloc.cell"]}, True),
        ({"resolved_decorators": ["velloc._cell.cell(...)"]}, True),
        ({"decorators": ["yaml"]}, True),
        ({"decorators": ["@cell"], "resolved_decorators": ["mylib.cell"]}, False),
        ({}, False),
    ],
)
def test_is_valid_node(record, expected):
    assert weftnet._is_valid_node(record) is expected


MODULE = {"path": "m.py", "errors": ["SyntaxError: x"]}


@pytest.mark.parametrize(
    "data, module, expected",
    [({}, "m", []), ({"modules": {}}, "m", []), ({"modules": {"m": {}}}, "m", []),
     ({"modules": {"m": MODULE}}, "m", ["SyntaxError: x"]), ({"modules": {"m": {"errors": ("e",)}}}, "m", None),
     ({"modules": {}}, 1, None), ([], "m", None)],
)
def test_get_errors(data, module, expected):
    if expected is None:
        with pytest.raises(TypeError):
            weftnet._get_errors(data, module)
    else:
        assert weftnet._get_errors(data, module) == expected
