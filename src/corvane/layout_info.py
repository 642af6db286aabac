"""What a layout file holds: shapes per (layer, datatype), top cells, depth.

``summarize(path)`` reads the file once and counts every cell's own shapes
once, however often the cell is placed: the figures a user compares with
what the viewer shows.  Texts are counted apart, as the viewer never draws
them.  KLayout is imported on the first call, not with this module.
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

    With ``texts=False`` the file is read without its texts, which is
    quicker, and every text count is 0.
    """
    import klayout.db as kdb

    path = Path(path)
    layout = kdb.Layout()
    options = kdb.LoadLayoutOptions()
    options.text_enabled = texts
    layout.read(str(path), options)
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
    counts: dict[tuple[int, int], LayerCount] = {}
    for index in indices:
        info = layout.get_info(index)
        pair = (info.layer, info.datatype)
        previous = counts.get(pair)  # a pair read twice (named and unnamed) counts once
        s, t = shape_counts[index], text_counts[index]
        if previous is not None:
            s, t = s + previous.shapes, t + previous.texts
        counts[pair] = LayerCount(info.layer, info.datatype, s, t)
    tops = list(layout.each_top_cell())
    return LayoutSummary(
        path=path,
        dbu=layout.dbu,
        cells=layout.cells(),
        top_cells=[layout.cell(index).name for index in tops],
        depth=max((layout.cell(index).hierarchy_levels() for index in tops), default=0),
        layers=dict(sorted(counts.items())),
    )
