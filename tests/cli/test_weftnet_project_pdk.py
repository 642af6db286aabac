"""`corvane weftnet` finds the project's PDK the same way as `python -m corvane` and as the installed script."""

import os
import subprocess
import sys
import textwrap

import pytest

PDK = """
from velloc import cell
from velloc.components import straight

@cell
def my_ring():
    return straight()
"""

# What pip writes as the console script of `corvane = "corvane.cli:main"`.
SCRIPT = """
import re
import sys
from corvane.cli import main
if __name__ == "__main__":
    sys.argv[0] = re.sub(r"(-script\\.pyw|\\.exe)?$", "", sys.argv[0])
    sys.exit(main())
"""


def project(root, layout):
    package = root / ("src/mypdk" if layout == "src" else "mypdk")
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(textwrap.dedent(PDK))
    (root / "pyproject.toml").write_text('[tool.corvane]\npdk_name = "mypdk"\n')
    return root


def run(how, tmp_path, cwd, *args):
    if how == "module":
        command = [sys.executable, "-m", "corvane", "weftnet", *args]
    else:
        script = tmp_path / "bin" / "corvane"
        script.parent.mkdir(exist_ok=True)
        script.write_text(textwrap.dedent(SCRIPT))
        command = [sys.executable, str(script), "weftnet", *args]
    env = dict(os.environ, HOME=str(tmp_path))
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd, env=env)
    assert done.returncode == 0, done.stderr
    assert "Could not import" not in done.stderr
    return done.stdout


@pytest.mark.parametrize("layout", ["flat", "src"])
@pytest.mark.parametrize("where", ["inside", "outside"])
def test_both_ways_of_starting_find_the_project_pdk(tmp_path, layout, where):
    root = project(tmp_path / "proj", layout)
    cwd, args = (root, ()) if where == "inside" else (tmp_path, (str(root),))
    as_module = run("module", tmp_path, cwd, *args)
    as_script = run("script", tmp_path, cwd, *args)
    assert "my_ring: mypdk.my_ring -> straight" in as_module.splitlines()
    assert as_script == as_module
