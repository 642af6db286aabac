"""The ``corvane`` command (also ``python -m corvane``).

    corvane lumino FILE.gds [--stack NAME|FILE|auto] [--exclude PATTERN ...] [--z-scale Z]
                            [--output layer|cell] [--curve-tolerance T|none] [--inbox DIR] [--view]
    corvane view [FILE.gds | MESSAGE.json] [--stack ...] [--exclude ...] [--z-scale Z]
                 [--screenshot OUT.png] [--size WxH] [--top] [--open] [--inbox [DIR]]
    corvane layers FILE.gds [--stack ...] [--exclude ...]
    corvane stack [FILE.gds] [--stack ...] [--lyp FILE.lyp]
    corvane inbox list|clean [--older-than DAYS] [--inbox DIR]
    corvane export FILE.gds OUT.glb [--stack ...] [--exclude ...] [--z-scale Z] [--output layer|cell]
                                    [--curve-tolerance T|none]
    corvane weftnet [FOLDER] [--plot OUT.png|OUT.svg] [--prog PROGRAM]
    corvane freeze CELL [key=value ...] [--json]
    corvane --version

Results go to standard output; warnings, progress (for work that takes
longer than about a second) and errors to standard error.  A failure is one
line, "corvane <command>: error: ...", and a non-zero exit status: 2 for a
bad command line, 1 for anything else.

Importing this module stays cheap: KLayout, numpy, shapely, matplotlib and
networkx load inside the commands that use them.
"""

from __future__ import annotations

import argparse
import contextlib
import fnmatch
import json
import math
import os
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

__all__ = [
    "CommandError",
    "LayerPlan",
    "add_exclude_option",
    "add_stack_option",
    "add_z_scale_option",
    "layout_argument",
    "main",
    "plan_layers",
]

# Work that takes longer than this many seconds says so on stderr.
PROGRESS_DELAY = 1.0


class CommandError(Exception):
    """A failure reported as one line on stderr."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line instead of usage + message
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _Progress:
    """Says on stderr what is being done once it has taken PROGRESS_DELAY
    seconds, and how long it took when it ends.  Quick work prints nothing.

    The compiled modules hold the interpreter for long stretches, so the
    notice can come a little late; it never comes after the work is done.
    """

    def __init__(self, prog: str, what: str) -> None:
        self.prog = prog
        self.what = what
        self._lock = threading.Lock()
        self._done = False
        self._said = False

    def _say(self) -> None:
        with self._lock:
            if not self._done and not self._said:
                print(f"{self.prog}: {self.what} ...", file=sys.stderr, flush=True)
                self._said = True

    def __enter__(self) -> _Progress:
        self._start = time.perf_counter()
        if PROGRESS_DELAY <= 0:
            self._say()
        self._timer = threading.Timer(PROGRESS_DELAY, self._say)
        self._timer.daemon = True
        self._timer.start()
        return self

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        self._timer.cancel()
        with self._lock:
            self._done = True
            if self._said and kind is None:
                seconds = time.perf_counter() - self._start
                print(f"{self.prog}: {self.what}: done in {seconds:.1f} s", file=sys.stderr, flush=True)


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _size(n: int) -> str:
    return f"{n:,} bytes"


# ------------------------------------------------ layouts, stacks and layers
#
# What every command that draws a layout shares (lumino, view, export):
# the options --stack, --exclude and --z-scale, and ``plan_layers``, which
# reads what the file holds, resolves the stack, matches the exclusions,
# warns about every layer that will not be shown and refuses a conversion
# that would draw nothing.

# Suffixes of layout files, told apart from layer patterns given after --exclude.
LAYOUT_SUFFIXES = (".gds", ".gds2", ".gdsii", ".gds.gz", ".oas", ".oasis", ".oas.gz")
# The --stack value that makes a stack of the file's own layers.
AUTO_STACK = "auto"


def _warn(prog: str, text: str) -> None:
    print(f"{prog}: warning: {text}", file=sys.stderr, flush=True)


def add_stack_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--stack",
        metavar="NAME|FILE|auto",
        help="layer stack: a built-in one (sky130, gf180mcu, ihp-sg13g2, photonics), a layer-stack "
        "file (.json), or 'auto' (every layer of the file, a colour each); default: the active PDK's",
    )


def add_exclude_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--exclude",
        nargs="+",
        action="extend",
        metavar="PATTERN",
        help="leave out layers whose name matches (shell wildcards, any case; 'DevRec' matches "
        "'DevRec (68, 0)'); several values, repeatable",
    )


def add_z_scale_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--z-scale",
        type=_positive,
        default=1.0,
        metavar="Z",
        help="draw heights Z times the stack's (default 1)",
    )


def add_conversion_options(parser: argparse.ArgumentParser) -> None:
    """``--output layer|cell`` and ``--curve-tolerance T|none``, as lumino takes them."""
    parser.add_argument("--output", choices=("layer", "cell"), default="layer", help="tree by layer (default) or by cell")
    parser.add_argument(
        "--curve-tolerance",
        type=_tolerance,
        default=0.01,
        metavar="T",
        help="outline simplification tolerance in um (default 0.01); 'none' keeps every point",
    )


def _looks_like_layout(value: str) -> bool:
    return value.lower().endswith(LAYOUT_SUFFIXES)


def layout_argument(args: argparse.Namespace, parser: argparse.ArgumentParser, dest: str = "gds_file") -> None:
    """Take the layout file back from ``--exclude`` when the patterns swallowed it.

    ``corvane lumino --exclude DevRec FILE.gds`` reads FILE.gds as one more
    pattern; the last pattern that names a layout file (by its suffix, or
    as an existing file) is the file.
    """
    if getattr(args, dest) is not None or not getattr(args, "exclude", None):
        return
    for k in range(len(args.exclude) - 1, -1, -1):
        value = args.exclude[k]
        if _looks_like_layout(value) or Path(value).is_file():
            setattr(args, dest, args.exclude.pop(k))
            return


def _check_layout_file(path: Path) -> None:
    if not path.exists():
        raise CommandError(f"{path}: no such file")
    if not path.is_file():
        raise CommandError(f"{path}: not a file")


def _summarize(path: Path, texts: bool = False) -> Any:
    """What ``path`` holds; texts are counted only when asked (reading without them is quicker)."""
    from corvane import layout_info

    try:
        return layout_info.summarize(path, texts=texts)
    except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
        raise CommandError(f"{path}: cannot read the layout: {_one_line(exc)}") from None


def _pair_text(pair: tuple[int, int]) -> str:
    return f"({pair[0]}, {pair[1]})"


def _count(n: int, what: str) -> str:
    return f"{n:,} {what}" + ("" if n == 1 else "s")


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


# ------------------------------------------------------------------ lumino


def _tolerance(text: str) -> float | None:
    if text.strip().lower() == "none":
        return None
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def _positive(text: str) -> float:
    value = _number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return value


def _deliver(send: Callable[[], None]) -> tuple[Any, str]:
    """Run ``send`` with the host's transport watched: (what it returned, the message text)."""
    from corvane.core import communication

    delivered: list[tuple[Any, Any]] = []
    transport = communication.get_transport()

    def watching(message: Any) -> Any:
        result = transport(message)
        delivered.append((result, getattr(message, "content", message)))
        return result

    previous = communication.set_transport(watching)
    try:
        send()
    finally:
        communication.set_transport(previous)
    if len(delivered) != 1:
        raise CommandError(f"expected one viewer message, {len(delivered)} were sent")
    result, content = delivered[0]
    if isinstance(content, (bytes, bytearray)):
        content = bytes(content).decode("utf-8")
    return result, content


def _set_inbox(inbox: str | None) -> None:
    if inbox is None:
        return
    from corvane.core import communication

    folder = Path(inbox).expanduser()
    if folder.exists() and not folder.is_dir():
        raise CommandError(f"{inbox}: the inbox is not a folder")
    communication.set_inbox(folder)


def _convert(prog: str, gds: Path, args: argparse.Namespace) -> Path | None:
    """Convert ``gds`` with lumino as ``args`` say and deliver the message, named after
    the layout; prints "message: ..." and returns the message file (None when the
    transport delivered it elsewhere)."""
    from corvane.core import communication, lumino

    output = lumino.Output.CELL if args.output == "cell" else lumino.Output.LAYER
    _check_layout_file(gds)
    with _Progress(prog, f"converting {gds} ({_size(gds.stat().st_size)}, {args.output}-wise)"):
        plan = plan_layers(prog, gds, args)

        def send() -> None:
            try:
                lumino.lumino(
                    str(gds),
                    output,
                    z_scale=args.z_scale,
                    curve_tolerance=args.curve_tolerance,
                    exclude_layers=plan.exclude_layers,
                )
            except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
                raise CommandError(f"{gds}: cannot read the layout: {_one_line(exc)}") from None

        with plan.active(), communication.message_name(_layout_name(gds)):
            result, content = _deliver(send)
    nbytes = len(content.encode("utf-8"))
    if isinstance(result, (str, os.PathLike)) and Path(result).is_file():
        message = Path(result).resolve()
        print(f"message: {message} ({_size(nbytes)})")
        return message
    print(f"message: delivered by the viewer transport ({_size(nbytes)})")
    return None


def _layout_name(gds: Path) -> str:
    name = gds.name
    for suffix in sorted(LAYOUT_SUFFIXES, key=len, reverse=True):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)] or name
    return gds.stem


def _cmd_lumino(args: argparse.Namespace) -> int:
    _set_inbox(args.inbox)
    message = _convert("corvane lumino", Path(args.gds_file), args)
    if args.view:
        if message is None:
            raise CommandError("--view needs the message in a file; the transport delivered it elsewhere")
        from corvane import viewer

        print(f"page: {viewer.write_page(message)}")
    return 0


# -------------------------------------------------------------------- view


def _window_size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size WIDTHxHEIGHT: {text!r}") from None
    if not (16 <= width <= 8192 and 16 <= height <= 8192):
        raise argparse.ArgumentTypeError(f"size out of range (16 to 8192 pixels): {text!r}")
    return width, height


def _is_message_file(path: Path) -> bool:
    """A viewer message is JSON text; anything else is taken for a layout."""
    try:
        with path.open("rb") as f:
            head = f.read(64).lstrip()
    except OSError:
        return False
    return head.startswith(b"{") or head.startswith(b"[") or path.suffix.lower() == ".json"


def _age(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.0f} s ago"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min ago"
    if seconds < 2 * 86400:
        return f"{seconds / 3600:.0f} h ago"
    return f"{seconds / 86400:.0f} days ago"


def _newest_message(inbox: Path) -> Path:
    from corvane.core import communication

    messages = communication.inbox_messages(inbox)
    if messages:
        message = messages[-1]
        about = [f"the newest of {len(messages)} in the inbox" if len(messages) > 1 else "the only one in the inbox"]
    else:
        # Files named otherwise (copied in by hand) count when nothing else is there.
        from corvane import viewer

        found = viewer.newest_message(inbox)
        if found is None:
            raise CommandError(f"no viewer message in {inbox} (convert a layout with: corvane view FILE.gds)")
        message, about = found, ["the newest file in the inbox"]
    stat = message.stat()
    layout = communication.message_layout(message)
    if layout:
        about.append(f"layout {layout}")
    about.append(f"written {_age(time.time() - stat.st_mtime)}")
    print(f"message: {message.resolve()} ({_size(stat.st_size)}; {', '.join(about)})")
    return message


def _cmd_view(args: argparse.Namespace) -> int:
    prog = "corvane view"
    shot = None
    if args.screenshot:
        # Checked before anything is converted or rendered.
        shot = Path(args.screenshot).expanduser().resolve()
        if shot.suffix.lower() != ".png":
            raise CommandError(f"{args.screenshot}: the screenshot must be a .png file")
        if not shot.parent.is_dir():
            raise CommandError(f"{shot.parent}: no such folder for the screenshot")
    source = Path(args.file) if args.file is not None else None
    layout = source is not None and source.is_file() and not _is_message_file(source)
    if source is not None:
        _check_layout_file(source)  # the same checks for a message file
    if not layout:
        given = [name for name, value in (("--stack", args.stack), ("--exclude", args.exclude)) if value]
        if args.z_scale != 1:
            given.append("--z-scale")
        if given:
            raise CommandError(
                f"{', '.join(given)} {'applies' if len(given) == 1 else 'apply'} when converting a layout "
                "(corvane view FILE.gds ...); "
                "a message's layers and heights were fixed when it was made"
            )

    from corvane import viewer

    if layout:
        if args.inbox:
            _set_inbox(args.inbox)
        message = _convert(prog, source, args)
        if message is None:
            raise CommandError("the viewer page needs the message in a file; the transport delivered it elsewhere")
    elif source is not None:
        if args.inbox is not None:
            raise CommandError("give a message file or --inbox, not both")
        message = source
    else:
        from corvane.core import communication

        inbox = Path(args.inbox).expanduser() if args.inbox else communication.get_inbox()
        message = _newest_message(inbox)
    try:
        page = viewer.write_page(message)
    except viewer.MessageError as exc:
        raise CommandError(str(exc)) from None
    print(f"page: {page.resolve()}")
    # Viewer options travel in the page address.
    fragment = "view=top" if args.top else ""
    if shot is not None:
        from corvane.viewer import headless

        with _Progress(prog, f"rendering {page.name} in headless Chromium"):
            try:
                shot = headless.screenshot(page, shot, size=args.size, fragment=fragment)
            except headless.ChromiumError as exc:
                raise CommandError(str(exc)) from None
        print(f"screenshot: {shot}")
    if args.open:
        import webbrowser

        from corvane.viewer import headless

        if not webbrowser.open(headless.page_url(page, fragment)):
            raise CommandError(f"no web browser to open {page}")
    return 0


# ------------------------------------------------------------------ layers


def _table(rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.rjust(widths[k]) if k in right else cell.ljust(widths[k]) for k, cell in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
    return lines


def _cmd_layers(args: argparse.Namespace) -> int:
    prog = "corvane layers"
    gds = Path(args.gds_file)
    _check_layout_file(gds)
    with _Progress(prog, f"reading {gds}"):
        stack, summary = _stack_and_summary(args.stack, gds, texts=True)
    table = _layer_table(stack)
    in_file = {pair: table[pair].name for pair in summary.layers if pair in table}
    excluded, unmatched = match_exclusions(args.exclude, in_file)
    if unmatched:
        quoted = ", ".join(repr(p) for p in unmatched)
        _warn(prog, f"--exclude {quoted}: no layer of {gds.name} shown by {stack.label} matches")
    uncoloured = stack.known_without_colour()

    tops = ", ".join(summary.top_cells) or "none"
    print(f"file: {gds}")
    print(f"cells: {summary.cells:,}; top {'cells' if len(summary.top_cells) != 1 else 'cell'}: {tops}; "
          f"hierarchy depth: {summary.depth}; database unit: {summary.dbu:g} um")
    print(f"shown by: {stack.label}")
    rows = [["layer", "shapes", "texts", "shown", "name", "zmin", "thickness", "color"]]
    drawn = drawn_layers = 0
    for pair, count in summary.layers.items():
        row = [_pair_text(pair), f"{count.shapes:,}", f"{count.texts:,}"]
        if pair in table:
            level = table[pair]
            shown = "excluded" if pair in excluded else ("yes" if count.shapes else "no (texts only)")
            row += [shown, level.name, f"{level.zmin:g}", f"{level.thickness:g}", level.color]
            if shown == "yes":
                drawn += count.shapes
                drawn_layers += 1
        elif pair in uncoloured:
            row += ["no (no colour)", uncoloured[pair], "", "", ""]
        else:
            row += ["no (not in the stack)" if count.shapes else "no (texts only)", "", "", "", ""]
        rows.append(row)
    for line in _table(rows, right={1, 2, 5, 6}):
        print(line)
    print(
        f"{_count(summary.shapes, 'shape')} on {_count(sum(1 for c in summary.layers.values() if c.shapes), 'layer')}, "
        f"{drawn:,} shown on {drawn_layers}; {_count(summary.texts, 'text')} (never drawn); each cell counted once"
    )
    return 0


# ------------------------------------------------------------------- stack


def _cmd_stack(args: argparse.Namespace) -> int:
    from corvane import stacks

    if args.gds_file is None:
        if args.stack is None or args.stack == AUTO_STACK or args.lyp is not None:
            raise CommandError("give a layout file, or --stack NAME|FILE to print that stack")
        stack = resolve_stack(args.stack)
        sys.stdout.write(stacks.to_json(stack.data))
        return 0
    gds = Path(args.gds_file)
    _check_layout_file(gds)
    stack, summary = _stack_and_summary(args.stack, gds)
    if args.stack == AUTO_STACK:
        data = stack.data
    else:
        data = stacks.for_layout(summary, _layer_table(stack), stack.label)
    if not data["layers"]:
        raise CommandError(f"{gds} holds no shapes: no layer to put in a stack")
    if args.lyp is not None:
        try:
            data = stacks.recolor(data, stacks.lyp_layers(args.lyp), Path(args.lyp).name)
        except stacks.StackError as exc:
            raise CommandError(str(exc)) from None
    try:
        sys.stdout.write(stacks.to_json(stacks.check(data, "the stack made")))
    except stacks.StackError as exc:  # a colour of the .lyp file that is no colour
        raise CommandError(str(exc)) from None
    return 0


# ------------------------------------------------------------------- inbox


def _inbox_folder(args: argparse.Namespace) -> Path:
    from corvane.core import communication

    return Path(args.inbox).expanduser() if args.inbox else communication.get_inbox()


def _days(text: str) -> float:
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _cmd_inbox(args: argparse.Namespace) -> int:
    from corvane.core import communication

    inbox = _inbox_folder(args)
    if inbox.exists() and not inbox.is_dir():
        raise CommandError(f"{inbox}: the inbox is not a folder")
    if args.action == "list":
        messages = communication.inbox_messages(inbox)
        now = time.time()
        rows = [["written", "size", "layout", "message"]]
        total = 0
        for message in messages:
            stat = message.stat()
            total += stat.st_size
            written = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stat.st_mtime))
            rows.append([written, f"{stat.st_size:,}", communication.message_layout(message) or "-", str(message)])
        if messages:
            for line in _table(rows, right={1}):
                print(line)
        oldest = f", the oldest written {_age(now - messages[0].stat().st_mtime)}" if messages else ""
        print(f"{inbox}: {_count(len(messages), 'message')}, {_size(total)}{oldest}", file=sys.stderr)
        return 0
    older = None if args.older_than is None else args.older_than * 86400.0
    sizes = {m: m.stat().st_size for m in communication.inbox_messages(inbox)}
    removed = communication.clean_inbox(inbox, older_than=older)
    freed = sum(sizes.get(m, 0) for m in removed)
    kept = len(sizes) - len(removed)
    print(f"removed {_count(len(removed), 'message')} ({_size(freed)}) from {inbox}; {kept} kept")
    return 0


# ------------------------------------------------------------------ export


def _glb_argument(args: argparse.Namespace) -> Path:
    """OUT.glb, taken back from ``--exclude`` when the patterns swallowed it."""
    if args.out is None:
        for k in range(len(args.exclude or []) - 1, -1, -1):
            if args.exclude[k].lower().endswith(".glb"):
                args.out = args.exclude.pop(k)
                break
    if args.out is None:
        raise CommandError("the following arguments are required: OUT.glb")
    out = Path(args.out).expanduser()
    if out.suffix.lower() != ".glb":
        raise CommandError(f"{args.out}: the 3D file must be a .glb file (glTF binary)")
    if out.is_dir():
        raise CommandError(f"{out}: is a folder")
    if not out.resolve().parent.is_dir():
        raise CommandError(f"{out.resolve().parent}: no such folder for the 3D file")
    return out


def _cmd_export(args: argparse.Namespace) -> int:
    prog = "corvane export"
    gds = Path(args.gds_file)
    out = _glb_argument(args)
    _check_layout_file(gds)
    from corvane.core import lumino
    from corvane.export import NothingToDraw, gds_to_glb

    output = lumino.Output.CELL if args.output == "cell" else lumino.Output.LAYER
    with _Progress(prog, f"writing {out.name} from {gds} ({_size(gds.stat().st_size)}, {args.output}-wise)"):
        plan = plan_layers(prog, gds, args)
        try:
            summary = gds_to_glb(
                gds,
                out,
                output,
                layer_stack=plan.layer_stack,
                layer_views=plan.layer_views,
                z_scale=args.z_scale,
                curve_tolerance=args.curve_tolerance,
                exclude_layers=plan.exclude_layers,
                require_shapes=True,
            )
        except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
            raise CommandError(f"{gds}: cannot read the layout: {_one_line(exc)}") from None
        except NothingToDraw:
            raise CommandError(f"nothing to draw: no shape of {gds} is on a layer of the layer stack; {out} not written") from None
    counts = [(summary.layers, "layer"), (summary.meshes, "mesh"), (summary.placements, "placement"), (summary.triangles, "triangle")]
    said = ", ".join(f"{n:,} {word}{'' if n == 1 else 'es' if word == 'mesh' else 's'}" for n, word in counts)
    print(f"glb: {summary.path.resolve()} ({_size(summary.bytes)}): {said}; lengths in micrometres")
    return 0


# ----------------------------------------------------------------- weftnet


# The plot file: graphviz lays the graph out in points (1/72 inch) with room for
# each name at 14 points; drawn at that scale, labels of this size stay apart.
PLOT_LABEL_POINTS = 9
PLOT_MAX_INCHES = 60.0
PLOT_MAX_PIXELS = 12000


def _fit_plot(fig: Any, ax: Any) -> float:
    """Size the figure to the graph's layout, make the labels readable and move the legend
    beside the drawing; returns the resolution for a raster file."""
    (x0, y0), (x1, y1) = ax.dataLim.get_points()
    width = min(max((x1 - x0) / 72 + 1.5, 4.0), PLOT_MAX_INCHES)
    height = min(max((y1 - y0) / 72 + 1.5, 3.0), PLOT_MAX_INCHES)
    fig.set_size_inches(width, height)
    from matplotlib.transforms import offset_copy

    # Each name just below its node, so that the node's colour stays in sight.
    below = offset_copy(ax.transData, fig=fig, y=-6, units="points")
    for label in ax.texts:
        label.set_fontsize(PLOT_LABEL_POINTS)
        label.set_transform(below)
        label.set_verticalalignment("top")
        label.set_bbox({"boxstyle": "round,pad=0.1", "facecolor": "white", "edgecolor": "none", "alpha": 0.7})
    legend = ax.get_legend()
    if legend is not None:  # outside the axes, so it covers no node
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, title="library")
    return min(150.0, PLOT_MAX_PIXELS / max(width, height))


def _project_on_path(folder: Path) -> None:
    """Put the project's folder first on sys.path (and its src/ folder when the PDK lies there).

    Library discovery imports the PDK module the project's settings name.
    ``python -m corvane`` has the current folder on sys.path, the installed
    ``corvane`` script only its own bin folder: with the project's folder
    first, both find the same PDK.
    """
    from corvane import settings

    pyproject = settings.find_pyproject(folder)
    root = (pyproject.parent if pyproject is not None else folder).resolve()
    entries = [root]
    top = settings.get_pdk_name().partition(".")[0]
    src = root / "src"
    if not (root / top).exists() and not (root / f"{top}.py").exists():
        if (src / top).is_dir() or (src / f"{top}.py").is_file():
            entries.insert(0, src)
    for entry in reversed(entries):
        sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != entry]
        sys.path.insert(0, str(entry))


def _cmd_weftnet(args: argparse.Namespace) -> int:
    prog = "corvane weftnet"
    folder = Path(args.folder).expanduser() if args.folder else Path.cwd()
    if not folder.is_dir():
        raise CommandError(f"{folder}: no such project folder")
    out = None
    if args.plot:
        out = Path(args.plot).resolve()
        if out.suffix.lower() not in (".png", ".svg", ".pdf"):
            raise CommandError(f"{args.plot}: the plot must be a .png, .svg or .pdf file")
        if not out.parent.is_dir():
            raise CommandError(f"{out.parent}: no such folder for the plot")
    # Settings and library discovery read the project from the current folder.
    os.chdir(folder)
    _project_on_path(folder)
    from corvane.core import weftnet

    with _Progress(prog, f"building the call graph of {folder}"):
        G = weftnet.create_weftnet()
    if out is None:
        records = weftnet.get_static_records(G)
        for name, record in records.items():
            calls = ", ".join(record.children)
            print(f"{name}: {record.full_name}" + (f" -> {calls}" if calls else ""))
        print(f"{len(records)} factories, {G.number_of_edges()} calls", file=sys.stderr)
        return 0
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with _Progress(prog, f"plotting {len(G)} factories"):
        try:
            weftnet.plot_weftnet(G, prog=args.prog, show=False)
            dpi = _fit_plot(plt.gcf(), plt.gca())
            plt.savefig(out, bbox_inches="tight", dpi=dpi)
        except FileNotFoundError as exc:  # pydot without the graphviz programs
            raise CommandError(f"graphviz program {args.prog!r} not found: {_one_line(exc)}") from None
        finally:
            plt.close("all")
    print(f"plot: {out} ({_size(out.stat().st_size)})")
    return 0


# ------------------------------------------------------------------ freeze


def _setting(text: str) -> tuple[str, Any]:
    key, sep, value = text.partition("=")
    if not sep or not key.isidentifier():
        raise argparse.ArgumentTypeError(f"not a setting key=value: {text!r}")
    try:
        return key, json.loads(value)  # numbers, true/false/null, lists, objects
    except json.JSONDecodeError:
        return key, value  # anything else is text


def _cmd_freeze(args: argparse.Namespace) -> int:
    from corvane.core import freeze

    settings = dict(args.settings)
    try:
        netlist = freeze.freeze(args.cell, **settings)
    except (FileNotFoundError, RuntimeError, ValueError, TypeError, KeyError) as exc:
        raise CommandError(f"{args.cell}: {_one_line(exc)}") from None
    if args.json:
        print(json.dumps(netlist, indent=2, default=str))
        return 0
    for section, value in netlist.items():
        print(f"{section}:")
        items = value.items() if isinstance(value, dict) else enumerate(value)
        for key, item in items:
            print(f"  {key}: {json.dumps(item, default=str)}")
    return 0


# -------------------------------------------------------------------- main


def _version() -> str:
    from corvane.core.versions import installed_version

    found = installed_version("corvane")
    if found is None:
        import corvane

        return getattr(corvane, "__version__", "unknown")
    return found


class _VersionAction(argparse.Action):
    """--version: the version is looked up only when asked for, not on every start."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: Any, values: Any, option_string: Any = None) -> None:
        print(f"corvane {_version()}")
        parser.exit()


def _add_lumino(commands: Any) -> None:
    p = commands.add_parser(
        "lumino",
        prog="corvane lumino",
        help="send a GDS layout to the 3D viewer",
        description="Convert a GDS layout into one 3D viewer message and deliver it (by default into "
        "the viewer inbox, ~/.corvane/viewer_inbox, named after the layout); prints the message file "
        "and its size. Layers the stack does not show are named in a warning.",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    add_stack_option(p)
    add_exclude_option(p)
    add_z_scale_option(p)
    add_conversion_options(p)
    p.add_argument("--inbox", metavar="DIR", help="deliver into this inbox folder")
    p.add_argument("--view", action="store_true", help="also write the viewer page beside the message")
    p.set_defaults(run=_cmd_lumino, needs_layout=True)


def _add_view(commands: Any) -> None:
    p = commands.add_parser(
        "view",
        prog="corvane view",
        help="show a layout (or a viewer message) in the viewer page; screenshot it",
        description="Given a layout, convert it as corvane lumino does and write the viewer page beside "
        "the message; given a message file, write its page; given nothing, take the newest message of "
        "the viewer inbox and say which. Prints the page's path.",
    )
    p.add_argument("file", nargs="?", metavar="FILE.gds|MESSAGE.json", help="a layout or a message file")
    add_stack_option(p)
    add_exclude_option(p)
    add_z_scale_option(p)
    add_conversion_options(p)
    p.add_argument(
        "--inbox",
        nargs="?",
        const="",
        metavar="DIR",
        help="the viewer inbox to deliver to, or to take the newest message from (default inbox without DIR)",
    )
    p.add_argument("--open", action="store_true", help="open the page in the web browser")
    p.add_argument("--screenshot", metavar="OUT.png", help="save what the page shows, rendered by headless Chromium")
    p.add_argument("--size", type=_window_size, default=(1280, 800), metavar="WxH", help="screenshot size (default 1280x800)")
    p.add_argument("--top", action="store_true", help="view from above instead of the oblique view")
    p.set_defaults(run=_cmd_view, needs_layout=False)


def _add_layers(commands: Any) -> None:
    p = commands.add_parser(
        "layers",
        prog="corvane layers",
        help="what a layout holds per layer, and what the stack shows of it",
        description="List every (layer, datatype) of the layout with its shapes and texts (each cell "
        "counted once), whether the stack shows it and as what (name, zmin, thickness, colour); the top "
        "cells and the depth of the hierarchy.",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    add_stack_option(p)
    add_exclude_option(p)
    p.set_defaults(run=_cmd_layers, needs_layout=True)


def _add_stack(commands: Any) -> None:
    p = commands.add_parser(
        "stack",
        prog="corvane stack",
        help="write a layer-stack file to edit, for a layout's layers",
        description="Print a layer-stack file for the layers of FILE.gds: the figures of --stack for the "
        "layers it shows, made-up levels and colours for the others. Without a file, print the --stack "
        "given. Redirect it into a file: corvane stack FILE.gds --stack sky130 > mine.json",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    add_stack_option(p)
    p.add_argument("--lyp", metavar="FILE.lyp", help="colours (and names of layers the stack lacks) from a KLayout "
                   "layer-properties file")
    p.set_defaults(run=_cmd_stack, needs_layout=False)


def _add_inbox(commands: Any) -> None:
    p = commands.add_parser(
        "inbox",
        prog="corvane inbox",
        help="list or clean the viewer inbox",
        description="List the messages of the viewer inbox (oldest first), or remove them with their pages.",
    )
    p.add_argument("action", choices=("list", "clean"), help="list the messages, or remove them")
    p.add_argument(
        "--older-than", type=_days, metavar="DAYS", help="clean: only messages older than DAYS days (default: all)"
    )
    p.add_argument("--inbox", metavar="DIR", help="this inbox folder instead of the default")
    p.set_defaults(run=_cmd_inbox, needs_layout=False)


def _add_export(commands: Any) -> None:
    p = commands.add_parser(
        "export",
        prog="corvane export",
        help="write a GDS layout as a 3D file (glTF binary)",
        description="Write the layout as glTF 2.0 binary (.glb) for Blender and other 3D tools: what the viewer "
        "shows, one mesh per cell and layer, placements as instances, a material per layer, lengths in "
        "micrometres. Scene 0 places every instance as a node (any glTF viewer); scene 1 uses "
        "EXT_mesh_gpu_instancing. Layers the stack does not show are named in a warning.",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    p.add_argument("out", nargs="?", metavar="OUT.glb", help="the 3D file to write")
    add_stack_option(p)
    add_exclude_option(p)
    add_z_scale_option(p)
    add_conversion_options(p)
    p.set_defaults(run=_cmd_export, needs_layout=True)


def _add_weftnet(commands: Any) -> None:
    p = commands.add_parser(
        "weftnet",
        prog="corvane weftnet",
        help="the call graph of a project's cell factories",
        description="Build the call graph of the cell factories of the project in FOLDER (default: the "
        "current folder) and of the libraries it uses; print one line per factory (after the factories it "
        "calls), or plot it.",
    )
    p.add_argument("folder", nargs="?", metavar="FOLDER", help="project folder (default: the current folder)")
    p.add_argument("--plot", metavar="OUT.png|OUT.svg", help="draw the graph into this file (.png, .svg or .pdf)")
    p.add_argument("--prog", default="dot", help="graphviz layout program for --plot (default dot)")
    p.set_defaults(run=_cmd_weftnet)


def _add_freeze(commands: Any) -> None:
    p = commands.add_parser(
        "freeze",
        prog="corvane freeze",
        help="a cell of the active PDK as a schematic netlist",
        description="Build CELL of the active PDK with the given settings and print its schematic netlist.",
    )
    p.add_argument("cell", metavar="CELL", help="cell name, e.g. mzi")
    p.add_argument(
        "settings", nargs="*", type=_setting, metavar="key=value", help="cell settings; values are JSON or text"
    )
    p.add_argument("--json", action="store_true", help="print the netlist as JSON")
    p.set_defaults(run=_cmd_freeze)


# One function per subcommand; the order is the order of the help.
COMMANDS = [_add_lumino, _add_view, _add_layers, _add_stack, _add_inbox, _add_export, _add_weftnet, _add_freeze]


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = _Parser(prog="corvane", description="corvane's compiled core from the command line.")
    parser.add_argument("--version", action=_VersionAction, help="show program's version number and exit")
    parser.add_argument("--traceback", action="store_true", help="show the Python traceback of a failure")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    for add in COMMANDS:
        add(commands)
    return parser, commands.choices


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (default: the process's); returns the exit status."""
    parser, subparsers = _parser()
    args = parser.parse_args(argv)
    sub = subparsers[args.command]
    if hasattr(args, "gds_file"):
        layout_argument(args, sub, "gds_file")
        if getattr(args, "needs_layout", False) and args.gds_file is None:
            sub.error("the following arguments are required: FILE.gds")
    elif hasattr(args, "file"):
        layout_argument(args, sub, "file")
    prog = f"corvane {args.command}"
    try:
        return args.run(args)
    except CommandError as exc:
        if args.traceback:
            raise
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as exc:  # anything unforeseen: still one line
        if args.traceback:
            raise
        print(f"{prog}: error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1
