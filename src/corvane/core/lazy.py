"""Deferred imports.

``lazy_import("numpy")`` returns a proxy that imports numpy the first time it
is used (an attribute read or written, a call, ``dir``, ``repr``...), then
forwards everything to the module.  ``lazy_import("velloc.pdk", "get_pdk")``
stands for the attribute ``get_pdk`` of that module, like
``from velloc.pdk import get_pdk``.  Loading a module that binds its outside
names this way never fails on a missing dependency; the failure comes at
first use.
"""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["LazyImport", "lazy_import"]

_UNSET = object()


class LazyImport:
    """A stand-in for a module or a module attribute that is imported on first use."""

    __slots__ = ("_lazy_module_path", "_lazy_attr", "_lazy_target")

    def __init__(self, module_path: str, attr: str | None = None) -> None:
        if not isinstance(module_path, str) or not module_path:
            raise TypeError("module_path must be a non-empty text")
        if attr is not None and not isinstance(attr, str):
            raise TypeError("attr must be a text or None")
        object.__setattr__(self, "_lazy_module_path", module_path)
        object.__setattr__(self, "_lazy_attr", attr)
        object.__setattr__(self, "_lazy_target", _UNSET)

    def _lazy_load(self) -> Any:
        target = object.__getattribute__(self, "_lazy_target")
        if target is _UNSET:
            path = object.__getattribute__(self, "_lazy_module_path")
            attr = object.__getattribute__(self, "_lazy_attr")
            module = importlib.import_module(path)
            if attr is None:
                target = module
            else:
                target = _import_from(module, path, attr)
            object.__setattr__(self, "_lazy_target", target)
        return target

    @property
    def lazy_loaded(self) -> bool:
        """Whether the target has been imported yet."""
        return object.__getattribute__(self, "_lazy_target") is not _UNSET

    def __getattr__(self, name: str) -> Any:
        # Only called for names not found on the proxy itself.
        return getattr(self._lazy_load(), name)

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._lazy_load(), name, value)

    def __delattr__(self, name: str) -> None:
        delattr(self._lazy_load(), name)

    def __dir__(self) -> list[str]:
        return dir(self._lazy_load())

    def __repr__(self) -> str:
        return repr(self._lazy_load())

    def __str__(self) -> str:
        return str(self._lazy_load())

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._lazy_load()(*args, **kwargs)

    def __getitem__(self, key: Any) -> Any:
        return self._lazy_load()[key]

    def __iter__(self):
        return iter(self._lazy_load())

    def __contains__(self, item: Any) -> bool:
        return item in self._lazy_load()

    def __bool__(self) -> bool:
        return bool(self._lazy_load())


def _import_from(module: Any, path: str, attr: str) -> Any:
    """``from path import attr``: an attribute of the module, else a submodule."""
    try:
        return getattr(module, attr)
    except AttributeError:
        pass
    try:
        return importlib.import_module(f"{path}.{attr}")
    except ModuleNotFoundError as exc:
        if exc.name != f"{path}.{attr}":
            raise
    raise ImportError(f"cannot import name {attr!r} from {path!r}", name=path)


def lazy_import(module_path: str, attr: str | None = None) -> LazyImport:
    """A proxy for ``module_path`` (or its attribute ``attr``), imported on first use."""
    return LazyImport(module_path, attr)
