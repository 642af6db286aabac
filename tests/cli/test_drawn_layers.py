"""Nothing is dropped silently: unshown layers are named, nothing to draw is an error,
and --exclude leaves out what it says, wherever it stands."""

from __future__ import annotations

import json
from pathlib import Path

import klayout.db as kdb
import pytest
import velloc.pdk

from corvane import cli, stacks
from corvane.core import communication, lumino, pdk

DATA = Path(__file__).resolve().parents[2] / "examples"
RING = DATA / "gds" / "RingResonator.gds"
PHOTONICS = DATA / "photonics_stack.json"
shared = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")


def sent_by_lumino(gds, data, **kwargs):
    """The message lumino itself sends for ``gds`` with the stack description ``data`` active."""
    got = []
    previous = communication.set_transport(lambda m: got.append(m.content))
    stack, views = stacks.technology(data)
    pdk.set_pdk(velloc.pdk.Pdk(name="s", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(str(gds), lumino.Output.LAYER, **kwargs)
    finally:
        pdk.reset()
        communication.set_transport(previous)
    return got[0].encode()


def run(argv, capsys):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@shared
@pytest.mark.parametrize(
    "argv, lumino_patterns, unmatched",
    [
        (["--exclude", "DevRec", RING], ["DevRec*"], None),
        ([RING, "--exclude", "DevRec", "Float*"], ["DevRec*"], "'Float*'"),
        (["--exclude", "devrec", "--exclude", "M2*", RING], ["DevRec*", "M2*"], "'M2*'"),
        (["--exclude", "Si (1, 0)", "floorplan", RING], ["Si (*", "FloorPlan*"], None),
        (["--exclude", "*", "--exclude", "Si", RING], ["*"], None),
    ],
    ids=["before-the-file", "after-the-file", "repeated", "full-and-bare-names", "everything"],
)
def test_exclude_anywhere_leaves_out_what_it_names(tmp_path, capsys, argv, lumino_patterns, unmatched):
    status, out, err = run(["lumino", *argv, "--stack", PHOTONICS, "--inbox", tmp_path], capsys)
    data = stacks.read(PHOTONICS)
    if lumino_patterns == ["*"]:
        assert status == 1 and not list(tmp_path.glob("*.json"))
        assert err == (
            "corvane lumino: error: nothing to draw: --exclude leaves out every layer of RingResonator.gds "
            "shown by stack file photonics_stack.json\n"
        )
        return
    assert status == 0, err
    (message,) = tmp_path.glob("RingResonator-*.json")
    assert message.read_bytes() == sent_by_lumino(RING, data, exclude_layers=lumino_patterns)
    warnings = err.splitlines()
    if unmatched:
        assert warnings[0] == (
            f"corvane lumino: warning: --exclude {unmatched}: no layer of RingResonator.gds shown by stack file "
            "photonics_stack.json matches"
        )
    assert warnings[-1] == (
        "corvane lumino: warning: 4 layers of RingResonator.gds not shown by stack file photonics_stack.json: "
        "(10, 0) 98 shapes, (69, 0) 9 shapes, (81, 0) 1 shape, (733, 0) 4 shapes"
    )


def bracketed_layout(tmp_path):
    layout = kdb.Layout()
    top = layout.create_cell("top")
    for layer in (1, 2):
        top.shapes(layout.layer(layer, 0)).insert(kdb.Box(0, 0, 1000 * layer, 1000))
    layout.write(str(tmp_path / "b.gds"))
    data = {"layers": [
        {"name": "m[1]", "layer": 1, "datatype": 0, "zmin": 0, "thickness": 1, "color": "red"},
        {"name": "m1", "layer": 2, "datatype": 0, "zmin": 1, "thickness": 1, "color": "blue"},
    ]}
    (tmp_path / "s.json").write_text(json.dumps(data))
    return tmp_path / "b.gds", data


@pytest.mark.parametrize("pattern, left", [("m[[]1]", "m1 (2, 0)"), ("m1", "m[1] (1, 0)")])
def test_exclusions_reach_lumino_as_exact_names(tmp_path, capsys, pattern, left):
    # A name with wildcard characters is excluded exactly, not read as a pattern again.
    gds, data = bracketed_layout(tmp_path)
    status, out, err = run(["lumino", gds, "--stack", tmp_path / "s.json", "--inbox", tmp_path, "--exclude", pattern], capsys)
    assert status == 0 and err == ""
    (message,) = tmp_path.glob("b-*.json")
    layers = json.loads(message.read_text())["data"]["parts"]
    assert [part["name"] for part in layers] == [left]


def test_a_layout_without_shapes_has_nothing_to_draw(tmp_path, capsys):
    layout = kdb.Layout()
    layout.create_cell("top").shapes(layout.layer(1, 0)).insert(kdb.Text("label", kdb.Trans()))
    layout.write(str(tmp_path / "t.gds"))
    status, out, err = run(["lumino", tmp_path / "t.gds", "--stack", "auto", "--inbox", tmp_path], capsys)
    assert (status, out) == (1, "")
    assert err == "corvane lumino: error: nothing to draw: t.gds holds no shapes (corvane layers FILE lists what it holds)\n"
    assert not list(tmp_path.glob("*.json"))


@shared
def test_unshown_layers_named_with_their_counts_and_the_reason(tmp_path, capsys):
    data = stacks.read(PHOTONICS)
    data["layers"].append({"name": "text", "layer": 10, "datatype": 0, "zmin": 0, "thickness": 0})  # no colour
    stack = tmp_path / "s.json"
    stack.write_text(json.dumps(data))
    status, out, err = run(["lumino", RING, "--stack", stack, "--inbox", tmp_path], capsys)
    assert status == 0
    assert err == (
        "corvane lumino: warning: 4 layers of RingResonator.gds not shown by stack file s.json: "
        "text (10, 0) 98 shapes (no colour), (69, 0) 9 shapes, (81, 0) 1 shape, (733, 0) 4 shapes\n"
    )
