"""The inputs the coverage-guided fuzzer kept (fuzz/corpus, scripts/fuzz.sh),
replayed through the Python API.

Each reader's inputs run in a child process, so that a crash fails the test
naming the input instead of ending the run.  Every call may raise or
decline; none may crash.  Where the direct reader answers and KLayout reads
the file, the two agree, as on every other file.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

CORPUS = Path(__file__).resolve().parents[2] / "fuzz" / "corpus"

# Runs in the child: for each file it prints the file's name before it
# starts (so a crash names it) and then one JSON line with its outcome.
REPLAY = r"""
import json, sys
import klayout.db as kdb
from corvane.core import lumino
from tests.lumino.direct_reference import first_difference, klayout_layout, same

def outcome(call):
    try:
        return call(), None
    except Exception as e:
        return None, type(e).__name__

for path in sys.argv[1:]:
    print("start", path, flush=True)
    (got, why), error = outcome(lambda: lumino._read_layout(path))
    if error or why:
        got = None
    outcome(lambda: lumino._read_layout(path, [(1, 0), (65535, 65535)], counts=True))
    outcome(lambda: lumino._layout_summary(path, texts=False))
    with open(path, "rb") as f:
        data = f.read()
    outcome(lambda: lumino._list_stream(data))
    for output in (lumino.Output.CELL, lumino.Output.LAYER):
        outcome(lambda: lumino.to_3D_viewer(path, output))
    differs = None
    if got is not None:
        expected, error = outcome(lambda: klayout_layout(path))
        if error:
            differs = f"KLayout fails ({error}) where the reader answers"
        elif not same(got, expected):
            differs = first_difference(got, expected) or "floats differ"
    print(json.dumps({"path": path, "answered": got is not None, "differs": differs}), flush=True)
"""


def corpus(reader):
    return sorted(p for p in (CORPUS / reader).glob("*") if p.is_file())


@pytest.mark.parametrize("reader", ["gds", "oasis"])
def test_kept_fuzz_inputs_replay_without_a_crash(reader, tmp_path):
    files = corpus(reader)
    if not files:
        pytest.skip(f"no kept inputs in fuzz/corpus/{reader}")
    root = Path(__file__).resolve().parents[2]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), str(root)])))
    run = subprocess.run([sys.executable, "-c", REPLAY, *map(str, files)], capture_output=True, text=True, errors="replace",
                         cwd=tmp_path, env=env, timeout=600)
    lines = run.stdout.splitlines()
    started = [line.split(" ", 1)[1] for line in lines if line.startswith("start ")]
    assert run.returncode == 0, (
        f"the replay died (status {run.returncode}) on {started[-1] if started else '?'}:\n{run.stderr[-2000:]}")
    results = [json.loads(line) for line in lines if line.startswith("{")]
    assert len(results) == len(files)
    differ = [(Path(r["path"]).name, r["differs"]) for r in results if r["differs"]]
    assert not differ, differ


# Inputs that once stopped a run, with the reason the reader now declines them
# for.  Read by the direct reader only: KLayout's own read of them is what the
# reader declines to do.
FOUND = {
    # An array whose corner points divide unevenly splits into one sub-array per
    # element: 64,000 x 65,535 of them.
    "gds-slow-6c9f25b8.gds": "array splits into more than 1048576 parts",
}


@pytest.mark.memory  # under an address-space limit, which AddressSanitizer cannot run within
@pytest.mark.parametrize("name, why", FOUND.items())
def test_found_inputs_are_declined_without_filling_the_memory(name, why, tmp_path):
    path = CORPUS.parent / "found" / name
    code = ("import resource, sys\n"
            "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
            "from corvane.core import lumino\n"
            "got, reason = lumino._read_layout(sys.argv[1])\n"
            "print(got is None, reason)\n")
    run = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == f"True {why}"
