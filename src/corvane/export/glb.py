"""A glTF 2.0 binary file (.glb) in the making: JSON document plus one buffer.

``Builder`` collects the document's arrays (nodes, meshes, materials, ...)
and the bytes of its single buffer; ``accessor`` appends an array to the
buffer as a buffer view (4-byte aligned, as the format requires) with an
accessor over it; ``glb`` packs document and buffer into the file's chunks.
"""

from __future__ import annotations

import json
import struct
from typing import Any

import numpy as np

__all__ = ["Builder"]

FLOAT, UNSIGNED_SHORT, UNSIGNED_INT = 5126, 5123, 5125
ARRAY_BUFFER, ELEMENT_ARRAY_BUFFER = 34962, 34963
TYPES = {1: "SCALAR", 2: "VEC2", 3: "VEC3", 4: "VEC4"}
COMPONENTS = {np.dtype("<f4"): FLOAT, np.dtype("<u2"): UNSIGNED_SHORT, np.dtype("<u4"): UNSIGNED_INT}


class Builder:
    def __init__(self, asset: dict[str, Any]) -> None:
        self.doc: dict[str, Any] = {"asset": asset}
        self._chunks: list[bytes] = []
        self._length = 0

    def add(self, kind: str, item: dict[str, Any]) -> int:
        """Append ``item`` to the document's array ``kind``; returns its index."""
        items = self.doc.setdefault(kind, [])
        items.append(item)
        return len(items) - 1

    def accessor(self, array: np.ndarray, *, target: int | None = None, bounds: bool = False) -> int:
        """Store ``array`` (n values or n x k components, little-endian float32,
        uint16 or uint32) in the buffer; returns the index of its accessor,
        with min and max per component when ``bounds``."""
        array = np.ascontiguousarray(array)
        if array.dtype.newbyteorder("<") != array.dtype:
            array = array.astype(array.dtype.newbyteorder("<"))
        count = array.shape[0]
        width = 1 if array.ndim == 1 else array.shape[1]
        data = array.tobytes()
        view: dict[str, Any] = {"buffer": 0, "byteOffset": self._length, "byteLength": len(data)}
        if target is not None:
            view["target"] = target
        self._chunks.append(data)
        self._length += len(data)
        pad = -self._length % 4
        if pad:
            self._chunks.append(b"\0" * pad)
            self._length += pad
        accessor: dict[str, Any] = {
            "bufferView": self.add("bufferViews", view),
            "componentType": COMPONENTS[array.dtype],
            "count": count,
            "type": TYPES[width],
        }
        if bounds and count:
            values = array.reshape(count, width)
            cast = float if array.dtype.kind == "f" else int
            accessor["min"] = [cast(v) for v in values.min(axis=0)]
            accessor["max"] = [cast(v) for v in values.max(axis=0)]
        return self.add("accessors", accessor)

    def glb(self) -> bytes:
        """The file: header, JSON chunk (padded with blanks), BIN chunk (padded with zeros)."""
        doc = dict(self.doc)
        if self._length:
            doc["buffers"] = [{"byteLength": self._length}]
        text = json.dumps(doc, separators=(",", ":"), ensure_ascii=False, allow_nan=False).encode("utf-8")
        text += b" " * (-len(text) % 4)
        chunks = [struct.pack("<I4s", len(text), b"JSON"), text]
        if self._length:
            chunks += [struct.pack("<I4s", self._length, b"BIN\0"), *self._chunks]
        body = b"".join(chunks)
        return struct.pack("<4sII", b"glTF", 2, 12 + len(body)) + body
