"""The generic silicon-photonics PDK: 220 nm silicon on insulator, nitride, heater, three metals.

Heights are micrometres above the top of the buried oxide.  ``PDK`` is the
default active PDK of ``velloc.pdk``.
"""

from __future__ import annotations

from orvik import LayerEnum

from velloc import components
from velloc.pdk import Pdk
from velloc.technology import LayerLevel, LayerStack, LayerView, LayerViews, LogicalLayer

__all__ = ["LAYER", "LAYER_STACK", "LAYER_VIEWS", "PDK", "cells"]

LAYER = LayerEnum


def _level(layer, thickness: float, zmin: float, material: str, **kwargs) -> LayerLevel:
    return LayerLevel(LogicalLayer(layer), thickness, zmin, material=material, **kwargs)


LAYER_STACK = LayerStack(
    layers={
        "core": _level(LAYER.WG, 0.22, 0.0, "si"),
        "slab150": _level(LAYER.SLAB150, 0.15, 0.0, "si"),
        "slab90": _level(LAYER.SLAB90, 0.09, 0.0, "si"),
        # Slab left around rib waveguides: shallow-etch area minus the full core.
        "shallow_etch": LayerLevel(
            LogicalLayer(LAYER.SLAB150) - LogicalLayer(LAYER.WG),
            0.15,
            0.0,
            derived_layer=LogicalLayer(LAYER.SHALLOW_ETCH),
            material="si",
        ),
        "nitride": _level(LAYER.WGN, 0.35, 0.32, "sin"),
        "undercut": _level(LAYER.UNDERCUT, 5.0, -5.0, "air"),
        "heater": _level(LAYER.HEATER, 0.15, 1.1, "tin"),
        "viac": _level(LAYER.VIAC, 0.5, 1.25, "w"),
        "metal1": _level(LAYER.M1, 0.5, 1.75, "al"),
        "via1": _level(LAYER.VIA1, 0.6, 2.25, "w"),
        "metal2": _level(LAYER.M2, 0.7, 2.85, "al"),
        "via2": _level(LAYER.VIA2, 0.6, 3.55, "w"),
        "metal3": _level(LAYER.M3, 2.0, 4.15, "al"),
    }
)

# The undercut, text and port layers have no view; the device outline is drawn unfilled.
LAYER_VIEWS = LayerViews(
    views={
        "WG": LayerView(LAYER.WG, fill_color="#ff4040"),
        "SLAB150": LayerView(LAYER.SLAB150, fill_color="#ff9e9e"),
        "SLAB90": LayerView(LAYER.SLAB90, fill_color="#ffc8c8"),
        "SHALLOW_ETCH": LayerView(LAYER.SHALLOW_ETCH, fill_color="#c04080"),
        "WGN": LayerView(LAYER.WGN, fill_color="#4a90e2"),
        "HEATER": LayerView(LAYER.HEATER, fill_color="orange"),
        "VIAC": LayerView(LAYER.VIAC, fill_color="#b0b0b0"),
        "M1": LayerView(LAYER.M1, fill_color="#d4af37"),
        "VIA1": LayerView(LAYER.VIA1, fill_color="#a0a0a0"),
        "M2": LayerView(LAYER.M2, fill_color="#c87137"),
        "VIA2": LayerView(LAYER.VIA2, fill_color="#909090"),
        "M3": LayerView(LAYER.M3, fill_color="#ffd42a"),
        "PADOPEN": LayerView(LAYER.PADOPEN, fill_color="#40c040"),
        "FLOORPLAN": LayerView(LAYER.FLOORPLAN, fill_color="#eeeeee"),
        "DEVREC": LayerView(LAYER.DEVREC, frame_color="#00ff00"),
    }
)

# Every cell factory of the components module (arc_points is a helper).
cells = {name: getattr(components, name) for name in sorted(components.__all__) if name != "arc_points"}

PDK = Pdk(name="generic", cells=cells, layer_stack=LAYER_STACK, layer_views=LAYER_VIEWS)
