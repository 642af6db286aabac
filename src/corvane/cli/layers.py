"""What a layout holds and what a stack makes of it: layers (a table per
layer) and stack (a layer-stack file to edit, for a layout's layers)."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from corvane.cli.common import (
    AUTO_STACK,
    DETECT_STACK,
    SHOW_WORDS,
    CommandError,
    UsageError,
    _check_layout_file,
    _count,
    _pair_text,
    _Progress,
    _table,
    _warn,
    add_exclude_option,
    add_show_option,
    add_stack_option,
)
from corvane.cli.plan import _layer_table, _show, _stack_and_summary, looks_like_hint, match_exclusions, resolve_stack

_SHOW_WORD = {purpose: word for word, purpose in SHOW_WORDS.items()}


def _cmd_layers(args: argparse.Namespace) -> int:
    prog = "corvane layers"
    gds = Path(args.gds_file)
    _check_layout_file(gds)
    with _Progress(prog, f"reading {gds}"):
        stack, summary = _stack_and_summary(args.stack, gds, texts=True, show=_show(args))
    table = _layer_table(stack)
    entries = stack.entries()
    in_file = {pair: table[pair].name for pair in summary.layers if pair in table}
    published = {pair: e.get("published") for pair, e in entries.items() if e.get("published")}
    excluded, unmatched = match_exclusions(args.exclude, in_file, published)
    if unmatched:
        quoted = ", ".join(repr(p) for p in unmatched)
        _warn(prog, f"--exclude {quoted}: no layer of {gds.name} shown by {stack.label} matches")
    not_drawn = stack.not_drawn()

    tops = ", ".join(summary.top_cells) or "none"
    print(f"file: {gds}")
    print(f"cells: {summary.cells:,}; top {'cells' if len(summary.top_cells) != 1 else 'cell'}: {tops}; "
          f"hierarchy depth: {summary.depth}; database unit: {summary.dbu:g} um")
    print(f"shown by: {stack.label}")
    rows = [["layer", "shapes", "texts", "shown", "name", "purpose", "zmin", "thickness", "color", "published"]]
    drawn = drawn_layers = 0
    for pair, count in summary.layers.items():
        row = [_pair_text(pair), f"{count.shapes:,}", f"{count.texts:,}"]
        entry = entries.get(pair, {})
        kind = entry.get("purpose") or "drawing"
        if pair in table:
            level = table[pair]
            shown = "excluded" if pair in excluded else ("yes" if count.shapes else "no (texts only)")
            row += [shown, level.name, kind, f"{level.zmin:g}", f"{level.thickness:g}", level.color]
            if shown == "yes":
                drawn += count.shapes
                drawn_layers += 1
        elif pair in not_drawn:
            name, why = not_drawn[pair]
            said = why if why == "no colour" else f"{why}: --show {_SHOW_WORD.get(why, why)}"
            if not count.shapes:
                said = "texts only" if why == "no colour" else f"{why}, texts only"
            figures = [f"{entry['zmin']:g}", f"{entry['thickness']:g}", entry.get("color") or ""]
            row += [f"no ({said})", name, kind, *figures]
        else:
            row += ["no (not in the stack)" if count.shapes else "no (texts only)", "", "", "", "", ""]
        row.append(entry.get("published") or "")
        rows.append(row)
    for line in _table(rows, right={1, 2, 6, 7}):
        print(line)
    print(
        f"{_count(summary.shapes, 'shape')} on {_count(sum(1 for c in summary.layers.values() if c.shapes), 'layer')}, "
        f"{drawn:,} shown on {drawn_layers}; {_count(summary.texts, 'text')} (never drawn); each cell counted once"
    )
    if args.stack is None and not drawn:
        hint = looks_like_hint(summary, stack)
        if hint:
            print(hint)
    return 0


def _cmd_stack(args: argparse.Namespace) -> int:
    from corvane import stacks

    if args.gds_file is None:
        if args.stack is None or args.stack in (AUTO_STACK, DETECT_STACK) or args.lyp is not None:
            raise UsageError("give a layout file, or --stack NAME|FILE to print that stack")
        stack = resolve_stack(args.stack)
        sys.stdout.write(stacks.to_json(stack.data))
        return 0
    gds = Path(args.gds_file)
    _check_layout_file(gds)
    # Texts too: a layer of texts only is listed, as a label layer.
    stack, summary = _stack_and_summary(args.stack, gds, texts=True)
    if args.stack == AUTO_STACK:
        data = stack.data
    else:
        data = stacks.for_layout(summary, _layer_table(stack), stack.label, stack.entries())
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


def _add_layers(commands: Any) -> None:
    p = commands.add_parser(
        "layers",
        prog="corvane layers",
        help="what a layout holds per layer, and what the stack shows of it",
        description="List every (layer, datatype) of the layout with its shapes and texts (each cell "
        "counted once), whether the stack shows it and as what (name, purpose, zmin, thickness, colour, the "
        "name its PDK publishes); the top cells and the depth of the hierarchy.",
    )
    p.add_argument("gds_file", nargs="?", metavar="FILE.gds", help="the layout")
    add_stack_option(p)
    add_show_option(p)
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
