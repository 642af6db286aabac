"""The command refuses bad options and malformed layer-stack files with one
line naming the problem, never a traceback."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from corvane import cli

DATA = Path(__file__).resolve().parents[2] / "examples"


def entry(**changes):
    return {"name": "core", "layer": 1, "datatype": 0, "zmin": 0.0, "thickness": 0.22, "color": "#ff0000"} | changes


@pytest.mark.parametrize(
    "content, problem",
    [
        ({"layers": [{k: v for k, v in entry().items() if k != "zmin"}]}, 'layers[0] (core): "zmin" is missing'),
        ({"layers": [{k: v for k, v in entry().items() if k != "layer"}]}, 'layers[0] (core): "layer" is missing'),
        ({"layers": [{k: v for k, v in entry().items() if k != "name"}]}, 'layers[0]: "name" is missing'),
        ({"layers": [entry(thickness="0.22")]}, 'layers[0] (core): "thickness" must be a number (micrometres), not "0.22"'),
        ({"layers": [entry(color=[255, 0, 0])]}, 'layers[0] (core): "color" must be a text such as "#5e8cff", not [255, 0, 0]'),
        ({"layers": [entry(), entry()]}, "layers[1] (core): the name 'core' is already used by layers[0]"),
        ({"layers": []}, '"layers" must be a non-empty list of layer entries'),
        ({"name": 5, "layers": [entry()]}, '"name" must be a text'),
        ([entry()], "the top level is not an object"),
    ],
)
def test_malformed_stack_files_name_the_problem(tmp_path, capsys, content, problem):
    stack = tmp_path / "stack.json"
    stack.write_text(json.dumps(content))
    gds = tmp_path / "x.gds"
    gds.write_bytes(b"")
    assert cli.main(["lumino", str(gds), "--stack", str(stack), "--inbox", str(tmp_path / "inbox")]) == 1
    assert capsys.readouterr().err == f"corvane lumino: error: {stack}: not a layer-stack file: {problem}\n"


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["lumino", "{gds}", "--z-scale", "-1"], 2, "argument --z-scale: must be positive: '-1'"),
        (["lumino", "{gds}", "--z-scale", "nan"], 2, "argument --z-scale: not a finite number: 'nan'"),
        (["lumino", "{gds}", "--curve-tolerance", "0.01mm"], 2, "argument --curve-tolerance: not a number: '0.01mm'"),
        (["lumino", "{gds}", "--inbox", "{gds}"], 1, "{gds}: the inbox is not a folder"),
        (["freeze", "mzi", "=1"], 2, "argument key=value: not a setting key=value: '=1'"),
        (["view", "--size", "0x0"], 2, "argument --size: size out of range (16 to 8192 pixels): '0x0'"),
    ],
)
def test_bad_options_give_one_line(tmp_path, capsys, argv, status, message):
    gds = DATA / "gds" / "RingResonator.gds"
    if not gds.exists():
        pytest.skip("example layouts (examples/gds) not present")
    argv = [a.format(gds=gds) for a in argv]
    try:
        got = cli.main(argv)
    except SystemExit as exit:  # argparse's own errors
        got = exit.code
    err = capsys.readouterr().err
    assert got == status and "Traceback" not in err
    assert message.format(gds=gds) in err
