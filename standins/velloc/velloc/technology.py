"""Process technology: layer stacks (heights) and layer views (colours).

A ``LayerStack`` maps level names to ``LayerLevel`` objects, each placing one
layer at a bottom height ``zmin`` with a ``thickness`` (micrometres).  A level's
layer is either a ``LogicalLayer`` (a drawn GDS layer) or a ``DerivedLayer`` (a
boolean combination of layers); a derived level may name the logical layer that
holds the derivation's result in ``derived_layer``.

``LayerViews`` gives each drawn (layer, datatype) pair its display properties.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Mapping

from orvik import LayerEnum

__all__ = [
    "Color",
    "DerivedLayer",
    "LayerLevel",
    "LayerStack",
    "LayerView",
    "LayerViews",
    "LogicalLayer",
    "layer_tuple",
    "read_layer_technology",
]


def layer_tuple(layer: Any) -> tuple[int, int]:
    """The (layer, datatype) pair of a ``LayerEnum`` member, a logical layer or a pair."""
    if isinstance(layer, LayerEnum):
        return layer.value
    if isinstance(layer, LogicalLayer):
        return layer_tuple(layer.layer)
    pair = tuple(layer)
    if len(pair) != 2 or not all(isinstance(v, int) for v in pair):
        raise TypeError(f"not a layer: {layer!r}")
    return pair  # type: ignore[return-value]


@dataclass(frozen=True)
class LogicalLayer:
    """A drawn layer, identified by a ``LayerEnum`` member or a plain (layer, datatype) pair."""

    layer: Any

    def __and__(self, other: LogicalLayer | DerivedLayer) -> DerivedLayer:
        return DerivedLayer("and", self, other)

    def __or__(self, other: LogicalLayer | DerivedLayer) -> DerivedLayer:
        return DerivedLayer("or", self, other)

    def __sub__(self, other: LogicalLayer | DerivedLayer) -> DerivedLayer:
        return DerivedLayer("not", self, other)

    def __xor__(self, other: LogicalLayer | DerivedLayer) -> DerivedLayer:
        return DerivedLayer("xor", self, other)


_OPERATIONS = ("and", "or", "not", "xor")


@dataclass(frozen=True)
class DerivedLayer:
    """A boolean operation on two layers: ``op`` is one of and, or, not (a minus b), xor."""

    op: str
    a: LogicalLayer | DerivedLayer
    b: LogicalLayer | DerivedLayer

    def __post_init__(self) -> None:
        if self.op not in _OPERATIONS:
            raise ValueError(f"unknown layer operation {self.op!r}; expected one of {_OPERATIONS}")

    __and__ = LogicalLayer.__and__
    __or__ = LogicalLayer.__or__
    __sub__ = LogicalLayer.__sub__
    __xor__ = LogicalLayer.__xor__


@dataclass
class LayerLevel:
    """One level of the stack: ``layer`` placed from ``zmin`` up by ``thickness`` (µm)."""

    layer: LogicalLayer | DerivedLayer
    thickness: float
    zmin: float
    derived_layer: LogicalLayer | None = None
    material: str | None = field(default=None, kw_only=True)

    @property
    def zmax(self) -> float:
        return self.zmin + self.thickness


@dataclass
class LayerStack:
    """Levels by name, in the order they were given."""

    layers: dict[str, LayerLevel] = field(default_factory=dict)

    def __getitem__(self, name: str) -> LayerLevel:
        return self.layers[name]

    def __len__(self) -> int:
        return len(self.layers)


_NAMED_COLORS = {
    "black": "#000000",
    "white": "#ffffff",
    "red": "#ff0000",
    "green": "#008000",
    "lime": "#00ff00",
    "blue": "#0000ff",
    "yellow": "#ffff00",
    "cyan": "#00ffff",
    "magenta": "#ff00ff",
    "gray": "#808080",
    "grey": "#808080",
    "silver": "#c0c0c0",
    "orange": "#ffa500",
    "purple": "#800080",
    "violet": "#ee82ee",
    "gold": "#ffd700",
    "brown": "#a52a2a",
    "pink": "#ffc0cb",
    "navy": "#000080",
    "teal": "#008080",
}

_HEX = re.compile(r"#?([0-9a-fA-F]{3}|[0-9a-fA-F]{6})")


class Color:
    """An RGB colour from hex text (#rgb, #rrggbb), a CSS colour name or an (r, g, b) triple."""

    __slots__ = ("r", "g", "b")

    def __init__(self, value: str | tuple[int, int, int] | Color) -> None:
        if isinstance(value, Color):
            rgb = (value.r, value.g, value.b)
        elif isinstance(value, str):
            text = _NAMED_COLORS.get(value.strip().lower(), value.strip())
            match = _HEX.fullmatch(text)
            if match is None:
                raise ValueError(f"unknown colour {value!r}")
            digits = match.group(1)
            if len(digits) == 3:
                digits = "".join(c * 2 for c in digits)
            rgb = tuple(int(digits[i : i + 2], 16) for i in (0, 2, 4))
        else:
            rgb = tuple(int(v) for v in value)
            if len(rgb) != 3 or not all(0 <= v <= 255 for v in rgb):
                raise ValueError(f"bad RGB triple {value!r}")
        self.r, self.g, self.b = rgb

    def as_hex(self) -> str:
        return f"#{self.r:02x}{self.g:02x}{self.b:02x}"

    def as_rgb(self) -> tuple[int, int, int]:
        return (self.r, self.g, self.b)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Color) and self.as_rgb() == other.as_rgb()

    def __hash__(self) -> int:
        return hash(self.as_rgb())

    def __repr__(self) -> str:
        return f"Color({self.as_hex()!r})"


def _to_color(value: Color | str | tuple | None) -> Color | None:
    return None if value is None else Color(value)


@dataclass
class LayerView:
    """How one layer is drawn. ``fill_color`` None means outline only."""

    layer: Any = None
    fill_color: Color | None = None
    frame_color: Color | None = None
    visible: bool = True
    name: str | None = None

    def __post_init__(self) -> None:
        self.fill_color = _to_color(self.fill_color)
        self.frame_color = _to_color(self.frame_color)


class LayerViews:
    """Views by name; ``get_from_tuple`` finds the view of a (layer, datatype) pair."""

    def __init__(self, views: Mapping[str, LayerView] | None = None) -> None:
        self.views: dict[str, LayerView] = {}
        for name, view in (views or {}).items():
            self.add(name, view)

    def add(self, name: str, view: LayerView) -> None:
        if view.name is None:
            view.name = name
        self.views[name] = view

    def get_from_tuple(self, layer_tuple_: tuple[int, int]) -> LayerView:
        """The first view of the pair; ``KeyError`` when no view draws it."""
        wanted = tuple(layer_tuple_)
        for view in self.views.values():
            if view.layer is not None and layer_tuple(view.layer) == wanted:
                return view
        raise KeyError(f"no layer view for layer {wanted}")

    def __getitem__(self, name: str) -> LayerView:
        return self.views[name]

    def __len__(self) -> int:
        return len(self.views)

    def __repr__(self) -> str:
        return f"LayerViews({list(self.views)!r})"


def read_layer_technology(path: str | Path) -> tuple[LayerStack, LayerViews]:
    """Read a layer stack and its views from a JSON description.

    The file holds ``{"name": ..., "layers": [{"name", "layer", "datatype",
    "zmin", "thickness", "color"}, ...]}``.  A new ``LayerEnum`` subclass named
    after the stack holds one member per entry, so the layers are real layer
    identities; entries sharing a pair become aliases of the first.
    """
    data = json.loads(Path(path).read_text())
    entries = data["layers"]
    class_name = re.sub(r"\W", "_", data.get("name") or Path(path).stem)
    enum = LayerEnum.create(
        class_name, {e["name"]: (int(e["layer"]), int(e["datatype"])) for e in entries}
    )
    levels: dict[str, LayerLevel] = {}
    views: dict[str, LayerView] = {}
    for entry in entries:
        member = enum[entry["name"]]
        levels[entry["name"]] = LayerLevel(
            LogicalLayer(member), float(entry["thickness"]), float(entry["zmin"])
        )
        if entry.get("color") is not None:
            views[entry["name"]] = LayerView(layer=member, fill_color=entry["color"])
    return LayerStack(levels), LayerViews(views)
