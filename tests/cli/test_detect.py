"""The right stack, found: the built-in stack a layout was drawn for is named when the
active PDK draws nothing, --stack detect takes it, and the PDK's pins, labels,
boundaries and markers are known by their published names but drawn only on --show."""

from __future__ import annotations

import json
from pathlib import Path

import klayout.db as kdb
import pytest

from corvane import cli, layout_info, stacks
from corvane.layout_info import LayerCount, LayoutSummary
from corvane.stacks import detect

DATA = Path(__file__).resolve().parents[2] / "examples"
TT = sorted((DATA / "gds").glob("tt_um_*.gds")) if (DATA / "gds").is_dir() else []
shared = pytest.mark.skipif(not TT, reason="example layouts (examples/gds) not present")


def run(argv, capsys):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def sky130_layout(path: Path) -> Path:
    """A small sky130 cell as a designer draws it: li1, met1 and a via, a met1 pin with
    its label, the place-and-route boundary and the standard-cell marker."""
    layout = kdb.Layout()
    top = layout.create_cell("inv")
    shapes = {pair: top.shapes(layout.layer(*pair)) for pair in [(67, 20), (68, 20), (68, 44), (68, 16), (68, 5),
                                                                 (235, 4), (81, 4)]}
    for k in range(4):
        shapes[(67, 20)].insert(kdb.Box(0, k * 500, 2000, k * 500 + 170))
        shapes[(68, 20)].insert(kdb.Box(k * 500, 0, k * 500 + 140, 2000))
        shapes[(68, 44)].insert(kdb.Box(k * 500, k * 500, k * 500 + 150, k * 500 + 150))
    shapes[(68, 16)].insert(kdb.Box(0, 0, 140, 300))
    shapes[(68, 5)].insert(kdb.Text("A", kdb.Trans(70, 150)))
    shapes[(235, 4)].insert(kdb.Box(0, 0, 2000, 2000))
    shapes[(81, 4)].insert(kdb.Box(0, 0, 2000, 2000))
    layout.write(str(path))
    return path


def drawn_parts(inbox: Path) -> list[str]:
    (message,) = inbox.glob("*.json")
    return [part["name"] for part in json.loads(message.read_text())["data"]["parts"]]


def test_a_sky130_cell_is_recognised_and_drawn_without_its_markers(tmp_path, capsys):
    gds = sky130_layout(tmp_path / "inv.gds")
    status, out, err = run(["lumino", gds, "--inbox", tmp_path / "a"], capsys)
    assert status == 1
    assert err == ("corvane lumino: error: nothing to draw: the active PDK 'generic' shows none of the 6 layers of "
                   "inv.gds; this looks like sky130: --stack sky130 (or --stack detect)\n")
    status, out, err = run(["lumino", gds, "--stack", "detect", "--inbox", tmp_path / "b"], capsys)
    assert status == 0, err
    assert drawn_parts(tmp_path / "b") == ["li1 (67, 20)", "met1 (68, 20)", "via (68, 44)"]
    assert err == ("corvane lumino: warning: not drawn unless asked: pins on 1 layer (1 shape), markers on 1 layer "
                   "(1 shape), boundaries on 1 layer (1 shape) (--show pins,markers,boundaries)\n")
    status, out, err = run(["lumino", gds, "--stack", "detect", "--show", "pins,boundaries", "--inbox", tmp_path / "c"],
                           capsys)
    assert status == 0 and "markers on 1 layer" in err and "pins" not in err
    assert sorted(drawn_parts(tmp_path / "c")) == ["li1 (67, 20)", "met1 (68, 20)", "met1.pin (68, 16)",
                                                   "prBoundary (235, 4)", "via (68, 44)"]


def test_layers_lists_purposes_and_published_names(tmp_path, capsys):
    gds = sky130_layout(tmp_path / "inv.gds")
    status, out, err = run(["layers", gds], capsys)
    assert status == 0 and out.splitlines()[-1] == "this looks like sky130: --stack sky130 (or --stack detect)"
    status, out, err = run(["layers", gds, "--stack", "detect", "--show", "markers"], capsys)
    rows = {line.split()[0] + line.split()[1]: line.split() for line in out.splitlines()[4:-1]}
    assert out.splitlines()[2] == "shown by: built-in stack sky130 (detected)"
    assert rows["(68,20)"][4:8] == ["yes", "met1", "drawing", "1.3761"] and rows["(68,20)"][-1] == "met1.drawing"
    assert rows["(68,16)"][4:9] == ["no", "(pin:", "--show", "pins)", "met1.pin"]
    assert rows["(68,5)"][2:9] == ["0", "1", "no", "(label,", "texts", "only)", "met1.label"]
    assert rows["(235,4)"][-1] == "prBndry.boundary"
    assert rows["(81,4)"][4:7] == ["yes", "areaid.sc", "marker"]  # asked for


@shared
@pytest.mark.parametrize("gds", TT, ids=[p.name for p in TT])
def test_tiny_tapeout_files_name_sky130_and_detect_draws_them(tmp_path, capsys, gds):
    status, out, err = run(["lumino", gds, "--inbox", tmp_path / "none"], capsys)
    assert status == 1 and "this looks like sky130: --stack sky130 (or --stack detect)" in err
    assert run(["lumino", gds, "--stack", "detect", "--inbox", tmp_path / "detect"], capsys)[0] == 0
    assert run(["lumino", gds, "--stack", "sky130", "--inbox", tmp_path / "named"], capsys)[0] == 0
    (detected,) = (tmp_path / "detect").glob("*.json")
    (named,) = (tmp_path / "named").glob("*.json")
    assert detected.read_bytes() == named.read_bytes()


def summary(**counts: int) -> LayoutSummary:
    """A layout summary with ``L<layer>_<datatype>=shapes`` counts."""
    layers = {}
    for key, shapes in counts.items():
        layer, datatype = (int(v) for v in key[1:].split("_"))
        layers[(layer, datatype)] = LayerCount(layer, datatype, shapes, 0)
    return LayoutSummary(Path("x.gds"), 0.001, 1, ["top"], 0, dict(sorted(layers.items())))


@pytest.mark.parametrize(
    "counts, found, tied",
    [
        ({"L68_20": 10, "L67_20": 5}, "sky130", []),
        ({"L68_20": 10, "L999_0": 11}, None, []),  # half unknown: no
        ({"L68_20": 10, "L999_0": 9}, "sky130", []),
        ({"L68_16": 10, "L235_4": 3}, None, []),  # known, but nothing drawn
        ({"L1_0": 4}, None, ["ihp-sg13g2", "photonics", "siepic-ebeam"]),  # 1/0 is silicon or Activ alike
        ({"L1_0": 4, "L68_0": 2, "L99_0": 1}, "siepic-ebeam", []),  # DevRec and FloorPlan tell
        ({"L34_0": 8, "L34_4": 40, "L36_0": 3}, "gf180mcu", []),  # a filled gf180mcu chip
        ({"L8_0": 5, "L8_2": 1, "L126_0": 1}, "ihp-sg13g2", []),
        ({}, None, []),
    ],
)
def test_detect_takes_the_stack_that_knows_most_shapes(counts, found, tied):
    got = detect.detect(summary(**counts))
    assert (got.name if got else None) == found
    assert detect.ties(summary(**counts)) == tied


@pytest.mark.parametrize(
    "counts, message",
    [
        ({"L1_0": 4}, "--stack detect: x.gds fits ihp-sg13g2, photonics and siepic-ebeam alike; name one with --stack"),
        ({"L68_20": 1, "L777_0": 3}, "--stack detect: no built-in stack knows most of the shapes of x.gds "
         "(at best sky130, 25%); --stack auto shows every layer"),
    ],
)
def test_detect_says_why_it_finds_none(monkeypatch, counts, message):
    from corvane.cli import plan

    with pytest.raises(cli.CommandError) as failure:
        plan.resolve_stack("detect", summary(**counts))
    assert str(failure.value) == message


@pytest.mark.parametrize(
    "patterns, excluded, unmatched",
    [
        (["68/20"], {(68, 20)}, []),
        (["68/*"], {(68, 20), (68, 44)}, []),
        (["met1.drawing"], {(68, 20)}, []),
        (["VIA.DRAWING", "li1"], {(68, 44), (67, 20)}, []),
        (["69/20", "met1 (68, 20)"], {(68, 20)}, ["69/20"]),
    ],
)
def test_exclude_by_pair_and_published_name(tmp_path, capsys, patterns, excluded, unmatched):
    from corvane.cli import plan

    gds = sky130_layout(tmp_path / "inv.gds")
    stack = plan.resolve_stack("sky130")
    table = plan._layer_table(stack)
    names = {pair: table[pair].name for pair in layout_info.summarize(gds).layers if pair in table}
    published = {pair: e["published"] for pair, e in stack.entries().items() if "published" in e}
    assert plan.match_exclusions(patterns, names, published) == (excluded, unmatched)
    status, out, err = run(["lumino", gds, "--stack", "sky130", "--exclude", *patterns, "--inbox", tmp_path], capsys)
    left = {"li1 (67, 20)": (67, 20), "met1 (68, 20)": (68, 20), "via (68, 44)": (68, 44)}
    assert status == 0 and drawn_parts(tmp_path) == [n for n, pair in left.items() if pair not in excluded]


@pytest.mark.parametrize(
    "entry, problem",
    [
        ({"purpose": "pins"}, '"purpose": unknown purpose "pins" (did you mean "pin"?)'),
        ({"purpose": "metal"}, '"purpose": unknown purpose "metal" (one of drawing, pin, label, boundary, marker, fill)'),
        ({"published": 5}, '"published" must be a text'),
        ({"purpos": "pin"}, 'unknown key "purpos": did you mean "purpose"?'),
    ],
)
def test_purposes_and_published_names_are_checked(entry, problem):
    data = {"layers": [{"name": "m1", "layer": 1, "datatype": 0, "zmin": 0, "thickness": 1, "color": "red", **entry}]}
    with pytest.raises(stacks.StackError) as error:
        stacks.check(data, "s.json")
    assert str(error.value) == f"s.json: layers[0] (m1): {problem}"


@pytest.mark.parametrize(
    "stack, name, figures",
    [
        ("ihp-sg13g2", "MIM", (36, 0, 5.604, 0.15, "drawing")),
        ("ihp-sg13g2", "Vmim", (129, 0, 5.754, 0.676, "drawing")),
        ("ihp-sg13g2", "GatPoly", (5, 0, 0.4, 0.14, "drawing")),
        ("ihp-sg13g2", "Metal1.filler", (8, 22, 1.04, 0.42, "fill")),
        ("sky130", "capm", (89, 44, 3.6711, 0.06, "drawing")),
        ("sky130", "cap2m", (97, 44, 4.9061, 0.06, "drawing")),
        ("sky130", "pad", (76, 20, 6.6311, 0.6, "drawing")),
        ("sky130", "li1.pin", (67, 16, 1.0361, 0.01, "pin")),
        ("sky130", "prBoundary", (235, 4, -1.02, 0.02, "boundary")),
        ("gf180mcu", "FuseTop", (75, 0, 8.252, 0.295, "drawing")),
        ("gf180mcu", "Metal3_Dummy", (42, 4, 4.26, 0.55, "fill")),
        ("gf180mcu", "CAP_MK", (117, 5, -1.04, 0.01, "marker")),
        ("siepic-ebeam", "Si", (1, 0, 0.0, 0.22, "drawing")),
        ("siepic-ebeam", "SiN", (4, 0, 0.0, 0.4, "drawing")),
        ("siepic-ebeam", "M1_heater", (11, 0, 2.2, 0.2, "drawing")),
        ("siepic-ebeam", "M2_router", (12, 0, 2.2, 0.7, "drawing")),
        ("siepic-ebeam", "DevRec", (68, 0, -0.03, 0.01, "marker")),
    ],
)
def test_built_in_figures(stack, name, figures):
    (entry,) = [e for e in stacks.builtin(stack)["layers"] if e["name"] == name]
    assert (entry["layer"], entry["datatype"], entry["zmin"], entry["thickness"], stacks.purpose(entry)) == figures
    assert entry.get("note")  # every added entry says where its figures come from


def test_ihp_says_which_figures_it_chose():
    data = stacks.builtin("ihp-sg13g2")
    assert "sg13g2_beol.lyd25" in data["source"] and "sg13g2_for_EM.xs" in data["source"]
    notes = {e["name"]: e["note"] for e in data["layers"]}
    assert "chosen" in notes["MIM"] and "5.62" in notes["MIM"]
    assert "chosen" in notes["Vmim"] and "0.66" in notes["Vmim"]
