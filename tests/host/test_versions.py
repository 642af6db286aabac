"""Distribution versions looked up without importlib.metadata, always as it answers."""

from __future__ import annotations

import os
import subprocess
import sys
from importlib import metadata

import pytest

from corvane.core import versions


def reference(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


@pytest.mark.parametrize("name", ["klayout", "KLayout", "numpy", "shapely", "Shapely", "corvane", "pytest",
                                  "no-such-distribution", "no_such.distribution"])
def test_installed_distributions(name):
    assert versions.installed_version(name) == reference(name)


def dist(folder, dirname, metadata_text=None):
    info = folder / dirname
    info.mkdir(parents=True)
    if metadata_text is not None:
        (info / "METADATA").write_text(metadata_text)
    return info


CASES = {
    "found": [("a", "my_pkg-1.2.dist-info", "Metadata-Version: 2.1\nName: my.pkg\nVersion: 1.2\n\nbody\n")],
    "first folder wins": [("a", "my_pkg-1.0.dist-info", "Name: my-pkg\nVersion: 1.0\n"),
                          ("b", "my_pkg-2.0.dist-info", "Name: my-pkg\nVersion: 2.0\n")],
    "no version header": [("a", "my_pkg-1.0.dist-info", "Name: my-pkg\n\nVersion: 9\n")],
    "no METADATA": [("a", "my_pkg-1.0.dist-info", None)],
    "egg-info": [("a", "my_pkg-3.0.egg-info", None)],
    "other names only": [("a", "my_pkgs-1.0.dist-info", "Version: 1\n"), ("a", "other-1.0.dist-info", "Version: 1\n")],
}


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("name", ["my.pkg", "My_Pkg", "my--pkg"])
def test_folders_on_the_path(tmp_path, monkeypatch, case, name):
    for folder, dirname, text in CASES[case]:
        info = dist(tmp_path / folder, dirname, text)
        if dirname.endswith(".egg-info"):
            (info / "PKG-INFO").write_text("Name: my-pkg\nVersion: 3.0\n")
    monkeypatch.setattr(sys, "path", [str(tmp_path / "a"), str(tmp_path / "missing"), str(tmp_path / "b")])
    assert versions.installed_version(name) == reference(name)


def test_the_lookup_leaves_importlib_metadata_unimported():
    if versions._fast_version("klayout") is None:
        pytest.skip("klayout is not installed in a plain .dist-info folder here")
    probe = ("import sys; from corvane.core.versions import installed_version; "
             "v = installed_version('klayout'); print(bool(v), 'importlib.metadata' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ))
    assert done.stdout.split() == ["True", "False"], done.stderr


def rewrite(info, text):
    (info / "METADATA").write_text(text)


CHANGES = {
    "installed later": (lambda a, b: None, lambda a, b: dist(a, "my_pkg-1.0.dist-info", "Version: 1.0\n")),
    "upgraded": (lambda a, b: dist(a, "my_pkg-1.0.dist-info", "Version: 1.0\n"),
                 lambda a, b: (a / "my_pkg-1.0.dist-info").rename(a / "my_pkg-2.0.dist-info")
                 or rewrite(a / "my_pkg-2.0.dist-info", "Version: 2.0\n")),
    "removed": (lambda a, b: dist(a, "my_pkg-1.0.dist-info", None),
                lambda a, b: (a / "my_pkg-1.0.dist-info").rmdir()),
    "METADATA rewritten": (lambda a, b: dist(a, "my_pkg-1.0.dist-info", "Version: 1.0\n"),
                           lambda a, b: rewrite(a / "my_pkg-1.0.dist-info", "Version: 1.10\n")),
    "shadowed": (lambda a, b: dist(b, "my_pkg-1.0.dist-info", "Version: 1.0\n"),
                 lambda a, b: dist(a, "my_pkg-2.0.dist-info", "Version: 2.0\n")),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_a_remembered_answer_follows_changes(tmp_path, monkeypatch, change):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir(), b.mkdir()
    before, after = CHANGES[change]
    before(a, b)
    monkeypatch.setattr(sys, "path", [str(a), str(b)])
    assert versions.installed_version("my-pkg") == reference("my-pkg")
    after(a, b)
    assert versions.installed_version("my-pkg") == reference("my-pkg")
