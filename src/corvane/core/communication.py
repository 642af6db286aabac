"""Messages to the 3D viewer.

``send_message`` hands a message (an object with a ``content`` text, such as
``corvane.models.LuminoMessage``) to the current transport.  The default
transport drops each message as a JSON file into the viewer's inbox folder,
which the viewer watches: by default ``~/.corvane/viewer_inbox``, changed with
``set_inbox``.  ``set_transport`` installs another delivery, for example a
network client or a list that collects messages in tests.

Inbox files are named after the layout when the sender says which one:
``with message_name("tt_um_vga_clock"): lumino.lumino(...)`` writes
``tt_um_vga_clock-<time>.json``.  ``inbox_messages`` lists the messages of an
inbox, oldest first, ``clean_inbox`` removes them with their pages, and
``prune_inbox`` keeps only the newest messages of one layout.
"""

from __future__ import annotations

import contextlib
import contextvars
import itertools
import os
import re
import time
from pathlib import Path
from typing import Any, Callable, Iterator

from corvane.logger import get_logger

__all__ = [
    "clean_inbox",
    "default_inbox",
    "get_inbox",
    "get_transport",
    "inbox_messages",
    "message_layout",
    "message_name",
    "message_page",
    "prune_inbox",
    "send_message",
    "set_inbox",
    "set_transport",
    "write_to_inbox",
]

Transport = Callable[[Any], Any]

_inbox: Path | None = None
_transport: Transport | None = None
_counter = itertools.count()
_name: contextvars.ContextVar[str | None] = contextvars.ContextVar("corvane_message_name", default=None)

# The time part of an inbox file name: UTC time, nanoseconds, process id, sequence number.
_STAMP = r"\d{8}T\d{6}\.\d{9}-\d+-\d{6}"
_MESSAGE_FILE = re.compile(rf"(?:(?P<name>[A-Za-z0-9][A-Za-z0-9._+-]{{0,63}})-)?{_STAMP}\.json")
_UNSAFE = re.compile(r"[^A-Za-z0-9._+-]+")


def _safe_name(name: str) -> str:
    """``name`` reduced to letters, digits and ``._+-`` (at most 64), never a path or hidden file."""
    safe = _UNSAFE.sub("_", name).lstrip("._-+")[:64]
    return safe or "layout"


@contextlib.contextmanager
def message_name(name: str | None) -> Iterator[None]:
    """Name the inbox files of the messages sent inside the block after ``name`` (a layout's)."""
    if name is not None and not isinstance(name, str):
        raise TypeError(f"name must be a text or None, not {type(name).__name__}")
    token = _name.set(None if name is None else _safe_name(name))
    try:
        yield
    finally:
        _name.reset(token)


def default_inbox() -> Path:
    return Path.home() / ".corvane" / "viewer_inbox"


def get_inbox() -> Path:
    """The folder the default transport writes to."""
    return _inbox if _inbox is not None else default_inbox()


def set_inbox(path: str | os.PathLike | None) -> None:
    """Use ``path`` as the viewer inbox; ``None`` restores the default."""
    global _inbox
    if path is not None and not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a folder path (str or os.PathLike) or None, not {type(path).__name__}")
    _inbox = None if path is None else Path(path).expanduser()


def _content_bytes(message: Any) -> bytes:
    content = getattr(message, "content", message)
    if isinstance(content, str):
        return content.encode("utf-8")
    if isinstance(content, (bytes, bytearray, memoryview)):
        return bytes(content)
    raise TypeError(f"message content must be text or bytes, not {type(content).__name__}")


def write_to_inbox(message: Any, inbox: str | os.PathLike | None = None) -> Path:
    """Write the message's content to a new ``.json`` file in the inbox; returns its path.

    File names (UTC time, process id, sequence number, after the layout's
    name inside ``message_name``) sort in sending order and never repeat.
    The file is written under a temporary name and renamed, so a watcher
    never sees a partly written message.
    """
    folder = Path(inbox).expanduser() if inbox is not None else get_inbox()
    data = _content_bytes(message)
    folder.mkdir(parents=True, exist_ok=True)
    now = time.time_ns()
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(now // 1_000_000_000))
    name = f"{stamp}.{now % 1_000_000_000:09d}-{os.getpid()}-{next(_counter):06d}.json"
    layout = _name.get()
    if layout is not None:
        name = f"{layout}-{name}"
    path = folder / name
    partial = folder / f".{name}.part"
    partial.write_bytes(data)
    os.replace(partial, path)
    get_logger().info("viewer message (%d bytes) written to %s", len(data), path)
    return path


def get_transport() -> Transport:
    return _transport if _transport is not None else write_to_inbox


def set_transport(transport: Transport | None) -> Transport | None:
    """Deliver messages with ``transport(message)``; ``None`` restores the inbox writer.

    Returns the transport that was installed before.
    """
    global _transport
    if transport is not None and not callable(transport):
        raise TypeError(f"transport must be callable (transport(message)) or None, not {type(transport).__name__}")
    previous = _transport
    _transport = transport
    return previous


def send_message(message: Any) -> Any:
    """Deliver ``message`` to the 3D viewer; returns the transport's result (by default a path)."""
    return get_transport()(message)


def inbox_messages(inbox: str | os.PathLike | None = None) -> list[Path]:
    """The message files the inbox writer left in ``inbox`` (default: the inbox), oldest first."""
    folder = Path(inbox).expanduser() if inbox is not None else get_inbox()
    if not folder.is_dir():
        return []
    found = [p for p in folder.iterdir() if _MESSAGE_FILE.fullmatch(p.name) and p.is_file()]
    # The time of writing decides; the name (in sending order per layout) breaks ties.
    return sorted(found, key=lambda p: (p.stat().st_mtime_ns, p.name))


def message_layout(path: str | os.PathLike) -> str | None:
    """The layout name an inbox file is named after, or None."""
    match = _MESSAGE_FILE.fullmatch(Path(path).name)
    return match.group("name") if match else None


def message_page(path: str | os.PathLike) -> Path:
    """Where the viewer page of a message file is (or would be) written: beside it, as .html."""
    return Path(path).with_suffix(".html")


def prune_inbox(layout: str, keep: int, inbox: str | os.PathLike | None = None) -> list[Path]:
    """Remove the messages named after ``layout`` (and their pages) but the newest
    ``keep``; returns the message files removed, oldest first.  Other layouts' messages
    and files named otherwise stay."""
    if not isinstance(keep, int) or isinstance(keep, bool) or keep < 0:
        raise ValueError(f"keep must be a whole number of messages, not {keep!r}")
    name = _safe_name(layout)
    mine = [m for m in inbox_messages(inbox) if message_layout(m) == name]
    removed = mine[: max(len(mine) - keep, 0)]
    for message in removed:
        message_page(message).unlink(missing_ok=True)
        message.with_suffix(".page").unlink(missing_ok=True)
        message.unlink(missing_ok=True)
    return removed


def clean_inbox(inbox: str | os.PathLike | None = None, older_than: float | None = None) -> list[Path]:
    """Remove the inbox's messages (and the viewer pages beside them) older than
    ``older_than`` seconds, or all of them; returns the message files removed.

    Only files named as the inbox writer names them are touched, so other
    files kept in the folder stay.
    """
    now = time.time()
    removed = []
    for message in inbox_messages(inbox):
        if older_than is not None and now - message.stat().st_mtime < older_than:
            continue
        message_page(message).unlink(missing_ok=True)
        message.with_suffix(".page").unlink(missing_ok=True)
        message.unlink(missing_ok=True)
        removed.append(message)
    return removed
