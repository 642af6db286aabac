"""The commands about a project's Python code: weftnet (the call graph of its
cell factories, printed or plotted) and freeze (a cell's schematic netlist)."""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import Any

from corvane.cli.common import CommandError, _one_line, _Progress, _size

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
