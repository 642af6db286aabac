"""What glTF 2.0 requires of a binary file (.glb), checked from its bytes
alone: the container (header, chunks, padding), the references between
objects, what each accessor may hold and where (component types, counts,
bounds of the buffer and its views, alignment, min and max), the index data
of triangle primitives, the node tree and scenes, and the
EXT_mesh_gpu_instancing attributes.  ``problems(path)`` lists every rule a
file breaks, none for a good file.  (The Khronos validator covers more; this
is what can be checked without it, for our files and any other.)
"""

from __future__ import annotations

import json
import math
import struct
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["problems", "read_glb"]

EXT = "EXT_mesh_gpu_instancing"
QUANTIZED = "KHR_mesh_quantization"
COMPONENTS = {5120: np.int8, 5121: np.uint8, 5122: np.int16, 5123: np.uint16, 5125: np.uint32, 5126: np.float32}
WIDTHS = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT2": 4, "MAT3": 9, "MAT4": 16}
ARRAY_BUFFER, ELEMENT_ARRAY_BUFFER = 34962, 34963
INSTANCE_TYPES = {"TRANSLATION": ("VEC3", {5126}), "ROTATION": ("VEC4", {5126, 5120, 5122}), "SCALE": ("VEC3", {5126})}


def read_glb(raw: bytes) -> tuple[dict[str, Any], bytes, list[str]]:
    """The JSON document and BIN chunk of a .glb file, and what is wrong with its container."""
    bad = []
    if len(raw) < 20:
        return {}, b"", ["shorter than a header and a chunk header"]
    magic, version, length = struct.unpack_from("<4sII", raw)
    if magic != b"glTF" or version != 2:
        bad.append(f"header {magic!r} version {version}: not glTF 2")
    if length != len(raw):
        bad.append(f"header length {length} != file size {len(raw)}")
    json_length, kind = struct.unpack_from("<I4s", raw, 12)
    if kind != b"JSON":
        return {}, b"", bad + [f"first chunk is {kind!r}, not JSON"]
    text = raw[20 : 20 + json_length]
    if json_length % 4 or 20 + json_length > len(raw):
        bad.append(f"JSON chunk length {json_length} not a multiple of 4 or past the end")
    if text.rstrip(b" ") != text.rstrip() or text.startswith(b"\xef\xbb\xbf"):
        bad.append("JSON chunk padded with other than blanks, or with a byte order mark")
    try:
        doc = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        return {}, b"", bad + [f"JSON chunk unreadable: {exc}"]
    blob = b""
    at = 20 + json_length
    if at < len(raw):
        bin_length, kind = struct.unpack_from("<I4s", raw, at)
        blob = raw[at + 8 : at + 8 + bin_length]
        if kind != b"BIN\0" or bin_length % 4 or at + 8 + bin_length != len(raw) or len(blob) != bin_length:
            bad.append(f"BIN chunk {kind!r} of {bin_length} bytes does not end the file on a 4-byte boundary")
    return doc, blob, bad


def problems(path: str | Path) -> list[str]:
    """Every rule of glTF 2.0 that the .glb file at ``path`` breaks, one line each."""
    doc, blob, bad = read_glb(Path(path).read_bytes())
    if not doc:
        return bad
    rules = _Rules(doc, blob)
    rules.run()
    return bad + rules.bad


class _Rules:
    def __init__(self, doc: dict[str, Any], blob: bytes) -> None:
        self.doc, self.blob, self.bad = doc, blob, []

    def items(self, kind: str) -> list[Any]:
        return self.doc.get(kind, [])

    def index(self, kind: str, value: Any, where: str) -> bool:
        ok = isinstance(value, int) and not isinstance(value, bool) and 0 <= value < len(self.items(kind))
        if not ok:
            self.bad.append(f"{where}: {value!r} is no index into {kind}")
        return ok

    def run(self) -> None:
        asset = self.doc.get("asset", {})
        if asset.get("version") != "2.0":
            self.bad.append(f"asset.version {asset.get('version')!r} is not 2.0")
        used, required = self.doc.get("extensionsUsed", []), self.doc.get("extensionsRequired", [])
        if not set(required) <= set(used) or len(set(used)) != len(used):
            self.bad.append(f"extensionsRequired {required} not among extensionsUsed {used}, or repeated")
        self.buffers()
        for k in range(len(self.items("bufferViews"))):
            self.buffer_view(k)
        for k in range(len(self.items("accessors"))):
            self.accessor(k)
        for k, mesh in enumerate(self.items("meshes")):
            for j, primitive in enumerate(mesh.get("primitives", [])):
                self.primitive(primitive, f"meshes[{k}].primitives[{j}]")
            if not mesh.get("primitives"):
                self.bad.append(f"meshes[{k}] has no primitive")
        self.nodes(used)
        for k, material in enumerate(self.items("materials")):
            pbr = material.get("pbrMetallicRoughness", {})
            factors = [*pbr.get("baseColorFactor", []), pbr.get("metallicFactor", 0), pbr.get("roughnessFactor", 0)]
            if len(pbr.get("baseColorFactor", [0] * 4)) != 4 or not all(0 <= f <= 1 for f in factors):
                self.bad.append(f"materials[{k}]: factors out of [0, 1]")

    def buffers(self) -> None:
        buffers = self.items("buffers")
        for k, buffer in enumerate(buffers):
            length = buffer.get("byteLength", 0)
            if not isinstance(length, int) or length < 1:
                self.bad.append(f"buffers[{k}].byteLength {length!r} is not a positive integer")
            if k == 0 and "uri" not in buffer and not len(self.blob) - 3 <= length <= len(self.blob):
                self.bad.append(f"buffers[0].byteLength {length} does not match the BIN chunk's {len(self.blob)} bytes")

    def buffer_view(self, k: int) -> None:
        view, where = self.items("bufferViews")[k], f"bufferViews[{k}]"
        if not self.index("buffers", view.get("buffer"), where + ".buffer"):
            return
        offset, length = view.get("byteOffset", 0), view.get("byteLength", 0)
        if length < 1 or offset < 0 or offset + length > self.items("buffers")[view["buffer"]]["byteLength"]:
            self.bad.append(f"{where}: bytes {offset}..{offset + length} outside its buffer")
        stride = view.get("byteStride")
        if stride is not None and not (4 <= stride <= 252 and stride % 4 == 0):
            self.bad.append(f"{where}.byteStride {stride} not a multiple of 4 in 4..252")
        if view.get("target", ARRAY_BUFFER) not in (ARRAY_BUFFER, ELEMENT_ARRAY_BUFFER):
            self.bad.append(f"{where}.target {view['target']} is neither ARRAY_BUFFER nor ELEMENT_ARRAY_BUFFER")

    def accessor(self, k: int) -> None:
        accessor, where = self.items("accessors")[k], f"accessors[{k}]"
        kind, width = accessor.get("componentType"), WIDTHS.get(accessor.get("type"))
        count = accessor.get("count", 0)
        if kind not in COMPONENTS or width is None or not isinstance(count, int) or count < 1:
            self.bad.append(f"{where}: component type {kind!r}, type {accessor.get('type')!r}, count {count!r}")
            return
        for bound in ("min", "max"):
            if bound in accessor and len(accessor[bound]) != width:
                self.bad.append(f"{where}.{bound} has {len(accessor[bound])} values for {width} components")
        if "bufferView" not in accessor or not self.index("bufferViews", accessor["bufferView"], where + ".bufferView"):
            return
        view = self.items("bufferViews")[accessor["bufferView"]]
        size = np.dtype(COMPONENTS[kind]).itemsize
        element = size * width
        stride = view.get("byteStride", element)
        offset = accessor.get("byteOffset", 0)
        if offset % size or (offset + view.get("byteOffset", 0)) % size:
            self.bad.append(f"{where}: offset {offset} in a view at {view.get('byteOffset', 0)} not aligned to {size}")
        if view.get("target") == ARRAY_BUFFER and (offset % 4 or stride % 4):
            self.bad.append(f"{where}: a vertex attribute not aligned to 4 bytes")
        if offset + stride * (count - 1) + element > view.get("byteLength", 0):
            self.bad.append(f"{where}: {count} elements of {element} bytes overrun its view of {view.get('byteLength')}")
            return
        values = self.values(k)
        if values is None:
            return
        if values.dtype.kind == "f" and not np.isfinite(values).all():
            self.bad.append(f"{where}: a value that is not finite")
        for bound, actual in (("min", values.min(axis=0)), ("max", values.max(axis=0))):
            if bound in accessor and [float(v) for v in accessor[bound]] != [float(v) for v in actual]:
                self.bad.append(f"{where}.{bound} {accessor[bound]} is not the data's {actual.tolist()}")

    def values(self, k: int) -> np.ndarray | None:
        """The elements of accessor k, (count, components); None where it cannot be read."""
        accessor = self.items("accessors")[k]
        if accessor.get("componentType") not in COMPONENTS or accessor.get("type") not in WIDTHS:
            return None
        view = self.items("bufferViews")[accessor["bufferView"]]
        dtype = np.dtype(COMPONENTS[accessor["componentType"]]).newbyteorder("<")
        width, count = WIDTHS[accessor["type"]], accessor["count"]
        stride = view.get("byteStride", dtype.itemsize * width)
        start = view.get("byteOffset", 0) + accessor.get("byteOffset", 0)
        if start + stride * (count - 1) + dtype.itemsize * width > len(self.blob):
            self.bad.append(f"accessors[{k}]: data past the end of the BIN chunk")
            return None
        rows = [np.frombuffer(self.blob, dtype=dtype, count=width, offset=start + stride * r) for r in range(count)] \
            if stride != dtype.itemsize * width else None
        if rows is not None:
            return np.stack(rows)
        return np.frombuffer(self.blob, dtype=dtype, count=width * count, offset=start).reshape(count, width)

    def primitive(self, primitive: dict[str, Any], where: str) -> None:
        attributes = primitive.get("attributes", {})
        counts = set()
        for name, index in attributes.items():
            if self.index("accessors", index, f"{where}.attributes.{name}"):
                counts.add(self.items("accessors")[index]["count"])
                view = self.items("bufferViews")[self.items("accessors")[index]["bufferView"]]
                if view.get("target", ARRAY_BUFFER) != ARRAY_BUFFER:
                    self.bad.append(f"{where}.attributes.{name}: its view is not an ARRAY_BUFFER")
        if len(counts) > 1:
            self.bad.append(f"{where}: attributes of different counts {sorted(counts)}")
        if "POSITION" not in attributes:
            self.bad.append(f"{where}: no POSITION")
        elif self.index("accessors", attributes["POSITION"], where):
            position = self.items("accessors")[attributes["POSITION"]]
            # KHR_mesh_quantization lets positions be (normalized) integers.
            kinds = {5126, 5120, 5121, 5122, 5123} if QUANTIZED in self.doc.get("extensionsUsed", []) else {5126}
            if position["type"] != "VEC3" or position["componentType"] not in kinds or "min" not in position or "max" not in position:
                self.bad.append(f"{where}: POSITION must be VEC3 of float (or quantized) with min and max")
        if "material" in primitive:
            self.index("materials", primitive["material"], where + ".material")
        if primitive.get("mode", 4) != 4 or "indices" not in primitive:
            return
        if not self.index("accessors", primitive["indices"], where + ".indices"):
            return
        accessor = self.items("accessors")[primitive["indices"]]
        view = self.items("bufferViews")[accessor["bufferView"]]
        if accessor["type"] != "SCALAR" or accessor["componentType"] not in (5121, 5123, 5125) or "byteStride" in view:
            self.bad.append(f"{where}.indices: must be unsigned scalars in a view without stride")
            return
        if view.get("target", ELEMENT_ARRAY_BUFFER) != ELEMENT_ARRAY_BUFFER:
            self.bad.append(f"{where}.indices: its view is not an ELEMENT_ARRAY_BUFFER")
        indices = self.values(primitive["indices"])
        if indices is None:
            return
        indices = indices.reshape(-1).astype(np.int64)
        vertices = min(counts) if counts else 0
        restart = np.iinfo(COMPONENTS[accessor["componentType"]]).max
        if len(indices) % 3:
            self.bad.append(f"{where}.indices: {len(indices)} is not a whole number of triangles")
        elif indices.max() >= vertices or (indices == restart).any():
            self.bad.append(f"{where}.indices: an index past the {vertices} vertices, or the restart value")
        else:
            t = indices.reshape(-1, 3)
            if ((t[:, 0] == t[:, 1]) | (t[:, 1] == t[:, 2]) | (t[:, 0] == t[:, 2])).any():
                self.bad.append(f"{where}.indices: a triangle with a repeated vertex")

    def nodes(self, used: list[str]) -> None:
        nodes = self.items("nodes")
        parent: dict[int, int] = {}
        for k, node in enumerate(nodes):
            where = f"nodes[{k}]"
            children = node.get("children", [])
            if len(set(children)) != len(children):
                self.bad.append(f"{where}: a child listed twice")
            for c in children:
                if self.index("nodes", c, where + ".children"):
                    if c in parent or c == k:
                        self.bad.append(f"nodes[{c}] has more than one parent, or is its own")
                    parent[c] = k
            if "matrix" in node and any(t in node for t in ("translation", "rotation", "scale")):
                self.bad.append(f"{where}: both a matrix and TRS")
            if "rotation" in node and abs(math.fsum(q * q for q in node["rotation"]) - 1) > 1e-6:
                self.bad.append(f"{where}.rotation {node['rotation']} is not a unit quaternion")
            if len(node.get("translation", [0] * 3)) != 3 or len(node.get("scale", [1] * 3)) != 3:
                self.bad.append(f"{where}: translation or scale not of three values")
            if "mesh" in node:
                self.index("meshes", node["mesh"], where + ".mesh")
            instancing = node.get("extensions", {}).get(EXT)
            if instancing is not None:
                self.instancing(instancing, node, where, used)
        # No cycles: every node's chain of parents ends.
        for k in range(len(nodes)):
            seen, at = set(), k
            while at in parent:
                if at in seen:
                    self.bad.append(f"nodes[{k}] lies on a cycle")
                    break
                seen.add(at)
                at = parent[at]
        scenes = self.items("scenes")
        if "scene" in self.doc:
            self.index("scenes", self.doc["scene"], "scene")
        for k, scene in enumerate(scenes):
            for root in scene.get("nodes", []):
                if self.index("nodes", root, f"scenes[{k}].nodes") and root in parent:
                    self.bad.append(f"scenes[{k}]: nodes[{root}] is not a root")

    def instancing(self, ext: dict[str, Any], node: dict[str, Any], where: str, used: list[str]) -> None:
        if EXT not in used:
            self.bad.append(f"{where}: {EXT} not in extensionsUsed")
        if "mesh" not in node:
            self.bad.append(f"{where}: {EXT} on a node without a mesh")
        counts = set()
        for name, index in ext.get("attributes", {}).items():
            if not self.index("accessors", index, f"{where}.{EXT}.{name}"):
                continue
            accessor = self.items("accessors")[index]
            counts.add(accessor["count"])
            if name in INSTANCE_TYPES:
                kind, components = INSTANCE_TYPES[name]
                if accessor["type"] != kind or accessor["componentType"] not in components:
                    self.bad.append(f"{where}.{EXT}.{name}: {accessor['type']} of {accessor['componentType']}")
                elif name == "ROTATION" and accessor["componentType"] == 5126:
                    q = self.values(index)
                    if q is not None and np.abs(np.einsum("ij,ij->i", q, q) - 1).max() > 1e-5:
                        self.bad.append(f"{where}.{EXT}.ROTATION: not unit quaternions")
            elif not name.startswith("_"):
                self.bad.append(f"{where}.{EXT}: unknown attribute {name}")
        if len(counts) > 1:
            self.bad.append(f"{where}.{EXT}: attributes of different counts {sorted(counts)}")
