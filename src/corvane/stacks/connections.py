"""How the layers of a stack conduct: the "connections" of a layer-stack description.

::

    "connections": {
      "source": "...",
      "joins": [["li1", "mcon", "met1"], ["diff-poly", "licon1", "li1"], ["met1", "met1pin"]],
      "labels": {"met1": "68/5", "li1": ["67/5", "67/16"]}
    }

A join of three names says that the middle (a via) connects the two outer
conductors where it overlaps both; a join of two, that touching shapes of the
two are one net.  ``labels`` names the layers whose texts name the net of
the conductor under them.  An item is a layer of the stack by its name, a
"LAYER/DATATYPE" pair, or a KLayout net-tracer expression of those: ``+``
(or), ``*`` (and), ``-`` (not), ``^`` (xor) and parentheses, ``*`` and ``^``
before ``+`` and ``-``.  "diff-poly" is diffusion where no poly crosses it:
source and drain, which the gate between them does not join.

``problem`` finds what is wrong (for ``corvane.stacks.check``); ``parse``
turns a checked description into plain values: expressions as trees of
``Layer`` and ``Op``.
"""

from __future__ import annotations

import difflib
import json
import re
from dataclasses import dataclass
from typing import Any, Mapping, Union

__all__ = ["CONNECTION_KEYS", "Connectivity", "Layer", "Op", "parse", "problem"]

CONNECTION_KEYS = ("source", "note", "joins", "labels")
_PAIR = re.compile(r"(\d+)/(\d+)")
_TOKEN = re.compile(r"\s*(?:([-+*^()])|([^-+*^()\s]+))")


@dataclass(frozen=True)
class Layer:
    """A layer of the layout: its pair, and the stack name it was written as (or None)."""

    pair: tuple[int, int]
    name: str | None = None


@dataclass(frozen=True)
class Op:
    """``left OP right`` with OP one of + * - ^."""

    op: str
    left: "Expr"
    right: "Expr"


Expr = Union[Layer, Op]


@dataclass(frozen=True)
class Connectivity:
    """The joins (conductor, via or None, conductor) and the label layers per conductor."""

    joins: tuple[tuple[Expr, Expr | None, Expr], ...]
    labels: tuple[tuple[Expr, tuple[int, int]], ...]


class _Bad(ValueError):
    pass


def _layer(token: str, names: Mapping[str, tuple[int, int]]) -> Layer:
    if token in names:
        return Layer(names[token], token)
    match = _PAIR.fullmatch(token)
    if match:
        pair = (int(match.group(1)), int(match.group(2)))
        if max(pair) > 65535:
            raise _Bad(f'"{token}": a layer and datatype go from 0 to 65535')
        return Layer(pair)
    close = difflib.get_close_matches(token, list(names), n=1, cutoff=0.6)
    hint = f': did you mean "{close[0]}"?' if close else ' (a layer name of "layers", or LAYER/DATATYPE)'
    raise _Bad(f'no layer "{token}" in "layers"{hint}')


def _expression(text: Any, names: Mapping[str, tuple[int, int]]) -> Expr:
    """The expression ``text``: a stack layer's name as it is, else parsed."""
    if not isinstance(text, str) or not text.strip():
        raise _Bad(f"must be a layer name or expression (a non-empty text), not {json.dumps(text)}")
    if text in names:
        return Layer(names[text], text)
    tokens: list[tuple[str, str]] = []
    at = 0
    while at < len(text):
        match = _TOKEN.match(text, at)
        if match is None:  # only trailing blanks are left
            break
        at = match.end()
        tokens.append(("op", match.group(1)) if match.group(1) else ("name", match.group(2)))
    position = 0

    def peek() -> tuple[str, str] | None:
        return tokens[position] if position < len(tokens) else None

    def take() -> tuple[str, str]:
        nonlocal position
        token = peek()
        if token is None:
            raise _Bad(f'"{text}" ends where a layer is expected')
        position += 1
        return token

    def term() -> Expr:
        kind, value = take()
        if kind == "name":
            return _layer(value, names)
        if value == "(":
            inner = sums()
            if peek() != ("op", ")"):
                raise _Bad(f'"{text}": a "(" is not closed')
            take()
            return inner
        raise _Bad(f'"{text}": "{value}" where a layer is expected')

    def products() -> Expr:
        left = term()
        while peek() in (("op", "*"), ("op", "^")):
            left = Op(take()[1], left, term())
        return left

    def sums() -> Expr:
        left = products()
        while peek() in (("op", "+"), ("op", "-")):
            left = Op(take()[1], left, products())
        return left

    tree = sums()
    if peek() is not None:
        raise _Bad(f'"{text}": "{peek()[1]}" where an operator (+ - * ^) is expected')
    return tree


def _unknown(key: str) -> str:
    close = difflib.get_close_matches(key, CONNECTION_KEYS, n=1, cutoff=0.6)
    if close:
        return f'unknown key "{key}": did you mean "{close[0]}"?'
    return f'unknown key "{key}" (known keys: {", ".join(CONNECTION_KEYS)})'


def _parse(value: Any, names: Mapping[str, tuple[int, int]]) -> tuple[str, Connectivity | None]:
    """("", the connectivity), or (where in "connections", what is wrong) for a bad value."""
    if not isinstance(value, dict):
        return _fail("", 'must be an object with "joins" (and "labels")')
    for key in value:
        if key not in CONNECTION_KEYS:
            return _fail("", _unknown(key))
    for key in ("source", "note"):
        if value.get(key) is not None and not isinstance(value[key], str):
            return _fail("", f'"{key}" must be a text')
    joins_value = value.get("joins")
    if joins_value is None:
        return _fail("", '"joins" is missing')
    if not isinstance(joins_value, list) or not joins_value:
        return _fail(".joins", "must be a non-empty list of joins ([conductor, via, conductor] or [conductor, conductor])")
    joins = []
    for k, join in enumerate(joins_value):
        if not isinstance(join, list) or len(join) not in (2, 3):
            return _fail(f".joins[{k}]", "must be a list of three layers [conductor, via, conductor] or two [conductor, conductor]")
        items = []
        for j, item in enumerate(join):
            try:
                items.append(_expression(item, names))
            except _Bad as exc:
                return _fail(f".joins[{k}][{j}]", str(exc))
        joins.append((items[0], items[1], items[2]) if len(items) == 3 else (items[0], None, items[1]))
    labels_value = value.get("labels", {})
    if not isinstance(labels_value, dict):
        return _fail(".labels", 'must be an object: {"conductor": "LAYER/DATATYPE" or a list of them}')
    labels = []
    for conductor, layers in labels_value.items():
        where = f".labels[{json.dumps(conductor)}]"
        try:
            tree = _expression(conductor, names)
        except _Bad as exc:
            return _fail(where, str(exc))
        for j, item in enumerate(layers if isinstance(layers, list) else [layers]):
            inner = f"{where}[{j}]" if isinstance(layers, list) else where
            if not isinstance(item, str):
                return _fail(inner, f"must be a layer name or LAYER/DATATYPE, not {json.dumps(item)}")
            try:
                layer = _layer(item, names)
            except _Bad as exc:
                return _fail(inner, str(exc))
            labels.append((tree, layer.pair))
    return "", Connectivity(tuple(joins), tuple(labels))


def _fail(where: str, what: str) -> tuple[str, None]:
    return f"connections{where}: {what}", None


def problem(value: Any, layers: list[dict[str, Any]]) -> str | None:
    """What is wrong with the "connections" ``value`` of a stack whose (checked) entries are ``layers``."""
    said, _ = _parse(value, _names(layers))
    return said or None


def parse(data: Mapping[str, Any]) -> Connectivity | None:
    """The connectivity of a checked stack description, or None when it states none."""
    if data.get("connections") is None:
        return None
    said, found = _parse(data["connections"], _names(data["layers"]))
    if found is None:
        raise ValueError(said)
    return found


def _names(layers: list[dict[str, Any]]) -> dict[str, tuple[int, int]]:
    return {e["name"]: (e["layer"], e["datatype"]) for e in layers}
