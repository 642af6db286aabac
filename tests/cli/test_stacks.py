"""Layer stacks: built in by name, checked files, auto and per-layout stacks."""

from __future__ import annotations

import json
import re
from pathlib import Path

import klayout.db as kdb
import pytest
import velloc.generic

from corvane import cli, layout_info, stacks
from corvane.core import lumino

DATA = Path(__file__).resolve().parents[2] / "examples"
GDS = sorted((DATA / "gds").glob("*.gds")) if (DATA / "gds").is_dir() else []
shared = pytest.mark.skipif(not GDS, reason="example layouts (examples/gds) not present")
BUILT_IN = ["gf180mcu", "ihp-sg13g2", "photonics", "siepic-ebeam", "sky130"]


def test_built_in_stacks_are_found_by_name():
    assert stacks.builtin_names() == BUILT_IN


@pytest.mark.parametrize("name", BUILT_IN)
def test_built_in_stacks_name_their_source_and_draw_each_pair_once(name):
    data = stacks.builtin(name)
    assert data["name"] == name and "source" in data
    pairs = [(e["layer"], e["datatype"]) for e in data["layers"]]
    assert len(pairs) == len(set(pairs))
    table = lumino.get_layer_properties(*stacks.technology(data))
    # Drawing and fill layers are drawn; pins, labels, boundaries and markers only when asked.
    assert set(table) == {p for p, e in zip(pairs, data["layers"]) if "color" in e and stacks.purpose(e) in ("drawing", "fill")}
    everything = lumino.get_layer_properties(*stacks.technology(data, show=stacks.PURPOSES))
    assert set(everything) == {p for p, e in zip(pairs, data["layers"]) if "color" in e}


def test_photonics_is_the_default_pdk_stack():
    built_in = lumino.get_layer_properties(*stacks.technology(stacks.builtin("photonics")))
    generic = lumino.get_layer_properties(velloc.generic.LAYER_STACK, velloc.generic.LAYER_VIEWS)
    assert {k: repr(v) for k, v in built_in.items()} == {k: repr(v) for k, v in generic.items()}


def entry(**changes):
    return {"name": "core", "layer": 1, "datatype": 0, "zmin": 0.0, "thickness": 0.22, "color": "#ff0000"} | changes


def without(key):
    return {k: v for k, v in entry().items() if k != key}


@pytest.mark.parametrize(
    "data, problem",
    [
        ({"layers": [without("thickness")]}, 'layers[0] (core): "thickness" is missing'),
        ({"layers": [entry(), without("name")]}, 'layers[1]: "name" is missing'),
        ({"layers": [entry(colour="#ff0000")]}, 'layers[0] (core): unknown key "colour": did you mean "color"?'),
        ({"layers": [entry(thicknes=1)]}, 'layers[0] (core): unknown key "thicknes": did you mean "thickness"?'),
        ({"layers": [entry(zmim=1)]}, 'layers[0] (core): unknown key "zmim": did you mean "zmin"?'),
        ({"layers": [entry(material="si")]}, 'layers[0] (core): unknown key "material" (known keys: name, layer,'),
        ({"layer": [entry()]}, 'unknown key "layer": did you mean "layers"?'),
        ({"layers": [entry(), entry(name="m1", color="blu")]}, 'layers[1] (m1): "color": unknown colour \'blu\''),
        ({"layers": [entry(name="layer")]}, "layers[0] (layer): \"name\" cannot be 'layer': the name is reserved"),
        ({"layers": [entry(datatype=-1)]}, 'layers[0] (core): "datatype" must be an integer from 0 to 65535, not -1'),
        ({"layers": [entry(zmin=float("nan"))]}, 'layers[0] (core): "zmin" must be a number (micrometres), not NaN'),
        ({"layers": [entry(), entry()]}, "layers[1] (core): the name 'core' is already used by layers[0]"),
        ({"layers": [3]}, "layers[0]: is not an object"),
        ({}, '"layers" is missing'),
    ],
)
def test_check_names_the_entry_and_the_problem(data, problem):
    with pytest.raises(stacks.StackError) as error:
        stacks.check(data, "s.json")
    assert str(error.value).startswith(f"s.json: {problem}")


def test_entries_sharing_a_pair_are_aliases_as_in_the_layout_library(tmp_path):
    import velloc.technology as vlt

    data = {"name": "s", "layers": [entry(), entry(name="core2", zmin=1.0, color="#00ff00")]}
    path = tmp_path / "s.json"
    path.write_text(json.dumps(data))
    ours = lumino.get_layer_properties(*stacks.technology(stacks.check(data)))
    theirs = lumino.get_layer_properties(*vlt.read_layer_technology(path))
    assert repr(ours) == repr(theirs)


@shared
@pytest.mark.parametrize("path", GDS, ids=[p.name for p in GDS])
def test_auto_lists_every_layer_in_a_colour_of_its_own(path):
    summary = layout_info.summarize(path)
    data = stacks.check(stacks.auto(summary))
    listed = {pair for pair, c in summary.layers.items() if c.shapes or c.texts}
    assert {(e["layer"], e["datatype"]) for e in data["layers"]} == listed
    colours = [e["color"] for e in data["layers"]]
    assert len(set(colours)) == len(colours)
    assert [e["zmin"] for e in data["layers"]] == sorted({e["zmin"] for e in data["layers"]})
    for e in data["layers"]:  # a layer of texts only is a label, never drawn unless asked
        if not summary.layers[(e["layer"], e["datatype"])].shapes:
            assert e["purpose"] == "label"


@shared
@pytest.mark.parametrize(
    "gds, names",
    [
        ("tt_um_loopback.gds", {(67, 16): ("li1.pin", "pin"), (235, 4): ("prBoundary", "boundary"),
                                (81, 4): ("areaid.sc", "marker"), (68, 20): ("met1", "drawing"), (236, 0): ("L236_0", "drawing")}),
        ("RingResonator.gds", {(68, 0): ("DevRec", "marker"), (10, 0): ("Text", "label"), (1, 0): ("Si", "drawing"),
                               (69, 0): ("L69_0", "drawing")}),
    ],
)
def test_auto_names_and_hides_what_the_pdk_it_looks_like_marks(gds, names):
    summary = layout_info.summarize(DATA / "gds" / gds)
    data = stacks.auto(summary)
    made = {(e["layer"], e["datatype"]): (e["name"], stacks.purpose(e)) for e in data["layers"]}
    assert {pair: made[pair] for pair in names} == names
    shown = lumino.get_layer_properties(*stacks.technology(data))
    assert set(shown) == {pair for pair, (_, kind) in made.items() if kind == "drawing"}


@shared
def test_stack_for_a_layout_keeps_the_base_figures_and_adds_the_rest(tmp_path, capsys):
    gds = DATA / "gds" / "tt_um_loopback.gds"
    assert cli.main(["stack", str(gds), "--stack", "sky130"]) == 0
    text = capsys.readouterr().out
    mine = tmp_path / "mine.json"
    mine.write_text(text)
    made = {(e["layer"], e["datatype"]): e for e in stacks.read(mine)["layers"]}
    sky130 = {(e["layer"], e["datatype"]): e for e in stacks.builtin("sky130")["layers"]}
    summary = layout_info.summarize(gds)
    assert set(made) == {pair for pair, c in summary.layers.items() if c.shapes or c.texts}
    top = max(e["zmin"] + e["thickness"] for pair, e in made.items() if pair in sky130)
    kept = ("name", "zmin", "thickness", "color", "purpose", "published")
    for pair, e in made.items():
        if pair in sky130:
            assert {k: e.get(k) for k in kept} == {k: sky130[pair].get(k) for k in kept}
        else:
            assert e["note"] == "not in built-in stack sky130: height and colour made up"
            assert e["zmin"] > top  # above the file's highest known layer
    # With it, every layer with shapes is known: only the purposes left undrawn are named.
    assert cli.main(["lumino", str(gds), "--stack", str(mine), "--inbox", str(tmp_path)]) == 0
    assert capsys.readouterr().err == (
        "corvane lumino: warning: not drawn unless asked: pins on 5 layers (114 shapes), markers on 6 layers "
        "(57 shapes), boundaries on 1 layer (1 shape) (--show pins,markers,boundaries)\n"
    )


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["stack"], 2, "give a layout file, or --stack NAME|FILE to print that stack (see corvane stack --help)"),
        (["stack", "--stack", "detect"], 2, "give a layout file, or --stack NAME|FILE to print that stack (see corvane stack --help)"),
        (["stack", "--stack", "sky131"], 1, "no stack 'sky131': not a file, nor a built-in stack; did you mean 'sky130'? "
         "(built in: gf180mcu, ihp-sg13g2, photonics, siepic-ebeam, sky130; or auto, detect)"),
        (["stack", "--stack", "sky13O"], 1, "no stack 'sky13O': not a file, nor a built-in stack; did you mean 'sky130'? "
         "(built in: gf180mcu, ihp-sg13g2, photonics, siepic-ebeam, sky130; or auto, detect)"),
        (["stack", "--stack", "IHP"], 1, "no stack 'IHP': not a file, nor a built-in stack (built in: gf180mcu, "
         "ihp-sg13g2, photonics, siepic-ebeam, sky130; or auto, detect)"),
        (["stack", "--stack", "missing.json"], 1, "missing.json: no such layer-stack file"),
    ],
)
def test_stack_failures(argv, status, message, capsys):
    assert cli.main(argv) == status
    assert capsys.readouterr().err == f"corvane stack: error: {message}\n"


def test_stack_prints_a_built_in_stack_that_reads_back(tmp_path, capsys):
    assert cli.main(["stack", "--stack", "ihp-sg13g2"]) == 0
    path = tmp_path / "ihp.json"
    path.write_text(capsys.readouterr().out)
    assert stacks.read(path) == stacks.builtin("ihp-sg13g2")
    assert re.search(r'^    \{"name": "Metal1", "layer": 8, "datatype": 0,', path.read_text(), re.M)


def write_lyp(path):
    """A layer-properties file written by KLayout itself: a plain entry, one in a group,
    one with only a frame colour, and a second entry for a pair already given."""
    lay = pytest.importorskip("klayout.lay")
    view = lay.LayoutView()
    view.show_layout(kdb.Layout(), False)
    view.clear_layers()

    def node(source, name="", fill=None, frame=0x000000):
        n = lay.LayerPropertiesNode()
        n.source, n.name, n.frame_color = source, name, frame
        if fill is not None:
            n.fill_color = fill
        return n

    view.insert_layer(view.end_layers(), node("1/0@1", "Si", fill=0x5E8CFF))
    group = node("*/*@*", "metals")
    group.add_child(node("10/0@1", "layer", fill=0x00FF00))  # a reserved name: the colour is taken, not the name
    view.insert_layer(view.end_layers(), group)
    view.insert_layer(view.end_layers(), node("68/0@1", "DevRec", frame=0x123456))
    view.insert_layer(view.end_layers(), node("1/0@1", "again", fill=0xFF0000))
    view.save_layer_props(str(path))
    return path


def test_colours_from_a_klayout_layer_properties_file(tmp_path, capsys):
    lyp = write_lyp(tmp_path / "x.lyp")
    assert {pair: got for pair, got in stacks.lyp_layers(lyp).items() if pair in {(1, 0), (10, 0), (68, 0)}} == {
        (1, 0): ("Si", "#5e8cff"),
        (10, 0): ("layer", "#00ff00"),
        (68, 0): ("DevRec", "#123456"),
    }
    ring = DATA / "gds" / "RingResonator.gds"
    if not ring.exists():
        pytest.skip("example layouts (examples/gds) not present")
    assert cli.main(["stack", str(ring), "--stack", "auto", "--lyp", str(lyp)]) == 0
    made = {(e["layer"], e["datatype"]): e for e in json.loads(capsys.readouterr().out)["layers"]}
    assert (made[(1, 0)]["name"], made[(1, 0)]["color"], made[(1, 0)]["note"]) == ("Si", "#5e8cff", "colour from x.lyp")
    # Named as the PDK the ring looks like names them; the file's colours win.
    assert (made[(10, 0)]["name"], made[(10, 0)]["color"]) == ("Text", "#00ff00")
    assert (made[(68, 0)]["name"], made[(68, 0)]["color"], made[(68, 0)]["purpose"]) == ("DevRec", "#123456", "marker")
    assert "note" not in made[(69, 0)]  # not in the file: the made-up colour stays


def test_a_file_that_is_not_a_lyp_is_named(tmp_path, capsys):
    bad = tmp_path / "x.lyp"
    bad.write_text("<layers/>")
    gds = DATA / "gds" / "RingResonator.gds"
    if not gds.exists():
        pytest.skip("example layouts (examples/gds) not present")
    assert cli.main(["stack", str(gds), "--stack", "auto", "--lyp", str(bad)]) == 1
    assert capsys.readouterr().err == f"corvane stack: error: {bad}: not a KLayout layer-properties file (no <layer-properties>)\n"
