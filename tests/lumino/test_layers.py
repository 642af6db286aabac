"""The layer table (get_layer_properties) and the text form of PdkLayer."""

import json
import math
import random
import struct
import sys
import types
from dataclasses import fields
from pathlib import Path

import orvik as ov
import pytest
import velloc.technology as vlt

from corvane.core import lumino

PdkLayer = lumino.PdkLayer
DATA = Path(__file__).resolve().parents[2] / "examples"


def level(layer, thickness=0.22, zmin=0.0, derived_layer=None):
    return vlt.LayerLevel(layer, thickness, zmin, derived_layer)


def logical(member):
    return vlt.LogicalLayer(member)


def views(*pairs):
    """Layer views: (enumeration member, fill colour or None) per view."""
    return vlt.LayerViews({m.name: vlt.LayerView(layer=m, fill_color=c) for m, c in pairs})


def stack(*levels):
    return vlt.LayerStack({f"level{i}": lv for i, lv in enumerate(levels)})


# --- text form -------------------------------------------------------------


def test_text_form_of_the_documented_record():
    p = PdkLayer(name="WG", thickness=0.22, zmin=0.0, color="#ff0000")
    assert repr(p) == "PdkLayer(name='WG', thickness= 0.22, zmin=  0.0, color='#ff0000')"
    assert str(p) == repr(p)
    assert f"{p}" == repr(p)


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "  0.0"),
        (0.22, " 0.22"),
        (1.0, "  1.0"),
        (12.5, " 12.5"),
        (-1.5, " -1.5"),
        (0.123456, "0.123"),
        (0.0001, "0.0001"),
        (0.00012345, "0.000123"),
        (99.95, "1e+02"),
        (100.0, "1e+02"),
        (123.456, "1.23e+02"),
        (150.0, "1.5e+02"),
        (10.0, " 10.0"),
        (-0.0, " -0.0"),
        (0.00009999, "0.0001"),
        (0.00001, "1e-05"),
        (math.inf, "  inf"),
        (-math.inf, " -inf"),
        (math.nan, "  nan"),
        (1, "1"),  # an integer is not float-formatted, not padded
        (True, "True"),
        (None, "None"),
        ("1.0", "'1.0'"),
        ([1.5], "[1.5]"),  # only the value itself is float-formatted
    ],
)
def test_value_text(value, text):
    p = PdkLayer(name="a", thickness=value, zmin=value, color="c")
    assert repr(p) == f"PdkLayer(name='a', thickness={text}, zmin={text}, color='c')"


def _bits_to_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def _format_samples():
    rng = random.Random(20240531)
    values = [
        99.95,
        99.949999,
        999.5,
        9.995,
        9.9949,
        0.0001,
        0.00009999,
        0.000099995,
        0.00001,
        1e-5,
        1e16,
        1e22,
        1e100,
        1e-300,
        5e-324,
        -5e-324,
        sys.float_info.max,
        sys.float_info.min,
        0.125,
        12.25,
        1.125,
        2.675,
        0.5,
        1.5,
        2.5,
        0.0625,
        -0.0,
        -math.nan,
        1 / 3,
        2 / 3,
    ]
    values += [n / 64 for n in range(-4000, 4000)]  # exact binary ties at the third digit
    for _ in range(20000):
        values.append(rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-12, 12))
        values.append(round(rng.uniform(-2000, 2000), rng.randint(0, 6)))
        values.append(_bits_to_float(rng.getrandbits(64)))
    return values


def test_float_text_matches_python_format():
    mismatches = []
    for v in _format_samples():
        got = repr(PdkLayer(name="", thickness=v, zmin=0, color=""))
        want = f"PdkLayer(name='', thickness={format(v, '5.3')}, zmin=0, color='')"
        if got != want:
            mismatches.append((v, got, want))
    assert mismatches == []


def test_float_subclass_uses_its_own_format():
    class Tagged(float):
        def __format__(self, format_string):
            return "<" + format_string + ">"

    class Plain(float):
        pass

    p = PdkLayer(name="a", thickness=Tagged(1.0), zmin=Plain(0.22), color="c")
    assert repr(p) == "PdkLayer(name='a', thickness=<5.3>, zmin= 0.22, color='c')"


def test_text_follows_instance_attributes_in_setting_order():
    p = PdkLayer(name="a", thickness=1.0, zmin=2.0, color="c")
    del p.zmin
    p.extra = 0.5
    p.zmin = 3.0
    assert repr(p) == "PdkLayer(name='a', thickness=  1.0, color='c', extra=  0.5, zmin=  3.0)"


def test_text_uses_subclass_name_and_str_goes_through_repr():
    class Special(PdkLayer):
        pass

    s = Special(name="a", thickness=1.0, zmin=2.0, color="c")
    assert repr(s) == "Special(name='a', thickness=  1.0, zmin=  2.0, color='c')"

    p = PdkLayer(name="a", thickness=1.0, zmin=2.0, color="c")
    p.__repr__ = lambda: "own"  # an instance attribute: seen by self.__repr__(), not by repr()
    assert str(p) == "own"
    assert repr(p).startswith("PdkLayer(")


def test_text_methods_fail_cleanly():
    p = PdkLayer(name="a", thickness=1.0, zmin=2.0, color="c")
    p.name = p  # self-reference: an error, not a crash
    with pytest.raises(RecursionError):
        repr(p)
    with pytest.raises(AttributeError):
        PdkLayer.__repr__(object())
    with pytest.raises(TypeError):
        PdkLayer.__repr__()


def test_record_stays_a_dataclass():
    p = PdkLayer("a", 1.0, 2.0, "c")
    assert [f.name for f in fields(PdkLayer)] == ["name", "thickness", "zmin", "color"]
    assert p == PdkLayer(name="a", thickness=1.0, zmin=2.0, color="c")


# --- layer table -----------------------------------------------------------


def test_empty_stack_gives_empty_map():
    assert lumino.get_layer_properties(vlt.LayerStack({}), views()) == {}


def test_entries_take_member_name_view_colour_and_level_values_unchanged():
    E = ov.LayerEnum
    thickness, zmin = 1, 2.5  # an int thickness stays an int
    result = lumino.get_layer_properties(
        vlt.LayerStack({"core": level(logical(E.WG), thickness, zmin)}),
        views((E.WG, "#12ab34")),
    )
    assert result == {(1, 0): PdkLayer(name="WG", thickness=1, zmin=2.5, color="#12ab34")}
    (key,) = result
    assert all(type(v) is int for v in key)
    assert type(result[key].thickness) is int
    assert type(result[key]) is PdkLayer


def test_derived_levels():
    E = ov.LayerEnum
    derived = logical(E.WG) - logical(E.SLAB90)
    result = lumino.get_layer_properties(
        stack(
            level(derived, 0.1, 0.0),  # no derived layer: skipped
            level(derived, 0.07, 0.15, derived_layer=logical(E.SHALLOW_ETCH)),
            level(derived, 0.3, 0.4, derived_layer=derived),  # not a logical layer: skipped
        ),
        views((E.WG, "red"), (E.SLAB90, "blue"), (E.SHALLOW_ETCH, "green")),
    )
    assert result == {(2, 6): PdkLayer("SHALLOW_ETCH", 0.07, 0.15, "#008000")}


@pytest.mark.parametrize(
    "layer_views, expected",
    [
        pytest.param(views((ov.LayerEnum.M1, "red")), [(41, 0)], id="no-view"),
        pytest.param(
            views((ov.LayerEnum.WG, None), (ov.LayerEnum.M1, "red")), [(41, 0)], id="no-fill-colour"
        ),
    ],
)
def test_levels_without_view_or_colour_are_skipped(layer_views, expected):
    E = ov.LayerEnum
    result = lumino.get_layer_properties(
        stack(level(logical(E.WG)), level(logical(E.M1), 0.5, 1.0)), layer_views
    )
    assert list(result) == expected


def test_identity_must_be_an_enumeration_member():
    # A plain pair has a view with a fill colour, yet never reaches the table.
    vw = vlt.LayerViews({"wg": vlt.LayerView(layer=(1, 0), fill_color="red")})
    assert lumino.get_layer_properties(stack(level(logical((1, 0)))), vw) == {}


def test_member_of_a_derived_enumeration_counts():
    Process = ov.LayerEnum.create("Process", {"met1": (68, 20)})
    result = lumino.get_layer_properties(
        vlt.LayerStack({"metal one": level(logical(Process.met1), 0.36, 1.38)}),
        views((Process.met1, "#0000ff")),
    )
    assert result == {(68, 20): PdkLayer("met1", 0.36, 1.38, "#0000ff")}


def test_same_pair_twice_keeps_first_position_and_last_level():
    E = ov.LayerEnum
    result = lumino.get_layer_properties(
        stack(
            level(logical(E.WG), 0.22, 0.0),
            level(logical(E.M1), 0.5, 1.0),
            level(logical(E.WG), 0.3, 0.1),
        ),
        views((E.WG, "red"), (E.M1, "blue")),
    )
    assert list(result) == [(1, 0), (41, 0)]
    assert result[(1, 0)] == PdkLayer("WG", 0.3, 0.1, "#ff0000")


def test_unknown_level_type_fails_the_call():
    class Odd:
        pass

    E = ov.LayerEnum
    st = stack(level(logical(E.WG)), level(Odd()))
    with pytest.raises(TypeError) as err:
        lumino.get_layer_properties(st, views((E.WG, "red")))
    assert str(err.value) == "Unknown type " + str(Odd)


class _RaisingViews:
    def __init__(self, exc):
        self.exc = exc

    def get_from_tuple(self, pair):
        raise self.exc


class _CustomError(Exception):
    pass


@pytest.mark.parametrize(
    "exc", [KeyError("x"), ValueError(), LookupError(), RuntimeError(), _CustomError(), ZeroDivisionError()]
)
def test_ordinary_lookup_errors_skip_the_level(exc):
    st = stack(level(logical(ov.LayerEnum.WG)))
    assert lumino.get_layer_properties(st, _RaisingViews(exc)) == {}


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_interrupts_and_exits_from_lookup_pass_through(exc):
    st = stack(level(logical(ov.LayerEnum.WG)))
    with pytest.raises(type(exc)):
        lumino.get_layer_properties(st, _RaisingViews(exc))


def test_lookup_receives_the_pair():
    seen = []

    class Recording:
        def get_from_tuple(self, pair):
            seen.append(pair)
            return vlt.LayerView(fill_color="red")

    lumino.get_layer_properties(stack(level(logical(ov.LayerEnum.M2))), Recording())
    assert seen == [(45, 0)]
    assert type(seen[0]) is tuple


class _BadColor:
    def as_hex(self):
        raise ValueError("bad colour")


class _View:
    def __init__(self, fill_color):
        self.fill_color = fill_color


class _Views:
    def __init__(self, view):
        self.view = view

    def get_from_tuple(self, pair):
        return self.view


@pytest.mark.parametrize(
    "st, vw, exc",
    [
        pytest.param(object(), views(), AttributeError, id="stack-without-layers"),
        pytest.param(types.SimpleNamespace(layers=[1]), views(), AttributeError, id="layers-not-a-map"),
        pytest.param(
            types.SimpleNamespace(layers={"a": 5}), views(), AttributeError, id="level-without-layer"
        ),
        pytest.param(
            stack(level(logical(ov.LayerEnum.WG))), _Views(_View(_BadColor())), ValueError, id="as-hex-fails"
        ),
        pytest.param(
            stack(level(logical(ov.LayerEnum.WG))), _Views(object()), AttributeError, id="view-no-fill"
        ),
        pytest.param(
            vlt.LayerStack({"a": types.SimpleNamespace(layer=logical(ov.LayerEnum.WG), zmin=0.0)}),
            views((ov.LayerEnum.WG, "red")),
            AttributeError,
            id="level-without-thickness",
        ),
    ],
)
def test_other_failures_pass_through(st, vw, exc):
    with pytest.raises(exc):
        lumino.get_layer_properties(st, vw)


def test_bad_arguments_raise_not_crash():
    with pytest.raises(TypeError):
        lumino.get_layer_properties(vlt.LayerStack({}))
    with pytest.raises(AttributeError):
        lumino.get_layer_properties(object(), object())


@pytest.mark.parametrize("path", sorted(DATA.glob("*_stack.json")), ids=lambda p: p.name)
def test_real_layer_stacks(path):
    entries = json.loads(path.read_text())["layers"]
    expected = {}
    for e in entries:
        if e.get("color") is not None:
            key = (e["layer"], e["datatype"])
            first = next(x for x in entries if (x["layer"], x["datatype"]) == key)
            # Same-pair entries are aliases of the first member: its name, the last level's values.
            expected[key] = PdkLayer(first["name"], e["thickness"], e["zmin"], vlt.Color(e["color"]).as_hex())
    assert lumino.get_layer_properties(*vlt.read_layer_technology(path)) == expected


# --- outside names looked up at call time, through fakes ---------------------


class _FakeLogical:
    def __init__(self, layer):
        self.layer = layer


class _FakeDerived:
    pass


class _FakeEnum:
    """An enumeration whose members are instances of its class."""

    class LayerEnum:
        pass

    class _Member(LayerEnum):
        def __init__(self, layer, datatype, name=None, name_error=None):
            self.layer, self.datatype = layer, datatype
            self._name, self._name_error = name, name_error

        @property
        def name(self):
            if self._name_error is not None:
                raise self._name_error
            return self._name


@pytest.fixture
def fake_outside(monkeypatch):
    monkeypatch.setattr(
        lumino, "vlt", types.SimpleNamespace(LogicalLayer=_FakeLogical, DerivedLayer=_FakeDerived)
    )
    monkeypatch.setattr(lumino, "ov", types.SimpleNamespace(LayerEnum=_FakeEnum.LayerEnum))


def _fake_level(layer):
    return types.SimpleNamespace(layer=layer, derived_layer=None, thickness=0.5, zmin=1.0)


def _fake_run(member):
    st = types.SimpleNamespace(layers={"x": _fake_level(_FakeLogical(member))})
    return lumino.get_layer_properties(st, _Views(_View(vlt.Color("red"))))


def test_outside_classes_are_read_at_call_time(fake_outside):
    result = _fake_run(_FakeEnum._Member(5, 1, name="M"))
    assert result == {(5, 1): PdkLayer("M", 0.5, 1.0, "#ff0000")}
    # The real library's classes are no longer the ones checked against.
    with pytest.raises(TypeError, match="^Unknown type <class 'velloc.technology.LogicalLayer'>$"):
        lumino.get_layer_properties(stack(level(logical(ov.LayerEnum.WG))), views())


def test_missing_member_name_falls_back_to_pair_text(fake_outside):
    result = _fake_run(_FakeEnum._Member(7, 3, name_error=AttributeError("no name")))
    assert result == {(7, 3): PdkLayer("(7, 3)", 0.5, 1.0, "#ff0000")}


def test_other_errors_reading_member_name_pass_through(fake_outside):
    with pytest.raises(RuntimeError, match="broken"):
        _fake_run(_FakeEnum._Member(7, 3, name_error=RuntimeError("broken")))


def test_empty_stack_needs_no_outside_module(monkeypatch):
    class Unavailable:
        def __getattr__(self, name):
            raise ImportError("not installed")

    monkeypatch.setattr(lumino, "vlt", Unavailable())
    monkeypatch.setattr(lumino, "ov", Unavailable())
    assert lumino.get_layer_properties(vlt.LayerStack({}), views()) == {}
    with pytest.raises(ImportError):
        lumino.get_layer_properties(stack(level(logical(ov.LayerEnum.WG))), views())
