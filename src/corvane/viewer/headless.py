"""Viewer pages in headless Chromium (software WebGL2 through SwiftShader).

``screenshot(page, out)`` saves what the page shows; ``page_stats(page)``
loads it and returns the figures the page writes into its
``<pre id="corvane-stats">`` once the first frame is drawn (instances and
triangles drawn, time to first frame, ...).  Chromium is Debian's
``chromium`` package (``scripts/setup.sh`` installs it).

The page loads in steps, pausing between them so that a browser paints its
progress bar.  Chromium runs with a virtual time budget, which makes it wait
for those steps before it writes the DOM or takes the screenshot; under
virtual time the page's clock stands still while it computes, so timings
come from runs with ``virtual_time=False`` and the page option "sync"
(no pauses), as the benchmark does.
"""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any

__all__ = ["ChromiumError", "find_chromium", "page_dom", "page_stats", "page_url", "run_chromium", "screenshot"]

_STATS = re.compile(r'<pre id="corvane-stats"[^>]*>(.*?)</pre>', re.S)


class ChromiumError(RuntimeError):
    """Chromium is missing or failed."""


def find_chromium() -> str | None:
    """The Chromium program on PATH, or None."""
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


def page_url(page: str | os.PathLike, fragment: str = "") -> str:
    """The file URL of a page, with an optional fragment (viewer options such as "view=top")."""
    url = Path(page).resolve().as_uri()
    return f"{url}#{fragment}" if fragment else url


# Virtual milliseconds Chromium waits for the page's pending steps.  Virtual
# time only moves while the page is idle, so this bounds idle time, not work.
VIRTUAL_TIME_BUDGET = 600_000


def run_chromium(
    url: str, *args: str, size: tuple[int, int] = (1280, 800), timeout: float = 300, virtual_time: bool = True
) -> str:
    """Run headless Chromium on ``url`` with extra ``args``; returns its standard output.

    With ``virtual_time`` Chromium waits for the page's pending work (see above).
    """
    program = find_chromium()
    if program is None:
        raise ChromiumError("chromium is not installed (Debian: apt-get install chromium)")
    width, height = size
    with tempfile.TemporaryDirectory(prefix="corvane-chromium-") as profile:
        command = [
            program,
            "--headless=new",
            "--no-sandbox",
            "--use-angle=swiftshader",
            "--enable-unsafe-swiftshader",
            f"--window-size={width},{height}",
            "--hide-scrollbars",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-extensions",
            f"--user-data-dir={profile}",
            *([f"--virtual-time-budget={VIRTUAL_TIME_BUDGET}"] if virtual_time else []),
            *args,
            url,
        ]
        try:
            run = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise ChromiumError(f"chromium did not finish within {timeout:g} s") from None
    if run.returncode != 0:
        last = (run.stderr.strip().splitlines() or ["no message"])[-1]
        raise ChromiumError(f"chromium failed (exit status {run.returncode}): {last}")
    return run.stdout


def screenshot(
    page: str | os.PathLike, out: str | os.PathLike, *, size: tuple[int, int] = (1280, 800), fragment: str = "", timeout: float = 300
) -> Path:
    """Save a PNG screenshot of the page; returns its path."""
    out = Path(out).resolve()
    out.unlink(missing_ok=True)
    run_chromium(page_url(page, fragment), f"--screenshot={out}", size=size, timeout=timeout)
    if not out.is_file():
        raise ChromiumError(f"chromium wrote no screenshot to {out}")
    return out


def page_dom(
    page: str | os.PathLike, *, size: tuple[int, int] = (1280, 800), fragment: str = "", timeout: float = 300, virtual_time: bool = True
) -> str:
    """The document of the page once it has loaded (and, with ``virtual_time``, finished its steps)."""
    return run_chromium(page_url(page, fragment), "--dump-dom", size=size, timeout=timeout, virtual_time=virtual_time)


def page_stats(
    page: str | os.PathLike, *, size: tuple[int, int] = (1280, 800), fragment: str = "", timeout: float = 300, virtual_time: bool = True
) -> dict[str, Any]:
    """The figures the viewer page reports after its first frame."""
    dom = page_dom(page, size=size, fragment=fragment, timeout=timeout, virtual_time=virtual_time)
    match = _STATS.search(dom)
    if not match or not match.group(1).strip():
        raise ChromiumError("the page reported no figures (did its script run?)")
    return json.loads(html.unescape(match.group(1)))
