"""Layer stacks for the command line: built in by name, from a file, or made for a layout.

A stack description is JSON (or the same dict)::

    {"name": "sky130", "source": "...", "layers": [
        {"name": "met1", "layer": 68, "datatype": 20, "zmin": 1.3761, "thickness": 0.36,
         "color": "#5e8cff", "published": "met1.drawing", "note": "..."},
        {"name": "met1.pin", "layer": 68, "datatype": 16, "purpose": "pin", ...}, ...],
     "connections": {"joins": [["li1", "mcon", "met1"], ...], "labels": {"met1": "68/5"}}}

An entry's ``purpose`` (default "drawing") says what its shapes are:
drawing and fill layers are drawn; pins, labels, boundaries and markers
are known (listed, named) but drawn only when asked (``show``).
``published`` is the name the PDK's own layer table gives the layer.

``check`` finds every problem a user can make and names the entry it is in;
``technology`` turns a checked description into the layer stack and layer
views of the layout library; ``auto`` and ``for_layout`` make descriptions
for the layers of a layout (see ``corvane.layout_info``), naming the layers
a built-in stack knows as that stack does (``corvane.stacks.detect``).  The
built-in stacks are files of this package (``builtin_names()``); each names
where its figures come from.

"connections" (optional) says which via joins which conductors, for tracing
nets (``corvane.stacks.connections``).
"""

from __future__ import annotations

import colorsys
import copy
import difflib
import functools
import json
import math
import os
import re
from importlib import resources
from pathlib import Path
from typing import Any, Iterable, Mapping

__all__ = [
    "DRAWN_PURPOSES",
    "ENTRY_KEYS",
    "PURPOSES",
    "StackError",
    "auto",
    "builtin",
    "builtin_names",
    "check",
    "drawn",
    "for_layout",
    "lyp_layers",
    "purpose",
    "read",
    "recolor",
    "technology",
    "to_json",
]

TOP_KEYS = ("name", "source", "note", "layers", "connections")
ENTRY_KEYS = ("name", "layer", "datatype", "zmin", "thickness", "color", "purpose", "published", "note")
# What an entry's shapes are.  Drawing and fill layers are drawn; the others
# mark, name or bound real geometry and are drawn only when asked.
PURPOSES = ("drawing", "pin", "label", "boundary", "marker", "fill")
DRAWN_PURPOSES = frozenset({"drawing", "fill"})
_REQUIRED = ("name", "layer", "datatype", "zmin", "thickness")
# Attribute names of a layer identity; an entry may not be called like one of them.
_RESERVED = frozenset({"name", "value", "layer", "datatype", "create"})

# Heights of made-up levels: one level per layer, in layer order.
AUTO_STEP = 0.5
AUTO_THICKNESS = 0.4


class StackError(ValueError):
    """A layer-stack description that cannot be used; the message names the entry."""


def builtin_names() -> list[str]:
    """Names of the stacks shipped with corvane."""
    return sorted(p.name[:-5] for p in resources.files(__name__).iterdir() if p.name.endswith(".json"))


def builtin(name: str) -> dict[str, Any]:
    """The description of a built-in stack, checked (a copy of its own: change it freely)."""
    if name not in builtin_names():
        raise StackError(f"no built-in stack {name!r} (built in: {', '.join(builtin_names())})")
    return copy.deepcopy(_builtin(name))


@functools.lru_cache(maxsize=None)
def _builtin(name: str) -> dict[str, Any]:
    text = resources.files(__name__).joinpath(f"{name}.json").read_text(encoding="utf-8")
    return check(json.loads(text), f"built-in stack {name}")


def read(path: str | os.PathLike) -> dict[str, Any]:
    """The description in the file ``path``, checked; every failure is a ``StackError``."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise StackError(f"{path}: no such layer-stack file") from None
    except UnicodeDecodeError:
        raise StackError(f"{path}: not a layer-stack file: not UTF-8 text (a layout or other binary file?)") from None
    except IsADirectoryError:
        raise StackError(f"{path}: a folder, not a layer-stack file") from None
    except OSError as exc:
        raise StackError(f"{path}: cannot read the layer-stack file: {exc.strerror or exc}") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise StackError(f"{path}: the layer-stack file is not JSON: {exc}") from None
    return check(data, f"{path}: not a layer-stack file")


def _unknown(key: str, known: Iterable[str]) -> str:
    close = difflib.get_close_matches(key, list(known), n=1, cutoff=0.6)
    if close:
        return f'unknown key "{key}": did you mean "{close[0]}"?'
    return f'unknown key "{key}" (known keys: {", ".join(known)})'


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _entry_problem(entry: Any, names: dict[str, int]) -> str | None:
    if not isinstance(entry, dict):
        return "is not an object"
    for key in entry:
        if key not in ENTRY_KEYS:
            return _unknown(key, ENTRY_KEYS)
    for key in _REQUIRED:
        if key not in entry:
            return f'"{key}" is missing'
    name = entry["name"]
    if not isinstance(name, str) or not name:
        return '"name" must be a non-empty text'
    if name.startswith("_") or name in _RESERVED:
        return f'"name" cannot be {name!r}: the name is reserved'
    if name in names:
        return f"the name {name!r} is already used by layers[{names[name]}]"
    for key in ("layer", "datatype"):
        if not _is_int(entry[key]) or not 0 <= entry[key] <= 65535:
            return f'"{key}" must be an integer from 0 to 65535, not {json.dumps(entry[key])}'
    for key in ("zmin", "thickness"):
        if not _is_number(entry[key]):
            return f'"{key}" must be a number (micrometres), not {json.dumps(entry[key])}'
    if entry["thickness"] < 0:
        return '"thickness" must not be negative'
    color = entry.get("color")
    if color is not None:
        if not isinstance(color, str):
            return f'"color" must be a text such as "#5e8cff", not {json.dumps(color)}'
        from velloc.technology import Color

        try:
            Color(color)
        except ValueError:
            return f'"color": unknown colour {color!r} (a #rrggbb text or a colour name such as "orange")'
    kind = entry.get("purpose", "drawing")
    if kind not in PURPOSES:
        close = difflib.get_close_matches(str(kind), PURPOSES, n=1, cutoff=0.6)
        hint = f'did you mean "{close[0]}"?' if close else f"one of {', '.join(PURPOSES)}"
        return f'"purpose": unknown purpose {json.dumps(kind)} ({hint})'
    for key in ("published", "note"):
        if entry.get(key) is not None and not isinstance(entry[key], str):
            return f'"{key}" must be a text'
    return None


def check(data: Any, where: str = "layer stack") -> dict[str, Any]:
    """``data`` itself when it is a usable description; else a ``StackError`` that names the entry."""

    def fail(problem: str) -> StackError:
        return StackError(f"{where}: {problem}")

    if not isinstance(data, dict):
        raise fail("the top level is not an object")
    for key in data:
        if key not in TOP_KEYS:
            raise fail(_unknown(key, TOP_KEYS))
    for key in ("name", "source", "note"):
        if data.get(key) is not None and not isinstance(data[key], str):
            raise fail(f'"{key}" must be a text')
    if "layers" not in data:
        raise fail('"layers" is missing')
    layers = data["layers"]
    if not isinstance(layers, list) or not layers:
        raise fail('"layers" must be a non-empty list of layer entries')
    names: dict[str, int] = {}
    for k, entry in enumerate(layers):
        problem = _entry_problem(entry, names)
        if problem:
            label = entry.get("name") if isinstance(entry, dict) else None
            named = f" ({label})" if isinstance(label, str) and label else ""
            raise fail(f"layers[{k}]{named}: {problem}")
        names[entry["name"]] = k
    if data.get("connections") is not None:
        from corvane.stacks import connections

        problem = connections.problem(data["connections"], layers)
        if problem:
            raise fail(problem)
    return data


def purpose(entry: Mapping[str, Any]) -> str:
    """An entry's purpose: "drawing" unless it says otherwise."""
    return entry.get("purpose") or "drawing"


def drawn(entry: Mapping[str, Any], show: Iterable[str] = ()) -> bool:
    """Whether the entry is drawn: it has a colour, and its purpose is drawn or in ``show``."""
    return entry.get("color") is not None and (purpose(entry) in DRAWN_PURPOSES or purpose(entry) in set(show))


def technology(data: Mapping[str, Any], name: str | None = None, show: Iterable[str] = ()) -> tuple[Any, Any]:
    """The layer stack and layer views of a checked description.

    As ``velloc.technology.read_layer_technology`` reads a file: a new layer
    enumeration holds one member per entry, entries sharing a pair are
    aliases of the first, and an entry without colour has no view (it is
    known, but not drawn).  Nor has an entry whose purpose is neither
    drawing nor fill, unless ``show`` names that purpose ("pin", "label",
    "boundary", "marker").
    """
    show = set(show)
    import velloc.technology as vlt
    from orvik import LayerEnum

    entries = data["layers"]
    class_name = re.sub(r"\W", "_", name or data.get("name") or "stack") or "stack"
    enum = LayerEnum.create(class_name, {e["name"]: (e["layer"], e["datatype"]) for e in entries})
    levels = {}
    views = {}
    for entry in entries:
        member = enum[entry["name"]]
        levels[entry["name"]] = vlt.LayerLevel(
            vlt.LogicalLayer(member), float(entry["thickness"]), float(entry["zmin"])
        )
        if drawn(entry, show):
            views[entry["name"]] = vlt.LayerView(layer=member, fill_color=entry["color"])
    return vlt.LayerStack(levels), vlt.LayerViews(views)


def _distinct_color(k: int) -> str:
    # Hues a golden angle apart never repeat and stay far apart for neighbours.
    hue = (0.12 + k * 0.6180339887) % 1.0
    value = 0.95 if k % 2 == 0 else 0.78
    r, g, b = colorsys.hsv_to_rgb(hue, 0.62, value)
    return "#%02x%02x%02x" % (round(r * 255), round(g * 255), round(b * 255))


def _auto_name(pair: tuple[int, int]) -> str:
    return f"L{pair[0]}_{pair[1]}"


def _listed(summary: Any) -> list[tuple[int, int]]:
    """The pairs a made description lists: those with shapes, and those with texts only."""
    return [pair for pair, count in summary.layers.items() if count.shapes > 0 or count.texts > 0]


def _naming(pair: tuple[int, int], summary: Any, known: Mapping[tuple[int, int], Mapping[str, Any]],
            taken: set[str]) -> dict[str, Any]:
    """Name, purpose and published name of a made-up entry: a known stack's where it has
    them (and the name is free), a made-up name otherwise; a layer of texts only is a label."""
    entry = known.get(pair)
    name = entry["name"] if entry is not None and entry["name"] not in taken else _auto_name(pair)
    out: dict[str, Any] = {"name": name}
    kind = purpose(entry) if entry is not None else ("label" if not summary.layers[pair].shapes else "drawing")
    if kind != "drawing":
        out["purpose"] = kind
    if entry is not None and entry.get("published"):
        out["published"] = entry["published"]
    return out


def _well_known(summary: Any) -> tuple[str | None, dict[tuple[int, int], dict[str, Any]]]:
    from corvane.stacks.detect import well_known

    return well_known(summary)


def auto(summary: Any, known: Mapping[tuple[int, int], Mapping[str, Any]] | None = None,
         known_from: str | None = None) -> dict[str, Any]:
    """A stack that lists every layer of the layout: a distinct colour each, one level
    above the other in layer order.

    Layers that ``known`` (pair to an entry; by default the built-in stack the
    layout looks like, see ``corvane.stacks.detect``) names take its name and
    purpose, so its pins, labels, boundaries and markers are listed but not
    drawn unless asked; a layer that holds texts only is a label.
    """
    if known is None:
        known_from, known = _well_known(summary)
    layers = []
    taken: set[str] = set()
    for k, pair in enumerate(_listed(summary)):
        naming = _naming(pair, summary, known, taken)
        taken.add(naming["name"])
        layers.append(
            {
                "name": naming["name"],
                "layer": pair[0],
                "datatype": pair[1],
                "zmin": round(k * AUTO_STEP, 6),
                "thickness": AUTO_THICKNESS,
                "color": _distinct_color(k),
                **{key: naming[key] for key in ("purpose", "published") if key in naming},
            }
        )
    named = f"; names and purposes from built-in stack {known_from}" if known_from else ""
    return {
        "name": "auto",
        "source": f"made by corvane for the layers of {Path(summary.path).name}: "
        f"heights by layer order and colours are made up{named}",
        "layers": layers,
    }


_COPIED = ("name", "layer", "datatype", "zmin", "thickness", "color", "purpose", "published")


def for_layout(summary: Any, table: Mapping[tuple[int, int], Any], base_name: str,
               entries: Mapping[tuple[int, int], Mapping[str, Any]] | None = None,
               known: Mapping[tuple[int, int], Mapping[str, Any]] | None = None) -> dict[str, Any]:
    """A description to edit, for the layout's layers (with shapes, or texts only).

    ``table`` is the layer table of the base stack (pair to an object with
    name, zmin, thickness, color, as ``lumino.get_layer_properties`` gives);
    ``entries`` the base's own description entries by pair, when it has one
    (they also cover its layers not drawn: pins, markers, ...).  Layers the
    base knows keep its figures; the others get a made-up level above the
    base's highest and a distinct colour, with a note saying so, and the
    name and purpose ``known`` gives them (by default those of the built-in
    stack the layout looks like).
    """
    entries = entries or {}
    if known is None:
        _, known = _well_known(summary)
    pairs = _listed(summary)
    in_base = [pair for pair in pairs if pair in entries or pair in table]
    layers: list[dict[str, Any]] = []
    names: set[str] = set()
    for pair in in_base:
        if pair in entries:
            made = {key: entries[pair][key] for key in _COPIED if entries[pair].get(key) is not None}
            made["layer"], made["datatype"] = pair
        else:
            level = table[pair]
            made = {"name": level.name, "layer": pair[0], "datatype": pair[1], "zmin": level.zmin,
                    "thickness": level.thickness, "color": level.color}
        if made["name"] in names:
            made["name"] = _auto_name(pair)
        names.add(made["name"])
        layers.append(made)
    top = max((e["zmin"] + e["thickness"] for e in layers), default=0.0)
    for k, pair in enumerate(p for p in pairs if p not in entries and p not in table):
        naming = _naming(pair, summary, known, names)
        names.add(naming["name"])
        layers.append(
            {
                "name": naming["name"],
                "layer": pair[0],
                "datatype": pair[1],
                "zmin": round(top + (k + 1) * AUTO_STEP, 6) if in_base else round(k * AUTO_STEP, 6),
                "thickness": AUTO_THICKNESS,
                "color": _distinct_color(len(in_base) + k),
                **{key: naming[key] for key in ("purpose", "published") if key in naming},
                "note": f"not in {base_name}: height and colour made up",
            }
        )
    return {
        "name": Path(summary.path).stem,
        "source": f"made by corvane stack from {Path(summary.path).name} with {base_name}; edit freely",
        "layers": layers,
    }


_SOURCE_PAIR = re.compile(r"(?<![\w/])(\d+)/(\d+)")


def lyp_layers(path: str | os.PathLike) -> dict[tuple[int, int], tuple[str | None, str]]:
    """(name, colour) per (layer, datatype) of a KLayout layer-properties file (.lyp).

    The colour is the fill colour, else the frame colour; the first entry
    that gives a pair wins, as in KLayout's layer list.  Groups are read too.
    """
    import xml.etree.ElementTree as ET

    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as exc:
        raise StackError(f"{path}: not a KLayout layer-properties file: {exc}") from None
    if root.tag != "layer-properties":
        raise StackError(f"{path}: not a KLayout layer-properties file (no <layer-properties>)")
    found: dict[tuple[int, int], tuple[str | None, str]] = {}
    # A group's members are property elements of their own, nested in the group.
    for props in (e for e in root.iter() if e.tag in ("properties", "group-members")):
        match = _SOURCE_PAIR.search(props.findtext("source") or "")
        color = (props.findtext("fill-color") or props.findtext("frame-color") or "").strip()
        if match is None or not color:
            continue
        name = (props.findtext("name") or "").strip() or None
        found.setdefault((int(match.group(1)), int(match.group(2))), (name, color))
    return found


def recolor(data: dict[str, Any], lyp: Mapping[tuple[int, int], tuple[str | None, str]], source: str) -> dict[str, Any]:
    """``data`` with the colours of ``lyp`` (see ``lyp_layers``) for the pairs it gives;
    made-up entries (``auto_name``s) also take its names where they are free."""
    names = {e["name"] for e in data["layers"]}
    for entry in data["layers"]:
        pair = (entry["layer"], entry["datatype"])
        if pair not in lyp:
            continue
        name, color = lyp[pair]
        entry["color"] = color
        usable = name is not None and name not in names and not name.startswith("_") and name not in _RESERVED
        if entry["name"] == _auto_name(pair) and usable:
            names.discard(entry["name"])
            entry["name"] = name
            names.add(name)
        entry["note"] = (entry.get("note", "") + "; " if entry.get("note") else "") + f"colour from {source}"
    return data


def to_json(data: Mapping[str, Any]) -> str:
    """The description as JSON text, one layer entry per line."""
    head = {k: v for k, v in data.items() if k != "layers"}
    lines = ["{"]
    for key, value in head.items():
        lines.append(f"  {json.dumps(key)}: {json.dumps(value)},")
    entries = [json.dumps(entry) for entry in data["layers"]]
    lines.append('  "layers": [')
    lines.extend(f"    {entry}{',' if k < len(entries) - 1 else ''}" for k, entry in enumerate(entries))
    lines.append("  ]")
    lines.append("}")
    return "\n".join(lines) + "\n"
