"""Reading a library's files: what is not a regular file is skipped and recorded, never waited on."""

import json
import os
import socket
import subprocess
import sys

import pytest

from corvane.weftnet import generate_call_graph

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs on this platform")


def analyse_in_child(paths):
    """The analyser in a child process with a time limit: a blocking read must not hang the tests."""
    code = "import json, sys\nfrom corvane.weftnet import generate_call_graph\n"
    code += "print(json.dumps(generate_call_graph(json.loads(sys.argv[1]))))\n"
    run = subprocess.run(
        [sys.executable, "-c", code, json.dumps(paths)], capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def make_odd(path, kind, tmp_path):
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        sock = socket.socket(socket.AF_UNIX)
        try:
            sock.bind(str(path))
        except OSError:
            pytest.skip("cannot bind a UNIX socket here")
        finally:
            sock.close()
    elif kind == "device":
        path.symlink_to("/dev/zero")
    elif kind == "dangling-link":
        path.symlink_to(tmp_path / "nowhere.py")


@pytest.mark.parametrize("kind", ["fifo", "device", "socket", "dangling-link"])
def test_files_that_are_not_regular_are_skipped_and_recorded(tmp_path, kind):
    lib = tmp_path / "proj"
    lib.mkdir()
    (lib / "good.py").write_text("def fine(): pass\n")
    make_odd(lib / "odd.py", kind, tmp_path)
    graph = analyse_in_child({"proj": str(lib)})
    assert list(graph["functions"]) == ["proj.good.fine"]
    odd = graph["modules"]["proj.odd"]
    assert odd["path"] == str(lib / "odd.py")
    assert len(odd["errors"]) == 1
    if kind in ("fifo", "device"):
        assert "not a regular file" in odd["errors"][0]


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_a_library_that_is_one_odd_file(tmp_path, kind):
    make_odd(tmp_path / "single.py", kind, tmp_path)
    assert analyse_in_child({"lib": str(tmp_path / "single.py")}) == {}  # nothing could be parsed


def test_a_folder_named_like_a_module_is_no_module(tmp_path):
    lib = tmp_path / "proj"
    lib.mkdir()
    (lib / "good.py").write_text("def fine(): pass\n")
    (tmp_path / "folder").mkdir()
    (lib / "odd.py").symlink_to(tmp_path / "folder")
    graph = generate_call_graph({"proj": str(lib)})
    assert list(graph["modules"]) == ["proj.good"]
