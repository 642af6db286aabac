"""Stacks and layer planning: what a layout holds, the stack a --stack value
names (a built-in one, a file, auto, or detect: the built-in stack the
layout looks like), the layers --exclude leaves out, the purposes --show
adds, and what a conversion will draw.

What every command that draws a layout shares (lumino, view, export):
``plan_layers`` reads what the file holds, resolves the stack, matches the
exclusions, warns about every layer that will not be shown and refuses a
conversion that would draw nothing, naming the built-in stack the layout
looks like when there is one.
"""

from __future__ import annotations

import argparse
import contextlib
import fnmatch
import os
from pathlib import Path
from typing import Any, Iterator, Sequence

from corvane.cli.common import (
    AUTO_STACK,
    DETECT_STACK,
    SHOW_WORDS,
    CommandError,
    UsageError,
    _check_layout_file,
    _count,
    _looks_like_layout,
    _one_line,
    _pair_text,
    _warn,
)


def _summarize(path: Path, texts: bool = False) -> Any:
    """What ``path`` holds; texts are counted only when asked (reading without them is quicker)."""
    from corvane import layout_info

    try:
        return layout_info.summarize(path, texts=texts)
    except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
        raise CommandError(f"{path}: cannot read the layout: {_one_line(exc)}") from None
    except ValueError as exc:  # refused before the read: "gds_file '/abs/x.gds': database unit not positive (0 um)"
        reason = _one_line(exc).partition("': ")[2]
        raise CommandError(f"{path}: cannot read the layout: {reason}") from None


class Stack:
    """A resolved --stack: what it is called in messages, its layer stack and views,
    and its description when it came from a file, a built-in name or 'auto'."""

    def __init__(self, label: str, layer_stack: Any, layer_views: Any, data: dict | None, pdk: bool,
                 show: Sequence[str] = (), builtin: str | None = None) -> None:
        self.label = label
        self.layer_stack = layer_stack
        self.layer_views = layer_views
        self.data = data
        self.is_active_pdk = pdk
        self.show = tuple(show)
        self.builtin = builtin  # the built-in stack's name, when it is one

    def entries(self) -> dict[tuple[int, int], dict]:
        """The description's entries by pair (the first of a pair), empty for the active PDK."""
        if self.data is None:
            return {}
        from corvane.stacks.detect import entries_by_pair

        return entries_by_pair(self.data)

    def not_drawn(self) -> dict[tuple[int, int], tuple[str, str]]:
        """(name, why) of the pairs the description knows but does not draw: "no colour",
        or the purpose that --show would draw ("pin", "marker", ...)."""
        from corvane import stacks

        out = {}
        for pair, entry in self.entries().items():
            if entry.get("color") is None:
                out[pair] = (entry["name"], "no colour")
            elif not stacks.drawn(entry, self.show):
                out[pair] = (entry["name"], stacks.purpose(entry))
        return out

    def known_without_colour(self) -> dict[tuple[int, int], str]:
        """Pairs the description names but gives no colour (known, not drawn)."""
        return {pair: name for pair, (name, why) in self.not_drawn().items() if why == "no colour"}


def _stack_names() -> str:
    from corvane import stacks

    return f"{', '.join(stacks.builtin_names())}; or {AUTO_STACK}, {DETECT_STACK}"


def _unknown_stack(value: str) -> CommandError:
    """No such stack: the nearest name when there is one, and the names there are."""
    import difflib

    from corvane import stacks

    names = [*stacks.builtin_names(), AUTO_STACK, DETECT_STACK]
    close = difflib.get_close_matches(value.lower(), names, n=1, cutoff=0.6)
    hint = f"; did you mean {close[0]!r}?" if close else ""
    return CommandError(f"no stack {value!r}: not a file, nor a built-in stack{hint} (built in: {_stack_names()})")


def _detected(summary: Any) -> Any:
    from corvane.stacks import detect

    return detect.detect(summary)


def _detect_failure(summary: Any) -> CommandError:
    from corvane.stacks import detect

    name = Path(summary.path).name
    tied = detect.ties(summary)
    if tied:
        return CommandError(
            f"--stack {DETECT_STACK}: {name} fits {', '.join(tied[:-1])} and {tied[-1]} alike; name one with --stack"
        )
    drawing = [fit for fit in detect.fits(summary) if fit.drawn]
    best = drawing[0] if drawing else None
    said = f" (at best {best.name}, {best.fraction:.0%})" if best is not None else ""
    return CommandError(
        f"--stack {DETECT_STACK}: no built-in stack knows most of the shapes of {name}{said}; "
        f"--stack {AUTO_STACK} shows every layer"
    )


def resolve_stack(value: str | None, summary: Any = None, show: Sequence[str] = ()) -> Stack:
    """The stack a --stack value names: None (the active PDK's), 'auto' or 'detect'
    (both need the layout's ``summary``), a built-in name, or a layer-stack file.
    ``show`` names the purposes drawn besides drawing and fill layers."""
    from corvane import stacks

    if value is None:
        from corvane.core import pdk

        active = pdk.get_pdk()
        name = getattr(active, "name", None) or "active"
        return Stack(f"the active PDK {name!r}", active.layer_stack, active.layer_views, None, True)
    builtin = None
    try:
        if value in (AUTO_STACK, DETECT_STACK):
            if summary is None:
                raise UsageError(f"--stack {value} needs a layout file")
            if value == AUTO_STACK:
                data, label = stacks.auto(summary), "stack auto"
            else:
                fit = _detected(summary)
                if fit is None:
                    raise _detect_failure(summary)
                builtin = fit.name
                data, label = stacks.builtin(fit.name), f"built-in stack {fit.name} (detected)"
        elif value in stacks.builtin_names() and os.sep not in value:
            builtin = value
            data, label = stacks.builtin(value), f"built-in stack {value}"
        else:
            path = Path(value).expanduser()
            if not path.exists() and path.suffix.lower() != ".json":
                raise _unknown_stack(value)
            if path.is_file() and (_looks_like_layout(value) or _layout_bytes(path)):
                raise CommandError(
                    f"{value}: a layout file, not a layer stack (--stack takes a built-in name, a .json "
                    f"layer-stack file, {AUTO_STACK} or {DETECT_STACK}; the layout goes before the options)"
                )
            data, label = stacks.read(path), f"stack file {path.name}"
    except stacks.StackError as exc:
        raise CommandError(str(exc)) from None
    name = data.get("name") or Path(value).stem
    layer_stack, layer_views = stacks.technology(data, name, show)
    return Stack(label, layer_stack, layer_views, data, False, show, builtin)


# How layout files start: GDS2's HEADER record, OASIS's magic, gzip.
_LAYOUT_MAGIC = (b"\x00\x06\x00\x02", b"%SEMI-OASIS", b"\x1f\x8b")


def _layout_bytes(path: Path) -> bool:
    try:
        with path.open("rb") as f:
            head = f.read(16)
    except OSError:
        return False
    return head.startswith(_LAYOUT_MAGIC)


def _show(args: argparse.Namespace) -> tuple[str, ...]:
    return tuple(getattr(args, "show", None) or ())


def _stack_and_summary(value: str | None, gds: Path, texts: bool = False, show: Sequence[str] = ()) -> tuple[Stack, Any]:
    """The stack and what ``gds`` holds; a stack file is checked before the layout is read."""
    if value in (AUTO_STACK, DETECT_STACK):
        summary = _summarize(gds, texts)
        return resolve_stack(value, summary, show), summary
    stack = resolve_stack(value, show=show)
    return stack, _summarize(gds, texts)


def looks_like_hint(summary: Any, stack: Stack) -> str:
    """"this looks like sky130: --stack sky130" when a built-in stack other than
    ``stack`` fits the layout and would draw more of it, else ""."""
    fit = _detected(summary)
    if fit is None or fit.name == stack.builtin:
        return ""
    return f"this looks like {fit.name}: --stack {fit.name} (or --stack {DETECT_STACK})"


def _layer_table(stack: Stack) -> dict:
    from corvane.core import lumino

    return lumino.get_layer_properties(stack.layer_stack, stack.layer_views)


def _fnmatch_escape(text: str) -> str:
    return "".join(f"[{c}]" if c in "*?[" else c for c in text)


def match_exclusions(patterns: Sequence[str] | None, names: dict[tuple[int, int], str],
                     published: dict[tuple[int, int], str] | None = None) -> tuple[set, list[str]]:
    """The pairs whose shown name ("met1 (68, 20)"), bare name ("met1"), pair ("68/20")
    or published name ("met1.drawing", from ``published``) matches one of the patterns
    (shell wildcards, any case), and the patterns that match none."""
    published = published or {}
    excluded: set[tuple[int, int]] = set()
    unmatched = []
    for pattern in patterns or ():
        lowered = pattern.lower()
        hits = set()
        for pair, bare in names.items():
            forms = [f"{bare} {_pair_text(pair)}", bare, f"{pair[0]}/{pair[1]}"]
            if published.get(pair):
                forms.append(published[pair])
            if any(fnmatch.fnmatchcase(form.lower(), lowered) for form in forms):
                hits.add(pair)
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
        """(layer, shapes, why) for every layer with shapes that the stack does not show;
        why is "" (not in the stack), "no colour", or the purpose --show would draw."""
        known = self.stack.not_drawn()
        out = []
        for pair, count in self.summary.layers.items():
            if count.shapes and pair not in self.table:
                if pair in known:
                    name, why = known[pair]
                    out.append((f"{name} {_pair_text(pair)}", count.shapes, why))
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
    """Read what ``gds`` holds and settle what will be drawn with ``args.stack``,
    ``args.show`` and ``args.exclude``: one warning for the layers not shown, one for
    the pins, labels, boundaries and markers left undrawn, one for patterns that match
    nothing, and a ``CommandError`` ("nothing to draw: ...") when nothing would be."""
    _check_layout_file(gds)
    value = getattr(args, "stack", None)
    stack, summary = _stack_and_summary(value, gds, show=_show(args))
    table = _layer_table(stack)
    in_file = {pair: table[pair].name for pair in summary.layers if pair in table}
    published = {pair: e.get("published") for pair, e in stack.entries().items() if e.get("published")}
    excluded, unmatched = match_exclusions(getattr(args, "exclude", None), in_file, published)
    plan = LayerPlan(summary, stack, table, excluded)
    if not plan.drawn:
        raise CommandError(f"nothing to draw: {_nothing_reason(gds, summary, stack, table, excluded)}")
    if unmatched:
        quoted = ", ".join(repr(p) for p in unmatched)
        _warn(prog, f"--exclude {quoted}: no layer of {gds.name} shown by {stack.label} matches")
    missing = plan.not_shown()
    absent = [(name, n, why) for name, n, why in missing if why in ("", "no colour")]
    if absent:
        items = ", ".join(f"{name} {_count(n, 'shape')}" + (f" ({why})" if why else "") for name, n, why in absent)
        hint = looks_like_hint(summary, stack) if value is None else ""
        _warn(prog, f"{_count(len(absent), 'layer')} of {gds.name} not shown by {stack.label}: {items}"
              + (f"; {hint}" if hint else ""))
    hidden = [(name, n, why) for name, n, why in missing if why not in ("", "no colour")]
    if hidden:
        _warn(prog, f"not drawn unless asked: {_by_purpose(hidden)}")
    return plan


def _by_purpose(hidden: list[tuple[str, int, str]]) -> str:
    """"pins on 3 layers (94 shapes), markers on 1 layer (11 shapes) (--show pins,markers)"."""
    groups: dict[str, list[int]] = {}
    for _, shapes, why in hidden:
        groups.setdefault(why, []).append(shapes)
    words = {purpose: word for word, purpose in SHOW_WORDS.items()}
    said = [
        f"{words.get(why, why)} on {_count(len(counts), 'layer')} ({_count(sum(counts), 'shape')})"
        for why, counts in groups.items()
    ]
    return ", ".join(said) + f" (--show {','.join(words.get(why, why) for why in groups)})"


def _nothing_reason(gds: Path, summary: Any, stack: Stack, table: dict, excluded: set) -> str:
    with_shapes = [pair for pair, count in summary.layers.items() if count.shapes]
    if not with_shapes:
        return f"{gds.name} holds no shapes (corvane layers FILE lists what it holds)"
    shown = [pair for pair in with_shapes if pair in table]
    if not shown:
        said = f"{stack.label} shows none of the {_count(len(with_shapes), 'layer')} of {gds.name}"
        hint = looks_like_hint(summary, stack)
        if hint:
            return f"{said}; {hint}"
        return f"{said} (--stack {AUTO_STACK} shows every layer; corvane layers FILE lists them)"
    return f"--exclude leaves out every layer of {gds.name} shown by {stack.label}"
