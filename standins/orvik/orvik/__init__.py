"""Stand-in of the companion component library of the layout library.

corvane uses it for one thing: ``LayerEnum``, the enumeration of layer
identities.  A member names a GDS layer and datatype; layer stacks and views
refer to layers through such members.

``LayerEnum`` holds the layers of the generic silicon-photonics PDK shipped
with ``velloc``.  Other processes add their own enumerations by subclassing
it (or with ``LayerEnum.create``); their members are ``LayerEnum`` instances
too, so ``isinstance(member, LayerEnum)`` holds for every layer identity::

    class Sky130Layers(LayerEnum):
        met1 = (68, 20)
        via = (68, 44)

Each class is an enumeration of its own members only: ``Sky130Layers.WG``
does not exist and iterating ``LayerEnum`` yields only the generic layers.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Iterator, Mapping

__all__ = ["LayerEnum"]

# Attribute names of a member; a layer may not be called like one of them.
_RESERVED = frozenset({"name", "value", "layer", "datatype", "create"})


def _is_layer_value(value: object) -> bool:
    return (
        isinstance(value, tuple)
        and len(value) == 2
        and all(isinstance(v, int) and not isinstance(v, bool) for v in value)
    )


class _LayerEnumType(type):
    """Metaclass: collects ``NAME = (layer, datatype)`` class attributes as members."""

    def __new__(mcls, cls_name, bases, namespace, **kwargs):
        layers = {
            key: value
            for key, value in namespace.items()
            if not key.startswith("_") and _is_layer_value(value)
        }
        for key in layers:
            if key in _RESERVED:
                raise ValueError(f"{key!r} cannot name a layer: it is a member attribute")
        body = {key: value for key, value in namespace.items() if key not in layers}
        cls = super().__new__(mcls, cls_name, bases, body, **kwargs)
        type.__setattr__(cls, "_member_map_", {})
        type.__setattr__(cls, "_value_map_", {})
        for key, (layer, datatype) in layers.items():
            cls._add_member_(key, layer, datatype)
        return cls

    def _add_member_(cls, name: str, layer: int, datatype: int) -> None:
        existing = cls._value_map_.get((layer, datatype))
        if existing is not None:
            # A second name for the same pair is an alias of the first member.
            cls._member_map_[name] = existing
            return
        member = object.__new__(cls)
        object.__setattr__(member, "_name_", name)
        object.__setattr__(member, "_value_", (layer, datatype))
        cls._member_map_[name] = member
        cls._value_map_[(layer, datatype)] = member

    # Members live in ``_member_map_`` rather than in the class dict, so that a
    # subclass does not expose its parent's members as its own.
    def __getattr__(cls, name: str):
        members = cls.__dict__.get("_member_map_")
        if members is not None and name in members:
            return members[name]
        raise AttributeError(f"type object {cls.__name__!r} has no attribute {name!r}")

    def __setattr__(cls, name: str, value) -> None:
        if name in cls.__dict__.get("_member_map_", ()):
            raise AttributeError(f"cannot reassign layer {name!r}")
        super().__setattr__(name, value)

    def __dir__(cls):
        return sorted(set(super().__dir__()) | set(cls._member_map_))

    def __iter__(cls) -> Iterator:
        """Members in definition order, aliases left out."""
        return iter(cls._value_map_.values())

    def __len__(cls) -> int:
        return len(cls._value_map_)

    def __bool__(cls) -> bool:
        return True

    def __contains__(cls, obj: object) -> bool:
        return isinstance(obj, cls)

    def __getitem__(cls, name: str):
        return cls._member_map_[name]

    def __call__(cls, value):
        """Look a member up by value: a member, or a ``(layer, datatype)`` pair."""
        if isinstance(value, cls):
            return value
        try:
            return cls._value_map_[tuple(value)]
        except (KeyError, TypeError):
            raise ValueError(f"{value!r} is not a valid {cls.__name__}") from None

    @property
    def __members__(cls) -> Mapping:
        """All names, aliases included, in definition order."""
        return MappingProxyType(cls._member_map_)

    def __repr__(cls) -> str:
        return f"<layer enumeration {cls.__name__!r}>"


class LayerEnum(metaclass=_LayerEnumType):
    """Layer identities: each member stands for one (layer, datatype) pair.

    Members are singletons, compare by identity and unpack as the pair:
    ``layer, datatype = LayerEnum.WG``.
    """

    # Generic silicon photonics process (see velloc.generic for the stack).
    WG = (1, 0)  # silicon core, full 220 nm
    SLAB150 = (2, 0)  # 150 nm slab left by the shallow etch
    SLAB90 = (3, 0)  # 90 nm slab left by the deep etch
    SHALLOW_ETCH = (2, 6)  # derived: slab area outside the core
    UNDERCUT = (6, 0)  # substrate undercut below heaters
    WGN = (34, 0)  # silicon nitride core
    HEATER = (47, 0)  # titanium nitride heater
    VIAC = (40, 0)  # contact from heater to first metal
    M1 = (41, 0)
    VIA1 = (44, 0)
    M2 = (45, 0)
    VIA2 = (43, 0)
    M3 = (49, 0)
    PADOPEN = (46, 0)  # passivation opening over pads
    FLOORPLAN = (64, 0)
    TEXT = (66, 0)
    DEVREC = (68, 0)  # device recognition outline
    PORT = (1, 10)  # port markers

    __slots__ = ("_name_", "_value_")

    @property
    def name(self) -> str:
        return self._name_

    @property
    def value(self) -> tuple[int, int]:
        return self._value_

    @property
    def layer(self) -> int:
        return self._value_[0]

    @property
    def datatype(self) -> int:
        return self._value_[1]

    @classmethod
    def create(cls, name: str, layers: Mapping[str, tuple[int, int]], module: str | None = None):
        """A new layer enumeration, subclass of ``cls``, from ``{name: (layer, datatype)}``."""
        namespace: dict = {"__qualname__": name, "__module__": module or __name__}
        for key, value in layers.items():
            pair = tuple(value)
            if key.startswith("_") or not _is_layer_value(pair):
                raise ValueError(f"bad layer {key!r}: {value!r}")
            namespace[key] = pair
        return type(cls)(name, (cls,), namespace)

    def __setattr__(self, name, value):
        raise AttributeError("layer enumeration members are read-only")

    def __iter__(self):
        return iter(self._value_)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}.{self._name_}: {self._value_}>"

    def __str__(self) -> str:
        return f"{type(self).__name__}.{self._name_}"

    def __reduce__(self):
        return getattr, (type(self), self._name_)

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self
