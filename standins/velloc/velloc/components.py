"""Sample component factories of the generic silicon-photonics PDK.

Every factory is a ``velloc.cell``: it builds a new locked ``Component`` with
ports named o1, o2, ... (o1 is the input, pointing west).  ``mzi`` and
``ring_single`` are composites: they place other components and connect them
port to port, so their netlists have instances, connections and ports; the
interferometer's two arms form its route bundle "arms".
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable

from orvik import LayerEnum

from velloc._cell import cell
from velloc.component import Component

# numpy is imported inside the functions that use it: importing velloc (for its
# technology module, say) stays cheap.
if TYPE_CHECKING:
    import numpy as np

__all__ = [
    "arc_points",
    "bend_circular",
    "grating_coupler",
    "mmi1x2",
    "mzi",
    "ring_single",
    "straight",
    "taper",
]

LAYER = LayerEnum
_ARC_TOLERANCE = 0.001  # µm: largest distance between a true arc and its chord


def arc_points(radius: float, start: float, stop: float, center=(0.0, 0.0)) -> np.ndarray:
    """Points on a circular arc from ``start`` to ``stop`` degrees, at most 1 nm off the arc."""
    import numpy as np

    span = math.radians(abs(stop - start))
    step = 2 * math.acos(max(-1.0, 1 - _ARC_TOLERANCE / radius)) if radius > 0 else span
    n = max(2, math.ceil(span / step) + 1)
    angles = np.radians(np.linspace(start, stop, n))
    return np.column_stack(
        (center[0] + radius * np.cos(angles), center[1] + radius * np.sin(angles))
    )


def _annular_sector(
    r_in: float, r_out: float, start: float, stop: float, center=(0.0, 0.0)
) -> np.ndarray:
    import numpy as np

    outer = arc_points(r_out, start, stop, center)
    inner = arc_points(r_in, stop, start, center)
    return np.vstack((outer, inner))


@cell
def straight(length: float = 10.0, width: float = 0.5, layer: Any = LAYER.WG) -> Component:
    """A straight waveguide from (0, 0) to (length, 0)."""
    c = Component()
    w = width / 2
    c.add_polygon([(0, -w), (length, -w), (length, w), (0, w)], layer)
    c.add_port("o1", (0, 0), 180, width, layer)
    c.add_port("o2", (length, 0), 0, width, layer)
    c.info["length"] = length
    return c


@cell
def taper(
    length: float = 10.0, width1: float = 0.5, width2: float = 1.0, layer: Any = LAYER.WG
) -> Component:
    """A linear taper from ``width1`` at x = 0 to ``width2`` at x = length."""
    c = Component()
    c.add_polygon(
        [(0, -width1 / 2), (length, -width2 / 2), (length, width2 / 2), (0, width1 / 2)], layer
    )
    c.add_port("o1", (0, 0), 180, width1, layer)
    c.add_port("o2", (length, 0), 0, width2, layer)
    c.info["length"] = length
    return c


@cell
def bend_circular(
    radius: float = 10.0, angle: float = 90.0, width: float = 0.5, layer: Any = LAYER.WG
) -> Component:
    """A circular bend starting at (0, 0) heading east and turning left by ``angle`` degrees.

    Mirror a reference to turn right.
    """
    if not 0 < angle <= 180:
        raise ValueError("angle must be in (0, 180] degrees")
    if radius <= width / 2:
        raise ValueError("radius must exceed half the width")
    c = Component()
    center = (0.0, radius)
    c.add_polygon(
        _annular_sector(radius - width / 2, radius + width / 2, -90.0, -90.0 + angle, center), layer
    )
    end = math.radians(angle - 90.0)
    c.add_port("o1", (0, 0), 180, width, layer)
    c.add_port("o2", (radius * math.cos(end), radius + radius * math.sin(end)), angle, width, layer)
    c.info.update(length=radius * math.radians(angle), radius=radius)
    return c


@cell
def grating_coupler(
    n_periods: int = 30,
    period: float = 0.66,
    fill_factor: float = 0.5,
    taper_length: float = 16.6,
    taper_angle: float = 40.0,
    width: float = 0.5,
    wavelength: float = 1.55,
    fiber_angle: float = 15.0,
    layer: Any = LAYER.WG,
    layer_slab: Any = LAYER.SLAB150,
) -> Component:
    """A focusing grating coupler: arc-shaped teeth around the input, fed by a flared taper.

    The teeth are annular sectors of ``taper_angle`` degrees centred on the
    input port; a shallow-etch slab covers the grating area.  o1 is the
    waveguide input; o2 marks the fibre position above the grating.
    """
    import numpy as np

    half = taper_angle / 2
    if taper_length * math.sin(math.radians(half)) <= width / 2:
        raise ValueError("taper too short or too narrow for the waveguide width")
    c = Component()
    flare = arc_points(taper_length, half, -half)
    # Taper: the waveguide end at x = 0, flaring out to the first arc.
    c.add_polygon(np.vstack(([(0.0, -width / 2)], flare[::-1], [(0.0, width / 2)])), layer)
    tooth = period * fill_factor
    for i in range(n_periods):
        r_in = taper_length + i * period + (period - tooth)
        c.add_polygon(_annular_sector(r_in, r_in + tooth, -half, half), layer)
    r_end = taper_length + n_periods * period
    c.add_polygon(
        _annular_sector(taper_length / 2, r_end + 2.0, -half - 2.0, half + 2.0), layer_slab
    )
    c.add_port("o1", (0, 0), 180, width, layer)
    fiber_x = taper_length + n_periods * period / 2
    c.add_port("o2", (fiber_x, 0), 0, 10.0, layer, port_type="vertical_te")
    c.info.update(period=period, wavelength=wavelength, fiber_angle=fiber_angle, polarization="te")
    return c


@cell
def mmi1x2(
    width: float = 0.5,
    width_taper: float = 1.0,
    length_taper: float = 10.0,
    length_mmi: float = 5.5,
    width_mmi: float = 2.5,
    gap_mmi: float = 0.25,
    layer: Any = LAYER.WG,
) -> Component:
    """A 1x2 multimode interference splitter: o1 west, o2 east top, o3 east bottom."""
    c = Component()
    h = width_mmi / 2
    c.add_polygon([(0, -h), (length_mmi, -h), (length_mmi, h), (0, h)], layer)

    def add_taper(x0: float, x1: float, y: float, w0: float, w1: float) -> None:
        c.add_polygon(
            [(x0, y - w0 / 2), (x1, y - w1 / 2), (x1, y + w1 / 2), (x0, y + w0 / 2)], layer
        )

    add_taper(-length_taper, 0, 0, width, width_taper)
    offset = (gap_mmi + width_taper) / 2
    x_out = length_mmi + length_taper
    for y in (offset, -offset):
        add_taper(length_mmi, x_out, y, width_taper, width)
    c.add_port("o1", (-length_taper, 0), 180, width, layer)
    c.add_port("o2", (x_out, offset), 0, width, layer)
    c.add_port("o3", (x_out, -offset), 0, width, layer)
    return c


@cell
def ring_single(
    gap: float = 0.2,
    radius: float = 10.0,
    length_x: float = 4.0,
    length_y: float = 0.6,
    width: float = 0.5,
    layer: Any = LAYER.WG,
) -> Component:
    """A racetrack ring beside a bus waveguide; o1 and o2 are the bus ends."""
    c = Component()
    bus = c.add_ref(straight(length=length_x + 2 * radius, width=width, layer=layer), "bus")
    bend = bend_circular(radius=radius, width=width, layer=layer)
    side_x = straight(length=length_x, width=width, layer=layer)
    side_y = straight(length=length_y, width=width, layer=layer) if length_y > 0 else None

    # Counter-clockwise round the ring from the bottom side, which couples to the bus.
    bottom = c.add_ref(side_x, "bottom", origin=(radius, gap + width))
    port = bottom.ports["o2"]
    for k, (side, name) in enumerate(((side_y, "right"), (side_x, "top"), (side_y, "left"))):
        port = c.add_ref(bend, f"bend{k + 1}").connect("o1", port).ports["o2"]
        if side is not None:
            port = c.add_ref(side, name).connect("o1", port).ports["o2"]
    c.add_ref(bend, "bend4").connect("o1", port)

    c.add_port("o1", port=bus.ports["o1"])
    c.add_port("o2", port=bus.ports["o2"])
    return c


@cell
def mzi(
    delta_length: float = 10.0,
    length_y: float = 2.0,
    length_x: float = 0.1,
    radius: float = 10.0,
    width: float = 0.5,
    splitter: Callable[..., Component] = mmi1x2,
) -> Component:
    """A Mach-Zehnder interferometer: a splitter, two arms (the bottom one longer), a combiner.

    The combiner is the splitter rotated by 180 degrees; right turns are
    mirrored references of the same left-turning bend.
    """
    import numpy as np

    c = Component()
    split = splitter(width=width)
    bend = bend_circular(radius=radius, width=width)
    arm_x = straight(length=length_x, width=width)
    top_y = straight(length=length_y, width=width)
    bottom_y = straight(length=length_y + delta_length / 2, width=width)

    cp1 = c.add_ref(split, "cp1")

    def arm(start, first_turn_right: bool, vertical: Component, tag: str):
        # turn, vertical, turn back, horizontal, turn, vertical, turn back
        turns = [first_turn_right, not first_turn_right, not first_turn_right, first_turn_right]
        parts = [vertical, arm_x, vertical]
        port = start
        for k, right in enumerate(turns):
            ref = c.add_ref(bend, f"b{tag}{k + 1}", mirror=right).connect("o1", port)
            port = ref.ports["o2"]
            if k < len(parts):
                ref = c.add_ref(parts[k], f"s{tag}{k + 1}").connect("o1", port)
                port = ref.ports["o2"]
        return port

    top_end = arm(cp1.ports["o2"], False, top_y, "t")
    bottom_end = arm(cp1.ports["o3"], True, bottom_y, "b")
    cp2 = c.add_ref(split, "cp2").connect("o2", bottom_end)
    if not np.allclose(cp2.ports["o3"].center, top_end.center, atol=0.002):
        raise ValueError("the splitter's outputs do not line up with the arms")

    c.add_route("arms", {"cp1,o2": "cp2,o3", "cp1,o3": "cp2,o2"}, radius=radius, width=width)
    c.add_port("o1", port=cp1.ports["o1"])
    c.add_port("o2", port=cp2.ports["o1"])
    c.info["delta_length"] = delta_length
    return c
