from types import SimpleNamespace

import velloc.pdk
from velloc import generic

from corvane.core import pdk


def test_default_is_the_generic_pdk_for_both_registries():
    assert pdk.get_pdk() is generic.PDK
    assert pdk.get_base_pdk() is generic.PDK
    assert velloc.pdk.get_layer_stack() is generic.LAYER_STACK
    assert velloc.pdk.get_layer_views() is generic.LAYER_VIEWS


def test_any_object_can_be_activated_and_the_library_sees_it():
    fake = SimpleNamespace(name="fake", cells={}, layer_stack="stack", layer_views="views")
    pdk.set_pdk(fake)
    assert pdk.get_pdk() is fake
    assert velloc.pdk.get_layer_stack() == "stack"
    assert velloc.pdk.get_layer_views() == "views"
    assert pdk.get_base_pdk() is fake  # follows the active PDK until set

    base = SimpleNamespace(name="base", cells={})
    pdk.set_base_pdk(base)
    assert pdk.get_base_pdk() is base
    assert pdk.get_pdk() is fake

    pdk.reset()
    assert pdk.get_pdk() is generic.PDK
    assert pdk.get_base_pdk() is generic.PDK


def test_generic_pdk_cells_build_components_and_keep_their_module():
    cells = pdk.get_pdk().cells
    assert {"grating_coupler", "straight", "bend_circular", "mmi1x2", "ring_single", "mzi"} <= set(
        cells
    )
    assert all(f.__module__ == "velloc.components" for f in cells.values())
    assert velloc.pdk.get_component("straight", length=3.0).info["length"] == 3.0
