"""What a layout file holds: shapes per (layer, datatype), top cells, depth.

``summarize(path)`` reads the file once and counts every cell's own shapes
once, however often the cell is placed: the figures a user compares with
what the viewer shows.  Texts are counted apart, as the viewer never draws
them.

A GDS2 or OASIS file (told by its content) is read by lumino's direct
reader, which gives what KLayout's read gives or declines; KLayout reads whatever it declines (and raises its
own errors for files it cannot read).  So the command line's planning step
needs no KLayout, whose import alone takes longer than the whole read.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

__all__ = ["LayerCount", "LayoutSummary", "summarize"]


@dataclass(frozen=True)
class LayerCount:
    """Shapes of one (layer, datatype) pair, each cell counted once."""

    layer: int
    datatype: int
    shapes: int  # polygons, boxes, paths, edges: what can be drawn
    texts: int

    @property
    def pair(self) -> tuple[int, int]:
        return (self.layer, self.datatype)


@dataclass(frozen=True)
class LayoutSummary:
    path: Path
    dbu: float  # micrometres per database unit
    cells: int
    top_cells: list[str]
    depth: int  # placement levels below the deepest top cell; 0 for a flat layout
    layers: dict[tuple[int, int], LayerCount] = field(default_factory=dict)  # by pair, in pair order

    @property
    def shapes(self) -> int:
        return sum(c.shapes for c in self.layers.values())

    @property
    def texts(self) -> int:
        return sum(c.texts for c in self.layers.values())


def summarize(path: str | os.PathLike, *, texts: bool = True) -> LayoutSummary:
    """Count the shapes of the layout file ``path``; KLayout's read errors pass through.

    A directory, a FIFO or a device, and a file whose database unit is not
    positive, are a ``ValueError`` before anything is read.

    With ``texts=False`` the file is read without its texts, which is
    quicker with KLayout: every text count is 0, and layers that hold only
    texts are absent.
    """
    path = Path(path)
    summary = _summarize_direct(path, texts)
    return summary if summary is not None else _summarize_klayout(path, texts)


def _checked(path: Path) -> str:
    """The file as an absolute path, refused (ValueError) where it is not a regular file or
    declares a database unit that is not positive: as lumino's entry points read it."""
    from corvane.core import lumino

    return lumino._layout_path(os.fspath(path))


def klayout_read(layout, path: str, options=None) -> None:
    """``layout.read`` of a checked path.  KLayout takes a trailing ``[...]`` as no part of a
    name, so such a file is handed over as ``/dev/fd/N`` of a descriptor opened here."""
    args = () if options is None else (options,)
    if not path.endswith("]") or not os.path.isdir("/dev/fd"):
        layout.read(path, *args)
        return
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        layout.read(f"/dev/fd/{fd}", *args)
    finally:
        os.close(fd)


def _layer_counts(items) -> dict[tuple[int, int], LayerCount]:
    """By pair, in pair order, from (layer, datatype, shapes, texts) in layer index order."""
    counts: dict[tuple[int, int], LayerCount] = {}
    for layer, datatype, shapes, texts in items:
        pair = (layer, datatype)
        previous = counts.get(pair)  # a pair read twice (named and unnamed) counts once
        if previous is not None:
            shapes, texts = shapes + previous.shapes, texts + previous.texts
        counts[pair] = LayerCount(layer, datatype, shapes, texts)
    return dict(sorted(counts.items()))


def _summarize_direct(path: Path, texts: bool) -> LayoutSummary | None:
    """The summary from lumino's direct reader; None where the reader declines."""
    from corvane.core import lumino

    found, _reason = lumino._layout_summary(_checked(path), texts=bool(texts))
    if found is None:
        return None
    return LayoutSummary(
        path=path,
        dbu=found["dbu"],
        cells=found["cells"],
        top_cells=found["top_cells"],
        depth=found["depth"],
        layers=_layer_counts(found["layers"]),
    )


def _summarize_klayout(path: Path, texts: bool) -> LayoutSummary:
    """The summary from KLayout's read of the file."""
    import klayout.db as kdb

    layout = kdb.Layout()
    options = kdb.LoadLayoutOptions()
    options.text_enabled = texts
    klayout_read(layout, _checked(path), options)
    indices = list(layout.layer_indices())
    shape_counts = dict.fromkeys(indices, 0)
    text_counts = dict.fromkeys(indices, 0)
    for cell in layout.each_cell():
        for index in indices:
            container = cell.shapes(index)
            n = container.size()
            if n:
                t = sum(1 for _ in container.each(kdb.Shapes.STexts)) if texts else 0
                shape_counts[index] += n - t
                text_counts[index] += t
    items = []
    for index in indices:
        info = layout.get_info(index)
        items.append((info.layer, info.datatype, shape_counts[index], text_counts[index]))
    tops = list(layout.each_top_cell())
    return LayoutSummary(
        path=path,
        dbu=layout.dbu,
        cells=layout.cells(),
        top_cells=[layout.cell(index).name for index in tops],
        depth=max((layout.cell(index).hierarchy_levels() for index in tops), default=0),
        layers=_layer_counts(items),
    )
