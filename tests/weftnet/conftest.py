import sys
from pathlib import Path

import matplotlib
import pytest

from corvane import settings
from corvane.core import pdk, weftnet

matplotlib.use("Agg")


@pytest.fixture(autouse=True)
def _clean_state(tmp_path, monkeypatch):
    """Fresh settings, PDKs and discovery memo; modules imported by a test are forgotten after it."""
    monkeypatch.chdir(tmp_path)
    settings.reset()
    pdk.reset()
    memo = weftnet.default_lib_paths  # tests may rebind the name
    memo.cache_clear()
    before = set(sys.modules)
    yield
    for name in set(sys.modules) - before:
        file = getattr(sys.modules[name], "__file__", None)
        if file and Path(file).is_relative_to(tmp_path):
            del sys.modules[name]
    memo.cache_clear()
    pdk.reset()
    settings.reset()


def func(*calls, gets=(), decorators=("@cell",), resolved=("velloc.cell",), params=None, resolved_params=None):
    """A function record of the graph data."""
    params = params or {}
    return {
        "decorators": list(decorators),
        "resolved_decorators": list(resolved),
        "parameter_defaults": params,
        "resolved_parameter_defaults": resolved_params if resolved_params is not None else dict(params),
        "resolved_calls": list(calls),
        "resolved_component_gets": list(gets),
        "is_partial": False,
        "tags": [],
    }


def graph_data(root, functions):
    """Graph data of {full name: function record}; each module's source file lies under root."""
    modules = {name.rsplit(".", 1)[0] for name in functions}
    return {
        "functions": functions,
        "modules": {m: {"path": str(root / (m.replace(".", "/") + ".py")), "errors": []} for m in modules},
    }
