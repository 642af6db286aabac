"""Headless Chromium driven through its DevTools protocol, for pages that keep running.

``corvane.viewer.headless`` loads a page once and reads what it wrote; a live
viewer page has to be watched while its server changes it.  ``Browser()``
starts Debian's ``chromium`` headless with software WebGL2 (as ``headless``
does) and talks to it over ``--remote-debugging-pipe``: two pipes on the
child's descriptors 3 and 4 carrying JSON messages ended by a NUL byte, so
no network port is opened.  ``Browser.open(url)`` gives a ``Tab`` that
evaluates JavaScript (awaiting promises), clicks with real mouse events and
takes screenshots.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

from corvane.viewer.headless import ChromiumError, find_chromium

__all__ = ["Browser", "ChromiumError", "Tab"]


class Browser:
    """A headless Chromium; use as a context manager, or ``close()`` it."""

    def __init__(self, *, timeout: float = 120.0) -> None:
        program = find_chromium()
        if program is None:
            raise ChromiumError("chromium is not installed (Debian: apt-get install chromium)")
        self.timeout = timeout
        self._profile = tempfile.mkdtemp(prefix="corvane-devtools-")
        commands_read, self._commands = os.pipe()
        self._replies, replies_write = os.pipe()

        def descriptors() -> None:  # in the child: the pipes on 3 and 4, inheritable
            a, b = os.dup(commands_read), os.dup(replies_write)
            os.dup2(a, 3)
            os.dup2(b, 4)

        command = [
            program,
            "--headless=new",
            "--no-sandbox",
            "--use-angle=swiftshader",
            "--enable-unsafe-swiftshader",
            "--hide-scrollbars",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-extensions",
            "--mute-audio",
            "--remote-debugging-pipe",
            f"--user-data-dir={self._profile}",
            "about:blank",
        ]
        self._process = subprocess.Popen(
            command, close_fds=False, preexec_fn=descriptors, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        )
        os.close(commands_read)
        os.close(replies_write)
        self._next = 0
        self._lock = threading.Lock()
        self._arrived = threading.Condition()
        self._answers: dict[int, dict] = {}
        self._events: list[dict] = []
        self._closed = False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._stderr_tail = b""  # set before the thread that appends to it starts
        self._errors = threading.Thread(target=self._drain_errors, daemon=True)
        self._errors.start()

    def _drain_errors(self) -> None:
        for line in self._process.stderr:
            self._stderr_tail = (self._stderr_tail + line)[-4000:]

    def _read(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self._replies, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            while b"\0" in pending:
                text, _, pending = pending.partition(b"\0")
                message = json.loads(text)
                with self._arrived:
                    if "id" in message:
                        self._answers[message["id"]] = message
                    else:
                        self._events.append(message)
                    self._arrived.notify_all()
        with self._arrived:
            self._closed = True
            self._arrived.notify_all()

    def send(self, method: str, params: dict | None = None, session: str | None = None, timeout: float | None = None) -> dict:
        """Call a protocol method; returns its result or raises ``ChromiumError``."""
        with self._lock:
            self._next += 1
            number = self._next
            message = {"id": number, "method": method, "params": params or {}}
            if session is not None:
                message["sessionId"] = session
            try:
                os.write(self._commands, json.dumps(message).encode() + b"\0")
            except OSError as exc:
                raise ChromiumError(f"chromium is gone ({exc}): {self._last_words()}") from None
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        with self._arrived:
            while number not in self._answers:
                left = deadline - time.monotonic()
                if self._closed:
                    raise ChromiumError(f"chromium is gone: {self._last_words()}")
                if left <= 0:
                    raise ChromiumError(f"{method}: no answer from chromium within {timeout or self.timeout:g} s")
                self._arrived.wait(left)
            answer = self._answers.pop(number)
        if "error" in answer:
            raise ChromiumError(f"{method}: {answer['error'].get('message')}")
        return answer.get("result", {})

    def _last_words(self) -> str:
        lines = self._stderr_tail.decode(errors="replace").strip().splitlines()
        return lines[-1] if lines else "no message"

    def open(self, url: str, size: tuple[int, int] = (1280, 800)) -> "Tab":
        """A new tab of ``size`` CSS pixels showing ``url``."""
        target = self.send("Target.createTarget", {"url": "about:blank", "newWindow": True, "width": size[0], "height": size[1]})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        tab = Tab(self, session, target)
        tab.call("Emulation.setDeviceMetricsOverride", {"width": size[0], "height": size[1], "deviceScaleFactor": 1, "mobile": False})
        tab.call("Page.enable")
        tab.call("Page.navigate", {"url": url})
        return tab

    def close(self) -> None:
        if self._process.poll() is None:
            try:
                self.send("Browser.close", timeout=10)
            except ChromiumError:
                pass
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        for fd in (self._commands, self._replies):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self) -> "Browser":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class Tab:
    """One page of a ``Browser``."""

    def __init__(self, browser: Browser, session: str, target: str) -> None:
        self.browser = browser
        self.session = session
        self.target = target

    def close(self) -> None:
        self.browser.send("Target.closeTarget", {"targetId": self.target})

    def call(self, method: str, params: dict | None = None, timeout: float | None = None) -> dict:
        return self.browser.send(method, params, self.session, timeout)

    def evaluate(self, expression: str, timeout: float | None = None) -> Any:
        """The value of a JavaScript expression (a promise is awaited), as JSON gives it."""
        limit = self.browser.timeout if timeout is None else timeout
        result = self.call(
            "Runtime.evaluate",
            {"expression": expression, "awaitPromise": True, "returnByValue": True, "timeout": int(limit * 1000)},
            timeout=limit + 5,
        )
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise ChromiumError(f"the page's script failed: {text}")
        return result.get("result", {}).get("value")

    def wait_for(self, condition: str, timeout: float | None = None, every: float = 0.05) -> Any:
        """Waits until the JavaScript expression ``condition`` is truthy; returns its value
        (as JSON gives it; true for a value JSON cannot give)."""
        limit = self.browser.timeout if timeout is None else timeout
        script = (
            "new Promise((resolve, reject) => { const t0 = performance.now(); (function poll() {"
            f" let v; try {{ v = ({condition}); }} catch (e) {{ v = undefined; }}"
            " if (v) { let plain = true; try { plain = JSON.parse(JSON.stringify(v)); } catch (e) { plain = true; }"
            " resolve(plain === undefined ? true : plain); }"
            f" else if (performance.now() - t0 > {limit * 1000:.0f})"
            f" reject(new Error('timed out waiting for: ' + {json.dumps(condition)}));"
            f" else setTimeout(poll, {every * 1000:.0f}); }})(); }})"
        )
        return self.evaluate(script, timeout=limit + 5)

    def click(self, x: float, y: float) -> None:
        """A left click at (x, y) CSS pixels of the tab, as a mouse makes it."""
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            params = {"type": kind, "x": x, "y": y, "button": "left" if kind != "mouseMoved" else "none"}
            if kind != "mouseMoved":
                params["clickCount"] = 1
            self.call("Input.dispatchMouseEvent", params)

    def screenshot(self, path: str | os.PathLike) -> Path:
        """Saves what the tab shows as a PNG file."""
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        out = Path(path)
        out.write_bytes(base64.b64decode(data))
        return out
