"""The main program: plot the call graph of a project folder."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import matplotlib.pyplot as plt
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


@pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz programs not installed")
@pytest.mark.filterwarnings("ignore::DeprecationWarning:pydot.dot_parser")
def test_readme_example_runs(tmp_path, capsys):
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    code = readme.split("\n## weftnet\n", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    try:
        exec(compile(code, "README.md", "exec"), {})
    finally:
        plt.close("all")
    assert capsys.readouterr().out.splitlines()[0] == "[('mzi', 'bend'), ('mzi', 'straight')]"
    saved = re.search(r'plt\.savefig\("([^"]+)"\)', code).group(1)
    assert (tmp_path / saved).exists()  # where the example saves it (relative: in the test's folder)


def test_import_loads_no_heavy_library():
    code = "import sys, corvane.core.weftnet; print(sorted({'networkx', 'matplotlib', 'pydot'} & set(sys.modules)))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=True)
    assert run.stdout == "[]\n"
