"""What the subcommands share: the one-line failure, the parser, progress on
stderr, warnings, sizes and counts, the options of the commands that draw a
layout, the number parsers and the table printer.

The names with a leading underscore are for the modules of this package only.
"""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time
from pathlib import Path
from typing import Any

# Work that takes longer than this many seconds says so on stderr.
PROGRESS_DELAY = 1.0


class CommandError(Exception):
    """A failure reported as one line on stderr."""


class UsageError(CommandError):
    """A command line that cannot be run as given (a missing argument, options that
    exclude each other): one line, exit status 2, as the parser's own errors."""


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


def _os_error(exc: OSError) -> str:
    """"/proc/x.glb: No such file or directory" rather than the exception's own text."""
    where = exc.filename if exc.filename is not None else ""
    why = exc.strerror or _one_line(exc)
    return f"{where}: {why}" if where else why


def _size(n: int) -> str:
    return f"{n:,} bytes"


# Suffixes of layout files, told apart from layer patterns given after --exclude.
LAYOUT_SUFFIXES = (".gds", ".gds2", ".gdsii", ".gds.gz", ".oas", ".oasis", ".oas.gz")
# The --stack value that makes a stack of the file's own layers.
AUTO_STACK = "auto"
# The --stack value that takes the built-in stack the file looks like.
DETECT_STACK = "detect"
# --show words and the entry purposes they draw.
SHOW_WORDS = {"pins": "pin", "labels": "label", "boundaries": "boundary", "markers": "marker", "fill": "fill"}


def _warn(prog: str, text: str) -> None:
    print(f"{prog}: warning: {text}", file=sys.stderr, flush=True)


def _pair_text(pair: tuple[int, int]) -> str:
    return f"({pair[0]}, {pair[1]})"


def _count(n: int, what: str) -> str:
    return f"{n:,} {what}" + ("" if n == 1 else "s")


def add_stack_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--stack",
        metavar="NAME|FILE|auto|detect",
        help="layer stack: a built-in one (sky130, gf180mcu, ihp-sg13g2, photonics, siepic-ebeam), a "
        "layer-stack file (.json), 'auto' (every layer of the file, a colour each) or 'detect' (the "
        "built-in stack the file looks like); default: the active PDK's",
    )


def _show_words(text: str) -> list[str]:
    """``pins,labels`` (or ``all``) as entry purposes; an unknown word names the nearest."""
    import difflib

    found = []
    for word in (w.strip().lower() for w in text.split(",")):
        if not word:
            continue
        if word == "all":
            found.extend(SHOW_WORDS.values())
            continue
        purpose = SHOW_WORDS.get(word) or SHOW_WORDS.get(word + "s") or (word if word in SHOW_WORDS.values() else None)
        if purpose is None:
            close = difflib.get_close_matches(word, [*SHOW_WORDS, "all"], n=1, cutoff=0.6)
            hint = f"did you mean {close[0]!r}?" if close else f"one of {', '.join(SHOW_WORDS)}, all"
            raise argparse.ArgumentTypeError(f"nothing called {word!r} to show ({hint})")
        found.append(purpose)
    return found


def add_show_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--show",
        type=_show_words,
        action="extend",
        metavar="pins,labels,boundaries,markers|all",
        help="also draw the stack's layers of these purposes (not drawn by default: they mark, name or "
        "bound the drawn geometry)",
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
        help="curve simplification tolerance in um (default 0.01); 'none' keeps every point; "
        "outlines of horizontal and vertical edges are never simplified",
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


def _tolerance(text: str) -> float | None:
    if text.strip().lower() == "none":
        return None
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _days(text: str) -> float:
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _table(rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.rjust(widths[k]) if k in right else cell.ljust(widths[k]) for k, cell in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
    return lines
