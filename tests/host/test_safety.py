"""The static analyser reads code without running it; the default message
transport writes only inside its inbox and loses nothing when processes
deliver at once."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from corvane.core import communication, weftnet
from corvane.models import LuminoMessage
from corvane.weftnet import generate_call_graph

# Every place where importing or calling would run code: module level, a
# package's __init__, decorators, default values, class bodies, a __main__.
HOSTILE = {
    "__init__.py": "import pathlib\npathlib.Path({marker!r}, 'init').write_text('ran')\n",
    "cells.py": textwrap.dedent(
        """
        import pathlib
        from functools import partial

        def pdk_device(f):
            pathlib.Path({marker!r}, "decorator").write_text("ran")
            return f

        def touch(name):
            pathlib.Path({marker!r}, name).write_text("ran")
            return name

        @pdk_device
        def straight(length=touch("default")):
            return touch("body")

        @pdk_device
        def bend(radius=10.0):
            return straight(length=radius)

        class Body:
            touch("class body")

        touch("module")
        """
    ),
    "__main__.py": "import pathlib\npathlib.Path({marker!r}, 'main').write_text('ran')\n",
}


def test_the_analyser_never_runs_the_code_it_reads(tmp_path):
    marker = tmp_path / "markers"
    marker.mkdir()
    lib = tmp_path / "hostile_lib"
    lib.mkdir()
    for name, text in HOSTILE.items():
        (lib / name).write_text(text.format(marker=str(marker)))
    data = generate_call_graph({"hostile_lib": str(lib)})
    G = weftnet.create_weftnet(lib_paths={"hostile_lib": lib})  # through the analyser as well
    assert list(marker.iterdir()) == []
    assert "hostile_lib" not in sys.modules and "hostile_lib.cells" not in sys.modules
    # and it did read it
    assert data["functions"]["hostile_lib.cells.bend"]["resolved_calls"] == ["hostile_lib.cells.straight"]
    assert sorted(G.nodes) == ["bend", "straight"]


class Named:
    """A message with names a transport might be tempted to use as a path."""

    def __init__(self, content, name):
        self.content, self.name, self.path, self.filename = content, name, name, name


@pytest.mark.parametrize(
    "message",
    [
        Named('{"name": "../../escaped"}', "../../escaped.json"),
        Named('{"path": "/tmp/absolute"}', "/tmp/absolute.json"),
        Named("{}", "..\\..\\windows.json"),
        LuminoMessage(content=json.dumps({"id": "/Cells/../../../etc/passwd", "n": "\x00\u202e"})),
        LuminoMessage(content="x" * (48 * 1024 * 1024)),  # a large message is written whole
    ],
    ids=["relative", "absolute", "backslashes", "content", "large"],
)
def test_the_inbox_writer_writes_only_inside_its_inbox(tmp_path, message):
    inbox = tmp_path / "deep" / "inbox"
    before = {p for p in Path("/tmp").glob("absolute*")}
    path = communication.write_to_inbox(message, inbox)
    assert path.parent == inbox and path.suffix == ".json"
    assert sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.is_file()) == [path.relative_to(tmp_path)]
    assert path.read_bytes() == message.content.encode("utf-8")
    assert {p for p in Path("/tmp").glob("absolute*")} == before


SENDER = """
import sys, time
from corvane.core import communication
from corvane.models import LuminoMessage

inbox, who, count, start = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
communication.set_inbox(inbox)
while time.time() < start:
    pass
for k in range(count):
    communication.send_message(LuminoMessage(content='{"from": "%s", "k": %d}' % (who, k)))
"""


def test_two_processes_delivering_at_once_lose_no_message(tmp_path):
    import time

    inbox, count = tmp_path / "inbox", 300
    start = time.time() + 1.5  # both start writing together
    procs = [
        subprocess.Popen([sys.executable, "-c", SENDER, str(inbox), who, str(count), str(start)])
        for who in ("a", "b")
    ]
    assert [p.wait(timeout=120) for p in procs] == [0, 0]
    files = sorted(inbox.iterdir())
    assert len(files) == 2 * count and all(f.suffix == ".json" for f in files)  # no partial files left
    got = [json.loads(f.read_text()) for f in files]
    for who in ("a", "b"):  # each sender's messages, complete and in its order
        assert [m["k"] for m in got if m["from"] == who] == list(range(count))
