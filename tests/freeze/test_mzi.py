from corvane.core import freeze

MMI = {"component": "mmi1x2", "settings": {"width": 0.5, "width_taper": 1.0, "length_taper": 10.0,
       "length_mmi": 5.5, "width_mmi": 2.5, "gap_mmi": 0.25, "layer": "WG"}}  # fmt: skip
BEND = {"component": "bend_circular", "settings": {"radius": 10.0, "angle": 90.0, "width": 0.5, "layer": "WG"}}


def straight(length):
    return {"component": "straight", "settings": {"length": length, "width": 0.5, "layer": "WG"}}


# Each arm, from the splitter to the combiner: name, instance, placement (x, y, rotation, mirror).
TOP = [
    ("bend_circular", BEND, (15.5, 0.625, 0.0, False)),
    ("straight", straight(2.0), (25.5, 10.625, 90.0, False)),
    ("bend_circular_2", BEND, (25.5, 12.625, 90.0, True)),
    ("straight_2", straight(0.1), (35.5, 22.625, 0.0, False)),
    ("bend_circular_3", BEND, (35.6, 22.625, 0.0, True)),
    ("straight_3", straight(2.0), (45.6, 12.625, 270.0, False)),
    ("bend_circular_4", BEND, (45.6, 10.625, 270.0, False)),
]
BOTTOM = [
    ("bend_circular_5", BEND, (15.5, -0.625, 0.0, True)),
    ("straight_4", straight(7.0), (25.5, -10.625, 270.0, False)),
    ("bend_circular_6", BEND, (25.5, -17.625, 270.0, False)),
    ("straight_5", straight(0.1), (35.5, -27.625, 0.0, False)),
    ("bend_circular_7", BEND, (35.6, -27.625, 0.0, False)),
    ("straight_6", straight(7.0), (45.6, -17.625, 90.0, False)),
    ("bend_circular_8", BEND, (45.6, -10.625, 90.0, True)),
]
ALL = [("mmi1x2", MMI, (0.0, 0.0, 0.0, False)), *TOP, *BOTTOM, ("mmi1x2_2", MMI, (71.1, 0.0, 180.0, False))]


def chain(start, arm, end):
    """start -> first o1, each o2 -> next o1, last o2 -> end."""
    ends = [start, *(f"{name},{p}" for name, _, _ in arm for p in ("o1", "o2")), end]
    return list(zip(ends[::2], ends[1::2]))


def test_mzi_of_the_default_pdk():
    top, bottom = chain("mmi1x2,o2", TOP, "mmi1x2_2,o3"), chain("mmi1x2,o3", BOTTOM, "mmi1x2_2,o2")
    pairs = [top[0], bottom[0], *top[1:], *bottom[1:]]  # the splitter's ports come first
    net = freeze.freeze("mzi")
    assert list(net["instances"]) == [name for name, _, _ in ALL]
    assert net == {
        "instances": {name: inst for name, inst, _ in ALL},
        "connections": dict(pairs),
        "ports": {"o1": "mmi1x2,o1", "o2": "mmi1x2_2,o1"},
        "placements": {n: dict(zip(["x", "y", "rotation", "mirror"], p)) for n, _, p in ALL},
        "routes": {"arms": {"links": {"mmi1x2,o2": "mmi1x2_2,o3", "mmi1x2,o3": "mmi1x2_2,o2"},
                            "settings": {"radius": 10.0, "width": 0.5}}},  # fmt: skip
        "nets": [{"p1": a, "p2": b} for a, b in pairs],
    }
