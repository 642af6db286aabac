"""Records exchanged between corvane's modules."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

__all__ = ["FactoryRecord", "LuminoMessage"]


@dataclass(frozen=True)
class LuminoMessage:
    """A message for the 3D viewer; ``content`` is its JSON text."""

    content: str

    def __post_init__(self) -> None:
        if not isinstance(self.content, str):
            raise TypeError(f"content must be a str (the message's JSON text), not {type(self.content).__name__}")


def _copy(value: Any) -> Any:
    """A shallow copy of a list or dict, so a record does not share containers with the graph."""
    if isinstance(value, dict):
        return dict(value)
    if isinstance(value, (list, tuple)):
        return list(value)
    return value


@dataclass
class FactoryRecord:
    """What the call graph knows about one component factory.

    name: the factory's short name (the graph node).
    full_name: module and name, dotted.
    module: the defining module; package: the library it belongs to.
    source: the defining source file, as found; other_sources: the files of
    overridden definitions of the same name.
    default_settings: parameter defaults as written in the source.
    is_partial: whether the factory is a partial application of another.
    pdk_type: "pdk" for the project's own factories, else "base_pdk".
    tags: tags of the factory; has_model: whether a circuit model exists.
    children: factories it calls (graph successors); parents: factories that
    call it (graph predecessors), both in graph order.
    """

    name: str
    full_name: str
    module: str
    package: str
    source: str
    other_sources: list[str] = field(default_factory=list)
    default_settings: dict[str, Any] = field(default_factory=dict)
    is_partial: bool = False
    pdk_type: str = "base_pdk"
    tags: list[Any] = field(default_factory=list)
    has_model: bool = False
    children: list[str] = field(default_factory=list)
    parents: list[str] = field(default_factory=list)

    @classmethod
    def from_weftnet(cls, G: Any, name: str) -> FactoryRecord:
        """The record of node ``name`` of the call graph ``G`` (a directed graph)."""
        if not all(hasattr(G, member) for member in ("nodes", "successors", "predecessors")):
            raise TypeError(f"G must be a directed graph (networkx DiGraph), not {type(G).__name__}")
        attrs = G.nodes[name]
        return cls(
            name=name,
            full_name=attrs["full_name"],
            module=attrs["module"],
            package=attrs["package"],
            source=str(attrs["source"]),
            other_sources=[str(s) for s in attrs.get("other_sources", [])],
            default_settings=_copy(attrs.get("default_settings") or {}),
            is_partial=bool(attrs.get("is_partial", False)),
            pdk_type=attrs.get("pdk_type", "base_pdk"),
            tags=_copy(attrs.get("tags") or []),
            has_model=bool(attrs.get("has_model", False)),
            children=list(G.successors(name)),
            parents=list(G.predecessors(name)),
        )
