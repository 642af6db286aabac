"""The ``corvane`` command (also ``python -m corvane``).

    corvane lumino FILE.gds [--stack NAME|FILE|auto|detect] [--show pins,labels,...] [--exclude PATTERN ...]
                            [--z-scale Z] [--output layer|cell] [--curve-tolerance T|none] [--inbox DIR] [--view]
    corvane view [FILE.gds | MESSAGE.json] [--stack ...] [--show ...] [--exclude ...] [--z-scale Z]
                 [--screenshot OUT.png] [--size WxH] [--top] [--open] [--inbox [DIR]] [--keep N]
    corvane layers FILE.gds [--stack ...] [--show ...] [--exclude ...]
    corvane stack [FILE.gds] [--stack ...] [--lyp FILE.lyp]
    corvane inbox list|clean [--older-than DAYS] [--inbox DIR]
    corvane export FILE.gds OUT.glb [--stack ...] [--show ...] [--exclude ...] [--z-scale Z] [--output layer|cell]
                                    [--curve-tolerance T|none]
    corvane weftnet [FOLDER] [--plot OUT.png|OUT.svg] [--prog PROGRAM]
    corvane freeze CELL [key=value ...] [--json]
    corvane --version

Results go to standard output; warnings, progress (for work that takes
longer than about a second) and errors to standard error.  A failure is one
line, "corvane <command>: error: ...", and a non-zero exit status: 2 for a
bad command line, 1 for anything else.

The package assembles the parser and runs a command; each module owns one
concern: ``common`` (what the commands share), ``plan`` (stacks and the
layers a conversion draws), ``convert`` (lumino, export), ``view`` (view,
inbox), ``layers`` (layers, stack) and ``project`` (weftnet, freeze).

Importing this package stays cheap: KLayout, numpy, shapely, matplotlib and
networkx load inside the commands that use them.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Sequence

from corvane.cli.common import (
    CommandError,
    UsageError,
    _one_line,
    _os_error,
    _Parser,
    add_conversion_options,
    add_exclude_option,
    add_show_option,
    add_stack_option,
    add_z_scale_option,
    layout_argument,
)
from corvane.cli.convert import _add_export, _add_lumino
from corvane.cli.layers import _add_layers, _add_stack
from corvane.cli.plan import LayerPlan, Stack, match_exclusions, plan_layers, resolve_stack
from corvane.cli.project import PLOT_LABEL_POINTS, _add_freeze, _add_weftnet, _fit_plot  # noqa: F401 (used as cli.X)
from corvane.cli.view import _add_inbox, _add_view

__all__ = [
    "CommandError",
    "LayerPlan",
    "Stack",
    "add_conversion_options",
    "add_exclude_option",
    "add_show_option",
    "add_stack_option",
    "add_z_scale_option",
    "layout_argument",
    "main",
    "match_exclusions",
    "plan_layers",
    "resolve_stack",
    "UsageError",
]


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
    except UsageError as exc:
        if args.traceback:
            raise
        # The parser's own form: one line and exit status 2.
        print(f"{prog}: error: {_one_line(exc)} (see {prog} --help)", file=sys.stderr)
        return 2
    except CommandError as exc:
        if args.traceback:
            raise
        print(f"{prog}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as exc:  # a file or folder the command could not use: where and why
        if args.traceback:
            raise
        print(f"{prog}: error: {_os_error(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # anything unforeseen: still one line
        if args.traceback:
            raise
        print(f"{prog}: error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1
