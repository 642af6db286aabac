"""Process design kits and the active one.

A ``Pdk`` bundles cell factories with the layer stack and layer views of its
process.  One PDK is active per process; until another is activated it is the
generic PDK of ``velloc.generic``, loaded on first use.  ``activate`` accepts
any object with the attributes readers use (``name``, ``cells``,
``layer_stack``, ``layer_views``), so tests may activate a light stand-in.
corvane's PDK registry (``corvane.core.pdk``) reads and sets this same slot.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

from velloc.technology import LayerStack, LayerViews

__all__ = [
    "Pdk",
    "activate",
    "get_active_pdk",
    "get_component",
    "get_layer_stack",
    "get_layer_views",
]


@dataclass(eq=False)
class Pdk:
    """A process design kit: cell factories by name, layer stack and layer views."""

    name: str
    cells: dict[str, Callable[..., Any]] = field(default_factory=dict, repr=False)
    layer_stack: LayerStack | None = field(default=None, repr=False)
    layer_views: LayerViews | None = field(default=None, repr=False)
    base_pdk: Pdk | None = field(default=None, repr=False)

    def activate(self) -> None:
        activate(self)

    def get_component(self, cell_name: str, **kwargs: Any):
        """Build the cell ``cell_name`` with ``kwargs``."""
        try:
            factory = self.cells[cell_name]
        except KeyError:
            raise ValueError(f"{cell_name!r} is not a cell of PDK {self.name!r}") from None
        return factory(**kwargs)


_active: Any = None


def activate(pdk: Any) -> None:
    """Make ``pdk`` the active PDK; ``None`` goes back to the generic PDK."""
    global _active
    _active = pdk


def get_active_pdk() -> Any:
    global _active
    if _active is None:
        from velloc.generic import PDK

        _active = PDK
    return _active


def get_layer_views() -> LayerViews:
    """The layer views of the active PDK."""
    pdk = get_active_pdk()
    if pdk.layer_views is None:
        raise ValueError(f"PDK {pdk.name!r} has no layer views")
    return pdk.layer_views


def get_layer_stack() -> LayerStack:
    """The layer stack of the active PDK."""
    pdk = get_active_pdk()
    if pdk.layer_stack is None:
        raise ValueError(f"PDK {pdk.name!r} has no layer stack")
    return pdk.layer_stack


def get_component(cell_name: str, **kwargs: Any):
    """Build the cell ``cell_name`` of the active PDK with ``kwargs``."""
    return get_active_pdk().cells[cell_name](**kwargs)
