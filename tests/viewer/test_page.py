"""The viewer page as a file: the message it embeds, where it is written."""

from __future__ import annotations

import json
import os
import re

import pytest

from corvane import viewer

EMBEDDED = re.compile(r'<script type="application/json" id="lumino-message">(.*?)</script>', re.S)


def embedded(page: str) -> str:
    (text,) = EMBEDDED.findall(page)
    return text


@pytest.mark.parametrize(
    "name",
    ["top", "</script><script>alert(1)</script>", "<!-- a comment", "a\u2028b", "\\</script>", "@SCRIPT@ @MESSAGE@"],
)
def test_any_cell_name_survives_embedding(name):
    content = json.dumps({"type": "data", "data": {"name": "Cells", "parts": [{"name": name, "id": "/Cells/" + name}]}})
    page = viewer.page_html(content)
    assert json.loads(embedded(page)) == json.loads(content)
    # The page keeps its own structure: one message, one script of ours.
    assert page.count("<script") == page.count("</script>") == 3  # with the page data


def test_page_needs_nothing_from_the_network():
    page = viewer.page_html('{"type": "data", "data": {}}')
    assert not re.search(r"(src|href)\s*=\s*[\"'](https?:)?//", page)
    assert "default-src 'none'" in page


@pytest.mark.parametrize(
    "content, problem",
    [
        (b"\x00\x01", "not JSON"),
        (b"[1, 2, 3]", 'not a viewer message (no "data" map)'),
        (b'{"type": "data", "data": [1]}', 'not a viewer message (no "data" map)'),
    ],
)
def test_write_page_refuses_what_is_not_a_message(tmp_path, content, problem):
    message = tmp_path / "m.json"
    message.write_bytes(content)
    with pytest.raises(viewer.MessageError, match=re.escape(problem)):
        viewer.write_page(message)
    assert list(tmp_path.iterdir()) == [message]


def test_write_page_goes_beside_the_message_or_where_asked(tmp_path):
    message = tmp_path / "20260101T000000.json"
    message.write_text('{"type": "data", "data": {"name": "Layers"}}')
    assert viewer.write_page(message) == tmp_path / "20260101T000000.html"
    assert viewer.write_page(message, tmp_path / "other.html").read_text() == (tmp_path / "20260101T000000.html").read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["20260101T000000.html", "20260101T000000.json", "other.html"]


def test_newest_message(tmp_path):
    assert viewer.newest_message(tmp_path / "missing") is None
    assert viewer.newest_message(tmp_path) is None
    for k, name in enumerate(["c.json", "a.json", "b.json"]):
        (tmp_path / name).write_text("{}")
        os.utime(tmp_path / name, ns=(k, k))
    (tmp_path / "z.html").write_text("")
    assert viewer.newest_message(tmp_path) == tmp_path / "b.json"


def test_every_script_file_is_package_data():
    from importlib import resources

    folder = resources.files("corvane.viewer")
    assert viewer.SCRIPTS[-1] == "viewer.js"  # the entry starts the viewer, so it runs last
    for name in viewer.SCRIPTS:
        assert folder.joinpath(name).is_file(), name
    # No script file of the folder is left out of the page.
    assert sorted(p.name for p in folder.iterdir() if p.name.endswith(".js")) == sorted(viewer.SCRIPTS)


def copy_assets(folder) -> None:
    from importlib import resources

    for name in (*viewer.SCRIPTS, "viewer.html"):
        (folder / name).write_text(resources.files("corvane.viewer").joinpath(name).read_text(encoding="utf-8"))


def test_page_takes_every_file_from_the_assets_folder(tmp_path):
    copy_assets(tmp_path)
    for name in viewer.SCRIPTS:
        path = tmp_path / name
        path.write_text(path.read_text() + f"\n// marker of {name}\n")
    page = viewer.page_html('{"type": "data", "data": {}}', assets=tmp_path)
    at = [page.index(f"// marker of {name}") for name in viewer.SCRIPTS]
    assert at == sorted(at)  # all of them, in their order, in one script element
    assert page.count("<script") == 3


@pytest.mark.parametrize("missing", ["page.js", "renderer.js", "viewer.js", "viewer.html"])
def test_assets_folder_without_a_file_is_an_error(tmp_path, missing):
    copy_assets(tmp_path)
    (tmp_path / missing).unlink()
    with pytest.raises(FileNotFoundError, match=re.escape(missing)):
        viewer.page_html('{"type": "data", "data": {}}', assets=tmp_path)


@pytest.mark.parametrize("text", ['const s = "</script>";', "// see </SCRIPT >"])
def test_script_that_would_end_the_element_is_refused(tmp_path, text):
    copy_assets(tmp_path)
    (tmp_path / "tree.js").write_text(text)
    with pytest.raises(ValueError, match="tree.js"):
        viewer.page_html('{"type": "data", "data": {}}', assets=tmp_path)
