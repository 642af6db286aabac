import subprocess
import sys
from pathlib import Path

import pytest

from corvane.core.lazy import lazy_import

MODULE = """
import sys
LOADS = getattr(sys, "_lazy_probe_loads", 0) + 1
sys._lazy_probe_loads = LOADS

class Thing:
    def __init__(self, value):
        self.value = value

def double(x):
    return 2 * x

counter = 0
"""


@pytest.fixture
def probe(tmp_path, monkeypatch):
    """A fresh importable module that counts how often it was executed."""
    (tmp_path / "lazy_probe_mod.py").write_text(MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "lazy_probe_mod", raising=False)
    monkeypatch.setattr(sys, "_lazy_probe_loads", 0, raising=False)
    yield "lazy_probe_mod"
    sys.modules.pop("lazy_probe_mod", None)


def test_module_proxy_defers_import_then_forwards(probe):
    mod = lazy_import(probe)
    assert probe not in sys.modules
    assert mod.double(4) == 8
    assert sys.modules[probe].LOADS == 1
    mod.counter = 5
    assert sys.modules[probe].counter == 5
    assert "double" in dir(mod)
    assert repr(mod) == repr(sys.modules[probe])
    del mod.counter
    assert not hasattr(sys.modules[probe], "counter")
    assert sys._lazy_probe_loads == 1


def test_attribute_proxy_is_callable_and_usable_as_type(probe):
    Thing = lazy_import(probe, "Thing")
    assert probe not in sys.modules
    obj = Thing(3)
    assert obj.value == 3
    real = sys.modules[probe].Thing
    assert Thing.__name__ == "Thing"
    # Code that needs the real class (isinstance) takes it through an attribute of a module proxy.
    assert isinstance(obj, lazy_import(probe).Thing)
    assert isinstance(obj, real)


def test_attribute_proxy_takes_submodules():
    # `from json import decoder` works even though `decoder` is a submodule.
    decoder = lazy_import("json", "decoder")
    assert decoder.JSONDecodeError.__module__ == "json.decoder"


@pytest.mark.parametrize(
    "args, error",
    [(("corvane_no_such_module",), ModuleNotFoundError), (("json", "no_such_name"), ImportError)],
)
def test_failures_come_at_first_use(args, error):
    proxy = lazy_import(*args)  # binding never fails
    with pytest.raises(error):
        proxy.anything


def test_importing_host_modules_loads_no_heavy_library():
    src = Path(__import__("corvane").__file__).resolve().parents[1]
    code = (
        "import sys\n"
        "import corvane, corvane.core, corvane.core.lazy, corvane.core.pdk, corvane.core.shared\n"
        "import corvane.core.communication, corvane.settings, corvane.logger, corvane.models\n"
        "from corvane.core.lazy import lazy_import\n"
        "np = lazy_import('numpy'); kdb = lazy_import('klayout.db')\n"
        "heavy = ['numpy', 'klayout', 'shapely', 'orjson', 'networkx', 'matplotlib', 'velloc']\n"
        "print(sorted(m for m in heavy if m in sys.modules))\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code],
        env={"PYTHONPATH": str(src), "PATH": ""},
        capture_output=True,
        text=True,
        check=True,
    )
    assert out.stdout.strip() == "[]"
