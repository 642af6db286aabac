"""Versions of installed distributions, looked up without importing ``importlib.metadata``.

Importing ``importlib.metadata`` (with email, zipfile, csv and their kin)
costs tens of milliseconds, a good part of what a command may spend on
starting.  The common case, a ``NAME-VERSION.dist-info`` folder with a
METADATA file in a folder of ``sys.path``, is read here directly, found as
``importlib.metadata`` finds it: the first folder of ``sys.path`` that holds
one, in the order the folder lists its entries.  Anything else (eggs, zip
files, finders of their own on ``sys.meta_path``, a METADATA without a
version) is left to ``importlib.metadata``, so the answer is always the one
it gives.

An answer is kept while no folder of ``sys.path`` changes (installing or
removing a distribution changes its folder's modification time) and the
METADATA file it came from stays as it was: a lookup then costs a stat per
folder instead of a listing.
"""

from __future__ import annotations

import os
import re
import sys

__all__ = ["installed_version"]

_SEPARATORS = re.compile(r"[-_.]+")


def _normalize(name: str) -> str:
    return _SEPARATORS.sub("_", name).lower()


def installed_version(name: str) -> str | None:
    """The version of the installed distribution ``name``; None when it is not installed."""
    found = _fast_version(name)
    if found is not None:
        return found or None
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def _plain_meta_path() -> bool:
    """Whether only the standard path finder can list distributions."""
    from importlib.machinery import PathFinder

    return all(f is PathFinder or not hasattr(f, "find_distributions") for f in sys.meta_path)


# name -> (the folders' state, the METADATA file and its state or None, the answer)
_known: dict[str, tuple[tuple, tuple | None, str | None]] = {}


def _state(path: str) -> tuple | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (path, st.st_mtime_ns, st.st_size, st.st_ino)


def _fast_version(name: str) -> str | None:
    """The version read from the first matching .dist-info folder; "" when no folder of
    sys.path has the distribution; None where importlib.metadata must decide."""
    if not name or not _plain_meta_path():
        return None
    folders = tuple(_state(entry or os.getcwd()) if isinstance(entry, str) else entry for entry in sys.path)
    known = _known.get(name)
    if known is not None and known[0] == folders and (known[1] is None or _state(known[1][0]) == known[1]):
        return known[2]
    meta: list[str] = []
    found = _scan(name, meta)
    _known[name] = (folders, _state(meta[0]) if meta else None, found)
    return found


def _scan(name: str, meta: list[str]) -> str | None:
    """_fast_version without the memory; the METADATA file read is appended to `meta`."""
    wanted = _normalize(name)
    for entry in sys.path:
        if not isinstance(entry, str) or entry.lower().endswith(".egg"):
            return None
        folder = entry or "."
        try:
            children = os.listdir(folder)
        except OSError:
            if os.path.exists(folder):  # a zip file or something else importlib.metadata looks into
                return None
            continue
        for child in children:
            low = child.lower()
            if not low.endswith((".dist-info", ".egg-info")):
                continue
            if _normalize(low.rpartition(".")[0].partition("-")[0]) != wanted:
                continue
            if not low.endswith(".dist-info"):
                return None
            meta.append(os.path.join(folder, child, "METADATA"))
            return _metadata_version(os.path.join(folder, child))
    return ""


def _metadata_version(folder: str) -> str | None:
    """The Version header of a .dist-info folder's METADATA; None when unreadable or absent."""
    try:
        with open(os.path.join(folder, "METADATA"), encoding="utf-8") as f:
            for line in f:
                if not line.strip():
                    break  # the headers end at the first empty line
                key, sep, value = line.partition(":")
                if sep and key.strip().lower() == "version" and not line[0].isspace():
                    return value.strip() or None
    except (OSError, UnicodeDecodeError):
        return None
    return None
