"""The pages of a live viewer: the shell that follows the server, and the viewer page of a version.

The shell (``shell.html`` with ``shell.js``, files of this package) listens to the
server's events, shows the first version's viewer page in a frame and hands
each next version to that page, which takes its message and page data in
place (a version's own page in a new frame is the fallback).  A version's page is the
static page of its message (``corvane.viewer.page_html``) with two changes:
its content policy lets it ask its own server (for nets), and the element
"corvane-live" tells it where and which version it is.
"""

from __future__ import annotations

import json
import re
from typing import Any

from corvane import viewer

__all__ = ["shell_page", "version_page"]

_POLICY = re.compile(r'(<meta http-equiv="Content-Security-Policy" content=")([^"]*)(")', re.I)
_BODY = re.compile(r"<body[^>]*>", re.I)


def _allow(policy: str, directive: str) -> str:
    """``policy`` with ``directive`` ('connect-src' ...) allowed to the page's own server."""
    items = [item.strip() for item in policy.split(";") if item.strip()]
    items = [item for item in items if not item.startswith(directive + " ")]
    items.append(f"{directive} 'self'")
    return "; ".join(items)


def _with_policy(page: str, *directives: str) -> str:
    def widen(match: re.Match) -> str:
        policy = match.group(2)
        for directive in directives:
            policy = _allow(policy, directive)
        return match.group(1) + policy + match.group(3)

    return _POLICY.sub(widen, page, count=1)


def _script_json(value: Any) -> str:
    # "<" only occurs in JSON strings, where \u003c means the same.
    return json.dumps(value, ensure_ascii=False).replace("<", "\\u003c")


def version_page(message: bytes, config: dict[str, Any], page_data: bytes | None = None) -> bytes:
    """The viewer page of one version's message; ``config`` goes into the element "corvane-live",
    ``page_data`` (the layout's texts) into the page's own data."""
    page = _with_policy(viewer.page_html(message, page_data=page_data), "connect-src")
    element = f'<script type="application/json" id="corvane-live">{_script_json(config)}</script>'
    page = _BODY.sub(lambda m: m.group(0) + "\n" + element, page, count=1)
    return page.encode("utf-8")


def shell_page(config: dict[str, Any]) -> bytes:
    """The page a live viewer's address shows."""
    from importlib import resources

    folder = resources.files(__package__)
    script = folder.joinpath("shell.js").read_text(encoding="utf-8")
    if "</script" in script.lower():
        raise ValueError("shell.js: contains </script, which would end the page's script element")
    html = folder.joinpath("shell.html").read_text(encoding="utf-8")
    values = {"CONFIG": _script_json(config), "SCRIPT": script}
    return re.sub(r"@(CONFIG|SCRIPT)@", lambda m: values[m.group(1)], html).encode("utf-8")
