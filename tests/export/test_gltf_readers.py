"""The exported files of the shared layouts, read by others: the rules of
glTF 2.0 (corvane.export.check), trimesh, pygltflib, assimp and gltfpack;
every mesh a closed, manifold set of solids; each layer's area KLayout's.
And the three ways of writing placements (--instancing none, ext, both)."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path

import klayout.db as kdb
import numpy as np
import pygltflib
import pytest
import shapely.geometry as sg
import velloc.technology as vlt

from corvane import stacks
from corvane.core import lumino
from corvane.export import gds_to_glb, viewer_data_to_glb

from corvane.export.check import EXT, problems
from .test_gltf import AWKWARD, DATA, Glb, per_layer, stack_file, turned_and_mirrored

shared = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
LAYOUTS = {"tt_um_loopback.gds": "sky130", "tt_um_vga_clock.gds": "sky130", "MiniChip_1mm.gds": "photonics",
           "RingResonator.gds": "photonics", "UBC_Logo.gds": "photonics"}
SHARED_STACKS = {"sky130": "sky130_like_stack.json", "photonics": "photonics_stack.json"}
CASES = [(gds, source) for gds in LAYOUTS for source in ("built-in", "shared")]
IDS = [f"{gds[:-4]}-{source}" for gds, source in CASES]
MODES = ("both", "none", "ext")


def stack_data(gds: str, source: str) -> dict:
    family = LAYOUTS[gds]
    return stacks.builtin(family) if source == "built-in" else json.loads((DATA / SHARED_STACKS[family]).read_text())


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """The file of (layout, stack source, instancing), written once per module."""
    made = {}

    def get(gds: str, source: str, instancing: str) -> Path:
        key = (gds, source, instancing)
        if key not in made:
            stack, views = stacks.technology(stack_data(gds, source))
            out = tmp_path_factory.mktemp("glb") / f"{gds[:-4]}-{source}-{instancing}.glb"
            gds_to_glb(DATA / "gds" / gds, out, lumino.Output.LAYER, layer_stack=stack, layer_views=views,
                       instancing=instancing)
            made[key] = out
        return made[key]

    return get


def closed(triangles: np.ndarray) -> bool:
    """Each directed edge once, with its reverse: closed, consistently turned surfaces."""
    edges = np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]])
    key = edges[:, 0] * (int(edges.max()) + 1) + edges[:, 1]
    back = edges[:, 1] * (int(edges.max()) + 1) + edges[:, 0]
    return len(np.unique(key)) == len(key) and bool(np.isin(key, back).all())


# --- the rules and the readers -----------------------------------------------------


@shared
@pytest.mark.parametrize("instancing", MODES)
@pytest.mark.parametrize("gds, source", CASES, ids=IDS)
def test_every_file_keeps_the_rules_of_gltf(exported, gds, source, instancing):
    assert problems(exported(gds, source, instancing)) == []


@shared
@pytest.mark.parametrize("gds, source", CASES, ids=IDS)
def test_every_mesh_is_closed_and_watertight_for_trimesh(exported, gds, source):
    trimesh = pytest.importorskip("trimesh")
    path = exported(gds, source, "both")
    glb = Glb(path)
    for k in range(len(glb.doc["meshes"])):
        _, triangles, _ = glb.mesh(k)
        assert closed(triangles), glb.doc["meshes"][k]["name"]
    # trimesh merges vertices at one place: solids that touch would show.
    scene = trimesh.load(path, force="scene")
    assert len(scene.geometry) == len(glb.doc["meshes"])
    leaky = [name for name, mesh in scene.geometry.items() if not (mesh.is_watertight and mesh.is_winding_consistent)]
    assert leaky == []


# pygltflib takes seconds to minutes over the 3,000 to 110,000 plain nodes of
# most files: those it reads with the instanced scene alone.
SMALL = {"MiniChip_1mm.gds", "RingResonator.gds"}
PYGLTF = [(g, s, m) for (g, s) in CASES for m in MODES if (g in SMALL or m == "ext") and (s == "built-in" or m == "ext")]


@shared
@pytest.mark.parametrize("gds, source, instancing", PYGLTF, ids=[f"{g[:-4]}-{s}-{m}" for g, s, m in PYGLTF])
def test_pygltflib_reads_the_files(exported, gds, source, instancing):
    path = exported(gds, source, instancing)
    doc = Glb(path).doc
    gltf = pygltflib.GLTF2().load_binary(str(path))
    assert [len(gltf.nodes), len(gltf.meshes), len(gltf.accessors), len(gltf.scenes)] == [
        len(doc.get(k, [])) for k in ("nodes", "meshes", "accessors", "scenes")]
    assert (gltf.extensionsUsed or []) == ([] if instancing == "none" else [EXT])
    assert (gltf.extensionsRequired or []) == ([EXT] if instancing == "ext" else [])


@shared
@pytest.mark.skipif(shutil.which("assimp") is None, reason="assimp (Debian's assimp-utils) is not installed")
@pytest.mark.parametrize("instancing", MODES)
@pytest.mark.parametrize("gds, source", CASES, ids=IDS)
def test_assimp_reads_every_file(exported, gds, source, instancing):
    path = exported(gds, source, instancing)
    run = subprocess.run(["assimp", "info", str(path)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and "Error" not in run.stdout + run.stderr, run.stdout[-2000:] + run.stderr
    # assimp joins meshes of equal content (cells drawn alike).
    glb = Glb(path)
    distinct = {}
    for k in range(len(glb.doc["meshes"])):
        positions, triangles, material = glb.mesh(k)
        distinct[positions.tobytes(), triangles.tobytes(), material] = len(triangles)
    assert int(re.search(r"^Meshes:\s+(\d+)", run.stdout, re.M).group(1)) == len(distinct)
    assert int(re.search(r"^Faces:\s+(\d+)", run.stdout, re.M).group(1)) == sum(distinct.values())


@shared
@pytest.mark.skipif(shutil.which("gltfpack") is None, reason="gltfpack (Debian's gltfpack) is not installed")
@pytest.mark.parametrize("gds, source", CASES, ids=IDS)
def test_gltfpack_reads_the_files_without_the_extension(exported, gds, source, tmp_path):
    path = exported(gds, source, "none")
    out = tmp_path / "packed.glb"
    run = subprocess.run(["gltfpack", "-i", str(path), "-o", str(out)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and "rror" not in run.stderr, run.stderr
    assert problems(out) == []


# --- areas -------------------------------------------------------------------------


def manhattan(points) -> bool:
    return all(a[0] == b[0] or a[1] == b[1] for a, b in zip(points, [*points[1:], *points[:1]]))


def klayout_areas(gds: Path, data: dict, tolerance: float | None) -> dict[str, float]:
    """Per drawn layer of the stack, the area of every hull at every placement
    as KLayout gives it; at a tolerance, an outline with an edge that is
    neither horizontal nor vertical counts as shapely simplifies it."""
    layout = kdb.Layout()
    layout.read(str(gds))
    result = {}
    for entry in data["layers"]:
        index = layout.find_layer(entry["layer"], entry["datatype"])
        if index is None or not entry.get("color"):
            continue
        area, simplified = 0.0, {}
        for top in layout.top_cells():
            it = top.begin_shapes_rec(index)
            while not it.at_end():
                shape = it.shape()
                if not shape.is_text():
                    hull = list(shape.polygon.each_point_hull())
                    points = [(p.x / 1000, p.y / 1000) for p in hull]
                    if tolerance is None or manhattan(points):
                        one = kdb.SimplePolygon(hull, True).area() / 1e6
                    else:
                        key = tuple(points)
                        if key not in simplified:
                            simplified[key] = sg.Polygon(points).simplify(tolerance, preserve_topology=True).area
                        one = simplified[key]
                    area += one * it.trans().mag ** 2
                it.next()
        if area:
            result[f"{entry['name']} ({entry['layer']}, {entry['datatype']})"] = area
    return result


@shared
@pytest.mark.parametrize("gds", LAYOUTS)
def test_each_layer_has_klayouts_area_at_the_default_tolerance(tmp_path, gds, tolerance=0.01):
    data = stack_data(gds, "shared")
    stack, views = stacks.technology(data)
    out = tmp_path / "out.glb"
    gds_to_glb(DATA / "gds" / gds, out, lumino.Output.CELL, layer_stack=stack, layer_views=views, curve_tolerance=tolerance)
    got = {name: entry["area"] for name, entry in per_layer(Glb(out), 0).items()}
    want = klayout_areas(DATA / "gds" / gds, data, tolerance)
    assert sorted(got) == sorted(want)
    for name in want:
        assert got[name] == pytest.approx(want[name], rel=1e-6), name


def test_a_thin_box_keeps_its_area(tmp_path):
    layout = kdb.Layout()
    layout.dbu = 0.001
    top = layout.create_cell("TOP")
    for k in range(50):  # far from the origin, where float32 micrometres would round
        top.shapes(layout.layer(1, 0)).insert(kdb.Box(1_234_567 + 1000 * k, 765_432, 1_234_947 + 1000 * k, 765_442))
    gds = tmp_path / "thin.gds"
    layout.write(str(gds))
    stack, views = vlt.read_layer_technology(stack_file(tmp_path))
    gds_to_glb(gds, tmp_path / "out.glb", layer_stack=stack, layer_views=views)
    (layer,) = per_layer(Glb(tmp_path / "out.glb"), 0).values()
    assert layer["area"] == pytest.approx(50 * 0.38 * 0.01, rel=1e-9)


# --- the instancing modes --------------------------------------------------------------


@pytest.mark.parametrize("instancing", MODES)
def test_each_mode_places_every_placement_once(tmp_path, instancing):
    gds, stack = turned_and_mirrored(tmp_path), vlt.read_layer_technology(stack_file(tmp_path))
    gds_to_glb(gds, tmp_path / "both.glb", layer_stack=stack[0], layer_views=stack[1])
    gds_to_glb(gds, tmp_path / "out.glb", layer_stack=stack[0], layer_views=stack[1], instancing=instancing)
    reference, glb = Glb(tmp_path / "both.glb"), Glb(tmp_path / "out.glb")
    doc = glb.doc
    assert problems(tmp_path / "out.glb") == []
    assert [m["name"] for m in doc["meshes"]] == [m["name"] for m in reference.doc["meshes"]]
    for k in range(len(doc["meshes"])):
        (p, t, material), (p0, t0, material0) = glb.mesh(k), reference.mesh(k)
        assert (p.tobytes(), t.tobytes(), material) == (p0.tobytes(), t0.tobytes(), material0)
    scenes = {"both": ["top", "top (GPU instancing)"], "none": ["top"], "ext": ["top (GPU instancing)"]}[instancing]
    assert [s["name"] for s in doc["scenes"]] == scenes and doc["scene"] == 0
    assert doc.get("extensionsUsed", []) == ([] if instancing == "none" else [EXT])
    assert doc.get("extensionsRequired", []) == ([EXT] if instancing == "ext" else [])
    instanced = [n for n in doc["nodes"] if EXT in n.get("extensions", {})]
    assert bool(instanced) == (instancing != "none")
    # Each scene places every mesh where the file with both does.
    for scene, name in enumerate(scenes):
        want = reference.placements(0 if name == "top" else 1)
        got = glb.placements(scene)
        assert sorted(got) == sorted(want)
        for mesh in want:
            np.testing.assert_allclose(sort_rows(got[mesh]), sort_rows(want[mesh]), atol=1e-6)


def sort_rows(matrices: np.ndarray) -> np.ndarray:
    flat = matrices.reshape(len(matrices), -1).round(6)
    return flat[np.lexsort(flat.T[::-1])]


@pytest.mark.parametrize("instancing", ["", "gpu", None, "NONE"])
def test_an_unknown_instancing_is_refused(tmp_path, instancing):
    with pytest.raises(ValueError, match="instancing must be one of none, ext, both"):
        viewer_data_to_glb({"name": "Cells", "parts": []}, tmp_path / "out.glb", instancing=instancing)
    assert not (tmp_path / "out.glb").exists()


# --- solids of awkward outlines --------------------------------------------------------

# A notch whose clipping leaves a straight corner behind (a tt_um_loopback
# outline that came out with T-junctions), and a hole reached by a cut that
# is not the hull's first edge.
SOLIDS = dict(AWKWARD, **{
    "notch": [(0.62, 1.485), (0.62, 1.805), (0.135, 1.805), (0.135, 2.445), (0.62, 2.445), (0.62, 2.485),
              (1.705, 2.485), (1.705, 1.485)],
    "hole cut from a corner": [(0, 0), (30, 0), (30, 30), (20, 20), (20, 10), (10, 10), (10, 20), (20, 20), (30, 30),
                               (0, 30)],
})
del SOLIDS["no area"]


@pytest.mark.parametrize("name", SOLIDS)
def test_each_awkward_outline_is_a_closed_solid_of_its_area(tmp_path, name):
    points = np.ravel(SOLIDS[name]).astype(np.float32)
    part = {"name": "one", "id": "/Cells/top/one", "loc": [[0, 0, 0.5], [0, 0, 0, 1]], "color": "#3366cc",
            "shape": {"refs": [0], "height": 0.25, "matrices": np.array([], dtype=np.float32)}}
    data = {"name": "Cells", "id": "/Cells", "parts": [{"name": "top", "id": "/Cells/top", "parts": [part]}],
            "instances": [points]}
    viewer_data_to_glb(data, tmp_path / "out.glb")
    glb = Glb(tmp_path / "out.glb")
    assert problems(tmp_path / "out.glb") == []
    positions, triangles, _ = glb.mesh(0)
    assert closed(triangles)
    used = np.unique(triangles)
    assert len(np.unique(positions[used], axis=0)) == len(used)  # one vertex per place
    xy = np.asarray(SOLIDS[name], dtype=np.float32).astype(np.float64)
    area = 0.5 * abs(np.sum(xy[:, 0] * np.roll(xy[:, 1], -1) - np.roll(xy[:, 0], -1) * xy[:, 1]))
    (layer,) = per_layer(glb, 0).values()
    assert layer["area"] == pytest.approx(area, rel=1e-6)
    trimesh = pytest.importorskip("trimesh")
    mesh = trimesh.load(tmp_path / "out.glb", force="mesh")
    assert mesh.is_watertight and mesh.is_winding_consistent
    assert mesh.volume == pytest.approx(area * 0.25, rel=1e-6)  # placed: micrometres
