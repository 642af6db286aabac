"""Component look-ups by literal name, through every way of reaching the layout library's getter."""

import textwrap
from pathlib import Path

import pytest
import velloc

from corvane.weftnet import generate_call_graph

VELLOC_DIR = str(Path(velloc.__file__).parent)

FORMS = [
    ("from velloc.pdk import get_component", 'get_component("taper")'),
    ("from velloc.pdk import get_component", 'get_component(cell_name="taper", width=1)'),
    ("from velloc.pdk import get_component as gc", 'gc("taper")'),
    ("from velloc.pdk import get_component", 'getter = get_component\n    getter("taper")'),
    ("import velloc.pdk", 'velloc.pdk.get_component("taper")'),
    ("import velloc.pdk as vp", 'vp.get_component("taper")'),
    ("from velloc import pdk", 'pdk.get_component("taper")'),
    ("from velloc import pdk as p", 'p.get_component("taper")'),
    ("import velloc", 'velloc.get_component("taper")'),  # the real library's top-level name
    ("import velloc as vl", 'vl.get_component("taper")'),
    ("from velloc import get_component", 'get_component("taper")'),
    ("from velloc.pdk import get_active_pdk", 'get_active_pdk().get_component("taper")'),
    ("from velloc.pdk import get_active_pdk", 'active = get_active_pdk()\n    active.get_component("taper")'),
    ("import velloc.pdk as vp", 'vp.get_active_pdk().get_component("taper")'),
    ("from corvane.core.pdk import get_pdk", 'get_pdk().get_component("taper")'),
    ("from corvane.core import pdk as cp", 'cp.get_base_pdk().get_component("taper")'),
    ("from velloc.generic import PDK", 'PDK.get_component("taper")'),
    ("from velloc.pdk import Pdk", 'Pdk(name="x").get_component("taper")'),
    ("", 'pdk.get_component("taper")'),  # a parameter annotated as a Pdk
]


def analyse(tmp_path, header, body, with_velloc):
    lib = tmp_path / "proj"
    lib.mkdir()
    (lib / "__init__.py").write_text("")
    (lib / "parts.py").write_text("from velloc import cell\n@cell\ndef taper(): pass\n")
    source = f"{header}\nfrom velloc.pdk import Pdk\ndef f(pdk: Pdk, other):\n    {body}\n"
    (lib / "use.py").write_text(source)
    paths = {"proj": str(lib), **({"velloc": VELLOC_DIR} if with_velloc else {})}
    graph = generate_call_graph(paths)
    assert all(not module["errors"] for module in graph["modules"].values())
    return graph["functions"]["proj.use.f"]["resolved_component_gets"]


@pytest.mark.parametrize("with_velloc", [False, True], ids=["alone", "with-velloc"])
@pytest.mark.parametrize("header, body", FORMS)
def test_literal_names_resolve_through_every_form(tmp_path, header, body, with_velloc):
    assert analyse(tmp_path, header, body, with_velloc) == ["proj.parts.taper"]


@pytest.mark.parametrize("with_velloc", [False, True], ids=["alone", "with-velloc"])
@pytest.mark.parametrize(
    "header, body",
    [
        ("from velloc.pdk import get_component", 'name = "taper"\n    get_component(name)'),  # not written at the call
        ("from velloc.pdk import get_component", 'get_component("no_such_cell")'),
        ("", 'other.get_component("taper")'),  # not known to be a PDK
        ("def get_component(name): pass", 'get_component("taper")'),  # the project's own function
        ("import numpy", 'numpy.get_component("taper")'),
    ],
)
def test_what_is_not_a_look_up_by_name(tmp_path, header, body, with_velloc):
    assert analyse(tmp_path, header, body, with_velloc) == []


def test_the_velloc_factory_when_the_project_has_none(tmp_path):
    lib = tmp_path / "proj"
    lib.mkdir()
    (lib / "use.py").write_text(textwrap.dedent("""
        import velloc.pdk as vp
        def f():
            vp.get_component("mmi1x2")
    """))
    graph = generate_call_graph({"proj": str(lib), "velloc": VELLOC_DIR})
    assert graph["functions"]["proj.use.f"]["resolved_component_gets"] == ["velloc.components.mmi1x2"]
