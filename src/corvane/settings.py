"""Project settings.

The defaults come from the ``[tool.corvane]`` table of the nearest
``pyproject.toml`` (searched from the current directory upwards), for
example::

    [tool.corvane]
    pics_dir = "src/mypdk/pics"      # the project's own component library
    pdk_name = "mypdk"               # importable module of the active PDK
    is_pdk = true                    # the project is a PDK itself
    ignored_paths = ["src/mypdk/pics/old.py", "scratch"]

Relative paths are taken from the folder holding ``pyproject.toml``; a folder
in ``ignored_paths`` stands for every Python file below it.  Missing entries
(or a missing file) fall back to: ``pics`` below the project folder (the
current directory when there is no ``pyproject.toml``), the generic PDK
``velloc.generic``, not a PDK, nothing ignored.

The settings are read on first use.  ``configure`` overrides single values
for the rest of the process; ``reset`` drops the overrides and has the
defaults read again on next use.
"""

from __future__ import annotations

import os
import tomllib
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Iterable

__all__ = [
    "configure",
    "find_pyproject",
    "get_pdk_name",
    "get_pics_dir",
    "ignored_paths",
    "is_a_pdk",
    "reset",
]

DEFAULT_PDK_NAME = "velloc.generic"
DEFAULT_PICS_DIR = "pics"


@dataclass(frozen=True)
class _Settings:
    pics_dir: Path
    pdk_name: str
    is_pdk: bool
    ignored_paths: frozenset[Path]


_current: _Settings | None = None
_UNSET: Any = object()


def find_pyproject(start: str | os.PathLike | None = None) -> Path | None:
    """The nearest ``pyproject.toml`` in ``start`` (default: the current directory) or above it."""
    folder = Path(start if start is not None else Path.cwd()).resolve()
    for candidate in (folder, *folder.parents):
        path = candidate / "pyproject.toml"
        if path.is_file():
            return path
    return None


def _resolve(path: str | os.PathLike, root: Path) -> Path:
    path = Path(path).expanduser()
    return (path if path.is_absolute() else root / path).resolve()


def _ignored(paths: Iterable[str | os.PathLike], root: Path) -> frozenset[Path]:
    if isinstance(paths, (str, os.PathLike)):
        raise TypeError("ignored_paths must be a collection of paths, not a single path")
    result: set[Path] = set()
    for entry in paths:
        path = _resolve(entry, root)
        result.add(path)
        if path.is_dir():
            result.update(p.resolve() for p in path.rglob("*.py"))
    return frozenset(result)


def _check(name: str, value: Any, kind: type | tuple[type, ...]) -> Any:
    if not isinstance(value, kind):
        kinds = " or ".join(k.__name__ for k in (kind if isinstance(kind, tuple) else (kind,)))
        raise TypeError(f"setting {name!r} must be {kinds}, not {type(value).__name__}")
    return value


def _load() -> _Settings:
    pyproject = find_pyproject()
    root = pyproject.parent if pyproject is not None else Path.cwd().resolve()
    table: dict[str, Any] = {}
    if pyproject is not None:
        with pyproject.open("rb") as fh:
            table = tomllib.load(fh).get("tool", {}).get("corvane", {})
    # Other keys of the table belong to other parts of corvane.
    return _Settings(
        pics_dir=_resolve(_check("pics_dir", table.get("pics_dir", DEFAULT_PICS_DIR), str), root),
        pdk_name=_check("pdk_name", table.get("pdk_name", DEFAULT_PDK_NAME), str),
        is_pdk=_check("is_pdk", table.get("is_pdk", False), bool),
        ignored_paths=_ignored(_check("ignored_paths", table.get("ignored_paths", []), list), root),
    )


def _settings() -> _Settings:
    global _current
    if _current is None:
        _current = _load()
    return _current


def get_pics_dir() -> Path:
    """The folder of the project's own component library (absolute)."""
    return _settings().pics_dir


def get_pdk_name() -> str:
    """The importable module name of the active PDK."""
    return _settings().pdk_name


def is_a_pdk() -> bool:
    """Whether the project is itself a PDK."""
    return _settings().is_pdk


def ignored_paths() -> frozenset[Path]:
    """Resolved paths of the source files to leave out of the call graph."""
    return _settings().ignored_paths


def configure(
    *,
    pics_dir: str | os.PathLike = _UNSET,
    pdk_name: str = _UNSET,
    is_pdk: bool = _UNSET,
    ignored_paths: Iterable[str | os.PathLike] = _UNSET,
) -> None:
    """Override the given settings; relative paths are taken from the current directory."""
    global _current
    changes: dict[str, Any] = {}
    cwd = Path.cwd()
    if pics_dir is not _UNSET:
        changes["pics_dir"] = _resolve(_check("pics_dir", pics_dir, (str, os.PathLike)), cwd)
    if pdk_name is not _UNSET:
        changes["pdk_name"] = _check("pdk_name", pdk_name, str)
    if is_pdk is not _UNSET:
        changes["is_pdk"] = _check("is_pdk", is_pdk, bool)
    if ignored_paths is not _UNSET:
        changes["ignored_paths"] = _ignored(ignored_paths, cwd)
    _current = replace(_settings(), **changes)


def reset() -> None:
    """Drop all overrides; the defaults are read again, from the current directory, on next use."""
    global _current
    _current = None
