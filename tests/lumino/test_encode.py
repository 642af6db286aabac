"""Map form (asdict), indented JSON (create_json) and base64 buffer records
(numpy_to_buffer_json)."""

from __future__ import annotations

import base64
import dataclasses

import klayout.db as kdb
import numpy as np
import pytest

from corvane.core import lumino


@pytest.fixture
def gds():
    return lumino.ParseGDS(kdb.Layout(), {})


def test_empty_fields_are_left_out_but_empty_arrays_kept(gds):
    shape = lumino.Shape([0], 0.5)
    part = lumino.Part("p", "/p", shape=shape, color="#fff")
    data = lumino.ViewerData("v", "/v", parts=[lumino.Parts("e", "/v/e"), part])
    d = gds.asdict(data)
    assert list(d) == ["name", "id", "version", "loc", "parts", "format"]  # no instances
    empty, p = d["parts"]
    assert list(empty) == ["name", "id", "version", "loc"]  # no parts
    assert list(p) == ["name", "id", "version", "loc", "shape", "color", "renderback", "state", "type", "subtype"]
    assert list(p["shape"]) == ["refs", "height", "matrices"]
    assert p["shape"]["matrices"] is shape.matrices  # arrays stay as they are
    assert p["loc"] == [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]] and p["state"] == [1, 1]
    assert type(p["loc"]) is list and type(p["loc"][0]) is list


def test_asdict_rules(gds):
    @dataclasses.dataclass
    class Record:
        items: tuple
        table: dict
        empty: dict
        nothing: None = None

    class Own:
        def to_dict(self):
            return {"kept": (1, 2)}  # returned unconverted

    k = lumino.KTrans(kdb.Trans(1, True, 1500, -20))
    value = [Record((k, Own()), {3: (4,), "x": []}, {}), (5, "t"), lumino.Reference, None]
    assert gds.asdict(value) == [
        {
            "items": [{"mirror": True, "angle": 90, "displacement": [1.5, -0.02]}, {"kept": (1, 2)}],
            "table": {3: [4], "x": []},  # keys kept; empty values inside maps stay
            "nothing": None,
        },
        [5, "t"],
        lumino.Reference,  # a record class is not a record
        None,
    ]


def test_create_json_of_a_bare_root(gds):
    assert gds.create_json(lumino.ViewerData(name="n", id="/n")) == (
        '{\n  "name": "n",\n  "id": "/n",\n  "version": "3",\n  "loc": [\n    [\n      0.0,\n      0.0,\n'
        '      0.0\n    ],\n    [\n      0.0,\n      0.0,\n      0.0,\n      1.0\n    ]\n  ],\n'
        '  "format": "GDS"\n}'
    )


def test_create_json_falls_back_to_the_hosts_none(gds, monkeypatch):
    seen = []

    class Shared:
        @staticmethod
        def none(value):
            seen.append(value)
            return "replaced"

    monkeypatch.setattr(lumino, "shared", Shared)
    odd = object()
    text = gds.create_json(lumino.Parts(name=odd, id="/x"))
    assert seen == [odd] and text.startswith('{\n  "name": "replaced",')


def reference_record(a: np.ndarray) -> dict:
    """The buffer record as the standard tools make it."""
    flat = np.ascontiguousarray(a).ravel()
    return {
        "shape": [flat.size],
        "dtype": str(flat.dtype),
        "buffer": base64.b64encode(memoryview(flat)).decode(),
        "codec": "b64",
    }


ARRAYS = {
    "two floats": np.array([1.0, 2.0], dtype=np.float32),
    "empty": np.array([], dtype=np.float32),
    "1 to 14 bytes": [np.arange(n, dtype=np.uint8) for n in range(1, 15)],
    "every byte value, at every offset": [np.roll(np.arange(256, dtype=np.uint8), k)[: 250 + k] for k in range(6)],
    "15 to 64 random bytes": [np.random.default_rng(n).integers(0, 256, n, dtype=np.uint8) for n in range(15, 65)],
    "a large random buffer": np.random.default_rng(1).integers(0, 256, 100_003, dtype=np.uint8),
    "2-D": np.arange(12, dtype=np.float32).reshape(3, 4),
    "strided": np.arange(20, dtype=np.float32)[::3],
    "Fortran order": np.asfortranarray(np.arange(6, dtype=np.float64).reshape(2, 3)),
    "big-endian": np.array([1.5, -0.0], dtype=">f4"),
    "0-d": np.array(7, dtype=np.int16),
    "subclass": np.ma.masked_array([1.0, 2.0], dtype=np.float32),
}


@pytest.mark.parametrize("name", ARRAYS)
def test_buffer_records(name):
    arrays = ARRAYS[name] if isinstance(ARRAYS[name], list) else [ARRAYS[name]]
    got = lumino.numpy_to_buffer_json({"a": arrays})
    assert got == {"a": [reference_record(a) for a in arrays]}
    assert all(list(r) == ["shape", "dtype", "buffer", "codec"] for r in got["a"])


def test_two_floats_byte_for_byte():
    record = lumino.numpy_to_buffer_json({"m": np.array([1.0, 2.0], dtype=np.float32)})["m"]
    assert record == {"shape": [2], "dtype": "float32", "buffer": "AACAPwAAAEA=", "codec": "b64"}
    assert base64.b64decode(record["buffer"]) == bytes.fromhex("0000803F00000040")
    empty = lumino.numpy_to_buffer_json({"m": np.array([], dtype=np.float32)})["m"]
    assert empty == {"shape": [0], "dtype": "float32", "buffer": "", "codec": "b64"}


def test_maps_without_arrays_and_absent_values():
    value = {"t": (1, (2, "x")), 3: {"n": None}}
    got = lumino.numpy_to_buffer_json(value)
    assert got == {"t": [1, [2, "x"]], 3: {"n": None}} and got is not value
    assert lumino.numpy_to_buffer_json(None) is None
    # an array alone becomes its record, which is a map
    assert lumino.numpy_to_buffer_json(np.zeros(1, np.float32))["shape"] == [1]


@pytest.mark.parametrize("value, kind", [([1], "list"), ((1,), "list"), (3, "int"), ("text", "str")])
def test_a_result_that_is_not_a_map_is_a_type_error(value, kind):
    with pytest.raises(TypeError) as e:
        lumino.numpy_to_buffer_json(value)
    assert "dict" in str(e.value) and kind in str(e.value)


def test_arrays_of_python_objects_are_refused():
    with pytest.raises(TypeError, match="no raw byte form"):
        lumino.numpy_to_buffer_json({"a": np.array([object(), 1], dtype=object)})


@pytest.mark.parametrize("names", [("Ox", "y"), ("x", "O"), ("objects", "Obj")])
def test_record_arrays_whose_field_names_hold_the_letter_o(names):
    """Only an element type of Python objects has no raw bytes; a field name is no element type."""
    a = np.zeros(3, dtype=[(names[0], "<f4"), (names[1], "<i2")])
    a[names[0]] = [1.5, -2.0, 0.25]
    assert lumino.numpy_to_buffer_json({"a": a}) == {"a": reference_record(a)}
    with pytest.raises(TypeError, match="no raw byte form"):
        lumino.numpy_to_buffer_json({"a": np.zeros(2, dtype=[(names[0], "O")])})
