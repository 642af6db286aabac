"""From file to picture in one step; inbox files named after their layout; the inbox listed and cleaned."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from corvane import cli
from corvane.core import communication
from corvane.models import LuminoMessage
from corvane.viewer import headless

DATA = Path(__file__).resolve().parents[2] / "examples"
LOOPBACK = DATA / "gds" / "tt_um_loopback.gds"
shared = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")


def run(argv, capsys):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@shared
@pytest.mark.parametrize("z", ["1", "3"])
def test_view_of_a_layout_sends_what_lumino_sends_and_writes_its_page(tmp_path, capsys, z):
    status, out, _ = run(["lumino", LOOPBACK, "--stack", "sky130", "--z-scale", z, "--inbox", tmp_path / "a"], capsys)
    assert status == 0
    status, out, _ = run(["view", LOOPBACK, "--stack", "sky130", "--z-scale", z, "--inbox", tmp_path / "b"], capsys)
    assert status == 0
    (by_lumino,) = (tmp_path / "a").glob("tt_um_loopback-*.json")
    (message,) = (tmp_path / "b").glob("tt_um_loopback-*.json")
    assert message.read_bytes() == by_lumino.read_bytes()  # --z-scale means the same in both
    assert out.splitlines() == [
        f"message: {message} ({message.stat().st_size:,} bytes)",
        f"page: {message.with_suffix('.html')}",
    ]


@pytest.mark.parametrize(
    "shot, error",
    [("missing/out.png", "{t}/missing: no such folder for the screenshot"), ("out.jpg", "out.jpg: the screenshot must be a .png file")],
)
def test_screenshot_target_checked_before_any_work(tmp_path, capsys, shot, error):
    gds = DATA / "gds" / "tt_um_vga_clock.gds"
    target = shot if shot == "out.jpg" else str(tmp_path / shot)
    status, out, err = run(["view", gds, "--stack", "sky130", "--inbox", tmp_path, "--screenshot", target], capsys)
    assert (status, out) == (1, "")
    assert err == f"corvane view: error: {error.format(t=tmp_path)}\n"
    assert list(tmp_path.iterdir()) == []  # nothing converted


@pytest.mark.parametrize("option", [["--z-scale", "4"], ["--stack", "sky130"], ["--exclude", "met*"]])
def test_conversion_options_refused_for_a_message(tmp_path, capsys, option):
    message = tmp_path / "m.json"
    message.write_text('{"type": "data", "data": {"name": "Layers"}}')
    status, out, err = run(["view", message, *option], capsys)
    assert status == 2  # a usage error
    assert err.startswith(f"corvane view: error: {option[0]} applies when converting a layout (corvane view FILE.gds")
    assert err.endswith("(see corvane view --help)\n") and err.count("\n") == 1


@shared
def test_view_without_a_file_says_which_message_it_took(tmp_path, capsys):
    for gds in ("RingResonator.gds", "tt_um_loopback.gds"):
        stack = "sky130" if gds.startswith("tt") else "photonics"
        assert run(["lumino", DATA / "gds" / gds, "--stack", stack, "--inbox", tmp_path], capsys)[0] == 0
    status, out, _ = run(["view", "--inbox", tmp_path], capsys)
    newest = communication.inbox_messages(tmp_path)[-1]
    assert newest.name.startswith("tt_um_loopback-")
    first, page = out.splitlines()
    assert first.startswith(
        f"message: {newest} ({newest.stat().st_size:,} bytes; the newest of 2 in the inbox, layout tt_um_loopback, written "
    )
    assert page == f"page: {newest.with_suffix('.html')}"


@shared
@pytest.mark.skipif(headless.find_chromium() is None, reason="chromium not installed")
def test_view_of_a_layout_to_a_screenshot(tmp_path, capsys):
    shot = tmp_path / "ring.png"
    status, out, err = run(["view", DATA / "gds" / "RingResonator.gds", "--stack", "photonics", "--inbox", tmp_path,
                            "--screenshot", shot, "--size", "320x200"], capsys)
    assert status == 0, err
    assert out.splitlines()[-1] == f"screenshot: {shot}"
    assert shot.read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize(
    "name, stem",
    [
        ("tt_um_vga_clock", "tt_um_vga_clock"),
        ("../../etc/passwd", "etc_passwd"),
        ("/abs/olute", "abs_olute"),
        (".hidden name", "hidden_name"),
        ("", "layout"),
        ("x" * 100, "x" * 64),
    ],
)
def test_inbox_files_are_named_after_the_layout_and_stay_inside(tmp_path, name, stem):
    with communication.message_name(name):
        path = communication.write_to_inbox(LuminoMessage(content="{}"), tmp_path)
    assert path.parent == tmp_path and path.name.startswith(f"{stem}-")
    assert communication.message_layout(path) == stem
    assert communication.inbox_messages(tmp_path) == [path]
    # Outside the block, names are the time alone again.
    plain = communication.write_to_inbox(LuminoMessage(content="{}"), tmp_path)
    assert communication.message_layout(plain) is None and plain.name[0].isdigit()


def test_inbox_list_and_clean_touch_only_messages(tmp_path, capsys):
    old, new = [], []
    for k, name in enumerate(["a", "b", "c"]):
        with communication.message_name(name):
            path = communication.write_to_inbox(LuminoMessage(content="{}" + " " * k), tmp_path)
        path.with_suffix(".html").write_text("page")
        (old if k < 2 else new).append(path)
    new[0].with_suffix(".page").write_text("texts")  # the page's own data, beside the newest
    days_ago = time.time() - 3 * 86400
    for path in old:
        os.utime(path, (days_ago, days_ago))
    keep = tmp_path / "mine.json"  # not written by the inbox: never listed nor removed
    keep.write_text("{}")

    status, out, err = run(["inbox", "list", "--inbox", tmp_path], capsys)
    assert status == 0
    assert [line.split()[-1] for line in out.splitlines()[1:]] == [str(p) for p in old + new]
    assert [line.split()[-2] for line in out.splitlines()[1:]] == ["a", "b", "c"]
    # Sizes count the pages beside the messages (4 bytes each here) and the page data (5 bytes).
    assert [line.split()[2] for line in out.splitlines()[1:]] == ["6", "7", "13"]
    assert err.startswith(f"{tmp_path}: 3 messages, 26 bytes with their pages, the oldest written 3 days ago")

    status, out, _ = run(["inbox", "clean", "--older-than", "1", "--inbox", tmp_path], capsys)
    assert out == f"removed 2 messages (13 bytes with their pages) from {tmp_path}; 1 kept\n"
    assert sorted(tmp_path.iterdir()) == sorted([keep, *new, new[0].with_suffix(".html"), new[0].with_suffix(".page")])
    status, out, _ = run(["inbox", "clean", "--inbox", tmp_path], capsys)
    assert out == f"removed 1 message (13 bytes with their pages) from {tmp_path}; 0 kept\n"
    assert list(tmp_path.iterdir()) == [keep]


def test_version_and_a_light_import():
    import corvane

    done = subprocess.run([sys.executable, "-m", "corvane", "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout.startswith("corvane ") and done.stdout.split()[1][0].isdigit()
    heavy = ["klayout", "numpy", "shapely", "matplotlib", "networkx", "orjson", "velloc", "corvane.core.lumino"]
    probe = f"import sys, corvane.cli; print([m for m in {heavy!r} if m in sys.modules])"
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).parents[1])))
    assert done.stdout == "[]\n", done.stderr
