import logging
import sys
import types

import pytest

from corvane.core import freeze, pdk
from corvane.core.lazy import lazy_import


@pytest.fixture(autouse=True)
def _default_pdk():
    pdk.reset()
    yield
    pdk.reset()


@pytest.fixture
def use_netlist():
    """Activate a fake PDK whose cell "c" hands out the same stored netlist at every call."""

    def activate(netlist, module="fake_cells"):
        factory = lambda **kwargs: types.SimpleNamespace(get_netlist=lambda: netlist)  # noqa: E731
        factory.__module__ = module
        pdk.set_pdk(types.SimpleNamespace(name="fake", cells={"c": factory}))

    return activate


@pytest.fixture
def logged(caplog):
    caplog.set_level(logging.WARNING, logger="corvane")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "corvane"]


@pytest.fixture
def without_sax(monkeypatch):
    """sax cannot be imported: freeze flattens the warnings itself."""
    monkeypatch.setitem(sys.modules, "sax", None)
    monkeypatch.setattr(freeze, "sax", lazy_import("sax"))
