"""The set-up script skips the build only when the installed package was built from
the source tree as it is: the record of the tree and its checks."""

from __future__ import annotations

import importlib.util
import shutil
from pathlib import Path

import pytest

import corvane

ROOT = Path(__file__).resolve().parents[2]
_found = importlib.util.spec_from_file_location("source_record", ROOT / "scripts" / "source_record.py")
source_record = importlib.util.module_from_spec(_found)
_found.loader.exec_module(source_record)


def tree(root: Path) -> Path:
    for rel, text in {
        "CMakeLists.txt": "project(x)\n",
        "pyproject.toml": "[project]\n",
        "README.md": "readme\n",
        "src/corvane/__init__.py": "",
        "src/cpp/lumino/module.cpp": "// module\n",
        "standins/velloc/velloc/__init__.py": "",
        "cmake/stubgen.py": "",
    }.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    return root


@pytest.mark.parametrize(
    "change, rebuilds",
    [
        (lambda r: (r / "src/cpp/lumino/module.cpp").write_text("// changed\n"), True),
        (lambda r: (r / "standins/velloc/velloc/new.py").write_text("x = 1\n"), True),
        (lambda r: (r / "pyproject.toml").write_text("[project]\nname = 'y'\n"), True),
        (lambda r: (r / "src/corvane/__init__.py").rename(r / "src/corvane/moved.py"), True),
        (lambda r: (r / "src/corvane/__pycache__").mkdir() or (r / "src/corvane/__pycache__/x.pyc").write_bytes(b"1"), False),
        (lambda r: (r / "build").mkdir() or (r / "build/out.o").write_bytes(b"1"), False),
        (lambda r: (r / "tests").mkdir() or (r / "tests/test_x.py").write_text(""), False),
    ],
    ids=["cpp-edited", "standin-added", "build-settings", "renamed", "cache", "build-folder", "tests"],
)
def test_the_hash_follows_what_the_package_is_built_from(tmp_path, change, rebuilds):
    root = tree(tmp_path)
    before = source_record.tree_hash(root)
    assert source_record.tree_hash(root) == before
    change(root)
    assert (source_record.tree_hash(root) != before) is rebuilds


@pytest.fixture
def installed(tmp_path):
    """A copy of the package under test, with its compiled modules, as an installed one."""
    site = tmp_path / "site"
    # The record an earlier install left behind is not copied: this copy starts unrecorded.
    ignore = shutil.ignore_patterns("__pycache__", source_record.RECORD)
    shutil.copytree(Path(corvane.__file__).parent, site / "corvane", ignore=ignore)
    return site / "corvane"


def test_check_wants_a_record_equal_to_the_tree_and_importable_modules(tmp_path, installed):
    root = tree(tmp_path / "repo")
    assert source_record.check(root, None) == "corvane is not installed"
    assert source_record.check(root, installed).startswith("no record of the source tree in ")
    assert source_record.main(["record", str(root), "--package", str(installed)]) == 0
    assert source_record.check(root, installed) is None
    assert source_record.main(["check", str(root), "--package", str(installed)]) == 0
    (root / "src/cpp/lumino/module.cpp").write_text("// edited after the install\n")
    assert source_record.check(root, installed) == "the source tree changed since the install"
    source_record.main(["record", str(root), "--package", str(installed)])
    for so in installed.glob("core/freeze*.so"):
        so.unlink()  # a broken install: rebuild even though the record matches
    assert source_record.check(root, installed).startswith("the compiled modules do not import: ")


def test_the_repository_tree_hashes(capsys):
    assert source_record.main(["hash", str(ROOT)]) == 0
    assert capsys.readouterr().out.strip() == source_record.tree_hash(ROOT)
    assert ROOT / "src/cpp/lumino/module.cpp" in source_record.source_files(ROOT)
