"""What `corvane lumino FILE --stack STACK` imports, run as a fresh process.

Importing KLayout, numpy or shapely takes longer than reading a layout, so
the command imports them only where lumino itself needs them: never in its
planning step (layout summary, stack, layer table, warnings), never through
the layout library's stand-ins, and not at all where lumino converts the
file without them.  Whether lumino needs one is asked of lumino alone, in a
process of its own.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
import velloc

import corvane
from corvane.core import lumino

DATA = Path(__file__).resolve().parents[2] / "examples"
CASES = [
    ("tt_um_vga_clock.gds", "sky130"),
    ("tt_um_loopback.gds", str(DATA / "sky130_like_stack.json")),
    ("MiniChip_1mm.gds", str(DATA / "photonics_stack.json")),
]
IDS = ["vga_clock-sky130", "loopback-stack_file", "MiniChip-photonics_file"]
WATCHED = ("klayout", "numpy", "shapely", "matplotlib", "networkx", "importlib.metadata")
pytestmark = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")

# Runs the command line with a finder that notes, for each watched module,
# the stack of its first import and whether lumino.lumino was running.
COMMAND = """
import json, sys, traceback
WATCHED = %r
first, inside = {}, [False]

class Watch:
    def find_spec(self, name, path=None, target=None):
        for module in WATCHED:
            if (name == module or name.startswith(module + ".")) and module not in first and module not in sys.modules:
                files = [frame.filename for frame in traceback.extract_stack()[:-1]]
                first[module] = {"in_lumino": inside[0], "files": files}
        return None

sys.meta_path.insert(0, Watch())
from corvane.core import lumino
convert = lumino.lumino

def watched(*args, **kwargs):
    inside[0] = True
    try:
        return convert(*args, **kwargs)
    finally:
        inside[0] = False

lumino.lumino = watched
from corvane.cli import main
status = main(sys.argv[1:])
print(json.dumps({"status": status, "first": {m: v for m, v in first.items() if m in sys.modules}}))
"""

# Converts the file with lumino alone, the stack active: whether `module` got
# imported.  (Looking a package up without importing it, as lumino does to
# find shapely's GEOS library, does not count.)
PROBE = """
import sys
watched = sys.argv[1]
import velloc.pdk
from corvane import cli
from corvane.core import communication, lumino, pdk
stack = cli.resolve_stack(sys.argv[3])
pdk.set_pdk(velloc.pdk.Pdk(name="probe", layer_stack=stack.layer_stack, layer_views=stack.layer_views))
communication.set_transport(lambda message: None)
before = watched in sys.modules
lumino.lumino(sys.argv[2], lumino.Output.LAYER)
print("needs" if before or watched in sys.modules else "free")
"""


def child(code, *args, cwd):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(corvane.__file__).parents[1]), env.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=300, env=env, cwd=cwd)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().splitlines()[-1]


@pytest.fixture(scope="module")
def command_runs(tmp_path_factory):
    """The watched imports of one run of the command per case."""
    runs = {}

    def run(case):
        if case not in runs:
            name, stack = case
            inbox = tmp_path_factory.mktemp("inbox")
            out = child(COMMAND % (WATCHED,), "lumino", DATA / "gds" / name, "--stack", stack, "--inbox", inbox,
                        cwd=inbox)
            runs[case] = json.loads(out)
            assert runs[case]["status"] == 0
        return runs[case]["first"]

    return run


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_the_planning_step_and_the_stand_ins_import_nothing_heavy(command_runs, case):
    first = command_runs(case)
    assert "matplotlib" not in first and "networkx" not in first
    stand_ins = str(Path(velloc.__file__).parent)
    for module, seen in first.items():
        assert not any(f.startswith(stand_ins) for f in seen["files"]), f"{module} imported through velloc"
    # Outside lumino's own call: nothing, unless the direct reader left the summary to KLayout.
    outside = {module for module, seen in first.items() if not seen["in_lumino"]}
    answered = lumino._layout_summary(str(DATA / "gds" / case[0]))[0] is not None
    assert outside <= (set() if answered else {"klayout"}), {m: first[m]["files"][-8:] for m in outside}


@pytest.mark.parametrize("module", ["klayout", "numpy", "shapely"])
@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_nothing_heavy_lumino_does_without(command_runs, tmp_path, case, module):
    name, stack = case
    if child(PROBE, module, DATA / "gds" / name, stack, cwd=tmp_path) != "free":
        pytest.skip(f"lumino itself still needs {module} for {name} (checked once it no longer does)")
    assert module not in command_runs(case)
