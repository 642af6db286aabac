"""The ``corvane`` command (also ``python -m corvane``).

    corvane lumino FILE.gds [--output layer|cell] [--z-scale Z] [--curve-tolerance T|none]
                            [--exclude PATTERN ...] [--stack STACK.json] [--inbox DIR] [--view]
    corvane view [MESSAGE.json] [--inbox [DIR]] [--open] [--screenshot OUT.png] [--size WxH] [--top] [--z-scale Z]
    corvane export FILE.gds OUT.glb [--output layer|cell] [--stack STACK.json] [--z-scale Z] [--curve-tolerance T|none]
                                    [--exclude PATTERN ...]
    corvane weftnet [FOLDER] [--plot OUT.png|OUT.svg] [--prog PROGRAM]
    corvane freeze CELL [key=value ...] [--json]

Results go to standard output; progress (for work that takes longer than
about a second) and errors to standard error.  A failure is one line,
"corvane <command>: error: ...", and a non-zero exit status: 2 for a bad
command line, 1 for anything else.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

__all__ = ["main"]

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


def _stack_problem(data: Any) -> str | None:
    """What is wrong with a layer-stack file's content, or None."""
    if not isinstance(data, dict):
        return "the top level is not an object"
    if data.get("name") is not None and not isinstance(data["name"], str):
        return '"name" must be a text'
    layers = data.get("layers")
    if not isinstance(layers, list) or not layers:
        return 'no "layers" list'
    names = set()
    for k, entry in enumerate(layers):
        where = f"layers[{k}]"
        if not isinstance(entry, dict):
            return f"{where} is not an object"
        name = entry.get("name")
        if not isinstance(name, str) or not name:
            return f'{where} has no "name"'
        if name in names:
            return f"layer name {name!r} appears twice"
        names.add(name)
        for key in ("layer", "datatype"):
            value = entry.get(key)
            if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 65535:
                return f'{where} ({name}): "{key}" must be an integer from 0 to 65535'
        for key in ("zmin", "thickness"):
            value = entry.get(key)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                return f'{where} ({name}): "{key}" must be a number'
        if entry["thickness"] < 0:
            return f'{where} ({name}): "thickness" must not be negative'
        color = entry.get("color")
        if color is not None and not isinstance(color, str):
            return f'{where} ({name}): "color" must be a text such as "#5e8cff"'
    return None


def read_stack(path: str | os.PathLike) -> tuple[Any, Any]:
    """The layer stack and layer views of a layer-stack file, checked first."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise CommandError(f"{path}: no such layer-stack file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CommandError(f"{path}: cannot read the layer-stack file: {_one_line(exc)}") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CommandError(f"{path}: the layer-stack file is not JSON: {exc}") from None
    problem = _stack_problem(data)
    if problem:
        raise CommandError(f"{path}: not a layer-stack file: {problem}")
    import velloc.technology as vlt

    try:
        return vlt.read_layer_technology(path)
    except (ValueError, TypeError, KeyError) as exc:
        raise CommandError(f"{path}: not a layer-stack file: {_one_line(exc)}") from None


@contextlib.contextmanager
def _pdk_with_layers(name: str, stack: Any, views: Any) -> Iterator[None]:
    """The active PDK's layer stack and views replaced for the duration."""
    import velloc.pdk

    from corvane.core import pdk

    previous = pdk.get_pdk()
    cells = getattr(previous, "cells", {})
    pdk.set_pdk(velloc.pdk.Pdk(name=name, cells=cells, layer_stack=stack, layer_views=views))
    try:
        yield
    finally:
        pdk.set_pdk(previous)


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


def _cmd_lumino(args: argparse.Namespace) -> int:
    prog = "corvane lumino"
    gds = Path(args.gds_file)
    if not gds.exists():
        raise CommandError(f"{gds}: no such file")
    if not gds.is_file():
        raise CommandError(f"{gds}: not a file")
    stack = read_stack(args.stack) if args.stack else None

    from corvane.core import communication, lumino

    if args.inbox is not None:
        inbox = Path(args.inbox).expanduser()
        if inbox.exists() and not inbox.is_dir():
            raise CommandError(f"{args.inbox}: the inbox is not a folder")
        communication.set_inbox(inbox)
    output = lumino.Output.CELL if args.output == "cell" else lumino.Output.LAYER

    def send() -> None:
        try:
            lumino.lumino(
                str(gds),
                output,
                z_scale=args.z_scale,
                curve_tolerance=args.curve_tolerance,
                exclude_layers=args.exclude,
            )
        except RuntimeError as exc:  # KLayout's reader: unknown format, truncated file, ...
            raise CommandError(f"{gds}: cannot read the layout: {_one_line(exc)}") from None

    size = gds.stat().st_size
    with _Progress(prog, f"converting {gds} ({_size(size)}, {args.output}-wise)"):
        if stack is not None:
            name = Path(args.stack).stem
            with _pdk_with_layers(name, *stack):
                result, content = _deliver(send)
        else:
            result, content = _deliver(send)

    nbytes = len(content.encode("utf-8"))
    if isinstance(result, (str, os.PathLike)) and Path(result).is_file():
        message = Path(result).resolve()
        print(f"message: {message} ({_size(nbytes)})")
    else:
        message = None
        print(f"message: delivered by the viewer transport ({_size(nbytes)})")
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


def _cmd_view(args: argparse.Namespace) -> int:
    from corvane import viewer
    from corvane.core import communication

    if args.message is not None and args.inbox is not None:
        raise CommandError("give a message file or --inbox, not both")
    if args.message is not None:
        message = Path(args.message)
        if not message.is_file():
            raise CommandError(f"{message}: no such file")
    else:
        inbox = Path(args.inbox).expanduser() if args.inbox else communication.get_inbox()
        found = viewer.newest_message(inbox)
        if found is None:
            raise CommandError(f"no viewer message in {inbox}")
        message = found
    try:
        page = viewer.write_page(message)
    except viewer.MessageError as exc:
        raise CommandError(str(exc)) from None
    print(f"page: {page.resolve()}")
    # Viewer options travel in the page address.
    options = (["view=top"] if args.top else []) + ([f"zscale={args.z_scale:g}"] if args.z_scale != 1 else [])
    fragment = "&".join(options)
    if args.screenshot:
        from corvane.viewer import headless

        with _Progress("corvane view", f"rendering {page.name} in headless Chromium"):
            try:
                shot = headless.screenshot(page, args.screenshot, size=args.size, fragment=fragment)
            except headless.ChromiumError as exc:
                raise CommandError(str(exc)) from None
        print(f"screenshot: {shot}")
    if args.open:
        import webbrowser

        from corvane.viewer import headless

        if not webbrowser.open(headless.page_url(page, fragment)):
            raise CommandError(f"no web browser to open {page}")
    return 0


# ------------------------------------------------------------------ export


def _cmd_export(args: argparse.Namespace) -> int:
    prog = "corvane export"
    gds, out = Path(args.gds_file), Path(args.out).expanduser()
    if not gds.is_file():
        raise CommandError(f"{gds}: no such file" if not gds.exists() else f"{gds}: not a file")
    if out.suffix.lower() != ".glb":
        raise CommandError(f"{args.out}: the 3D file must be a .glb file (glTF binary)")
    if not out.resolve().parent.is_dir():
        raise CommandError(f"{out.resolve().parent}: no such folder for the 3D file")
    if out.is_dir():
        raise CommandError(f"{out}: is a folder")
    if args.stack:
        layer_stack, layer_views = read_stack(args.stack)
    else:
        from corvane.core import pdk

        active = pdk.get_pdk()
        layer_stack, layer_views = active.layer_stack, active.layer_views

    from corvane.core import lumino
    from corvane.export import NothingToDraw, gds_to_glb

    output = lumino.Output.CELL if args.output == "cell" else lumino.Output.LAYER
    with _Progress(prog, f"writing {out.name} from {gds} ({_size(gds.stat().st_size)}, {args.output}-wise)"):
        try:
            summary = gds_to_glb(
                gds,
                out,
                output,
                layer_stack=layer_stack,
                layer_views=layer_views,
                z_scale=args.z_scale,
                curve_tolerance=args.curve_tolerance,
                exclude_layers=args.exclude,
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
            plt.savefig(out, bbox_inches="tight")
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


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="corvane", description="corvane's compiled core from the command line.")
    parser.add_argument("--traceback", action="store_true", help="show the Python traceback of a failure")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser(
        "lumino",
        prog="corvane lumino",
        help="send a GDS layout to the 3D viewer",
        description="Convert a GDS layout into one 3D viewer message and deliver it (by default into "
        "the viewer inbox, ~/.corvane/viewer_inbox); prints the message file and its size.",
    )
    p.add_argument("gds_file", metavar="FILE.gds", help="the layout")
    p.add_argument("--output", choices=("layer", "cell"), default="layer", help="tree by layer (default) or by cell")
    p.add_argument("--z-scale", type=_positive, default=1.0, metavar="Z", help="scale of heights (default 1)")
    p.add_argument(
        "--curve-tolerance",
        type=_tolerance,
        default=0.01,
        metavar="T",
        help="outline simplification tolerance in um (default 0.01); 'none' keeps every point",
    )
    p.add_argument(
        "--exclude",
        nargs="+",
        action="extend",
        metavar="PATTERN",
        help="leave out layers whose names match (shell wildcards, any case), e.g. '*via*'",
    )
    p.add_argument(
        "--stack",
        metavar="STACK.json",
        help="layer-stack file (name, layer, datatype, zmin, thickness, color per layer); "
        "default: the active PDK's layers",
    )
    p.add_argument("--inbox", metavar="DIR", help="deliver into this inbox folder")
    p.add_argument("--view", action="store_true", help="also write the viewer page beside the message")
    p.set_defaults(run=_cmd_lumino)

    p = commands.add_parser(
        "view",
        prog="corvane view",
        help="write (and open or screenshot) the viewer page of a message",
        description="Write the self-contained viewer page of a message beside it and print its path. "
        "Without a file, the newest message of the viewer inbox.",
    )
    p.add_argument("message", nargs="?", metavar="MESSAGE.json", help="a message file")
    p.add_argument(
        "--inbox", nargs="?", const="", metavar="DIR", help="take the newest message of this inbox (default inbox without DIR)"
    )
    p.add_argument("--open", action="store_true", help="open the page in the web browser")
    p.add_argument("--screenshot", metavar="OUT.png", help="save what the page shows, rendered by headless Chromium")
    p.add_argument("--size", type=_window_size, default=(1280, 800), metavar="WxH", help="screenshot size (default 1280x800)")
    p.add_argument("--top", action="store_true", help="view from above instead of the oblique view")
    p.add_argument("--z-scale", type=_positive, default=1.0, metavar="Z", help="start with heights scaled by Z (default 1)")
    p.set_defaults(run=_cmd_view)

    p = commands.add_parser(
        "export",
        prog="corvane export",
        help="write a GDS layout as a 3D file (glTF binary)",
        description="Write the layout as glTF 2.0 binary (.glb) for Blender and other 3D tools: what the viewer "
        "shows, one mesh per cell and layer, placements as instances, a material per layer, lengths in "
        "micrometres. Scene 0 places every instance as a node (any glTF viewer); scene 1 uses "
        "EXT_mesh_gpu_instancing.",
    )
    p.add_argument("gds_file", metavar="FILE.gds", help="the layout")
    p.add_argument("out", metavar="OUT.glb", help="the 3D file to write")
    p.add_argument("--output", choices=("layer", "cell"), default="layer", help="node tree by layer (default) or by cell")
    p.add_argument(
        "--stack",
        metavar="STACK.json",
        help="layer-stack file (name, layer, datatype, zmin, thickness, color per layer); "
        "default: the active PDK's layers",
    )
    p.add_argument("--z-scale", type=_positive, default=1.0, metavar="Z", help="scale of heights (default 1)")
    p.add_argument(
        "--curve-tolerance",
        type=_tolerance,
        default=0.01,
        metavar="T",
        help="outline simplification tolerance in um (default 0.01); 'none' keeps every point",
    )
    p.add_argument(
        "--exclude", nargs="+", action="extend", metavar="PATTERN", help="leave out layers whose names match (shell wildcards, any case)"
    )
    p.set_defaults(run=_cmd_export)

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
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (default: the process's); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
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
