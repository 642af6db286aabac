"""The live viewer's server over HTTP: the token, the events, reloading on save, nets, Ctrl-C."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

import klayout.db as kdb
import pytest

from corvane import cli
from corvane.serve import ConversionOptions, LiveServer, LoadError

from .conftest import STACK, get, two_metal_layout, wait_until, write_layout

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def served(tmp_path, stack_file):
    path = write_layout(two_metal_layout(), tmp_path / "chip.gds")
    server = LiveServer(path, ConversionOptions(stack=str(stack_file)), say=lambda text: None)
    server.start()
    yield server, path
    server.stop()


class Events:
    """The server's event stream, read in a thread: the states it sent, in order."""

    def __init__(self, url: str) -> None:
        self.states: list[dict] = []
        self._response = urllib.request.urlopen(url + "events", timeout=60)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        kind = None
        try:
            for raw in self._response:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: ") and kind == "state":
                    self.states.append(json.loads(line[6:]))
        except (OSError, ValueError, AttributeError):  # closed under the reader by close()
            pass

    def close(self) -> None:
        self._response.close()


def _token_variants(token: str) -> list[str]:
    return ["/", "/favicon.ico", f"/{token[:-1]}/", f"/{token}x/", f"/x{token}/", f"/{token.upper()}/page/1", "/page/1"]


@pytest.mark.parametrize("variant", range(7))
def test_an_address_without_the_token_is_refused(served, variant):
    server, _ = served
    path = _token_variants(server.token)[variant]
    status, body = get(f"http://127.0.0.1:{server.port}{path}")
    assert status == 403 and b"token" in body


@pytest.mark.parametrize(
    "path, kind",
    [("", b"<!doctype html>"), ("page/1", b"lumino-message"), ("message/1", b'"data"'), ("data/1", b'"net_a"')],
)
def test_the_token_opens_the_shell_the_page_and_the_message(served, path, kind):
    server, _ = served
    status, body = get(server.url + path)
    assert status == 200 and kind in body[:200_000]


def test_the_served_page_may_ask_its_own_server_and_knows_its_version(served):
    _, body = get(served[0].url + "page/1")
    text = body.decode()
    policy = re.search(r'Content-Security-Policy" content="([^"]*)"', text).group(1)
    assert "connect-src 'self'" in policy and "default-src 'none'" in policy
    config = json.loads(re.search(r'<script type="application/json" id="corvane-live">(.*?)</script>', text).group(1))
    assert config == {"net": "../net", "version": 1, "nets": True}


@pytest.mark.parametrize("host", ["evil.example", "127.0.0.1.evil.example", "192.168.1.7"])
def test_other_host_names_are_refused(served, host):
    status, _ = get(served[0].url, host=host)
    assert status == 400


def test_the_server_listens_on_the_loopback_address_only(served):
    assert served[0]._socket.getsockname()[0] == "127.0.0.1"


def test_a_save_sends_the_new_version_and_its_page(served):
    server, path = served
    events = Events(server.url)
    try:
        wait_until(lambda: events.states)
        assert events.states[0]["version"] == 1 and events.states[0]["error"] is None
        write_layout(two_metal_layout(extra_boxes=3), path)
        state = wait_until(lambda: next((s for s in events.states if s["version"] == 2), None))
        assert state["page"] == "page/2" and state["nets"] is True
        status, message = get(server.url + "message/2")
        assert status == 200 and len(json.loads(message)["data"]["instances"]) > len(json.loads(get(server.url + "message/1")[1])["data"]["instances"])
    finally:
        events.close()


def test_a_save_keeps_the_last_versions_pages_and_their_data_agree(served):
    server, path = served
    events = Events(server.url)
    try:
        for k in range(1, 5):
            write_layout(two_metal_layout(extra_boxes=k), path)
            wait_until(lambda: any(s["version"] == k + 1 for s in events.states))
        # The last few versions stay (a shell may still ask); older ones are gone.
        assert get(server.url + "data/1")[0] == 410 and get(server.url + "message/1")[0] == 410
        for number in (3, 4, 5):
            status, page = get(server.url + f"page/{number}")
            texts = json.loads(get(server.url + f"data/{number}")[1])
            assert status == 200 and [t[3] for t in texts["texts"]] == ["net_a"]
            assert b'"net_a"' in page and f'"version": {number}'.encode() in page
        state = events.states[-1]
        assert (state["message"], state["data"]) == ("message/5", "data/5")
    finally:
        events.close()


def test_a_broken_save_keeps_the_last_version_and_says_why(served):
    server, path = served
    events = Events(server.url)
    try:
        wait_until(lambda: events.states)
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2])  # cut short, as a tool that stopped writing leaves it
        state = wait_until(lambda: next((s for s in events.states if s["error"]), None))
        assert state["version"] == 1
        assert state["error"]["text"].startswith(f"{path}: cannot read the layout")
        assert get(server.url + "page/1")[0] == 200
        write_layout(two_metal_layout(extra_boxes=1), path)
        mended = wait_until(lambda: next((s for s in events.states if s["version"] == 2), None))
        assert mended["error"] is None
    finally:
        events.close()


def test_a_file_written_in_pieces_shows_only_once_complete(served):
    server, path = served
    events = Events(server.url)
    try:
        wait_until(lambda: events.states)
        data = two_metal_layout(extra_boxes=2).write_bytes(kdb.SaveLayoutOptions())
        with path.open("wb") as f:  # a writer that pauses half way, shorter than a broken file is waited for
            for k in range(4):
                f.write(data[k * len(data) // 4 : (k + 1) * len(data) // 4])
                f.flush()
                time.sleep(0.08)
        wait_until(lambda: any(s["version"] == 2 for s in events.states))
        time.sleep(1.0)  # whatever else was going to come
        assert [s["error"] for s in events.states] == [None] * len(events.states)
        assert max(s["version"] for s in events.states) == 2
        assert get(server.url + "message/2")[1] == get(server.url + "message/2")[1]
    finally:
        events.close()


def test_a_file_replaced_by_renaming_is_followed(served):
    server, path = served
    events = Events(server.url)
    try:
        wait_until(lambda: events.states)
        fresh = write_layout(two_metal_layout(extra_boxes=4), path.with_name(".chip.gds.tmp"))
        os.replace(fresh, path)
        wait_until(lambda: any(s["version"] == 2 for s in events.states))
    finally:
        events.close()


def net(server, **query) -> tuple[int, dict]:
    values = {"v": "1", "x": "5", "y": "1", "layer": "met1 (68, 20)", "cell": "top"} | query
    status, body = get(server.url + "net?" + urllib.parse.urlencode(values))
    return status, json.loads(body)


def test_a_net_is_traced_at_a_point_of_the_version_shown(served):
    status, found = net(served[0])
    assert status == 200
    assert (found["name"], found["shapes"], found["texts"], found["version"]) == ("net_a", 5, 1, 1)
    assert found["bbox"] == pytest.approx([0, 0, 60, 20])


@pytest.mark.parametrize(
    "query, status, said",
    [
        ({"v": "7"}, 409, "the layout changed: version 1 is shown now"),
        ({"x": "nan"}, 400, "must be finite"),
        ({"x": "five"}, 400, "must be numbers"),
        ({"layer": "met1"}, 400, "layer must be named"),
        ({"layer": "(70, 20)"}, 422, "is in none of the stack's connections"),
        ({"x": "40", "y": "30"}, 422, "no shape on met1 (68, 20) at x 40, y 30 um"),
        ({"cell": "nowhere"}, 422, "no cell 'nowhere'"),
    ],
)
def test_a_net_request_that_cannot_be_answered_says_why(served, query, status, said):
    got, found = net(served[0], **query)
    assert got == status and said in found["error"]


def test_a_stack_without_connections_says_nets_cannot_be_traced(tmp_path):
    stack = tmp_path / "plain.json"
    stack.write_text(json.dumps({k: v for k, v in STACK.items() if k != "connections"}))
    path = write_layout(two_metal_layout(), tmp_path / "chip.gds")
    with LiveServer(path, ConversionOptions(stack=str(stack)), say=lambda text: None) as server:
        status, found = net(server)
    assert status == 503 and "states no connections" in found["error"]


def test_a_layout_that_cannot_be_shown_fails_before_listening(tmp_path, stack_file):
    path = tmp_path / "broken.gds"
    path.write_bytes(b"\0\6\0\2\0\3" * 10)
    with pytest.raises(LoadError, match="cannot read the layout"):
        LiveServer(path, ConversionOptions(stack=str(stack_file)))


@pytest.mark.parametrize(
    "extra, said",
    [
        (["--port", "8000"], "--port applies to a served viewer"),
        (["--serve", "--screenshot", "x.png"], "--screenshot and --serve do not go together"),
        (["--serve", "--inbox", "box"], "--inbox and --serve do not go together"),
        (["--serve", "--port", "70000"], "port out of range"),
    ],
)
def test_serve_options_that_do_not_fit_are_refused(tmp_path, stack_file, capsys, extra, said):
    path = write_layout(two_metal_layout(), tmp_path / "chip.gds")
    try:
        status = cli.main(["view", str(path), "--stack", str(stack_file), *extra])
    except SystemExit as exit:  # the command line itself is wrong
        status = exit.code
    assert status == 2  # a command line that cannot be run as given
    assert said in capsys.readouterr().err


def child_env() -> dict:
    """The environment of a child interpreter that imports what this one does."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

def test_a_stop_sent_as_soon_as_the_address_is_told_is_clean(tmp_path, stack_file):
    # The signal reaches the process inside the callback that tells the address.
    path = write_layout(two_metal_layout(), tmp_path / "chip.gds")
    script = (
        "import os, signal, sys\n"
        "from corvane.serve import ConversionOptions, LiveServer\n"
        "server = LiveServer(sys.argv[1], ConversionOptions(stack=sys.argv[2]), say=lambda text: None)\n"
        "print('stopped by a signal:', server.run(lambda url: os.kill(os.getpid(), signal.SIGTERM)), flush=True)\n"
    )
    env = child_env()
    done = subprocess.run([sys.executable, "-c", script, str(path), str(stack_file)], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "stopped by a signal: True"


def test_serve_needs_a_layout_not_a_message(tmp_path, capsys):
    message = tmp_path / "m.json"
    message.write_text('{"data": {}}')
    assert cli.main(["view", str(message), "--serve"]) == 2
    assert "--serve shows a layout file" in capsys.readouterr().err


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_the_command_serves_until_ctrl_c_and_stops_cleanly(tmp_path, stack_file, stop):
    path = write_layout(two_metal_layout(), tmp_path / "chip.gds")
    env = child_env()
    command = [sys.executable, "-m", "corvane", "view", str(path), "--stack", str(stack_file), "--serve", "--top"]
    # The command starts with Ctrl-C's default, as from a terminal, even where
    # this run inherited SIGINT ignored (a background job of a script), which
    # the command would keep.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                   cwd=tmp_path)
    finally:
        signal.signal(signal.SIGINT, previous)
    try:
        line = process.stdout.readline()
        match = re.match(r"live: (http://127\.0\.0\.1:\d+/[\w-]+/)#view=top \(following .*chip\.gds; Ctrl-C stops\)$", line.strip())
        assert match, line
        events = Events(match.group(1))  # an open event stream must not hold the stop up
        wait_until(lambda: events.states)
        process.send_signal(stop)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0, err
    assert err.strip().endswith("corvane view: stopped"), err
    with pytest.raises(OSError):
        urllib.request.urlopen(match.group(1), timeout=5)
