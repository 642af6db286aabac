"""The main program: plot the call graph of a project folder."""

import os
import subprocess
import sys

import pytest

from corvane.core import weftnet


def test_main_changes_into_the_folder_and_plots(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(weftnet, "create_weftnet", lambda: calls.append(("create", os.getcwd())) or "G")
    monkeypatch.setattr(weftnet, "plot_weftnet", lambda G: calls.append(("plot", G)))
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / "Projects/cvn-ostrakit").mkdir(parents=True)
    weftnet._main()
    assert calls == [("create", str(tmp_path / "Projects/cvn-ostrakit")), ("plot", "G")]


def test_missing_folder_is_one_clear_line(tmp_path):
    missing = tmp_path / "nowhere"
    with pytest.raises(FileNotFoundError, match=f"^No such project folder: {missing}$"):
        weftnet._main(missing)

    run = subprocess.run(
        [sys.executable, "-m", "corvane.weftnet", str(missing)], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 1
    assert run.stderr == f"python -m corvane.weftnet: error: No such project folder: {missing}\n"


def test_import_loads_no_heavy_library():
    code = "import sys, corvane.core.weftnet; print(sorted({'networkx', 'matplotlib', 'pydot'} & set(sys.modules)))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True)
    assert run.stdout == "[]\n"
