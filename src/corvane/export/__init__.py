"""3D files of a layout: glTF 2.0 binary (.glb) from lumino's viewer data.

``gds_to_glb`` converts a GDS file the way ``lumino`` does (same layers,
heights, colours, simplification) and writes the part tree as glTF:
``viewer_data_to_glb`` does the writing, from the map form of
``to_3D_viewer(..., as_dict=True)``, so the file holds exactly what the
viewer page draws.

What the file holds:

- one mesh per (cell, layer): every distinct outline triangulated once,
  extruded from the layer's bottom by its thickness, with closed caps and
  side walls; a second mesh of the mirror image where the cell is also
  placed mirrored, so that every placement is a rotation, magnification and
  displacement of a mesh whose faces turn outwards (no instance flips the
  triangle winding, which not every renderer honours);
- a material per layer, its colour from the layer's (sRGB, turned into the
  linear factor glTF asks for);
- the part tree as nodes named after cells and layers, a leaf per
  (cell, layer) with its placements;
- with ``instancing="both"`` (the default), two scenes over the same
  meshes.  Scene 0, the default, places every placement as a plain node:
  any glTF viewer shows the whole layout.  Scene 1 places them with
  ``EXT_mesh_gpu_instancing``, one node per mesh, for viewers that draw
  instances on the GPU.  The extension is used, not required: a viewer
  without it shows scene 0 right, and a viewer with it can load scene 1.
  (Both in one scene would draw every placement twice where the extension
  is understood, or miss all but one where it is not.)  ``"none"`` writes
  scene 0 alone and never names the extension (for readers that refuse
  it, such as gltfpack and other cgltf-based tools); ``"ext"`` writes the
  instanced scene alone, the extension then required.

Every extruded outline is a closed, manifold solid (see ``triangulate``).

Lengths are micrometres (the layout's), said in the asset's extras.  The
meshes and placements below the root node are in nanometres, the root node
scaling them by 0.001: a layout's coordinates are whole nanometres, which
float32 holds exactly (to 16.7 mm), so the file's areas are the layout's.
The layout's z axis is glTF's +Y: the root node also turns the layout up,
so the meshes and placements keep layout coordinates.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from corvane.export.glb import ARRAY_BUFFER, ELEMENT_ARRAY_BUFFER, Builder
from corvane.export.triangulate import Outlines, ranges, run_starts

__all__ = ["INSTANCING", "NothingToDraw", "Summary", "gds_to_glb", "viewer_data_to_glb"]

EXTENSION = "EXT_mesh_gpu_instancing"
INSTANCING = ("none", "ext", "both")  # plain nodes, the extension, or a scene of each
DEFAULT_COLOR = "#e8b024"  # the viewer's colour for a part without one
# Turns the layout's z axis (up) into glTF's +Y: -90 degrees about x.
LAYOUT_UP = [-math.sqrt(0.5), 0.0, 0.0, math.sqrt(0.5)]
NM = 1000.0  # nanometres per micrometre: the unit below the root node


class NothingToDraw(ValueError):
    """The viewer data has no shape with an area (asked for with ``require_shapes``)."""


@dataclass(frozen=True)
class Summary:
    """What a written file holds."""

    path: Path
    bytes: int
    meshes: int
    placements: int
    triangles: int  # over all placements
    layers: int


@dataclass
class _Leaf:
    """A part of the tree: the polygons of one cell on one layer and their placements."""

    name: str
    cell: str
    layer: str
    refs: tuple[int, ...]
    zmin: float
    height: float
    color: str
    offset: tuple[float, float]
    matrices: np.ndarray  # (n, 6) float64: a, b, tx, c, d, ty


@dataclass
class _Node:
    name: str
    id: str
    children: list[Any]  # _Node or _Leaf


def gds_to_glb(
    gds_file: str | os.PathLike,
    out: str | os.PathLike,
    output: Any = None,
    *,
    layer_stack: Any = None,
    layer_views: Any = None,
    z_scale: float = 1.0,
    curve_tolerance: float | None = 0.01,
    exclude_layers: list[str] | None = None,
    require_shapes: bool = False,
    instancing: str = "both",
) -> Summary:
    """Write the glTF binary of a GDS file, by cell (``Output.CELL``) or by
    layer (``Output.LAYER``, the default), with the active PDK's layers
    unless a stack and views are given.  With ``require_shapes``, a layout
    with nothing to draw raises ``NothingToDraw`` and writes nothing.
    ``instancing`` is one of ``INSTANCING`` (see the module)."""
    from corvane.core import lumino

    _check_instancing(instancing)
    output = lumino.Output.LAYER if output is None else output
    data = lumino.to_3D_viewer(
        str(gds_file),
        output,
        layer_views=layer_views,
        layer_stack=layer_stack,
        z_scale=z_scale,
        curve_tolerance=curve_tolerance,
        exclude_layers=exclude_layers,
        as_dict=True,
    )
    source = {"file": Path(gds_file).name, "output": output.name.lower(), "z_scale": float(z_scale)}
    return viewer_data_to_glb(data, out, source=source, require_shapes=require_shapes, instancing=instancing)


def viewer_data_to_glb(
    data: dict[str, Any],
    out: str | os.PathLike,
    *,
    source: dict[str, Any] | None = None,
    require_shapes: bool = False,
    instancing: str = "both",
) -> Summary:
    """Write the glTF binary of viewer data (the map form of ``to_3D_viewer``);
    ``require_shapes`` and ``instancing`` as for ``gds_to_glb``."""
    _check_instancing(instancing)
    root = _tree(data)
    pool = [np.asarray(p, dtype=np.float32).reshape(-1) for p in data.get("instances", [])]
    lengths = [p.size // 2 for p in pool]
    xy = _nanometres(np.concatenate(pool) if pool else np.zeros(0, np.float32))
    title = ", ".join(dict.fromkeys(_top_cells(root, data.get("name") == "Layers"))) or str(data.get("name", "layout"))
    extras = {"units": "micrometre", "unit_in_metres": 1e-6, "up": "layout z is +Y (root node rotation)",
              "mesh_units": "nanometre (root node scale 0.001)", "instancing": instancing, **(source or {})}
    builder = Builder({"version": "2.0", "generator": f"corvane {_version()}", "extras": extras})
    if instancing != "none":
        builder.doc["extensionsUsed"] = [EXTENSION]
    if instancing == "ext":
        builder.doc["extensionsRequired"] = [EXTENSION]
    needed = sorted({r for leaf in _leaves(root) for r in leaf.refs if 0 <= r < len(pool)})
    writer = _Writer(builder, Outlines(xy, needed, lengths=lengths))
    root_node = {"name": title, "rotation": LAYOUT_UP, "scale": [1 / NM] * 3}
    plain = builder.add("nodes", dict(root_node)) if instancing != "ext" else None
    instanced = builder.add("nodes", dict(root_node)) if instancing != "none" else None
    for child in root.children:
        writer.node(child, plain, instanced)
    scenes = []
    if plain is not None:
        scenes.append({"name": title, "nodes": [plain]})
    if instanced is not None:
        scenes.append({"name": title + " (GPU instancing)", "nodes": [instanced]})
    builder.doc["scenes"] = scenes
    builder.doc["scene"] = 0
    if require_shapes and not writer.placements:
        raise NothingToDraw("nothing to draw: no shape with an area on a layer of the layer stack")
    data_bytes = builder.glb()
    out = Path(out)
    partial = out.with_name(f".{out.name}.part")
    partial.write_bytes(data_bytes)
    os.replace(partial, out)
    return Summary(out, len(data_bytes), len(builder.doc.get("meshes", [])), writer.placements, writer.triangles, len(writer.materials))


def _check_instancing(instancing: Any) -> None:
    if instancing not in INSTANCING:
        raise ValueError(f"instancing must be one of {', '.join(INSTANCING)}, not {instancing!r}")


def _nanometres(um: np.ndarray) -> np.ndarray:
    """Micrometres (float32, as the viewer data holds them) in nanometres
    (float64): the whole number a value stands for where it is the float32
    nearest to a whole number of nanometres, as a layout's coordinates are,
    else the value times 1000."""
    wide = np.asarray(um, dtype=np.float64) * NM
    whole = np.rint(wide)
    return np.where((whole / NM).astype(np.float32) == np.asarray(um).astype(np.float32), whole, wide)


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("corvane")
    except metadata.PackageNotFoundError:
        return "(development)"


# ---------------------------------------------------------------- the tree


def _tree(data: dict[str, Any]) -> _Node:
    """The part tree with inner nodes of the same id under one parent merged
    (a layer drawn by several top cells), as the viewer page shows it."""
    layer_wise = data.get("name") == "Layers"

    def walk(src: dict[str, Any], offset: tuple[float, float], parents: list[str], root: bool = False) -> _Node | _Leaf:
        pos = (src.get("loc") or [[0, 0, 0]])[0]
        offset = (offset[0] + float(pos[0]), offset[1] + float(pos[1]))
        name = str(src.get("name", ""))
        shape = src.get("shape")
        if isinstance(shape, dict):
            # Layer-wise: .../layer/top/.../cell/components; cell-wise: .../cell/layer.
            cell = parents[-1] if parents else ""
            layer = parents[0] if layer_wise and parents else name
            matrices = np.asarray(shape.get("matrices", []), dtype=np.float64).reshape(-1, 6)
            if not len(matrices):
                matrices = np.array([[1.0, 0.0, 0.0, 0.0, 1.0, 0.0]])
            return _Leaf(
                name=f"{cell} / {layer}",
                cell=cell,
                layer=layer,
                refs=tuple(int(r) for r in shape.get("refs", [])),
                zmin=float(pos[2]),
                height=float(shape.get("height", 0.0)),
                color=str(src.get("color") or DEFAULT_COLOR),
                offset=offset,
                matrices=matrices,
            )
        node = _Node(name, str(src.get("id", "")), [])
        inner: dict[str, _Node] = {}
        for child in src.get("parts", []):
            item = walk(child, offset, parents if root else parents + [name])
            if isinstance(item, _Node) and item.id in inner:
                inner[item.id].children.extend(item.children)
                continue
            if isinstance(item, _Node):
                inner[item.id] = item
            node.children.append(item)
        return node

    root = walk(data, (0.0, 0.0), [], root=True)
    # The root's own name is not a cell or layer.
    return root if isinstance(root, _Node) else _Node("", "", [root])


def _leaves(node: _Node) -> Iterator[_Leaf]:
    for child in node.children:
        if isinstance(child, _Leaf):
            yield child
        else:
            yield from _leaves(child)


def _top_cells(root: _Node, layer_wise: bool) -> Iterator[str]:
    for child in root.children:
        if layer_wise and isinstance(child, _Node):
            yield from (c.name for c in child.children if isinstance(c, _Node))
        else:
            yield child.name


# ------------------------------------------------------------------- writing


def _linear(channel: float) -> float:
    """An sRGB channel (0..1) as the linear value glTF colour factors hold."""
    return channel / 12.92 if channel <= 0.04045 else ((channel + 0.055) / 1.055) ** 2.4


@dataclass
class _Placements:
    """Placements (a, b, tx, c, d, ty each) as mirrored (about x, before the
    rest), translation (in nanometres), rotation about z (quaternion) and
    magnification."""

    mirrored: np.ndarray  # (n,) bool
    translation: np.ndarray  # (n, 3)
    rotation: np.ndarray  # (n, 4) x, y, z, w
    turned: np.ndarray  # (n,) bool: rotation not the identity
    mag: np.ndarray  # (n,)

    @classmethod
    def of(cls, m: np.ndarray, offset: tuple[float, float]) -> _Placements:
        a, b, tx, c, d, ty = m.T
        mirrored = a * d - b * c < 0
        # Mirrored: x' = R(angle) * mag * (x, -y), the mirrored mesh taking the -y.
        b, d = np.where(mirrored, -b, b), np.where(mirrored, -d, d)
        angle, mag = np.arctan2(c, a), np.hypot(a, c)
        tolerance = 1e-5 * np.maximum(mag, 1)
        bad = (np.abs(b + c) > tolerance) | (np.abs(d - a) > tolerance)
        if bad.any():
            raise ValueError(f"placement {m[bad][0].tolist()} is not a rotation, mirror and magnification")
        zero = np.zeros_like(angle)
        return cls(
            mirrored=mirrored,
            translation=np.stack([_nanometres(tx) + _nanometres(offset[0]), _nanometres(ty) + _nanometres(offset[1]), zero], 1),
            rotation=np.stack([zero, zero, np.sin(angle / 2), np.cos(angle / 2)], 1),
            turned=angle != 0,
            mag=np.where(np.abs(mag - 1) <= 1e-6, 1.0, mag),
        )

    def node(self, k: int) -> dict[str, Any]:
        """The transformation of placement k as a node's properties."""
        node: dict[str, Any] = {"translation": self.translation[k].tolist()}
        if self.turned[k]:
            node["rotation"] = self.rotation[k].tolist()
        if self.mag[k] != 1:
            node["scale"] = [float(self.mag[k]), float(self.mag[k]), 1.0]
        return node


class _Writer:
    """Meshes, materials and nodes of one file."""

    def __init__(self, builder: Builder, outlines: Outlines) -> None:
        self.builder = builder
        self.outlines = outlines
        self.meshes: dict[tuple[Any, ...], tuple[int, int]] = {}  # -> mesh, triangles
        self.materials: dict[tuple[str, str], int] = {}
        self.placements = 0
        self.triangles = 0

    def node(self, item: _Node | _Leaf, plain: int | None, instanced: int | None) -> None:
        """Add ``item`` under the nodes ``plain`` (the scene of plain nodes)
        and ``instanced`` (the scene of GPU instances); None: no such scene."""
        if isinstance(item, _Leaf):
            self.leaf(item, plain, instanced)
            return
        kids = [self.child(plain, {"name": item.name}), self.child(instanced, {"name": item.name})]
        for child in item.children:
            self.node(child, *kids)

    def child(self, parent: int | None, node: dict[str, Any]) -> int | None:
        if parent is None:
            return None
        index = self.builder.add("nodes", node)
        self.builder.doc["nodes"][parent].setdefault("children", []).append(index)
        return index

    def leaf(self, leaf: _Leaf, plain: int | None, instanced: int | None) -> None:
        placed = _Placements.of(leaf.matrices, leaf.offset)
        material = self.material(leaf.layer, leaf.color)
        groups = {bool(mirrored): np.nonzero(placed.mirrored == mirrored)[0] for mirrored in np.unique(placed.mirrored)}
        meshes = {mirrored: self.mesh(leaf, mirrored, material) for mirrored in groups}
        if any(mesh is None for mesh in meshes.values()):
            return  # nothing to draw: no outline with an area
        self.placements += len(placed.mag)
        for mirrored, members in groups.items():
            self.triangles += meshes[mirrored][1] * len(members)
        mesh_of = [meshes[bool(mirrored)][0] for mirrored in placed.mirrored]
        # Plain nodes: a node per placement (the leaf itself when there is one).
        if plain is not None and len(mesh_of) == 1:
            self.child(plain, {"name": leaf.name, "mesh": mesh_of[0], **placed.node(0)})
        elif plain is not None:
            group = self.child(plain, {"name": leaf.name})
            for k, mesh in enumerate(mesh_of):
                self.child(group, {"name": f"{leaf.name} #{k + 1}", "mesh": mesh, **placed.node(k)})
        if instanced is None:
            return
        # GPU instances: a node per mesh with its placements.
        holder = instanced if len(groups) == 1 else self.child(instanced, {"name": leaf.name})
        for mirrored, members in groups.items():
            name = leaf.name + (" (mirrored)" if mirrored and len(groups) > 1 else "")
            attributes = {"TRANSLATION": self.builder.accessor(placed.translation[members].astype(np.float32))}
            if placed.turned[members].any():
                attributes["ROTATION"] = self.builder.accessor(placed.rotation[members].astype(np.float32))
            mag = placed.mag[members]
            if np.any(mag != 1):
                attributes["SCALE"] = self.builder.accessor(np.stack([mag, mag, np.ones_like(mag)], 1).astype(np.float32))
            self.child(holder, {"name": name, "mesh": meshes[mirrored][0], "extensions": {EXTENSION: {"attributes": attributes}}})

    def material(self, layer: str, color: str) -> int:
        key = (layer, color)
        if key not in self.materials:
            import matplotlib.colors

            try:
                rgb = matplotlib.colors.to_rgb(color.lower() if not color.startswith("#") else color)
            except ValueError:
                rgb = matplotlib.colors.to_rgb(DEFAULT_COLOR)
            self.materials[key] = self.builder.add("materials", {
                "name": layer,
                "pbrMetallicRoughness": {
                    "baseColorFactor": [round(_linear(c), 6) for c in rgb] + [1.0],
                    "metallicFactor": 0.0,
                    "roughnessFactor": 0.7,
                },
            })
        return self.materials[key]

    def mesh(self, leaf: _Leaf, mirrored: bool, material: int) -> tuple[int, int] | None:
        """The mesh of a leaf's polygons (mirrored: of their mirror image about x); (index, triangles)."""
        key = (leaf.refs, leaf.zmin, leaf.height, material, mirrored)
        if key in self.meshes:
            return self.meshes[key]
        o = self.outlines
        refs = np.asarray(leaf.refs, dtype=np.int64)
        if len(refs) and (refs.min() < 0 or refs.max() >= len(o.count)):
            raise ValueError(f"{leaf.name}: no pool polygon {int(refs[(refs < 0) | (refs >= len(o.count))][0])}")
        refs = refs[o.tcount[refs] > 0]
        if not len(refs):
            self.meshes[key] = None
            return None
        # Vertices: the bottom rings of all outlines, then their top rings.
        m = o.count[refs]
        total = int(m.sum())
        first = run_starts(m)
        xy = o.xy[ranges(o.start[refs], m)]
        if mirrored:
            xy = xy * [1.0, -1.0]
        z = np.repeat([leaf.zmin * NM, (leaf.zmin + leaf.height) * NM], total)
        position = np.column_stack([np.concatenate([xy, xy]), z]).astype(np.float32)
        # Caps: the top ones as triangulated, the bottom ones turned over.
        t = o.tcount[refs]
        caps = o.tris[ranges(o.tstart[refs], t)] + np.repeat(first, t)[:, None]
        # Walls: a quad per edge with a wall, going round as the outline
        # does, between the vertices that stand for its ends.
        ring = ranges(o.start[refs], m)
        g = o.same[ring] + np.repeat(first, m)
        nxt = np.roll(g, -1)
        nxt[first + m - 1] = g[first]
        walled = o.wall[ring]
        g, nxt = g[walled], nxt[walled]
        walls = np.concatenate([np.stack([g, nxt, nxt + total], 1), np.stack([g, nxt + total, g + total], 1)])
        clockwise = np.tile(np.repeat(o.sign[refs] < 0, m)[walled], 2)
        walls[clockwise] = walls[clockwise][:, ::-1]
        index = np.concatenate([caps[:, ::-1], caps + total, walls])
        # The mirror image and a negative height both turn the faces inwards.
        if mirrored != (leaf.height < 0):
            index = index[:, ::-1]
        count = 2 * total
        index_type = np.uint16 if count <= 0xFFFF else np.uint32
        primitive = {
            "attributes": {"POSITION": self.builder.accessor(position, target=ARRAY_BUFFER, bounds=True)},
            "indices": self.builder.accessor(index.reshape(-1).astype(index_type), target=ELEMENT_ARRAY_BUFFER),
            "material": material,
        }
        name = leaf.name + (" (mirrored)" if mirrored else "")
        self.meshes[key] = (self.builder.add("meshes", {"name": name, "primitives": [primitive]}), len(index))
        return self.meshes[key]

