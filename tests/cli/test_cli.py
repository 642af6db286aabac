"""The corvane command, run as a separate process like a user runs it."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import velloc.pdk
import velloc.technology as vlt

from corvane import cli
from corvane.core import communication, freeze, lumino, pdk

DATA = Path(__file__).resolve().parents[2] / "examples"
LOOPBACK = DATA / "gds" / "tt_um_loopback.gds"
SKY130 = DATA / "sky130_like_stack.json"
shared = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")


def corvane(*args, cwd=None, home=None):
    env = dict(os.environ, HOME=str(home)) if home else None
    run = subprocess.run(
        [sys.executable, "-m", "corvane", *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd, env=env
    )
    # Progress lines ("corvane lumino: converting ... ...") appear only when work is slow, as on a busy machine.
    run.stderr = "".join(line for line in run.stderr.splitlines(keepends=True) if not line.endswith(" ...\n"))
    return run


def sent_in_process(gds, stack_file=None, **kwargs):
    """The message lumino sends for ``gds``, with the stack's layers active if given."""
    got = []
    previous = communication.set_transport(lambda m: got.append(m.content))
    if stack_file is not None:
        stack, views = vlt.read_layer_technology(stack_file)
        pdk.set_pdk(velloc.pdk.Pdk(name="stack", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(str(gds), kwargs.pop("output", lumino.Output.LAYER), **kwargs)
    finally:
        pdk.reset()
        communication.set_transport(previous)
    return got[0].encode()


@shared
@pytest.mark.parametrize(
    "options, kwargs",
    [
        ([], {}),
        (["--output", "cell", "--exclude", "met*", "*VIA*"], {"output": lumino.Output.CELL, "exclude_layers": ["met*", "*VIA*"]}),
        (["--z-scale", "2.5", "--curve-tolerance", "none"], {"z_scale": 2.5, "curve_tolerance": None}),
    ],
    ids=["defaults", "cell-excluded", "z-scale-no-simplification"],
)
def test_lumino_sends_what_lumino_sends(tmp_path, options, kwargs):
    run = corvane("lumino", LOOPBACK, "--stack", SKY130, "--inbox", tmp_path, *options, home=tmp_path)
    assert run.returncode == 0, run.stderr
    # On stderr: the layers of the file the stack does not show (and progress on a busy machine).
    err = [line for line in run.stderr.splitlines() if not line.startswith("corvane lumino: converting ")]
    assert len(err) == 1 and err[0].startswith("corvane lumino: warning: 15 layers of tt_um_loopback.gds not shown by ")
    (line,) = run.stdout.splitlines()
    (message,) = tmp_path.glob("*.json")
    assert line == f"message: {message} ({message.stat().st_size:,} bytes)"
    assert message.read_bytes() == sent_in_process(LOOPBACK, SKY130, **kwargs)


@shared
def test_lumino_without_stack_uses_the_active_pdk(tmp_path):
    # The default PDK knows none of the 130 nm layers: nothing to draw is an error, and nothing is sent.
    run = corvane("lumino", LOOPBACK, "--inbox", tmp_path)
    assert run.returncode == 1
    assert run.stderr == (
        "corvane lumino: error: nothing to draw: the active PDK 'generic' shows none of the 27 layers of "
        "tt_um_loopback.gds; this looks like sky130: --stack sky130 (or --stack detect)\n"
    )
    assert not list(tmp_path.glob("*.json"))
    # Its layers are used where it has them: the silicon of the ring is its WG (1, 0).
    ring = DATA / "gds" / "RingResonator.gds"
    run = corvane("lumino", ring, "--inbox", tmp_path)
    assert run.returncode == 0, run.stderr
    (message,) = tmp_path.glob("*.json")
    assert message.read_bytes() == sent_in_process(ring)


def write(path: Path, text: str) -> Path:
    path.write_text(text)
    return path


def stack_file(tmp_path, **changes):
    entry = {"name": "m1", "layer": 1, "datatype": 0, "zmin": 0.0, "thickness": 0.2, "color": "#ff0000"}
    entry.update(changes)
    entry = {k: v for k, v in entry.items() if v is not None}
    return write(tmp_path / "stack.json", json.dumps({"name": "t", "layers": [entry]}))


@pytest.mark.parametrize(
    "make_args, status, message",
    [
        (lambda t: ["lumino", t / "none.gds"], 1, r"lumino: error: .*none\.gds: no such file$"),
        (lambda t: ["lumino", t], 1, r"lumino: error: .*: not a file$"),
        (lambda t: ["lumino", write(t / "a.gds", "not a layout\n")], 1, r"lumino: error: .*a\.gds: cannot read the layout: .*unknown format"),
        (lambda t: ["lumino", LOOPBACK, "--output", "flat"], 2, r"lumino: error: argument --output: invalid choice: 'flat'"),
        (lambda t: ["lumino", LOOPBACK, "--z-scale", "tall"], 2, r"lumino: error: argument --z-scale: not a number: 'tall'"),
        (lambda t: ["lumino", LOOPBACK, "--curve-tolerance", "-1"], 2, r"must not be negative"),
        (lambda t: ["lumino", LOOPBACK, "--stack", t / "none.json"], 1, r"none\.json: no such layer-stack file$"),
        (lambda t: ["lumino", LOOPBACK, "--stack", write(t / "s.json", "{")], 1, r"s\.json: the layer-stack file is not JSON"),
        (lambda t: ["lumino", LOOPBACK, "--stack", stack_file(t, thickness=None)], 1, r'\(m1\): "thickness" is missing$'),
        (lambda t: ["lumino", LOOPBACK, "--stack", stack_file(t, layer=True)], 1, r'"layer" must be an integer'),
        (lambda t: ["lumino", LOOPBACK, "--stack", stack_file(t, thickness=-1)], 1, r'"thickness" must not be negative$'),
        (lambda t: ["lumino", LOOPBACK, "--stack", stack_file(t, color="not a colour")], 1, r"not a layer-stack file: "),
        (lambda t: ["lumino", LOOPBACK, "--stack", write(t / "s.json", '{"layers": []}')], 1, r'"layers" must be a non-empty list of layer entries$'),
        (lambda t: ["view", write(t / "m.json", "[1, 2]")], 1, r'view: error: .*m\.json: not a viewer message \(no "data" map\)$'),
        (lambda t: ["view", "--inbox", t], 1, r"view: error: no viewer message in "),
        (lambda t: ["view", "--size", "big"], 2, r"argument --size: not a size"),
        (lambda t: ["freeze", "no_such_cell"], 1, r"freeze: error: no_such_cell: Cell no_such_cell not found in PDK generic$"),
        (lambda t: ["freeze", "mzi", "bogus=1"], 1, r"freeze: error: mzi: .*unexpected keyword argument 'bogus'$"),
        (lambda t: ["freeze", "mzi", "delta_length"], 2, r"not a setting key=value"),
        (lambda t: ["weftnet", t / "none"], 1, r"weftnet: error: .*none: no such project folder$"),
        (lambda t: ["weftnet", t, "--plot", t / "g.txt"], 1, r"the plot must be a \.png, \.svg or \.pdf file$"),
        (lambda t: [], 2, r"^corvane: error: the following arguments are required: COMMAND"),
        (lambda t: ["paint"], 2, r"^corvane: error: argument COMMAND: invalid choice: 'paint'"),
    ],
)
def test_failures_are_one_line_and_a_status(tmp_path, make_args, status, message):
    if not (DATA / "gds").is_dir() and LOOPBACK in make_args(tmp_path):
        pytest.skip("example layouts (examples/gds) not present")
    run = corvane(*make_args(tmp_path), home=tmp_path)
    assert run.returncode == status
    assert run.stdout == ""
    assert len(run.stderr.splitlines()) == 1, run.stderr
    assert run.stderr.startswith("corvane")
    assert re.search(message, run.stderr.rstrip("\n")), run.stderr


@pytest.mark.parametrize("delay, said", [(0.0, True), (60.0, False)])
@shared
def test_progress_only_for_long_work(tmp_path, monkeypatch, capsys, delay, said):
    monkeypatch.setattr(cli.common, "PROGRESS_DELAY", delay)
    communication.set_inbox(tmp_path)
    try:
        assert cli.main(["lumino", str(LOOPBACK), "--stack", str(SKY130)]) == 0
    finally:
        communication.set_inbox(None)
    err = [line for line in capsys.readouterr().err.splitlines() if ": warning: " not in line]
    if said:
        assert err[0] == f"corvane lumino: converting {LOOPBACK} ({LOOPBACK.stat().st_size:,} bytes, layer-wise) ..."
        assert err[1].startswith(f"corvane lumino: converting {LOOPBACK}") and err[1].endswith(" s")
    else:
        assert err == []


def test_stack_is_active_only_while_converting(tmp_path, capsys):
    before = pdk.get_pdk()
    communication.set_inbox(tmp_path)
    try:
        bad = write(tmp_path / "bad.gds", "not a layout")
        assert cli.main(["lumino", str(bad), "--stack", str(stack_file(tmp_path))]) == 1
        assert pdk.get_pdk() is before
        if (DATA / "gds").is_dir():
            assert cli.main(["lumino", str(LOOPBACK), "--stack", str(SKY130)]) == 0
            assert pdk.get_pdk() is before
    finally:
        communication.set_inbox(None)
    assert "cannot read the layout" in capsys.readouterr().err


def test_freeze_json_is_the_netlist():
    run = corvane("freeze", "mzi", "delta_length=20", "--json")
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == json.loads(json.dumps(freeze.freeze("mzi", delta_length=20)))


def test_freeze_lists_every_section():
    run = corvane("freeze", "mzi")
    assert run.returncode == 0, run.stderr
    sections = [line[:-1] for line in run.stdout.splitlines() if not line.startswith(" ")]
    assert sections == list(freeze.freeze("mzi"))


def test_weftnet_lists_factories_after_their_callees(tmp_path):
    run = corvane("weftnet", tmp_path)
    assert run.returncode == 0, run.stderr
    names = [line.split(":", 1)[0] for line in run.stdout.splitlines()]
    assert "mzi: velloc.components.mzi -> bend_circular, mmi1x2, straight" in run.stdout.splitlines()
    assert names.index("straight") < names.index("mzi")


@pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz programs not installed")
@pytest.mark.parametrize("suffix, start", [(".svg", b"<?xml"), (".png", b"\x89PNG")])
def test_weftnet_plot(tmp_path, suffix, start):
    out = tmp_path / f"graph{suffix}"
    run = corvane("weftnet", "--plot", out.name, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"plot: {out} ({out.stat().st_size:,} bytes)\n"
    assert out.read_bytes().startswith(start)


def test_view_takes_the_newest_message_of_the_inbox(tmp_path):
    older = write(tmp_path / "b.json", '{"type": "data", "data": {"name": "Layers"}}')
    newer = write(tmp_path / "a.json", '{"type": "data", "data": {"name": "Cells"}}')
    os.utime(older, ns=(1, 1))
    run = corvane("view", "--inbox", tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[0].startswith(f"message: {newer} (43 bytes; the newest file in the inbox, written ")
    assert run.stdout.splitlines()[1:] == [f"page: {newer.with_suffix('.html')}"]
    assert not older.with_suffix(".html").exists()


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "corvane"
    if not script.exists():
        pytest.skip("package not installed with its console script in this environment")
    run = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0
    assert all(name in run.stdout for name in ("lumino", "view", "weftnet", "freeze"))
