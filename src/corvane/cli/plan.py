"""Stacks and layer planning: what a layout holds, the stack a --stack value
names, the layers --exclude leaves out, and what a conversion will draw.

What every command that draws a layout shares (lumino, view, export):
``plan_layers`` reads what the file holds, resolves the stack, matches the
exclusions, warns about every layer that will not be shown and refuses a
conversion that would draw nothing.
"""

from __future__ import annotations

import argparse
import contextlib
import fnmatch
import os
from pathlib import Path
from typing import Any, Iterator, Sequence

from corvane.cli.common import AUTO_STACK, CommandError, _check_layout_file, _count, _one_line, _pair_text, _warn


def _summarize(path: Path, texts: bool = False) -> Any:
    """What ``path`` holds; texts are counted only when asked (reading without them is quicker)."""
    from corvane import layout_info

    try:
        return layout_info.summarize(path, texts=texts)
    except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
        raise CommandError(f"{path}: cannot read the layout: {_one_line(exc)}") from None


class Stack:
    """A resolved --stack: what it is called in messages, its layer stack and views,
    and its description when it came from a file, a built-in name or 'auto'."""

    def __init__(self, label: str, layer_stack: Any, layer_views: Any, data: dict | None, pdk: bool) -> None:
        self.label = label
        self.layer_stack = layer_stack
        self.layer_views = layer_views
        self.data = data
        self.is_active_pdk = pdk

    def known_without_colour(self) -> dict[tuple[int, int], str]:
        """Pairs the description names but gives no colour (known, not drawn)."""
        if self.data is None:
            return {}
        return {
            (e["layer"], e["datatype"]): e["name"] for e in self.data["layers"] if e.get("color") is None
        }


def resolve_stack(value: str | None, summary: Any = None) -> Stack:
    """The stack a --stack value names: None (the active PDK's), 'auto' (needs the
    layout's ``summary``), a built-in name, or a layer-stack file."""
    from corvane import stacks

    if value is None:
        from corvane.core import pdk

        active = pdk.get_pdk()
        name = getattr(active, "name", None) or "active"
        return Stack(f"the active PDK {name!r}", active.layer_stack, active.layer_views, None, True)
    try:
        if value == AUTO_STACK:
            if summary is None:
                raise CommandError("--stack auto needs a layout file")
            data, label = stacks.auto(summary), "stack auto"
        elif value in stacks.builtin_names() and os.sep not in value:
            data, label = stacks.builtin(value), f"built-in stack {value}"
        else:
            path = Path(value).expanduser()
            if not path.exists() and path.suffix.lower() != ".json":
                raise CommandError(
                    f"no stack {value!r}: not a file, nor a built-in stack "
                    f"({', '.join(stacks.builtin_names())}, or auto)"
                )
            data, label = stacks.read(path), f"stack file {path.name}"
    except stacks.StackError as exc:
        raise CommandError(str(exc)) from None
    name = data.get("name") or Path(value).stem
    layer_stack, layer_views = stacks.technology(data, name)
    return Stack(label, layer_stack, layer_views, data, False)


def _stack_and_summary(value: str | None, gds: Path, texts: bool = False) -> tuple[Stack, Any]:
    """The stack and what ``gds`` holds; a stack file is checked before the layout is read."""
    if value == AUTO_STACK:
        summary = _summarize(gds, texts)
        return resolve_stack(value, summary), summary
    stack = resolve_stack(value)
    return stack, _summarize(gds, texts)


def _layer_table(stack: Stack) -> dict:
    from corvane.core import lumino

    return lumino.get_layer_properties(stack.layer_stack, stack.layer_views)


def _fnmatch_escape(text: str) -> str:
    return "".join(f"[{c}]" if c in "*?[" else c for c in text)


def match_exclusions(patterns: Sequence[str] | None, names: dict[tuple[int, int], str]) -> tuple[set, list[str]]:
    """The pairs whose shown name ("met1 (68, 20)") or bare name ("met1") matches one of
    the patterns (shell wildcards, any case), and the patterns that match none."""
    excluded: set[tuple[int, int]] = set()
    unmatched = []
    for pattern in patterns or ():
        lowered = pattern.lower()
        hits = {
            pair
            for pair, bare in names.items()
            if fnmatch.fnmatchcase(f"{bare} {_pair_text(pair)}".lower(), lowered)
            or fnmatch.fnmatchcase(bare.lower(), lowered)
        }
        if not hits:
            unmatched.append(pattern)
        excluded |= hits
    return excluded, unmatched


class LayerPlan:
    """What a conversion will draw, settled before it starts.

    ``layer_stack``, ``layer_views`` and ``exclude_layers`` are the arguments
    for ``lumino.to_3D_viewer``; ``active()`` makes the stack the active PDK's
    for ``lumino.lumino``, which reads it there.
    """

    def __init__(self, summary: Any, stack: Stack, table: dict, excluded: set) -> None:
        self.summary = summary
        self.stack = stack
        self.table = table
        self.excluded = excluded
        self.layer_stack = stack.layer_stack
        self.layer_views = stack.layer_views
        # Exact names, so lumino's own matching (full names only) leaves out the same layers.
        names = sorted(f"{table[p].name} {_pair_text(p)}" for p in excluded)
        self.exclude_layers = [_fnmatch_escape(n) for n in names] or None

    @property
    def drawn(self) -> dict[tuple[int, int], int]:
        """Shape counts of the layers that will be drawn."""
        return {
            pair: count.shapes
            for pair, count in self.summary.layers.items()
            if pair in self.table and pair not in self.excluded and count.shapes
        }

    def not_shown(self) -> list[tuple[str, int, str]]:
        """(layer, shapes, why) for every layer with shapes that the stack does not show."""
        uncoloured = self.stack.known_without_colour()
        out = []
        for pair, count in self.summary.layers.items():
            if count.shapes and pair not in self.table:
                if pair in uncoloured:
                    out.append((f"{uncoloured[pair]} {_pair_text(pair)}", count.shapes, "no colour"))
                else:
                    out.append((_pair_text(pair), count.shapes, ""))
        return out

    @contextlib.contextmanager
    def active(self) -> Iterator[None]:
        if self.stack.is_active_pdk:
            yield
            return
        import velloc.pdk

        from corvane.core import pdk

        previous = pdk.get_pdk()
        cells = getattr(previous, "cells", {})
        name = (self.stack.data or {}).get("name") or "stack"
        pdk.set_pdk(velloc.pdk.Pdk(name=name, cells=cells, layer_stack=self.layer_stack, layer_views=self.layer_views))
        try:
            yield
        finally:
            pdk.set_pdk(previous)


def plan_layers(prog: str, gds: Path, args: argparse.Namespace) -> LayerPlan:
    """Read what ``gds`` holds and settle what will be drawn with ``args.stack`` and
    ``args.exclude``: one warning for the layers not shown, one for patterns that
    match nothing, and a ``CommandError`` ("nothing to draw: ...") when nothing would be."""
    _check_layout_file(gds)
    stack, summary = _stack_and_summary(getattr(args, "stack", None), gds)
    table = _layer_table(stack)
    in_file = {pair: table[pair].name for pair in summary.layers if pair in table}
    excluded, unmatched = match_exclusions(getattr(args, "exclude", None), in_file)
    plan = LayerPlan(summary, stack, table, excluded)
    if not plan.drawn:
        raise CommandError(f"nothing to draw: {_nothing_reason(gds, summary, stack, table, excluded)}")
    if unmatched:
        quoted = ", ".join(repr(p) for p in unmatched)
        _warn(prog, f"--exclude {quoted}: no layer of {gds.name} shown by {stack.label} matches")
    missing = plan.not_shown()
    if missing:
        items = ", ".join(f"{name} {_count(n, 'shape')}" + (f" ({why})" if why else "") for name, n, why in missing)
        _warn(prog, f"{_count(len(missing), 'layer')} of {gds.name} not shown by {stack.label}: {items}")
    return plan


def _nothing_reason(gds: Path, summary: Any, stack: Stack, table: dict, excluded: set) -> str:
    with_shapes = [pair for pair, count in summary.layers.items() if count.shapes]
    if not with_shapes:
        return f"{gds.name} holds no shapes (corvane layers FILE lists what it holds)"
    shown = [pair for pair in with_shapes if pair in table]
    if not shown:
        hint = "--stack auto shows every layer; corvane layers FILE lists them"
        return f"{stack.label} shows none of the {_count(len(with_shapes), 'layer')} of {gds.name} ({hint})"
    return f"--exclude leaves out every layer of {gds.name} shown by {stack.label}"
