"""The page's own data beside a message: the layout's texts (labels and pin
names) in top-cell micrometres.

The message stays as lumino sends it; the texts go into ``NAME.page`` beside
the message file (``write_page_data``), which ``write_page`` embeds in the
page as the element "corvane-page-data".  The page shows the texts of the
layers it draws: a text on layer L/D goes with the drawn layer L/D, or else
with the drawn layer of number L (pin and label datatypes beside a drawing).
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

__all__ = ["MOST_TEXTS", "layout_texts", "page_data_path", "write_page_data"]

# At most this many texts travel with a page (a flattened chip can hold
# millions of copies of a cell's pin names); the rest are counted.
MOST_TEXTS = 100_000


def layout_texts(layout: Any, most: int = MOST_TEXTS) -> dict[str, Any]:
    """The texts of every top cell of a ``klayout.db.Layout``, flattened:
    ``{"texts": [[x, y, size, string, layer, datatype], ...], "left_out": N}``
    with x, y and size in micrometres (size 0 where the file gives none)."""
    import klayout.db as kdb

    dbu = layout.dbu
    texts: list[list[Any]] = []
    left_out = 0
    for top in layout.top_cells():
        for index in layout.layer_indexes():
            info = layout.get_info(index)
            it = kdb.RecursiveShapeIterator(layout, top, index)
            it.shape_flags = kdb.Shapes.STexts
            while not it.at_end():
                if len(texts) >= most:
                    left_out += 1
                else:
                    text = it.shape().text.transformed(it.trans())
                    mag = it.trans().mag
                    texts.append([
                        round(text.x * dbu, 6), round(text.y * dbu, 6),
                        round(it.shape().text.size * mag * dbu, 6), text.string, info.layer, info.datatype,
                    ])
                it.next()
    return {"texts": texts, "left_out": left_out}


def page_data_path(message: str | os.PathLike) -> Path:
    """Where the page data of a message file goes: beside it, as .page."""
    return Path(message).with_suffix(".page")


def write_page_data(layout_file: str | os.PathLike, message: str | os.PathLike) -> Path:
    """Read ``layout_file``'s texts and write them beside ``message``; returns the path."""
    import klayout.db as kdb
    import orjson

    from corvane.core import lumino
    from corvane.layout_info import klayout_read

    layout = kdb.Layout()
    # The checked absolute path: no prefix of the name (pipe:, http:) is read as anything else.
    klayout_read(layout, lumino._layout_path(os.fspath(layout_file)))
    target = page_data_path(message)
    partial = target.with_name(f".{target.name}.part")
    partial.write_bytes(orjson.dumps(layout_texts(layout)))
    os.replace(partial, target)
    return target
