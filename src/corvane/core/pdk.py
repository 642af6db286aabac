"""The PDK registry: which process design kit is active.

The active PDK lives in the layout library (``velloc.pdk``), so corvane and
``velloc.pdk.get_layer_stack()``/``get_layer_views()`` always agree; until a
PDK is set it is the library's generic PDK, loaded on first use.  Any object
with the attributes readers use can be set: ``name``, ``cells`` (a map from
cell name to factory), ``layer_stack`` and ``layer_views``.

The base PDK is the one whose cells a project builds on (the call-graph
module reads the modules of its factories).  Unless one is set, it is the
active PDK.
"""

from __future__ import annotations

from typing import Any

__all__ = ["get_base_pdk", "get_pdk", "reset", "set_base_pdk", "set_pdk"]

_base_pdk: Any = None


def _library():
    import velloc.pdk

    return velloc.pdk


_PDK_MEMBERS = ("name", "cells", "layer_stack", "layer_views")


def _check(argument: str, pdk: Any) -> None:
    """A PDK must offer at least one of the members readers use (or be None)."""
    if pdk is not None and not any(hasattr(pdk, member) for member in _PDK_MEMBERS):
        raise TypeError(
            f"{argument} must be a PDK (an object with name, cells, layer_stack or layer_views) or None, "
            f"not {type(pdk).__name__}"
        )


def get_pdk() -> Any:
    """The active PDK."""
    return _library().get_active_pdk()


def set_pdk(pdk: Any) -> None:
    """Activate ``pdk``; ``None`` goes back to the generic PDK."""
    _check("pdk", pdk)
    _library().activate(pdk)


def get_base_pdk() -> Any:
    """The base PDK: the one set with ``set_base_pdk``, else the active PDK."""
    return _base_pdk if _base_pdk is not None else get_pdk()


def set_base_pdk(pdk: Any) -> None:
    """Set the base PDK; ``None`` makes it follow the active PDK again."""
    _check("pdk", pdk)
    global _base_pdk
    _base_pdk = pdk


def reset() -> None:
    """Back to the generic PDK as both the active and the base PDK."""
    set_base_pdk(None)
    set_pdk(None)
