import copy
import subprocess
import sys
import types

import pytest
from corvane.core import freeze

ONE = {"instances": {"a": {"component": "m"}}}


def test_missing_sections_come_back_empty(use_netlist):
    use_netlist(ONE)
    net = freeze.freeze("c")
    assert list(net) == ["instances", "connections", "ports", "placements", "routes", "nets"]
    assert list(net.values()) == [{"m": {"component": "m", "settings": {}}}, {}, {}, {}, {}, []]


@pytest.mark.parametrize(
    "cell_name, netlist, module, error, message",
    [
        ("nope", ONE, "cells", FileNotFoundError, "Cell nope not found in PDK fake"),
        ("c", ONE, "cells_picyml", RuntimeError, "Cell c is alreay a YAML cell."),
        ("c", {"ports": {"o1": "a,o1"}}, "cells", RuntimeError, "Cell c has no instances."),
        ("c", {"instances": {}}, "cells", RuntimeError, "Cell c has no instances."),
        ("straight", None, None, RuntimeError, "Cell straight has no instances."),  # default PDK
    ],
)
def test_errors(use_netlist, cell_name, netlist, module, error, message):
    if netlist is not None:
        use_netlist(netlist, module)
    with pytest.raises(error) as err:
        freeze.freeze(cell_name)
    assert type(err.value) is error and str(err.value) == message


@pytest.mark.parametrize(
    "warnings, messages",
    [
        ({"a": {"b": "x"}}, ["a b: x"]),
        ({"a": {"b": {"c": 1}, "d": 2}, "e": [1, "2"]}, ["a b c: 1", "a d: 2", "e: [1, '2']"]),
        ({"a b": {"c": 1}, "a": {"b c": 2}}, ["a b c: 2"]),  # one flat key: the last value, first place
        ({"": {"b": 1}, "a": {"": 2}, "f": {}}, ["b: 1", "a : 2"]),
    ],
)
@pytest.mark.parametrize("flattening", ["built in", "sax"])
def test_warnings_are_logged_flat(use_netlist, logged, request, flattening, warnings, messages):
    request.getfixturevalue("without_sax") if flattening == "built in" else pytest.importorskip("sax")
    use_netlist({**ONE, "warnings": warnings})
    freeze.freeze("c")
    assert logged() == messages


def test_a_rebound_sax_flattens_the_warnings(use_netlist, logged, monkeypatch):
    calls = []
    flat = lambda dic, sep=",": calls.append((dic, sep)) or {"k 1": 2.5, ("t",): "v"}  # noqa: E731
    monkeypatch.setattr(freeze, "sax", types.SimpleNamespace(flatten_dict=flat))
    use_netlist({**ONE, "warnings": {"k": {1: 2.5}}})
    freeze.freeze("c")
    assert calls == [({"k": {1: 2.5}}, " ")] and logged() == ["k 1: 2.5", "('t',): v"]


def test_builtin_flattening_is_depth_safe(use_netlist, logged, without_sax):
    deep = leaf = {}
    for _ in range(100_000):
        leaf[1] = leaf = {}  # 100,000 levels under integer keys
    leaf["k"] = "end"
    use_netlist({**ONE, "warnings": deep})
    freeze.freeze("c")
    assert logged() == ["1 " * 100_000 + "k: end"]
    leaf["again"] = deep  # a map inside itself
    with pytest.raises(RecursionError):
        freeze.freeze("c")


def test_route_bundles_of_the_component_stay_untouched(use_netlist):
    source = {**ONE, "routes": {"r": {"links": {"a,o1": "a,o2"}}}}
    before = copy.deepcopy(source)
    use_netlist(source)
    assert freeze.freeze("c")["routes"] == freeze.freeze("c")["routes"] == {"r": {"links": {"m,o1": "m,o2"}}}
    assert source == before


def test_loading_the_module_imports_no_outside_library():
    code = "import sys, corvane.core.freeze; print(sorted({'sax', 'velloc'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout == "[]\n"

