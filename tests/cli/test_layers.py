"""What a layout holds, counted once per cell, and what the stack shows of it."""

from __future__ import annotations

import re
from pathlib import Path

import klayout.db as kdb
import pytest

from corvane import cli, layout_info

DATA = Path(__file__).resolve().parents[2] / "examples"
GDS = sorted((DATA / "gds").glob("*.gds")) if (DATA / "gds").is_dir() else []
shared = pytest.mark.skipif(not GDS, reason="example layouts (examples/gds) not present")


def counts_read_apart(path):
    """Shapes per pair from a read without texts, texts as what a full read adds."""
    def per_pair(text_enabled):
        options = kdb.LoadLayoutOptions()
        options.text_enabled = text_enabled
        layout = kdb.Layout()
        layout.read(str(path), options)
        out = {}
        for index in layout.layer_indices():
            info = layout.get_info(index)
            n = sum(cell.shapes(index).size() for cell in layout.each_cell())
            out[(info.layer, info.datatype)] = out.get((info.layer, info.datatype), 0) + n
        return out

    everything, shapes = per_pair(True), per_pair(False)
    return {pair: (shapes.get(pair, 0), n - shapes.get(pair, 0)) for pair, n in everything.items()}


@shared
@pytest.mark.parametrize("path", GDS, ids=[p.name for p in GDS])
def test_summary_counts_each_cell_once_and_texts_apart(path):
    summary = layout_info.summarize(path)
    assert {pair: (c.shapes, c.texts) for pair, c in summary.layers.items()} == counts_read_apart(path)
    assert list(summary.layers) == sorted(summary.layers)
    quick = layout_info.summarize(path, texts=False)  # read without texts: the same shapes
    assert {p: c.shapes for p, c in quick.layers.items() if c.shapes} == {
        p: c.shapes for p, c in summary.layers.items() if c.shapes
    }
    assert quick.texts == 0 and (quick.top_cells, quick.depth) == (summary.top_cells, summary.depth)


def nested_layout(path):
    """Two top cells; one places a cell that places a cell: three levels."""
    layout = kdb.Layout()
    leaf, mid, top, other = (layout.create_cell(n) for n in ("leaf", "mid", "top", "other"))
    l1, l2 = layout.layer(1, 0), layout.layer(2, 5)
    leaf.shapes(l1).insert(kdb.Box(0, 0, 100, 100))
    leaf.shapes(l1).insert(kdb.Text("pin", kdb.Trans()))
    mid.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(), kdb.Vector(200, 0), kdb.Vector(0, 200), 10, 10))
    top.insert(kdb.CellInstArray(mid.cell_index(), kdb.Trans(kdb.Vector(5000, 0))))
    top.shapes(l2).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(1000, 0)], 50))
    other.shapes(l2).insert(kdb.Polygon(kdb.Box(0, 0, 10, 10)))
    layout.write(str(path))
    return path


def test_summary_of_a_hierarchy(tmp_path):
    summary = layout_info.summarize(nested_layout(tmp_path / "nested.gds"))
    assert sorted(summary.top_cells) == ["other", "top"]
    assert summary.depth == 2 and summary.cells == 4
    # The leaf is placed 100 times and counted once.
    assert [(c.pair, c.shapes, c.texts) for c in summary.layers.values()] == [((1, 0), 1, 1), ((2, 5), 2, 0)]


def test_layers_lists_every_pair_with_what_shows_it(tmp_path, capsys):
    gds = nested_layout(tmp_path / "nested.gds")
    stack = tmp_path / "s.json"
    stack.write_text(
        '{"layers": [{"name": "core", "layer": 1, "datatype": 0, "zmin": 0.5, "thickness": 0.22, "color": "red"},'
        ' {"name": "hidden", "layer": 2, "datatype": 5, "zmin": 0, "thickness": 1}]}'
    )
    assert cli.main(["layers", str(gds), "--stack", str(stack)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[1] == "cells: 4; top cells: other, top; hierarchy depth: 2; database unit: 0.001 um"
    assert out[2] == "shown by: stack file s.json"
    rows = [re.split(r"\s{2,}", line) for line in out[3:-1]]
    assert rows == [
        ["layer", "shapes", "texts", "shown", "name", "purpose", "zmin", "thickness", "color", "published"],
        ["(1, 0)", "1", "1", "yes", "core", "drawing", "0.5", "0.22", "#ff0000"],
        ["(2, 5)", "2", "0", "no (no colour)", "hidden", "drawing", "0", "1"],
    ]
    assert out[-1] == "3 shapes on 2 layers, 1 shown on 1; 1 text (never drawn); each cell counted once"


@shared
def test_layers_writes_counts_with_thousands_separators(capsys):
    assert cli.main(["layers", str(DATA / "gds" / "tt_um_vga_clock.gds"), "--stack", "sky130"]) == 0
    out = capsys.readouterr().out
    assert re.search(r"^\(68, 20\)\s+11,633\s+0\s+yes\s+met1\s+drawing\s+1.3761\s+0.36\s+#5e8cff\s+met1.drawing$", out, re.M)
    assert re.search(r"^\(68, 16\)\s+162\s+0\s+no \(pin: --show pins\)\s+met1.pin\s+pin\s+1.7361\s+0.01\s+#f2f2f2$", out, re.M)
    assert re.search(r"^\(235, 4\)\s+1\s+0\s+no \(boundary: --show boundaries\)\s+prBoundary\s+boundary\s.*prBndry.boundary$", out, re.M)
    assert re.search(r"^\(68, 5\)\s+0\s+719\s+no \(label, texts only\)\s+met1.label\s+label\s", out, re.M)
    assert re.search(r"^\(236, 0\)\s+76\s+0\s+no \(not in the stack\)$", out, re.M)
    assert "top cell: tt_um_vga_clock;" in out
