"""Library discovery on temporary package trees."""

import functools
import logging
from pathlib import Path
from types import SimpleNamespace

import pytest
import velloc

from corvane import settings
from corvane.core import pdk, weftnet


def write(root, files):
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)


def factory(module):
    f = lambda: None  # noqa: E731
    f.__module__ = module
    return f


@pytest.mark.parametrize(
    "files, target, root, name",
    [
        (["pics/cell.py"], "pics", "pics", "pics"),
        (["a/__init__.py", "a/b/__init__.py", "a/b/pics/__init__.py"], "a/b/pics", "a", "a.b.pics"),
        (["pkg/__init__.py", "pkg/sub/__init__.py", "pkg/sub/mod.py"], "pkg/sub/mod.py", "pkg", "pkg.sub.mod"),
        (["out/pkg/__init__.py", "out/pkg/mod.py"], "out/pkg/mod.py", "out/pkg", "pkg.mod"),
        # folder names with dots are kept whole
        (["proj.pics/cell.py"], "proj.pics", "proj.pics", "proj.pics"),
        (["a.b/__init__.py", "a.b/mod.py"], "a.b/mod.py", "a.b", "a.b.mod"),
    ],
)
def test_lib_root_and_name(tmp_path, files, target, root, name):
    write(tmp_path, dict.fromkeys(files, ""))
    assert weftnet._find_lib_root(tmp_path / target) == tmp_path / root
    assert weftnet._find_lib_name(tmp_path / target) == name


def test_lib_root_stops_where_no_parent_is_left(tmp_path):
    (tmp_path / "__init__.py").write_text("")  # the current folder is a package
    assert weftnet._find_lib_root(Path(".")) == Path(".")


@pytest.mark.parametrize(
    "module, parent, expected",
    [("a.b", "a", True), ("a", "a", True), ("ab", "a", False), ("a", "a.b", False), ("a.bc", "a.b", False)],
)
def test_is_submodule_of(module, parent, expected):
    assert weftnet._is_submodule_of(module, parent) is expected


@pytest.mark.parametrize("args", [(1, "a"), ("a", None), (b"a", "a")])
def test_is_submodule_of_takes_texts_only(args):
    with pytest.raises(TypeError):
        weftnet._is_submodule_of(*args)


@pytest.mark.parametrize(
    "factories, expected",
    [
        ([factory("a.b.c.x"), factory("a.b.c.y"), factory("d.e")], ["a.b.c", "d.e"]),
        ([factory("a.b"), factory("a.b")], ["a.b"]),
        ([functools.partial(print), factory(None), factory(""), object(), factory("x.y")], ["x.y"]),
    ],
)
def test_extract_module_names(factories, expected):
    cells = {f"c{i}": f for i, f in enumerate(factories)}
    assert weftnet._extract_module_names(SimpleNamespace(cells=cells)) == expected


SITE = "xpdk/__init__.py xpdk/core.py extlib/__init__.py extlib/cells.py cl/__init__.py cl/cells/__init__.py "
SITE += "cl/cells/more.py pk/__init__.py pk/y.py pk/yz.py proj/__init__.py"
RAISING = ["boom/__init__.py", "proj/pics/__init__.py"]  # importing them is a RuntimeError
PROJECT = " proj.pics.mine proj.pics.yours"


@pytest.fixture
def site(tmp_path, monkeypatch):
    root = tmp_path / "site"
    write(root, dict.fromkeys(SITE.split(), "") | dict.fromkeys(RAISING, "raise RuntimeError('boom')"))
    monkeypatch.syspath_prepend(str(root))
    return root


@pytest.mark.parametrize(
    "pdk_name, is_pdk, modules, expected, warnings",
    [
        (
            "xpdk.core",
            False,
            "xpdk.core xpdk.comps.f functools extlib.cells.wg extlib.cells.bend cl.cells.more.a cl.cells.more.b "
            "nolib.cells" + PROJECT,
            "xpdk.core=xpdk/core.py extlib=extlib cl.cells.more=cl/cells/more.py proj.pics=proj/pics velloc=",
            ["Could not import module nolib. Skipping."],
        ),
        ("xpdk.core", True, "extlib.cells.wg extlib.cells.bend" + PROJECT,
         "proj.pics=proj/pics xpdk.core=xpdk/core.py extlib=extlib velloc=", []),
        # x.y stays beside the PDK x.yz
        ("pk.yz", False, "pk.y.a pk.y.b", "pk.yz=pk/yz.py pk.y=pk/y.py proj.pics=proj/pics velloc=", []),
        # velloc keeps the place it was first given
        ("xpdk.core", False, "velloc.components.a velloc.pdk.b extlib.cells.wg extlib.cells.bend",
         "xpdk.core=xpdk/core.py velloc= extlib=extlib proj.pics=proj/pics", []),
    ],
)
def test_default_lib_paths(site, caplog, pdk_name, is_pdk, modules, expected, warnings):
    settings.configure(pics_dir=site / "proj/pics", pdk_name=pdk_name, is_pdk=is_pdk)
    pdk.set_base_pdk(SimpleNamespace(cells={f"c{i}": factory(m) for i, m in enumerate(modules.split())}))
    caplog.set_level(logging.DEBUG, logger="corvane")

    paths = weftnet.default_lib_paths()

    velloc_dir = Path(velloc.__file__).resolve().parent
    pairs = [entry.split("=") for entry in expected.split()]
    assert list(paths.items()) == [(k, site / v if v else velloc_dir) for k, v in pairs]
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == warnings
    assert caplog.records[0].getMessage() == "pics_mod_name: proj.pics"
    assert weftnet.default_lib_paths() is paths


def test_memo_is_filled_by_the_first_completed_call(site):
    settings.configure(pics_dir=site / "proj/pics", pdk_name="boom")
    pdk.set_base_pdk(SimpleNamespace(cells={}))
    with pytest.raises(RuntimeError, match="boom"):  # not an import error: it propagates
        weftnet.default_lib_paths()

    settings.configure(pdk_name="pk.y")
    first = weftnet.default_lib_paths()
    settings.configure(pdk_name="pk.yz")
    assert weftnet.default_lib_paths() is first
    weftnet.default_lib_paths.cache_clear()
    assert list(weftnet.default_lib_paths()) == ["pk.yz", "proj.pics", "velloc"]
