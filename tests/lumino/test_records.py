"""Records, constants, aliases and the Output enumeration of corvane.core.lumino."""

import dataclasses
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from corvane.core import lumino


def field_table(cls):
    out = []
    for f in dataclasses.fields(cls):
        if f.default is not dataclasses.MISSING:
            default = f.default
        elif f.default_factory is not dataclasses.MISSING:
            default = "factory"
        else:
            default = "required"
        out.append((f.name, f.type, default, f.kw_only))
    return out


@pytest.mark.parametrize(
    "cls, expected",
    [
        ("Cell", [("cell_index", "int", "required", False), ("name", "str", "required", False),
                  ("polygons", "LayerPolygons", "factory", False), ("references", "References", "factory", False)]),
        ("Reference", [("cell_index", "int", "required", False), ("name", "str", "required", False),
                       ("polygons", "LayerPolygons", "factory", False),
                       ("references", "References", "factory", False),
                       ("trans_count", "int", 0, False), ("trans", "list[KTrans]", "factory", False)]),
        ("ParsedCells", [("instances", "Instances", "required", False), ("layer_map", "LayerMap", "required", False),
                         ("cells", "Cells", "required", False)]),
        ("ParsedLayers", [("instances", "Instances", "required", False),
                          ("layer_map", "LayerMap", "required", False),
                          ("layers", "list[dict[str, Cell | Reference]]", "required", False)]),
        ("PdkLayer", [("name", "str", "required", False), ("thickness", "float", "required", False),
                      ("zmin", "float", "required", False), ("color", "str", "required", False)]),
        ("Shape", [("refs", "list[int]", "required", False), ("height", "float", "required", False),
                   ("matrices", "FlattenedTransMatrices", "factory", False)]),
        ("PartBase", [("name", "str", "required", False), ("id", "str", "required", False),
                      ("version", "str", "3", False), ("loc", "tuple[Position, Quaternion]", "factory", False)]),
        ("Part", [("name", "str", "required", False), ("id", "str", "required", False),
                  ("version", "str", "3", False), ("loc", "tuple[Position, Quaternion]", "factory", False),
                  ("shape", "Shape", "required", True), ("color", "str", "required", True),
                  ("renderback", "bool", False, True), ("state", "tuple[int, int]", "factory", True),
                  ("type", "str", "polygon", True), ("subtype", "str", "solid", True)]),
        ("Parts", [("name", "str", "required", False), ("id", "str", "required", False),
                   ("version", "str", "3", False), ("loc", "tuple[Position, Quaternion]", "factory", False),
                   ("parts", "list[Part | Parts]", "factory", True)]),
        ("ViewerData", [("name", "str", "required", False), ("id", "str", "required", False),
                        ("version", "str", "3", False), ("loc", "tuple[Position, Quaternion]", "factory", False),
                        ("parts", "list[Part | Parts]", "factory", True), ("format", "str", "GDS", True),
                        ("instances", "list[npt.NDArray[np.float32]]", "factory", True)]),
    ],
)
def test_record_fields(cls, expected):
    record = getattr(lumino, cls)
    assert dataclasses.is_dataclass(record)
    assert record.__module__ == "corvane.core.lumino"
    assert field_table(record) == expected


def test_bases():
    assert issubclass(lumino.Reference, lumino.Cell)
    assert issubclass(lumino.Part, lumino.PartBase)
    assert issubclass(lumino.ViewerData, lumino.Parts) and issubclass(lumino.Parts, lumino.PartBase)


def test_reference_defaults_are_fresh_per_record():
    a, b = lumino.Reference(1, "a"), lumino.Reference(1, "a")
    assert (a.trans_count, a.trans, a.polygons, a.references) == (0, [], {}, [])
    assert a.trans is not b.trans and a.polygons is not b.polygons and a.references is not b.references
    assert a == b
    a.trans.append(1)
    assert b.trans == []


def test_part_defaults_and_keyword_only_fields():
    shape = lumino.Shape([0], 1.0)
    part = lumino.Part(name="n", id="/n", shape=shape, color="#ff0000")
    assert part.version == "3"
    assert part.loc == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))
    assert (part.renderback, part.state, part.type, part.subtype) == (False, (1, 1), "polygon", "solid")
    # Only PartBase's fields can be given by position.
    lumino.Part("n", "/n", "3", part.loc, shape=shape, color="c")
    with pytest.raises(TypeError):
        lumino.Part("n", "/n", "3", part.loc, shape, "c")


def test_viewer_data_defaults():
    data = lumino.ViewerData(name="Cells", id="/Cells")
    assert (data.format, data.parts, data.instances, data.version) == ("GDS", [], [], "3")
    assert data.parts is not lumino.ViewerData(name="x", id="y").parts


def test_shape_matrices_default_is_a_new_empty_float32_array():
    a, b = lumino.Shape([1], 2.0), lumino.Shape([1], 2.0)
    assert isinstance(a.matrices, np.ndarray)
    assert a.matrices.dtype == np.float32 and a.matrices.shape == (0,)
    assert a.matrices is not b.matrices


def test_records_work_with_dataclass_helpers():
    ref = lumino.Reference(3, "c", {"0": [1, 2]}, trans_count=1)
    assert dataclasses.asdict(ref) == {
        "cell_index": 3, "name": "c", "polygons": {"0": [1, 2]}, "references": [], "trans_count": 1, "trans": [],
    }
    assert dataclasses.replace(ref, name="d").name == "d"
    assert repr(lumino.Cell(1, "x")) == "Cell(cell_index=1, name='x', polygons={}, references=[])"


def test_constants_enumeration_and_aliases():
    assert (lumino.FORMAT, lumino.VERSION, lumino.__all__) == ("GDS", "3", ["lumino"])
    assert (lumino.Output.CELL.value, lumino.Output.LAYER.value) == (1, 2)
    assert [m.name for m in lumino.Output] == ["CELL", "LAYER"]
    assert lumino.LayerSpec == tuple[int, int]
    assert lumino.LayerPolygons == dict[str, list[int]]
    assert lumino.Cells == list[lumino.Cell] and lumino.References == list[lumino.Reference]


def test_module_names_in_definition_order():
    names = [n for n in vars(lumino) if not n.startswith("__")]
    order = ["base64", "lazy_import", "FORMAT", "VERSION", "Point", "FlattenedTransMatrices", "npt", "shared",
             "Cell", "Cells", "Reference", "References", "ParsedCells", "ParsedLayers", "PdkLayer", "Position",
             "Quaternion", "PartBase", "Shape", "Part", "Parts", "ViewerData", "KTrans", "Output", "ParseGDS",
             "get_layer_properties"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
    lazy = ["npt", "stockkit", "vlt", "ov", "pya", "kdb", "np", "orjson", "sg", "cvn_pdk", "comms", "m", "shared"]
    assert [n for n in names if n in lazy] == lazy


def test_import_loads_no_heavy_dependency():
    # numpy and klayout made unimportable: loading the module must still work.
    code = textwrap.dedent(
        """
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in ("numpy", "klayout", "shapely", "orjson", "networkx", "matplotlib"):
                    raise ImportError("blocked " + name)
        sys.meta_path.insert(0, Block())
        import corvane.core.lumino as lumino
        lumino.Cell(1, "a"); lumino.Reference(2, "b"); lumino.PdkLayer("a", 1.0, 0.0, "#000000")
        heavy = [m for m in sys.modules if m.split(".")[0] in ("numpy", "klayout", "shapely", "orjson")]
        assert not heavy, heavy
        print("ok")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
