import copy
import pickle
from pathlib import Path

import orvik
import pytest
from orvik import LayerEnum
from velloc import generic
from velloc.technology import (
    Color,
    DerivedLayer,
    LayerLevel,
    LayerStack,
    LayerView,
    LayerViews,
    LogicalLayer,
    read_layer_technology,
)

DATA = Path(__file__).resolve().parents[2] / "examples"


def test_layer_enum_members():
    wg = LayerEnum.WG
    assert (wg.layer, wg.datatype, wg.name, wg.value) == (1, 0, "WG", (1, 0))
    assert tuple(wg) == (1, 0)
    assert LayerEnum((1, 0)) is wg and LayerEnum["WG"] is wg and wg in LayerEnum
    assert pickle.loads(pickle.dumps(wg)) is wg and copy.deepcopy(wg) is wg
    assert len({m.value for m in LayerEnum}) == len(LayerEnum)
    with pytest.raises(ValueError):
        LayerEnum((999, 9))
    with pytest.raises(AttributeError):
        wg.name = "other"


def test_subclassed_layer_enumerations_are_layer_enums_of_their_own():
    class Extra(LayerEnum):
        met1 = (68, 20)
        metal_one = (68, 20)  # alias

    assert isinstance(Extra.met1, LayerEnum)
    assert Extra.metal_one is Extra.met1
    assert list(Extra) == [Extra.met1]
    assert not hasattr(Extra, "WG")
    assert Extra.met1 not in list(LayerEnum)
    with pytest.raises(ValueError):
        LayerEnum.create("Bad", {"name": (1, 0)})


def test_color_forms():
    assert Color("#FF8000").as_hex() == "#ff8000"
    assert Color("#f80").as_hex() == "#ff8800"
    assert Color("Orange").as_hex() == "#ffa500"
    assert Color((1, 2, 255)).as_hex() == "#0102ff"
    with pytest.raises(ValueError):
        Color("not-a-colour")


def test_layer_views_lookup():
    views = LayerViews(
        views={"wg": LayerView(LayerEnum.WG, fill_color="red"), "raw": LayerView((7, 3))}
    )
    assert views.get_from_tuple((1, 0)).fill_color.as_hex() == "#ff0000"
    assert views.get_from_tuple((7, 3)).fill_color is None
    assert views["raw"].name == "raw"
    with pytest.raises(KeyError):
        views.get_from_tuple((2, 0))


def test_derived_layers():
    a, b = LogicalLayer(LayerEnum.SLAB150), LogicalLayer(LayerEnum.WG)
    assert a - b == DerivedLayer("not", a, b)
    assert isinstance((a & b) | a, DerivedLayer)
    with pytest.raises(ValueError):
        DerivedLayer("nand", a, b)


def test_generic_stack_is_consistent():
    stack, views = generic.LAYER_STACK, generic.LAYER_VIEWS
    core = stack.layers["core"]
    assert (core.layer, core.zmin, core.thickness) == (LogicalLayer(LayerEnum.WG), 0.0, 0.22)
    derived = [lvl for lvl in stack.layers.values() if isinstance(lvl.layer, DerivedLayer)]
    assert len(derived) == 1 and isinstance(derived[0].derived_layer.layer, LayerEnum)
    for level in stack.layers.values():
        logical = level.derived_layer or level.layer
        assert isinstance(logical.layer, LayerEnum) and level.thickness > 0
    # Some layers are deliberately not shown: no view, or a view without fill.
    with pytest.raises(KeyError):
        views.get_from_tuple(LayerEnum.UNDERCUT.value)
    assert views.get_from_tuple(LayerEnum.DEVREC.value).fill_color is None
    metals = sorted(
        (lvl.zmin, lvl.zmax) for n, lvl in stack.layers.items() if n.startswith(("metal", "via"))
    )
    assert all(top <= nxt_bottom + 1e-9 for (_, top), (nxt_bottom, _) in zip(metals, metals[1:]))


@pytest.mark.skipif(not DATA.is_dir(), reason="the example stacks (examples/) are not present")
@pytest.mark.parametrize("name", ["photonics_stack.json", "sky130_like_stack.json"])
def test_read_layer_technology_from_data(name):
    stack, views = read_layer_technology(DATA / name)
    assert isinstance(stack, LayerStack) and isinstance(views, LayerViews)
    first_name, first = next(iter(stack.layers.items()))
    member = first.layer.layer
    assert isinstance(member, LayerEnum) and member.name == first_name
    assert views.get_from_tuple(member.value).fill_color is not None
    assert all(isinstance(lvl, LayerLevel) for lvl in stack.layers.values())
    assert orvik.LayerEnum.WG.name == "WG"  # the generic enumeration is untouched
