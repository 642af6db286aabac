"""The glTF export: the file's structure, and its geometry against KLayout's
own shapes (area and extent per layer over the flattened layout)."""

from __future__ import annotations

import json
import math
import struct
from pathlib import Path

import klayout.db as kdb
import numpy as np
import pygltflib
import pytest
import velloc.technology as vlt

from corvane.core import lumino
from corvane.export import NothingToDraw, gds_to_glb, viewer_data_to_glb
from corvane.export.triangulate import Outlines
from viewer.test_browser import AWKWARD as VIEWER_AWKWARD

DATA = Path(__file__).resolve().parents[2] / "examples"
shared = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
EXT = "EXT_mesh_gpu_instancing"
DTYPES = {5126: np.float32, 5123: np.uint16, 5125: np.uint32}
WIDTHS = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4}


# --- reading a file back -------------------------------------------------------


class Glb:
    """A .glb file read back, checked for what the format asks.  (The JSON is
    read directly: pygltflib takes minutes over a hundred thousand nodes; a
    test of its own has pygltflib read a file.)"""

    def __init__(self, path: Path):
        raw = path.read_bytes()
        magic, version, length = struct.unpack_from("<4sII", raw)
        assert (magic, version, length) == (b"glTF", 2, len(raw))
        json_length, kind = struct.unpack_from("<I4s", raw, 12)
        assert kind == b"JSON" and json_length % 4 == 0
        bin_length, kind = struct.unpack_from("<I4s", raw, 20 + json_length)
        assert kind == b"BIN\0" and 28 + json_length + bin_length == len(raw)
        self.doc = json.loads(raw[20 : 20 + json_length])
        self.blob = raw[28 + json_length :]
        assert self.doc["buffers"] == [{"byteLength": bin_length}]

    def array(self, index: int) -> np.ndarray:
        accessor = self.doc["accessors"][index]
        view = self.doc["bufferViews"][accessor["bufferView"]]
        dtype = np.dtype(DTYPES[accessor["componentType"]])
        width, count = WIDTHS[accessor["type"]], accessor["count"]
        start = view["byteOffset"] + accessor.get("byteOffset", 0)
        assert start % 4 == 0 and view["byteOffset"] % 4 == 0
        assert start + count * width * dtype.itemsize <= view["byteOffset"] + view["byteLength"] <= len(self.blob)
        values = np.frombuffer(self.blob, dtype=dtype.newbyteorder("<"), count=count * width, offset=start)
        return values.reshape(count, width) if width > 1 else values

    def mesh(self, index: int) -> tuple[np.ndarray, np.ndarray, str]:
        """Positions, triangles and material name of a mesh (one primitive), checked."""
        (primitive,) = self.doc["meshes"][index]["primitives"]
        accessor = self.doc["accessors"][primitive["attributes"]["POSITION"]]
        positions = self.array(primitive["attributes"]["POSITION"])
        assert accessor["min"] == positions.min(axis=0).tolist() and accessor["max"] == positions.max(axis=0).tolist()
        triangles = self.array(primitive["indices"]).reshape(-1, 3).astype(np.int64)
        assert triangles.max() < len(positions)
        return positions.astype(np.float64), triangles, self.doc["materials"][primitive["material"]]["name"]

    def placements(self, scene: int) -> dict[int, np.ndarray]:
        """Per mesh, the 4 x 4 matrices (layout frame, micrometres) that place it in ``scene``, as an (n, 4, 4) array."""
        nodes, found = self.doc["nodes"], {}
        (root,) = self.doc["scenes"][scene]["nodes"]
        assert nodes[root]["rotation"] == pytest.approx([-math.sqrt(0.5), 0, 0, math.sqrt(0.5)])  # layout z up is +Y
        assert nodes[root]["scale"] == [0.001] * 3  # nanometres below the root
        stack = [(c, trs(s=[nodes[root]["scale"]])[0]) for c in nodes[root].get("children", [])]
        while stack:
            index, parent = stack.pop()
            node = nodes[index]
            assert "matrix" not in node
            here = parent @ trs(*(np.array([node[k]]) if k in node else None for k in ("translation", "rotation", "scale")))[0]
            if "mesh" in node:
                ext = node.get("extensions", {}).get(EXT)
                if ext is None:
                    found.setdefault(node["mesh"], []).append(here[None])
                else:
                    a = ext["attributes"]
                    instances = trs(*(self.array(a[k]).astype(np.float64) if k in a else None for k in ("TRANSLATION", "ROTATION", "SCALE")))
                    found.setdefault(node["mesh"], []).append(here @ instances)
            stack.extend((c, here) for c in node.get("children", []))
        return {mesh: np.concatenate(matrices) for mesh, matrices in found.items()}


def trs(t=None, r=None, s=None) -> np.ndarray:
    """The (n, 4, 4) matrices of n translations, quaternions and scales (each may be None)."""
    n = len(next(v for v in (t, r, s) if v is not None)) if any(v is not None for v in (t, r, s)) else 1
    m = np.tile(np.eye(4), (n, 1, 1))
    if r is not None:
        x, y, z, w = np.asarray(r, dtype=np.float64).T
        m[:, :3, :3] = np.stack([
            np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)], -1),
            np.stack([2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)], -1),
            np.stack([2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)], -1)], 1)
    if s is not None:
        m[:, :3, :3] *= np.asarray(s, dtype=np.float64)[:, None, :]
    if t is not None:
        m[:, :3, 3] = t
    return m


def per_layer(glb: Glb, scene: int) -> dict[str, dict]:
    """Top-face area, extent and drawn placements per layer (material), from the file alone."""
    result: dict[str, dict] = {}
    for mesh, matrices in glb.placements(scene).items():
        positions, triangles, layer = glb.mesh(mesh)
        corners = positions[triangles]
        normal = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
        # Every face turns outwards: the mesh encloses a positive volume.
        assert np.einsum("ij,ij->i", corners[:, 0], normal).sum() > 0
        top = np.all(corners[:, :, 2] == positions[:, 2].max(), axis=1)
        assert np.all(normal[top, 2] > 0)  # caps face up
        cap = 0.5 * normal[top, 2].sum()
        entry = result.setdefault(layer, {"area": 0.0, "lo": np.full(3, np.inf), "hi": np.full(3, -np.inf), "placements": 0})
        linear = matrices[:, :3, :3]
        assert np.all(np.linalg.det(linear) > 0)  # no placement turns the faces inside out
        entry["area"] += cap * np.linalg.det(linear[:, :2, :2]).sum()
        for chunk in range(0, len(matrices), max(1, 2_000_000 // len(positions))):
            part = matrices[chunk : chunk + max(1, 2_000_000 // len(positions))]
            world = np.einsum("nij,vj->nvi", part[:, :3, :3], positions) + part[:, None, :3, 3]
            entry["lo"] = np.minimum(entry["lo"], world.min(axis=(0, 1)))
            entry["hi"] = np.maximum(entry["hi"], world.max(axis=(0, 1)))
        entry["placements"] += len(matrices)
    return result


def klayout_per_layer(gds: Path, stack_file: Path) -> dict[str, dict]:
    """Hull area and extent per layer of the stack over every shape at every
    placement, as KLayout's shapes and transformations give them (in floating
    point, so any-angle placements are not snapped to the grid)."""
    layout = kdb.Layout()
    layout.read(str(gds))
    scale = 1000  # lumino's micrometres: database units / 1000
    result = {}
    for entry in json.loads(stack_file.read_text())["layers"]:
        index = layout.find_layer(entry["layer"], entry["datatype"])
        if index is None:
            continue
        area, box = 0.0, kdb.DBox()
        for top in layout.top_cells():
            it = top.begin_shapes_rec(index)
            while not it.at_end():
                shape = it.shape()
                if not shape.is_text():
                    hull = kdb.DSimplePolygon([kdb.DPoint(p.x, p.y) for p in shape.polygon.each_point_hull()], True)
                    hull = hull.transformed(kdb.DCplxTrans(it.trans()))
                    area += hull.area() / scale**2
                    box += hull.bbox()
                it.next()
        if area:
            name = f"{entry['name']} ({entry['layer']}, {entry['datatype']})"
            z = (entry["zmin"], entry["zmin"] + entry["thickness"])
            result[name] = {"area": area, "lo": [box.left / scale, box.bottom / scale, min(z)], "hi": [box.right / scale, box.top / scale, max(z)]}
    return result


def export(tmp_path, gds, stack_file, output=lumino.Output.LAYER, **kwargs):
    stack, views = vlt.read_layer_technology(stack_file)
    out = tmp_path / "out.glb"
    summary = gds_to_glb(gds, out, output, layer_stack=stack, layer_views=views, **kwargs)
    return Glb(out), summary


def assert_matches_klayout(glb: Glb, reference: dict[str, dict], scenes=(0, 1)):
    for scene in scenes:
        got = per_layer(glb, scene)
        assert sorted(got) == sorted(reference)
        for name, want in reference.items():
            assert got[name]["area"] == pytest.approx(want["area"], rel=1e-6), name
            np.testing.assert_allclose(got[name]["lo"], want["lo"], atol=2e-4, err_msg=name)
            np.testing.assert_allclose(got[name]["hi"], want["hi"], atol=2e-4, err_msg=name)


# --- geometry -------------------------------------------------------------------


def turned_and_mirrored(tmp_path) -> Path:
    """Cell A (an L on layer 1, a box on layer 2) placed at any angle, mirrored,
    magnified and as an array; cell B (a triangle on layer 2) inside A."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    l1, l2 = layout.layer(1, 0), layout.layer(2, 0)
    b = layout.create_cell("B")
    b.shapes(l2).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(3000, 0), kdb.Point(0, 2000)]))
    a = layout.create_cell("A")
    a.shapes(l1).insert(kdb.Polygon([kdb.Point(*p) for p in [(0, 0), (10000, 0), (10000, 2000), (2000, 2000), (2000, 8000), (0, 8000)]]))
    a.shapes(l2).insert(kdb.Box(4000, 4000, 6000, 5000))
    a.insert(kdb.CellInstArray(b.cell_index(), kdb.Trans(1, True, 5000, 3000)))
    top = layout.create_cell("top")
    for trans in [kdb.ICplxTrans(), kdb.ICplxTrans(1, 30, False, 40000, 0), kdb.ICplxTrans(1, 0, True, 0, 40000),
                  kdb.ICplxTrans(1, 135, True, 60000, 60000), kdb.ICplxTrans(2, 17.5, True, -30000, 10000)]:
        top.insert(kdb.CellInstArray(a.cell_index(), trans))
    top.insert(kdb.CellInstArray(a.cell_index(), kdb.Trans(3, True, 90000, 0), kdb.Vector(15000, 0), kdb.Vector(0, 15000), 3, 2))
    path = tmp_path / "turned.gds"
    layout.write(str(path))
    return path


def stack_file(tmp_path) -> Path:
    layers = [{"name": "one", "layer": 1, "datatype": 0, "zmin": 0.0, "thickness": 0.5, "color": "#3366cc"},
              {"name": "two", "layer": 2, "datatype": 0, "zmin": 0.5, "thickness": 0.25, "color": "#da70d6"}]
    path = tmp_path / "stack.json"
    path.write_text(json.dumps({"name": "two", "layers": layers}))
    return path


@pytest.mark.parametrize("output", [lumino.Output.LAYER, lumino.Output.CELL])
def test_any_angle_and_mirrored_placements_are_exact(tmp_path, output):
    gds, stack = turned_and_mirrored(tmp_path), stack_file(tmp_path)
    glb, summary = export(tmp_path, gds, stack, output, curve_tolerance=None)
    assert_matches_klayout(glb, klayout_per_layer(gds, stack))
    # A cell placed mirrored and not: a mesh of each, every placement an instance of one.
    names = sorted(m["name"] for m in glb.doc["meshes"])
    assert names == ["A / one (1, 0)", "A / one (1, 0) (mirrored)", "A / two (2, 0)", "A / two (2, 0) (mirrored)",
                     "B / two (2, 0)", "B / two (2, 0) (mirrored)"]
    assert summary.placements == sum(len(v) for v in glb.placements(0).values()) == 3 * 11
    assert summary.placements == sum(len(v) for v in glb.placements(1).values())


def test_pygltflib_reads_the_file(tmp_path):
    glb, _ = export(tmp_path, turned_and_mirrored(tmp_path), stack_file(tmp_path), lumino.Output.CELL)
    gltf = pygltflib.GLTF2().load_binary(str(tmp_path / "out.glb"))
    assert gltf.binary_blob() == glb.blob
    assert [len(gltf.nodes), len(gltf.meshes), len(gltf.accessors), len(gltf.materials)] == [
        len(glb.doc[k]) for k in ("nodes", "meshes", "accessors", "materials")]
    instanced = [n for n in gltf.nodes if n.extensions and EXT in n.extensions]
    assert instanced and all(n.mesh is not None for n in instanced)
    assert gltf.extensionsUsed == [EXT] and not gltf.extensionsRequired


def test_trimesh_without_the_extension_sees_every_placement(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    gds, stack = turned_and_mirrored(tmp_path), stack_file(tmp_path)
    glb, _ = export(tmp_path, gds, stack, curve_tolerance=None)
    scene = trimesh.load(tmp_path / "out.glb", force="scene")
    reference = klayout_per_layer(gds, stack)
    lo = np.min([r["lo"] for r in reference.values()], axis=0)
    hi = np.max([r["hi"] for r in reference.values()], axis=0)
    # glTF's +Y is the layout's z, its -Z the layout's y.
    np.testing.assert_allclose(scene.bounds, [[lo[0], lo[2], -hi[1]], [hi[0], hi[2], -lo[1]]], atol=2e-4)
    assert len(scene.graph.nodes_geometry) == 33


@shared
@pytest.mark.parametrize(
    "gds, stack, output",
    [
        ("tt_um_loopback.gds", "sky130_like_stack.json", lumino.Output.LAYER),
        ("tt_um_vga_clock.gds", "sky130_like_stack.json", lumino.Output.CELL),
        ("RingResonator.gds", "photonics_stack.json", lumino.Output.CELL),
        ("MiniChip_1mm.gds", "photonics_stack.json", lumino.Output.LAYER),
        ("UBC_Logo.gds", "photonics_stack.json", lumino.Output.LAYER),
    ],
    ids=lambda v: getattr(v, "name", str(v)).replace(".gds", "").lower(),
)
def test_shared_layouts_match_klayout(tmp_path, gds, stack, output):
    glb, summary = export(tmp_path, DATA / "gds" / gds, DATA / stack, output, curve_tolerance=None)
    assert_matches_klayout(glb, klayout_per_layer(DATA / "gds" / gds, DATA / stack))


@shared
def test_simplified_outlines_stay_close(tmp_path):
    gds, stack = DATA / "gds" / "MiniChip_1mm.gds", DATA / "photonics_stack.json"
    got = per_layer(export(tmp_path, gds, stack)[0], 1)
    for name, want in klayout_per_layer(gds, stack).items():
        assert got[name]["area"] == pytest.approx(want["area"], rel=1e-3), name
        np.testing.assert_allclose(got[name]["lo"], want["lo"], atol=0.011)


# --- the file -------------------------------------------------------------------


def test_structure(tmp_path):
    glb, summary = export(tmp_path, turned_and_mirrored(tmp_path), stack_file(tmp_path), lumino.Output.CELL, z_scale=2.0)
    doc = glb.doc
    assert doc["asset"]["version"] == "2.0"
    assert doc["asset"]["extras"]["units"] == "micrometre" and doc["asset"]["extras"]["z_scale"] == 2.0
    assert doc["extensionsUsed"] == [EXT] and "extensionsRequired" not in doc
    assert doc["scene"] == 0 and len(doc["scenes"]) == 2
    assert all(view["byteOffset"] % 4 == 0 for view in doc["bufferViews"])
    # Every node has one parent at most, and each scene reaches every mesh.
    children = [c for node in doc["nodes"] for c in node.get("children", [])]
    assert len(children) == len(set(children))
    for scene in (0, 1):
        assert set(glb.placements(scene)) == set(range(len(doc["meshes"])))
    # Node names from cells and layers; materials from layer colours (linear).
    names = {node.get("name") for node in doc["nodes"]}
    assert {"top", "A", "B", "A / one (1, 0)", "B / two (2, 0)", "A / one (1, 0) #1"} <= names
    materials = {m["name"]: m["pbrMetallicRoughness"]["baseColorFactor"] for m in doc["materials"]}
    srgb = lambda c: c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4  # noqa: E731
    assert materials["one (1, 0)"] == pytest.approx([srgb(0x33 / 255), srgb(0x66 / 255), srgb(0xCC / 255), 1], abs=1e-6)
    assert materials["two (2, 0)"] == pytest.approx([srgb(0xDA / 255), srgb(0x70 / 255), srgb(0xD6 / 255), 1], abs=1e-6)
    # Heights scaled: layer two from z 1.0 to 1.5.
    assert per_layer(glb, 0)["two (2, 0)"]["hi"][2] == pytest.approx(1.5)
    assert summary.layers == 2 and summary.bytes == (tmp_path / "out.glb").stat().st_size


def test_colour_names_and_a_part_without_placements(tmp_path):
    # Viewer data as a caller may hand it over: a colour given by its CSS
    # name (any case), a top-cell part with no matrices (one placement as is).
    box = np.array([0, 0, 4, 0, 4, 2, 0, 2], dtype=np.float32)
    part = {"name": "m1", "id": "/Cells/top/m1", "loc": [[0, 0, 1.0], [0, 0, 0, 1]], "color": "Orchid",
            "shape": {"refs": [0], "height": 0.5, "matrices": np.array([], dtype=np.float32)}}
    data = {"name": "Cells", "id": "/Cells", "parts": [{"name": "top", "id": "/Cells/top", "parts": [part]}], "instances": [box]}
    summary = viewer_data_to_glb(data, tmp_path / "out.glb")
    glb = Glb(tmp_path / "out.glb")
    assert glb.doc["materials"][0]["pbrMetallicRoughness"]["baseColorFactor"][:3] == pytest.approx(
        [((c / 255 + 0.055) / 1.055) ** 2.4 for c in (0xDA, 0x70, 0xD6)], abs=1e-6)
    (layer,) = per_layer(glb, 0).values()
    assert layer["area"] == pytest.approx(8.0, rel=1e-12)
    assert (list(layer["lo"]), list(layer["hi"])) == pytest.approx(([0, 0, 1.0], [4, 2, 1.5]), rel=1e-12)
    assert summary.placements == 1 and summary.triangles == 12


def test_nothing_to_draw_writes_nothing(tmp_path):
    out = tmp_path / "out.glb"
    out.write_bytes(b"an older file")
    stack, views = vlt.read_layer_technology(stack_file(tmp_path))
    with pytest.raises(NothingToDraw):
        gds_to_glb(turned_and_mirrored(tmp_path), out, layer_stack=stack, layer_views=views, exclude_layers=["*"], require_shapes=True)
    assert out.read_bytes() == b"an older file"


# --- triangulation ------------------------------------------------------------------

# The outlines the viewer page's test fills, and one without area.
AWKWARD = dict(VIEWER_AWKWARD, **{"no area": [(0, 0), (5, 0), (10, 0)]})


def test_awkward_outlines_are_covered_exactly():
    o = Outlines([np.ravel(p).astype(np.float32) for p in AWKWARD.values()])
    for k, name in enumerate(AWKWARD):
        xy = o.xy[o.start[k] : o.start[k] + o.count[k]]
        tris = xy[o.tris[o.tstart[k] : o.tstart[k] + o.tcount[k]]]
        u, w = tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0]
        twice = u[:, 0] * w[:, 1] - u[:, 1] * w[:, 0]
        x, y = xy[:, 0], xy[:, 1]
        outline = abs(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))
        assert np.all(twice > 0), name  # counter-clockwise, none flat
        assert twice.sum() == pytest.approx(outline, rel=1e-9, abs=1e-12), name
