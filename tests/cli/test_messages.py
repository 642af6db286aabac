"""Every failure of the command line is one line naming the problem, usage errors exit
2, and the inbox says what it holds; view keeps the newest messages of a layout."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import klayout.db as kdb
import pytest

from corvane import cli
from corvane.core import communication
from corvane.models import LuminoMessage

from .test_cli import corvane

DATA = Path(__file__).resolve().parents[2] / "examples"


def small_layout(path: Path) -> Path:
    layout = kdb.Layout()
    top = layout.create_cell("top")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 500))
    top.shapes(layout.layer(68, 0)).insert(kdb.Box(-100, -100, 1100, 600))  # DevRec
    top.shapes(layout.layer(99, 0)).insert(kdb.Box(-200, -200, 1200, 700))  # FloorPlan
    layout.write(str(path))
    return path


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["export", "{gds}"], 2, "corvane export: error: the following arguments are required: OUT.glb "
         "(see corvane export --help)"),
        (["export", "{gds}", "/proc/x.glb"], 1, "corvane export: error: /proc/x.glb: cannot write the 3D file there: "),
        (["lumino", "{gds}", "--inbox", "/proc/inbox"], 1, "corvane lumino: error: /proc/inbox: cannot use it as the "
         "inbox: "),
        (["lumino", "{gds}", "--stack", "{gds}"], 1, "corvane lumino: error: {gds}: a layout file, not a layer stack "
         "(--stack takes a built-in name, a .json layer-stack file, auto or detect; the layout goes before the options)"),
        (["lumino", "{gds}", "--stack", "{bin}"], 1, "corvane lumino: error: {bin}: not a layer-stack file: not UTF-8 "
         "text (a layout or other binary file?)"),
        (["lumino", "{gds}", "--stack", "{tmp}"], 1, "corvane lumino: error: {tmp}: a folder, not a layer-stack file"),
        (["lumino", "{gds}", "--stack", "sky13O"], 1, "corvane lumino: error: no stack 'sky13O': not a file, nor a "
         "built-in stack; did you mean 'sky130'?"),
        (["lumino", "{gds}", "--stack", "photonic"], 1, "did you mean 'photonics'?"),
        (["lumino", "{gds}", "--show", "pinz"], 2, "corvane lumino: error: argument --show: nothing called 'pinz' to "
         "show (did you mean 'pins'?)"),
        (["inbox", "list", "--inbox", "{tmp}/missing"], 1, "corvane inbox: error: {tmp}/missing: no such inbox folder"),
        (["inbox", "clean", "--inbox", "{tmp}/missing"], 1, "corvane inbox: error: {tmp}/missing: no such inbox folder"),
        (["view", "--inbox", "{tmp}/missing"], 1, "corvane view: error: {tmp}/missing: no such inbox folder"),
        (["view", "{tmp}/m.json", "--inbox", "{tmp}"], 2, "corvane view: error: give a message file or --inbox, not "
         "both (see corvane view --help)"),
        (["view", "{gds}", "--keep", "-1"], 2, "argument --keep: must not be negative: '-1'"),
    ],
    ids=["export-no-out", "export-proc", "inbox-proc", "stack-gds", "stack-binary", "stack-folder", "stack-typo",
         "stack-typo-2", "show-typo", "inbox-list-missing", "inbox-clean-missing", "view-missing", "view-both", "keep-negative"],
)
def test_failures_are_one_line_with_the_right_status(tmp_path, argv, status, message):
    if "/proc/" in " ".join(argv) and not Path("/proc/self").is_dir():
        pytest.skip("needs Linux's /proc, where no file can be made")
    gds = small_layout(tmp_path / "ring.gds")
    (tmp_path / "junk.bin").write_bytes(bytes(range(256)))
    (tmp_path / "m.json").write_text('{"type": "data", "data": {"name": "Layers"}}')
    values = {"gds": gds, "bin": tmp_path / "junk.bin", "tmp": tmp_path}
    run = corvane(*[a.format(**values) for a in argv], home=tmp_path)
    assert run.returncode == status
    assert run.stdout == ""
    assert len(run.stderr.splitlines()) == 1, run.stderr
    assert "Traceback" not in run.stderr and "Error:" not in run.stderr
    assert message.format(**values) in run.stderr


def test_the_default_inbox_not_made_yet_is_no_error(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(communication, "default_inbox", lambda: tmp_path / "never")
    assert cli.main(["inbox", "list"]) == 0
    assert capsys.readouterr().err == f"{tmp_path / 'never'}: no messages yet (the folder does not exist)\n"


def write_messages(inbox: Path, layout: str, n: int) -> list[Path]:
    written = []
    for k in range(n):
        with communication.message_name(layout):
            path = communication.write_to_inbox(LuminoMessage(content="{}"), inbox)
        communication.message_page(path).write_text("page")
        os.utime(path, ns=(10**9 * (k + 1), 10**9 * (k + 1)))
        written.append(path)
    return written


@pytest.mark.parametrize("keep, left", [(0, 4), (1, 1), (3, 3), (9, 4)])
def test_prune_keeps_the_newest_messages_of_one_layout(tmp_path, keep, left):
    mine = write_messages(tmp_path, "ring", 4)
    other = write_messages(tmp_path, "logo", 2)
    removed = communication.prune_inbox("ring", keep, tmp_path) if keep else []
    assert removed == mine[: 4 - left]
    assert set(communication.inbox_messages(tmp_path)) == set(mine[4 - left:] + other)
    assert all(not communication.message_page(p).exists() for p in removed)
    with pytest.raises(ValueError):
        communication.prune_inbox("ring", -1, tmp_path)


@pytest.mark.parametrize("option, left", [([], 5), (["--keep", "2"], 2), (["--keep", "0"], 7)])
def test_view_keeps_the_newest_messages_of_the_layout(tmp_path, capsys, option, left):
    gds = small_layout(tmp_path / "ring.gds")
    inbox = tmp_path / "inbox"
    older = write_messages(inbox, "ring", 6)
    other = write_messages(inbox, "logo", 1)
    assert cli.main(["view", str(gds), "--inbox", str(inbox), *option]) == 0
    captured = capsys.readouterr()
    ring = [p for p in communication.inbox_messages(inbox) if communication.message_layout(p) == "ring"]
    assert len(ring) == left and ring[-1] not in older  # the new message stays, the oldest go
    assert other[0].exists()
    if left < 7:
        assert f"removed {7 - left} older message" in captured.err and "--keep N" in captured.err
