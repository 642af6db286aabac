"""corvane export: the command writes what the export module writes, and
refuses what it cannot do without touching the target file."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
import velloc.technology as vlt

from corvane.core import lumino
from corvane.export import gds_to_glb

from .test_cli import corvane

DATA = Path(__file__).resolve().parents[2] / "examples"
RING = DATA / "gds" / "RingResonator.gds"
PHOTONICS = DATA / "photonics_stack.json"
pytestmark = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")


@pytest.mark.parametrize(
    "options, kwargs",
    [
        ([], {}),
        (["--output", "cell", "--z-scale", "2", "--curve-tolerance", "none"], {"output": lumino.Output.CELL, "z_scale": 2.0, "curve_tolerance": None}),
        (["--exclude", "devrec*"], {"exclude_layers": ["devrec*"]}),
        (["--instancing", "none"], {"instancing": "none"}),
        (["--instancing", "ext", "--output", "cell"], {"instancing": "ext", "output": lumino.Output.CELL}),
    ],
    ids=["defaults", "cell-z-exact", "excluded", "plain-nodes", "gpu-instances"],
)
def test_writes_what_the_export_writes(tmp_path, options, kwargs):
    run = corvane("export", RING, tmp_path / "ring.glb", "--stack", PHOTONICS, *options)
    assert run.returncode == 0, run.stderr
    layers = "1 layer," if "--exclude" in options else "2 layers,"
    assert run.stdout.startswith(f"glb: {tmp_path / 'ring.glb'} (") and layers in run.stdout
    stack, views = vlt.read_layer_technology(PHOTONICS)
    kwargs.setdefault("output", lumino.Output.LAYER)
    gds_to_glb(RING, tmp_path / "same.glb", kwargs.pop("output"), layer_stack=stack, layer_views=views, **kwargs)
    assert (tmp_path / "ring.glb").read_bytes() == (tmp_path / "same.glb").read_bytes()


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.gds", "out.glb"], "missing.gds: no such file"),
        ([RING, "out.gltf"], "out.gltf: the 3D file must be a .glb file (glTF binary)"),
        ([RING, "no/such/out.glb"], "no such folder for the 3D file"),
        ([PHOTONICS, "out.glb", "--stack", PHOTONICS], "cannot read the layout"),
        ([RING, "out.glb", "--stack", DATA / "sky130_like_stack.json"], "nothing to draw: stack file sky130_like_stack.json shows none of the 6 layers of RingResonator.gds"),
    ],
    ids=["missing", "suffix", "folder", "not-gds", "nothing-to-draw"],
)
def test_refusals_leave_the_target_alone(tmp_path, args, message):
    (tmp_path / "out.glb").write_bytes(b"an older file")
    run = corvane("export", *args, cwd=tmp_path)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.startswith("corvane export: error: ") and message in run.stderr
    assert (tmp_path / "out.glb").read_bytes() == b"an older file"
    assert sorted(os.listdir(tmp_path)) == ["out.glb"]


def test_exclusions_before_the_files_take_neither(tmp_path):
    run = corvane("export", "--exclude", "DevRec", "FloorPlan", RING, tmp_path / "ring.glb", "--stack", PHOTONICS)
    assert run.returncode == 0, run.stderr
    stack, views = vlt.read_layer_technology(PHOTONICS)
    gds_to_glb(RING, tmp_path / "same.glb", lumino.Output.LAYER, layer_stack=stack, layer_views=views,
               exclude_layers=["devrec*", "floorplan*"])
    assert (tmp_path / "ring.glb").read_bytes() == (tmp_path / "same.glb").read_bytes()


def test_an_unknown_instancing_is_a_usage_error(tmp_path):
    run = corvane("export", RING, tmp_path / "ring.glb", "--stack", PHOTONICS, "--instancing", "gpu")
    assert run.returncode == 2 and run.stdout == ""
    assert "--instancing: invalid choice: 'gpu'" in run.stderr
    assert not (tmp_path / "ring.glb").exists()
