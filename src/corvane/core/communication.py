"""Messages to the 3D viewer.

``send_message`` hands a message (an object with a ``content`` text, such as
``corvane.models.LuminoMessage``) to the current transport.  The default
transport drops each message as a JSON file into the viewer's inbox folder,
which the viewer watches: by default ``~/.corvane/viewer_inbox``, changed with
``set_inbox``.  ``set_transport`` installs another delivery, for example a
network client or a list that collects messages in tests.
"""

from __future__ import annotations

import itertools
import os
import time
from pathlib import Path
from typing import Any, Callable

from corvane.logger import get_logger

__all__ = [
    "default_inbox",
    "get_inbox",
    "get_transport",
    "send_message",
    "set_inbox",
    "set_transport",
    "write_to_inbox",
]

Transport = Callable[[Any], Any]

_inbox: Path | None = None
_transport: Transport | None = None
_counter = itertools.count()


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

    File names (UTC time, process id, sequence number) sort in sending order
    and never repeat.  The file is written under a temporary name and renamed,
    so a watcher never sees a partly written message.
    """
    folder = Path(inbox).expanduser() if inbox is not None else get_inbox()
    data = _content_bytes(message)
    folder.mkdir(parents=True, exist_ok=True)
    now = time.time_ns()
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(now // 1_000_000_000))
    name = f"{stamp}.{now % 1_000_000_000:09d}-{os.getpid()}-{next(_counter):06d}.json"
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
