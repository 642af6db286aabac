"""The static call-graph analyser behind the component graph, on real source trees."""

import textwrap
from pathlib import Path

import pytest
import velloc

from corvane.weftnet import CELL_DECORATORS, generate_call_graph

VELLOC_DIR = str(Path(velloc.__file__).parent)


def write(root: Path, files: dict[str, str]) -> Path:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return root


def analyse(tmp_path, files, lib="proj", **more):
    return generate_call_graph({lib: str(write(tmp_path / lib, files)), **more})


def calls(graph, name):
    return graph["functions"][name]["resolved_calls"]


@pytest.mark.parametrize(
    "header, decorator, written, resolved",
    [
        ("from velloc import cell", "@cell", "cell", "velloc.cell"),
        ("import velloc", "@velloc.cell", "velloc.cell", "velloc.cell"),
        ("import velloc as vl", "@vl.cell(tags=['a'])", "vl.cell(...)", "velloc.cell(...)"),
        ("import velloc.pdk", "@velloc.cell()", "velloc.cell(...)", "velloc.cell(...)"),
        ("from velloc._cell import cell as c", "@c", "c", "velloc._cell.cell"),
        (
            "from velloc import _cell",
            "@_cell.cell_with_module_name",
            "_cell.cell_with_module_name",
            "velloc._cell.cell_with_module_name",
        ),
        ("from velloc import cell\nmine = cell", "@mine", "mine", "velloc.cell"),
        ("from . import cell", "@cell", "cell", "velloc.cell"),  # re-exported by the package
        ("", "@yaml", "yaml", "yaml"),  # not bound anywhere: kept as written
        ("from velloc import cell\ncell = object()", "@cell", "cell", "cell"),  # rebound
        ("import functools", "@functools.lru_cache", "functools.lru_cache", "functools.lru_cache"),
    ],
)
@pytest.mark.parametrize("with_velloc", [False, True])
def test_decorators_resolve_through_imports_and_aliases(
    tmp_path, header, decorator, written, resolved, with_velloc
):
    files = {
        "__init__.py": "from velloc import cell\n",
        "m.py": f"{header}\n{decorator}\ndef f():\n    pass\n",
    }
    more = {"velloc": VELLOC_DIR} if with_velloc else {}
    record = analyse(tmp_path, files, **more)["functions"]["proj.m.f"]
    assert record["decorators"] == [written]
    assert record["resolved_decorators"] == [resolved]


def test_decorator_tags_and_allowed_texts(tmp_path):
    graph = analyse(tmp_path, {"m.py": """
        import velloc as vl
        @vl.cell(tags=["a", "b"])
        def tagged(): pass
        @vl.cell
        def plain(): pass
    """})
    assert graph["functions"]["proj.m.tagged"]["tags"] == ["a", "b"]
    assert graph["functions"]["proj.m.plain"]["tags"] == []
    assert CELL_DECORATORS[:3] == ("yaml", "pdk_device", "velloc.cell")


DEFAULTS = """
    import velloc as vl
    from .lib import helper
    def local(): pass
    def f(a, n=3, x=-1.5, s="straight", t=(1, 2), none=None, fn=local, imp=helper,
          attr=vl.LAYER, call=max(1, 2), *, kw=local):
        pass
"""


@pytest.mark.parametrize(
    "param, raw, resolved",
    [
        ("n", 3, 3),
        ("x", -1.5, -1.5),
        ("s", "straight", "straight"),
        ("t", (1, 2), (1, 2)),
        ("none", None, None),
        ("fn", "local", "proj.m.local"),
        ("imp", "helper", "proj.lib.helper"),
        ("attr", "vl.LAYER", "vl.LAYER"),  # names something that is not a function
        ("call", "max(1, 2)", "max(1, 2)"),
        ("kw", "local", "proj.m.local"),
    ],
)
def test_parameter_defaults_raw_and_resolved(tmp_path, param, raw, resolved):
    graph = analyse(tmp_path, {"m.py": DEFAULTS, "lib.py": "def helper(): pass\n"})
    record = graph["functions"]["proj.m.f"]
    assert "a" not in record["parameter_defaults"]
    assert record["parameter_defaults"][param] == raw
    assert record["resolved_parameter_defaults"][param] == resolved


IMPORT_TREE = {
    "__init__.py": "from .a import fa\nfrom . import b\n",
    "a.py": "def fa(): pass\ndef fb(): pass\n",
    "b.py": "__all__ = ['shown']\ndef shown(): pass\ndef hidden(): pass\n",
    "sub/__init__.py": "",
    "sub/c.py": "def _private(): pass\ndef public(): pass\n",
}


@pytest.mark.parametrize(
    "body, expected",
    [
        ("import proj.a\ndef f(): proj.a.fa()", ["proj.a.fa"]),
        ("import proj.a as m\ndef f(): m.fb()", ["proj.a.fb"]),
        ("from proj.a import fa as g\ndef f(): g()", ["proj.a.fa"]),
        ("from .. import fa\ndef f(): fa()", ["proj.a.fa"]),  # re-exported by the package
        ("from ..a import fb\ndef f(): fb()", ["proj.a.fb"]),
        ("from . import c\ndef f(): c.public()", ["proj.sub.c.public"]),
        ("from .c import *\ndef f(): public(); _private()", ["proj.sub.c.public"]),
        ("from ..b import *\ndef f(): shown(); hidden()", ["proj.b.shown"]),
        ("def f():\n    from ..a import fa\n    fa()", ["proj.a.fa"]),
        ("import proj\ndef f(): proj.b.shown()", ["proj.b.shown"]),
        ("from ... import beyond\ndef f(): beyond()", []),  # leaves the top package
        ("import os\ndef f(): os.path.join()", []),  # outside the analysed libraries
    ],
)
def test_imports_absolute_relative_packages_and_star(tmp_path, body, expected):
    graph = analyse(tmp_path, {**IMPORT_TREE, "sub/m.py": body + "\n"})
    assert calls(graph, "proj.sub.m.f") == expected


def test_plain_folder_modules_import_their_siblings(tmp_path):
    graph = analyse(tmp_path, {
        "main.py": "import helper\nfrom helper import util as u\ndef main():\n    helper.util(); u()\n",
        "helper.py": "def util(): other()\ndef other(): pass\n",
    }, lib="pics")
    assert calls(graph, "pics.main.main") == ["pics.helper.util"]
    assert calls(graph, "pics.helper.util") == ["pics.helper.other"]


CLASSES = """
class Base:
    def __init__(self):
        self.helper = Helper()
    def run(self):
        return self.step()
    def step(self): pass
    @classmethod
    def make(cls): return cls()
    @staticmethod
    def tool(): pass

class Helper:
    def __call__(self): pass
    def work(self): pass

class Child(Base):
    def __init__(self):
        super().__init__()
    def step(self):
        self.tool()
        self.helper.work()
        self.helper()

def use():
    c = Child()
    c.run()
    Base.make().step()
    Base.tool()

def unknown(obj, Other):
    obj.run()
    Other().step()
"""


@pytest.mark.parametrize(
    "name, expected",
    [
        ("Base.__init__", []),  # Helper defines no __init__
        ("Base.run", ["proj.m.Child.step"]),  # run is only ever called on a Child
        ("Base.make", ["proj.m.Base.__init__"]),
        ("Child.__init__", ["proj.m.Base.__init__"]),
        ("Child.step", ["proj.m.Base.tool", "proj.m.Helper.work", "proj.m.Helper.__call__"]),
        ("use", ["proj.m.Child.__init__", "proj.m.Base.run", "proj.m.Base.make",
                 "proj.m.Base.step", "proj.m.Base.tool"]),
        ("unknown", []),
    ],
)
def test_classes_and_methods(tmp_path, name, expected):
    graph = analyse(tmp_path, {"m.py": CLASSES})
    assert calls(graph, "proj.m." + name) == expected


NESTED = """
import functools
from functools import partial

def leaf(x=0): pass
def other(): pass

def outer():
    def inner():
        leaf()
    inner()
    return inner

def factory():
    target = leaf
    def closure():
        target()
    target = other
    return closure

def use():
    outer()()
    fixed = functools.partial(leaf, 1)
    fixed()
    run = lambda: other()
    sorted([], key=lambda v: leaf())

wide = partial(leaf, x=5)
short = functools.partial(wide)
at_module = lambda: leaf()

def via_module():
    wide()
    at_module()
"""


@pytest.mark.parametrize(
    "name, expected",
    [
        ("outer", ["proj.m.outer.inner"]),
        ("outer.inner", ["proj.m.leaf"]),
        ("factory.closure", ["proj.m.other"]),  # a closure sees the value left at the exit
        ("use", ["proj.m.outer", "proj.m.outer.inner", "proj.m.leaf"]),
        ("use.<lambda1>", ["proj.m.other"]),  # a lambda's calls are its own, called or not
        ("use.<lambda2>", ["proj.m.leaf"]),
        ("wide", ["proj.m.leaf"]),
        ("short", ["proj.m.wide"]),
        ("via_module", ["proj.m.wide", "proj.m.<lambda1>"]),  # calling a lambda is an edge to it
        ("<lambda1>", ["proj.m.leaf"]),
    ],
)
def test_nested_functions_lambdas_and_partials(tmp_path, name, expected):
    graph = analyse(tmp_path, {"m.py": NESTED})
    assert calls(graph, "proj.m." + name) == expected


def test_a_module_level_partial_of_a_factory_is_a_factory(tmp_path):
    graph = analyse(tmp_path, {"m.py": """
        from functools import partial
        from velloc import cell
        from .lib import other
        @cell(tags=["t"])
        def leaf(x=0, y=1, f=None): pass
        wide = partial(leaf, 2, f=other)
        run = lambda: leaf()
    """, "lib.py": "def other(): pass\n"})
    functions = graph["functions"]
    assert list(functions) == ["proj.lib.other", "proj.m.leaf", "proj.m.wide", "proj.m.<lambda1>"]
    wide = functions["proj.m.wide"]
    assert functions["proj.m.leaf"]["is_partial"] is False and wide["is_partial"] is True
    assert wide["decorators"] == ["cell(...)"] and wide["resolved_decorators"] == ["velloc.cell(...)"]
    assert wide["tags"] == ["t"]
    assert wide["parameter_defaults"] == {"x": 2, "y": 1, "f": "other"}
    assert wide["resolved_parameter_defaults"] == {"x": 2, "y": 1, "f": "proj.lib.other"}


@pytest.mark.parametrize(
    "body",
    [
        "def f(helper):\n    helper()",
        "def f(helper=helper):\n    helper()",
        "def f():\n    helper = None\n    helper()",
        "def f():\n    helper()\n    def helper(): pass",  # local, unbound at the call
        "def f():\n    for helper in range(3):\n        helper()",
        "def f():\n    import os as helper\n    helper()",
        "def f():\n    try: pass\n    except Exception as helper:\n        helper()",
        "def f():\n    (helper := 3)\n    helper()",
        "def f():\n    global helper\n    helper = 1\n    helper()",  # rebound before the call
        "def f(x):\n    x.helper()",
        "def f():\n    lambda helper: helper()",
    ],
)
def test_shadowed_names_leave_no_edge(tmp_path, body):
    graph = analyse(tmp_path, {"m.py": f"from .lib import helper\n{body}\n", "lib.py": "def helper(): pass\n"})
    assert all(not record["resolved_calls"] for name, record in graph["functions"].items()
               if name.startswith("proj.m."))


def test_a_global_rebound_elsewhere_keeps_its_first_value_too(tmp_path):
    graph = analyse(tmp_path, {
        "m.py": "from .lib import helper\ndef f():\n    global helper\n    helper = 1\ndef g():\n    helper()\n",
        "lib.py": "def helper(): pass\n",
    })
    assert calls(graph, "proj.m.g") == ["proj.lib.helper"]  # f may never run before g


@pytest.mark.parametrize(
    "header, call, expected",
    [
        ("from velloc.pdk import get_component", 'get_component("straight")', "straight"),
        ("import velloc.pdk as p", 'p.get_component(cell_name="mzi", x=1)', "mzi"),
        ("from velloc.pdk import get_active_pdk", 'get_active_pdk().get_component("taper")', "taper"),
        ("from velloc.generic import PDK", 'PDK.get_component("mmi1x2")', "mmi1x2"),
        ("from corvane.core.pdk import get_pdk", 'pdk = get_pdk()\n    pdk.get_component("ring_single")', "ring_single"),
        ("", 'pdk.get_component("bend_circular")', "bend_circular"),  # annotated as a Pdk
        ("from velloc.pdk import get_component", 'get_component("no_such_cell")', None),
        ("from velloc.pdk import get_component", "name = 'straight'\n    get_component(name)", None),
        ("", 'unknown.get_component("straight")', None),
        ("", 'other.get_component("straight")', None),
    ],
)
def test_component_gets_by_literal_name(tmp_path, header, call, expected):
    source = f"from velloc.pdk import Pdk\n{header}\ndef f(pdk: Pdk, other):\n    {call}\n"
    graph = analyse(tmp_path, {"m.py": source}, velloc=VELLOC_DIR)
    gets = graph["functions"]["proj.m.f"]["resolved_component_gets"]
    assert gets == ([f"velloc.components.{expected}"] if expected else [])


def test_component_get_prefers_the_decorated_factory_of_that_name(tmp_path):
    graph = analyse(tmp_path, {
        "a.py": "def straight(): pass\n",
        "b.py": "from velloc import cell\n@cell\ndef straight(): pass\n",
        "c.py": "from velloc.pdk import get_component\ndef f():\n    get_component('straight')\n",
    })
    assert graph["functions"]["proj.c.f"]["resolved_component_gets"] == ["proj.b.straight"]


@pytest.mark.parametrize(
    "content, error",
    [
        (b"def f(:\n    pass\n", "SyntaxError"),
        (b"x = '\xff\xfe'\n", "SyntaxError"),  # not UTF-8
        (b"# -*- coding: no-such-codec -*-\nx = 1\n", "SyntaxError"),
        (b"x = 1\x00\n", "Error"),  # null byte
        (b"x = " + b"(" * 300 + b")" * 300 + b"\n", "Error"),  # nested too deeply to parse
    ],
)
def test_unparsable_modules_are_recorded_not_raised(tmp_path, content, error):
    root = write(tmp_path / "proj", {"good.py": "def fine(): pass\n"})
    (root / "bad.py").write_bytes(content)
    graph = generate_call_graph({"proj": str(root)})
    assert list(graph["functions"]) == ["proj.good.fine"]
    bad = graph["modules"]["proj.bad"]
    assert bad["path"] == str(root / "bad.py")
    assert len(bad["errors"]) == 1 and error in bad["errors"][0]
    assert graph["modules"]["proj.good"]["errors"] == []


def test_code_nested_too_deeply_costs_only_its_function(tmp_path):
    graph = analyse(tmp_path, {"m.py": "def g(): pass\ndef deep(): g" + "()" * 900 + "\ndef h(): g()\n"})
    assert calls(graph, "proj.m.h") == ["proj.m.g"]
    assert len(graph["modules"]["proj.m"]["errors"]) == 1


def test_the_analysed_code_never_runs(tmp_path):
    marker = tmp_path / "ran.txt"
    source = f"import sys\nopen({str(marker)!r}, 'w').write('ran')\nsys.exit(1)\nwhile True: pass\ndef f(): pass\n"
    graph = analyse(tmp_path, {"__init__.py": source, "m.py": source})
    assert not marker.exists()
    assert set(graph["functions"]) == {"proj.f", "proj.m.f"}


def test_module_names_and_discovery(tmp_path):
    root = write(tmp_path, {
        "pkg/__init__.py": "", "pkg/a.py": "", "pkg/sub/__init__.py": "", "pkg/sub/b.py": "",
        "pkg/__pycache__/c.py": "", "pkg/.hidden/d.py": "", "pkg/notes.txt": "",
        "pics/x.py": "", "pics/deeper/y.py": "", "single.py": "def f(): pass\n",
    })
    graph = generate_call_graph({
        "pkg": str(root / "pkg"), "pics": root / "pics", "lib.single": str(root / "single.py"),
        "missing": str(root / "nowhere"),
    })
    assert list(graph["modules"]) == [
        "pkg", "pkg.a", "pkg.sub", "pkg.sub.b", "pics.x", "pics.deeper.y", "lib.single"
    ]
    assert list(graph["functions"]) == ["lib.single.f"]


@pytest.mark.parametrize("paths", [{}, {"proj": "/no/such/folder"}])
def test_nothing_parsed_gives_an_empty_map(paths):
    assert generate_call_graph(paths) == {}


@pytest.mark.parametrize("paths", [["proj"], "proj", {1: "x"}, {"proj": 3}])
def test_paths_must_map_names_to_paths(paths):
    with pytest.raises(TypeError):
        generate_call_graph(paths)


def test_velloc_standin():
    graph = generate_call_graph({"velloc": VELLOC_DIR})
    functions = graph["functions"]
    assert all(not module["errors"] for module in graph["modules"].values())
    factories = {
        name for name, record in functions.items()
        if set(record["resolved_decorators"]) & set(CELL_DECORATORS)
    }
    assert factories == {
        f"velloc.components.{name}"
        for name in ("straight", "taper", "bend_circular", "grating_coupler", "mmi1x2", "ring_single", "mzi")
    }
    mzi = functions["velloc.components.mzi"]
    assert mzi["resolved_decorators"] == ["velloc._cell.cell"]
    assert mzi["parameter_defaults"]["splitter"] == "mmi1x2"
    assert mzi["resolved_parameter_defaults"]["splitter"] == "velloc.components.mmi1x2"
    assert {"velloc.components.straight", "velloc.components.bend_circular", "velloc.components.mzi.arm",
            "velloc.component.Component.__init__"} <= set(mzi["resolved_calls"])
    ring = functions["velloc.components.ring_single"]["resolved_calls"]
    assert {"velloc.components.straight", "velloc.components.bend_circular",
            "velloc.component.ComponentReference.connect"} <= set(ring)
    assert functions["velloc.pdk.get_component"]["resolved_calls"] == ["velloc.pdk.get_active_pdk"]


FLOW = """
from . import lib

def a(): pass
def b(): pass

last = a
last = b

maybe = a
if lib.flag:
    maybe = b

try:
    from .lib import fast as impl
except ImportError:
    impl = None

class Holder:
    def __init__(self):
        self.cb = a
    def fire(self):
        self.cb()

def make():
    return Holder()

def uses_last(): last()
def uses_maybe(): maybe()
def uses_impl(): impl()
def uses_return(): make().fire()
def rebinds():
    h = Holder()
    h.cb = b
def patches():
    lib.fast = b
def loops():
    f = a
    for _ in range(3):
        f()
        f = b
def over_literal():
    for f in (a, b):
        f()
"""


@pytest.mark.parametrize(
    "name, expected",
    [
        ("uses_last", ["proj.m.b"]),  # the module's binding at its end
        ("uses_maybe", ["proj.m.a", "proj.m.b"]),  # either branch
        ("uses_impl", ["proj.lib.fast", "proj.m.b"]),  # None calls nothing; lib.fast is patched
        ("uses_return", ["proj.m.make", "proj.m.Holder.fire"]),
        ("Holder.fire", ["proj.m.a", "proj.m.b"]),  # the attribute is also set from outside
        ("loops", ["proj.m.a", "proj.m.b"]),  # the second round of the loop sees b
        ("over_literal", ["proj.m.a", "proj.m.b"]),
    ],
)
def test_bindings_follow_the_code(tmp_path, name, expected):
    graph = analyse(tmp_path, {"m.py": FLOW, "lib.py": "flag = True\ndef fast(): pass\n"})
    assert sorted(calls(graph, "proj.m." + name)) == sorted(expected)


def test_output_order_is_stable(tmp_path):
    source = "def " + "(): pass\ndef ".join(f"f{i}" for i in range(30)) + "(): pass\n"
    source += "def pick(c):\n    g = " + " if c else ".join(f"f{i}" for i in range(30)) + "\n    g()\n"
    graph = analyse(tmp_path, {"m.py": source})
    assert list(graph["functions"])[:3] == ["proj.m.f0", "proj.m.f1", "proj.m.f2"]
    assert calls(graph, "proj.m.pick") == sorted(f"proj.m.f{i}" for i in range(30))
