"""corvane.export.check finds what a broken glTF file breaks: a good export
passes, and each change below of its JSON or bytes is named."""

from __future__ import annotations

import json
import struct

import pytest
import velloc.technology as vlt

from corvane.export import gds_to_glb

from corvane.export.check import EXT, problems, read_glb
from .test_gltf import stack_file, turned_and_mirrored


def pack(doc: dict, blob: bytes) -> bytes:
    text = json.dumps(doc).encode()
    text += b" " * (-len(text) % 4)
    body = struct.pack("<I4s", len(text), b"JSON") + text + struct.pack("<I4s", len(blob), b"BIN\0") + blob
    return struct.pack("<4sII", b"glTF", 2, 12 + len(body)) + body


def position(doc):
    return doc["accessors"][doc["meshes"][0]["primitives"][0]["attributes"]["POSITION"]]


def write_index(doc, blob, value):
    accessor = doc["accessors"][doc["meshes"][0]["primitives"][0]["indices"]]
    view = doc["bufferViews"][accessor["bufferView"]]
    width = 2 if accessor["componentType"] == 5123 else 4
    raw = b"\xff" * width if value is None else value.to_bytes(width, "little")  # None: the restart value
    blob[view["byteOffset"] : view["byteOffset"] + width] = raw


def instanced(doc):
    return next(n for n in doc["nodes"] if EXT in n.get("extensions", {}) and "ROTATION" in n["extensions"][EXT]["attributes"])


def two_parents(doc, blob):
    doc["nodes"][0]["children"].append(doc["nodes"][1]["children"][0])


MUTATIONS = {
    "misaligned accessor": (lambda d, b: position(d).update(byteOffset=2), "not aligned to 4"),
    "wrong max": (lambda d, b: position(d)["max"].__setitem__(0, position(d)["max"][0] + 1), "is not the data's"),
    "min of two values": (lambda d, b: position(d).update(min=position(d)["min"][:2]), "has 2 values for 3 components"),
    "index past the vertices": (lambda d, b: write_index(d, b, position(d)["count"]), "an index past the"),
    "restart value": (lambda d, b: write_index(d, b, None), "or the restart value"),
    "repeated vertex": (lambda d, b: b.__setitem__(slice(*view_of_indices(d, 2)), b[slice(*view_of_indices(d, 0))]),
                        "a triangle with a repeated vertex"),
    "node with two parents": (two_parents, "has more than one parent"),
    "scene of a child": (lambda d, b: d["scenes"][0].update(nodes=[d["nodes"][0]["children"][0]]), "is not a root"),
    "view past its buffer": (lambda d, b: d["bufferViews"][-1].update(byteLength=d["bufferViews"][-1]["byteLength"] + 4),
                             "outside its buffer"),
    "count past its view": (lambda d, b: position(d).update(count=position(d)["count"] + 1), "overrun its view"),
    "stride not a multiple of 4": (lambda d, b: d["bufferViews"][0].update(byteStride=6), "byteStride 6"),
    "required, not used": (lambda d, b: d.update(extensionsRequired=["KHR_draco_mesh_compression"]), "not among extensionsUsed"),
    "instances of unequal counts": (lambda d, b: instanced(d)["extensions"][EXT]["attributes"].update(
        SCALE=d["meshes"][0]["primitives"][0]["attributes"]["POSITION"]), "attributes of different counts"),
    "rotation not a unit": (lambda d, b: d["nodes"][0].update(rotation=[0, 0, 0, 2]), "is not a unit quaternion"),
    "matrix and TRS": (lambda d, b: d["nodes"][0].update(matrix=[1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]),
                       "both a matrix and TRS"),
    "buffer longer than BIN": (lambda d, b: d["buffers"][0].update(byteLength=len(b) + 8), "does not match the BIN chunk"),
    "mesh that is not there": (lambda d, b: d["nodes"][1].update(mesh=len(d["meshes"])), "is no index into meshes"),
    "no asset version": (lambda d, b: d["asset"].pop("version"), "asset.version None"),
}


def view_of_indices(doc, triangle_corner):
    """Bytes of one index of the first triangle of mesh 0 (corner 0, 1 or 2)."""
    accessor = doc["accessors"][doc["meshes"][0]["primitives"][0]["indices"]]
    width = 2 if accessor["componentType"] == 5123 else 4
    start = doc["bufferViews"][accessor["bufferView"]]["byteOffset"] + triangle_corner * width
    return start, start + width


@pytest.fixture(scope="module")
def good(tmp_path_factory):
    folder = tmp_path_factory.mktemp("rules")
    stack, views = vlt.read_layer_technology(stack_file(folder))
    gds_to_glb(turned_and_mirrored(folder), folder / "good.glb", layer_stack=stack, layer_views=views)
    return folder / "good.glb"


def test_a_good_file_breaks_no_rule(good):
    assert problems(good) == []


@pytest.mark.parametrize("name", MUTATIONS)
def test_each_broken_rule_is_named(good, tmp_path, name):
    doc, blob, bad = read_glb(good.read_bytes())
    assert bad == []
    blob = bytearray(blob)
    mutate, fragment = MUTATIONS[name]
    mutate(doc, blob)
    broken = tmp_path / "broken.glb"
    broken.write_bytes(pack(doc, bytes(blob)))
    found = problems(broken)
    assert any(fragment in p for p in found), found


@pytest.mark.parametrize(
    "change, fragment",
    [
        (lambda raw: raw[:8] + struct.pack("<I", len(raw) + 4) + raw[12:], "!= file size"),
        (lambda raw: b"glTF" + struct.pack("<I", 1) + raw[8:], "not glTF 2"),
        (lambda raw: raw[:-4], "does not end the file"),
        (lambda raw: raw[:16] + b"BIN\0" + raw[20:], "not JSON"),
    ],
    ids=["length", "version", "truncated", "chunk order"],
)
def test_a_broken_container_is_named(good, tmp_path, change, fragment):
    broken = tmp_path / "broken.glb"
    broken.write_bytes(change(good.read_bytes()))
    assert any(fragment in p for p in problems(broken)), problems(broken)
