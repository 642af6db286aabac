"""A layout file is read as the file it names, whatever its name, by every command and on
both roads (the direct reader, KLayout): no prefix of the name runs, fetches or opens
anything else, and what cannot be read as a layout (a FIFO, a device, a directory) is
refused at once."""

from __future__ import annotations

import os
import subprocess
import sys
import types
from pathlib import Path

import klayout.db as kdb
import pytest

from corvane import cli
from corvane.core import lumino

# Each would be a command, a URL, a resource or another file to KLayout given as it is.
ODD_NAMES = [
    "pipe:touch X;cat ring.gds #.gds",
    "http:ring.gds",
    "file:ring.gds",
    ":ring.gds",
    "ring.gds[OASIS]",
]


def ring(folder: Path) -> Path:
    layout = kdb.Layout()
    top = layout.create_cell("TOP")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 2000, 1000))
    top.shapes(layout.layer(2, 0)).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(500, 900), kdb.Point(900, 0)]))
    path = folder / "ring.gds"
    layout.write(str(path))
    return path


def command(name: str, gds: str, out: Path) -> list[str]:
    return {
        "layers": ["layers", gds, "--stack", "auto"],
        "lumino": ["lumino", gds, "--stack", "auto", "--inbox", str(out)],
        "export": ["export", gds, str(out / "x.glb"), "--stack", "auto"],
        "view": ["view", gds, "--stack", "auto", "--inbox", str(out)],
    }[name]


def made(out: Path, name: str = "ring.gds") -> list:
    """The messages and 3D files written, the 3D file's JSON with the layout's name put back."""
    found = []
    for p in sorted(out.glob("*")):
        data = p.read_bytes()
        if p.suffix == ".glb":
            size = int.from_bytes(data[12:16], "little")
            text = data[20 : 20 + size].decode().rstrip().replace(f'"file":"{name}"', '"file":"ring.gds"')
            found.append((text, data[20 + size :]))
        elif p.suffix == ".json":
            found.append(data)
    return found


@pytest.fixture(params=["direct", "klayout"])
def road(request, monkeypatch):
    """The direct reader, or KLayout's read (the reader's name rebound, its summary declining)."""
    if request.param == "klayout":
        monkeypatch.setattr(lumino, "pya", types.SimpleNamespace(Layout=kdb.Layout))
        monkeypatch.setattr(lumino, "_layout_summary", lambda *a, **k: (None, "declined"))
    return request.param


@pytest.mark.parametrize("name", ODD_NAMES)
@pytest.mark.parametrize("what", ["layers", "lumino", "export", "view"])
def test_every_command_reads_the_file_it_names(tmp_path, monkeypatch, capsys, road, what, name):
    folder = tmp_path / "work"
    folder.mkdir()
    plain = ring(folder)
    (folder / name).write_bytes(plain.read_bytes())
    monkeypatch.chdir(folder)
    expected_out, odd_out = tmp_path / "plain", tmp_path / "odd"
    expected_out.mkdir(), odd_out.mkdir()
    assert cli.main(command(what, "ring.gds", expected_out)) == 0, capsys.readouterr().err
    expected = capsys.readouterr().out
    assert cli.main(command(what, name, odd_out)) == 0, capsys.readouterr().err
    got = capsys.readouterr().out
    assert not (folder / "X").exists()  # the pipe's command never ran
    assert made(odd_out, name) == made(expected_out)
    if what == "layers":
        assert got.replace(name, "ring.gds") == expected


@pytest.mark.parametrize("name", ODD_NAMES[:2])
def test_the_installed_command_reads_the_file_it_names(tmp_path, name):
    plain = ring(tmp_path)
    (tmp_path / name).write_bytes(plain.read_bytes())
    run = subprocess.run([sys.executable, "-m", "corvane", "layers", name, "--stack", "auto"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "cells: 1; top cell: TOP" in run.stdout
    assert not (tmp_path / "X").exists()


@pytest.mark.parametrize("what", ["layers", "lumino", "export", "view"])
@pytest.mark.parametrize("kind", ["fifo", "directory", "/dev/null", "/dev/zero"])
def test_what_is_not_a_regular_file_is_refused_at_once(tmp_path, kind, what):
    if kind == "fifo":
        target = tmp_path / "x.gds"
        os.mkfifo(target)
    elif kind == "directory":
        target = tmp_path / "x.gds"
        target.mkdir()
    else:
        if not os.path.exists(kind):
            pytest.skip(f"{kind} is absent")
        target = Path(kind)
    # A FIFO nobody writes to would block its reader for ever: the timeout fails the test.
    (tmp_path / "out").mkdir()
    run = subprocess.run([sys.executable, "-m", "corvane", *command(what, str(target), tmp_path / "out")],
                         cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    assert run.stderr.endswith(f": {target}: not a file\n")


@pytest.mark.parametrize("what", ["layers", "lumino", "export", "view"])
def test_a_unit_that_is_not_positive_is_one_line(tmp_path, monkeypatch, capsys, what):
    from lumino import gdsstream as g  # tests/lumino's stream writer

    (tmp_path / "out").mkdir()
    gds = tmp_path / "unit.gds"
    gds.write_bytes(g.library(g.structure("TOP", g.boundary(1, 0, [(0, 0), (0, 10), (10, 10), (10, 0)])), dbu_meter=0.0))
    assert cli.main(command(what, str(gds), tmp_path / "out")) == 1
    err = capsys.readouterr().err
    assert err == f"corvane {what}: error: {gds}: cannot read the layout: database unit not positive (0 um)\n"
