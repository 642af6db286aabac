"""The layout's texts beside the message: read flattened, embedded in the
page, drawn at their place when large enough, searched and flown to."""

from __future__ import annotations

import json

import klayout.db as kdb
import numpy as np
import pytest

from corvane import viewer
from corvane.viewer import headless, texts

from .test_browser import SIZE, message_text, painted
from .test_interaction import BLUE, image_of, with_user_script, write_stack

chromium = pytest.mark.skipif(headless.find_chromium() is None, reason="chromium not installed (scripts/setup.sh installs it)")


def labelled(tmp_path, size=5.0):
    """A 100 x 40 um box on L1 in "top"; cell "pad" holds a text "VDD" on
    1/5 at (2, 3) and a 4 um box on L2, placed at (60, 10) turned by 90
    degrees and at (10, 10) magnified 2; "top" has a text "clk" on 1/0 at
    (20, 30) of ``size`` um."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    pad = layout.create_cell("pad")
    pad.shapes(layout.layer(1, 5)).insert(kdb.DText("VDD", kdb.DTrans(kdb.DVector(2, 3)), 5.0, -1).to_itype(0.001))
    pad.shapes(layout.layer(2, 0)).insert(kdb.Box(0, 0, 4000, 4000))
    top = layout.create_cell("top")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 100000, 40000))
    top.shapes(layout.layer(1, 0)).insert(kdb.DText("clk", kdb.DTrans(kdb.DVector(20, 30)), size, -1).to_itype(0.001))
    top.insert(kdb.CellInstArray(pad.cell_index(), kdb.ICplxTrans(1, 90, False, 60000, 10000)))
    top.insert(kdb.CellInstArray(pad.cell_index(), kdb.ICplxTrans(2, 0, False, 10000, 10000)))
    path = tmp_path / "labelled.gds"
    layout.write(str(path))
    return path


def test_texts_are_flattened_into_top_cell_micrometres(tmp_path):
    layout = kdb.Layout()
    layout.read(str(labelled(tmp_path)))
    got = sorted(texts.layout_texts(layout)["texts"], key=lambda t: (t[3], t[0]))
    assert got == [
        [14.0, 16.0, 10.0, "VDD", 1, 5],  # magnified 2 at (10, 10)
        [57.0, 12.0, 5.0, "VDD", 1, 5],  # turned by 90 degrees at (60, 10)
        [20.0, 30.0, 5.0, "clk", 1, 0],
    ]
    assert texts.layout_texts(layout, most=1)["left_out"] == 2


def write_both(tmp_path, gds):
    message = tmp_path / "m.json"
    content = message_text(gds, write_stack(tmp_path), curve_tolerance=None)
    message.write_text(content)
    texts.write_page_data(gds, message)
    return message, content


def test_texts_travel_beside_the_message_and_into_the_page(tmp_path):
    message, content = write_both(tmp_path, labelled(tmp_path))
    assert message.read_text() == content  # the message as lumino sent it
    assert "VDD" not in content
    page = viewer.write_page(message).read_text()
    data = json.loads(page.split('id="corvane-page-data">', 1)[1].split("</script>", 1)[0])
    assert sorted(t[3] for t in data["texts"]) == ["VDD", "VDD", "clk"]


@chromium
@pytest.mark.parametrize(
    "size, fragment, drawn",
    [
        (5.0, "view=top", 3),  # 5 um at about 8 px per um
        (0.2, "view=top", 2),  # "clk" too small to read
        (5.0, "view=top&labels=off", 0),
        (5.0, "view=top&solo=L2", 0),  # L2 has no texts; L1 is not drawn
    ],
)
def test_labels_are_drawn_where_they_are_when_readable(tmp_path, size, fragment, drawn):
    message, _ = write_both(tmp_path, labelled(tmp_path, size))
    page = viewer.write_page(message)
    stats = headless.page_stats(page, size=SIZE, fragment=fragment)
    assert stats["labels"]["texts"] == 3 and stats["labels"]["drawn"] == drawn
    if "solo" in fragment:
        return
    # Dark text pixels just above and right of "clk" at (20, 30), placed by
    # the blue box (0..100 x 0..40 um) on the screenshot.
    image = image_of(headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment=fragment))
    rows, cols = np.nonzero(painted(image, BLUE))
    x = round(cols.min() + 0.2 * (cols.max() - cols.min()))
    y = round(rows.max() - 0.75 * (rows.max() - rows.min()))
    near = image[y - 30:y + 2, x - 2:x + 40]
    dark = np.all(near < 40, axis=-1).sum()
    assert bool(dark > 20) is (size == 5.0 and drawn > 0), dark


SEARCH = """
out.cells = v.find("PA").map((m) => [m.kind, m.name]);
out.labels = v.find("vdd").map((m) => [m.kind, m.name, m.at]);
await v.flyTo(v.find(QUERY)[0], true);
v.draw();
const canvas = document.getElementById("view");
out.centre = v.toScreen(AT).map((c, k) => c / [canvas.clientWidth, canvas.clientHeight][k]);
out.half = v.camera.half;
"""


@chromium
@pytest.mark.parametrize("query, at", [("pad", [58.0, 12.0, 1.0]), ("clk", [20.0, 30.0, 1.0])])
def test_search_finds_cells_and_labels_and_flies_there(tmp_path, query, at):
    message, _ = write_both(tmp_path, labelled(tmp_path))
    script = f"const QUERY = {json.dumps(query)}, AT = {json.dumps(at)};\n(async () => {{" + SEARCH + "})().then(() => {"
    page = viewer.write_page(message)
    text = page.read_text()
    user = (
        '<script>\ndocument.addEventListener("corvane-ready", () => {\n const v = window.corvaneViewer, out = {};\n'
        + script + '\n document.getElementById("corvane-stats").textContent = JSON.stringify(out); });\n});\n</script>\n'
    )
    page.write_text(text.replace("</body>", user + "</body>"))
    got = headless.page_stats(page, size=SIZE)
    assert got["cells"] == [["cell", "pad"]]
    assert sorted(got["labels"]) == [["label", "VDD", [14, 16]], ["label", "VDD", [57, 12]]]
    # Near the middle of the view, zoomed in on it.
    assert got["centre"] == pytest.approx([0.5, 0.5], abs=0.15)
    assert got["half"] < 40


@chromium
def test_hover_box_names_the_cell_and_its_path(tmp_path):
    message, _ = write_both(tmp_path, labelled(tmp_path))
    page = with_user_script(viewer.write_page(message), """
const [x, y] = v.toScreen([12, 12, 1.5]);
v.pick(x, y);
out.text = document.getElementById("pick").textContent;
""")
    text = headless.page_stats(page, size=SIZE, fragment="view=top")["text"]
    assert "cell pad\n" in text and "path top / pad\n" in text


def test_the_command_line_writes_the_texts_beside_the_message(tmp_path, capsys):
    from corvane import cli

    inbox = tmp_path / "inbox"
    gds = labelled(tmp_path)
    assert cli.main(["lumino", str(gds), "--stack", str(write_stack(tmp_path)), "--inbox", str(inbox), "--view"]) == 0
    (message,) = inbox.glob("*.json")
    assert sorted(t[3] for t in json.loads(message.with_suffix(".page").read_text())["texts"]) == ["VDD", "VDD", "clk"]
    assert 'id="corvane-page-data">{"texts":[[' in message.with_suffix(".html").read_text()
