"""The 3D viewer page: one self-contained HTML file per lumino message.

``page_html(content)`` returns a page that holds the message (its JSON text)
and the viewer's own JavaScript (WebGL2; the script files of this package
put together, ``viewer.js`` the entry): opened from disk it draws the
layout with no network access and no build step.  ``write_page`` puts that
page beside a message file of the viewer inbox, ``newest_message`` finds the
latest message there.  ``corvane.viewer.headless`` runs a page in
headless Chromium (screenshots, the figures the page reports).
"""

from __future__ import annotations

import os
import re
from importlib import resources
from pathlib import Path

__all__ = ["MessageError", "newest_message", "page_html", "read_message", "write_page"]

_PLACEHOLDER = re.compile(r"@(MESSAGE|PAGEDATA|SCRIPT)@")

# The viewer's script files in the order they run: helpers and parts first,
# the entry (which starts the viewer) last.
SCRIPTS = (
    "page.js",
    "decode.js",
    "triangulate.js",
    "tree.js",
    "scene.js",
    "camera.js",
    "shaders.js",
    "renderer.js",
    "overlays.js",
    "labels.js",
    "ruler.js",
    "panel.js",
    "input.js",
    "nets.js",
    "state.js",
    "viewer.js",
)


class MessageError(ValueError):
    """A file that is not a viewer message."""


def _asset(name: str, folder: str | os.PathLike | None = None) -> str:
    if folder is not None:
        return Path(folder, name).read_text(encoding="utf-8")
    return resources.files(__name__).joinpath(name).read_text(encoding="utf-8")


def page_script(assets: str | os.PathLike | None = None) -> str:
    """The viewer's script: the files of ``SCRIPTS`` in order, inside one
    function so that their names stay out of the page's globals."""
    parts = []
    for name in SCRIPTS:
        text = _asset(name, assets)
        # The script sits inline in the page: "</script" would end it early.
        if "</script" in text.lower():
            raise ValueError(f"{name}: contains </script, which would end the page's script element")
        parts.append(f"// --- {name}\n{text.rstrip()}\n")
    return '(function () {\n"use strict";\n\n' + "\n".join(parts) + "})();"


def page_html(
    content: str | bytes, *, assets: str | os.PathLike | None = None, page_data: str | bytes | None = None
) -> str:
    """The viewer page for one message (its JSON text).  ``assets`` names a
    folder with another viewer.html and all of the script files to use
    (benchmarks compare versions of the page that way); ``page_data`` is the
    page's own data (JSON text: the layout's texts, ``corvane.viewer.texts``)."""
    text = content.decode("utf-8") if isinstance(content, (bytes, bytearray)) else content
    extra = page_data.decode("utf-8") if isinstance(page_data, (bytes, bytearray)) else page_data or "{}"
    # "<" only occurs inside JSON strings, where \u003c means the same; so
    # escaped, the text can neither end the script element nor open a comment.
    values = {
        "MESSAGE": text.replace("<", "\\u003c"),
        "PAGEDATA": extra.replace("<", "\\u003c"),
        "SCRIPT": page_script(assets),
    }
    return _PLACEHOLDER.sub(lambda m: values[m.group(1)], _asset("viewer.html", assets))


def read_message(path: str | os.PathLike) -> bytes:
    """The bytes of a viewer message file, checked to be a JSON object with a "data" map."""
    import orjson

    path = Path(path)
    data = path.read_bytes()
    try:
        message = orjson.loads(data)
    except orjson.JSONDecodeError as exc:
        raise MessageError(f"{path}: not JSON ({exc})") from None
    if not isinstance(message, dict) or not isinstance(message.get("data"), dict):
        raise MessageError(f'{path}: not a viewer message (no "data" map)')
    return data


def write_page(
    message: str | os.PathLike, page: str | os.PathLike | None = None, *, assets: str | os.PathLike | None = None
) -> Path:
    """Write the viewer page of the message file ``message``; returns its path.

    The page goes beside the message, with the suffix ".html", unless
    ``page`` names another file; ``assets`` as for ``page_html``.  The page
    data beside the message (``NAME.page``, the layout's texts) goes into
    the page when it is there.
    """
    message = Path(message)
    target = Path(page) if page is not None else message.with_suffix(".html")
    extra = message.with_suffix(".page")
    page_data = extra.read_bytes() if extra.is_file() else None
    text = page_html(read_message(message), assets=assets, page_data=page_data)
    partial = target.with_name(f".{target.name}.part")
    partial.write_text(text, encoding="utf-8")
    os.replace(partial, target)
    return target


def newest_message(inbox: str | os.PathLike) -> Path | None:
    """The most recent message file (``*.json``) in ``inbox``, or None."""
    folder = Path(inbox)
    if not folder.is_dir():
        return None
    candidates = [p for p in folder.glob("*.json") if p.is_file()]
    if not candidates:
        return None
    # Inbox names sort in sending order; the time of writing decides between
    # files named otherwise.
    return max(candidates, key=lambda p: (p.stat().st_mtime_ns, p.name))
