"""The core's JSON writer, which writes lumino's message, against orjson live:
every value it writes is written as orjson writes it.  Floats are written only
in the positional forms that orjson's releases share (0.0, 0.00012,
1234567890123456.0); values that need an exponent (1e16 became 1e+16 between
releases) are refused, and the message then takes the record road."""

from __future__ import annotations

import math
import sys

import orjson
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.core import lumino

EXAMPLES = settings(max_examples=3000, deadline=None, derandomize=True, database=None)


def orjson_text(value) -> str:
    return orjson.dumps(value).decode()


def written_positionally(x: float) -> bool:
    return x == 0.0 or (math.isfinite(x) and 1e-5 <= abs(x) < 1e16)


@EXAMPLES
@given(st.floats(allow_nan=True, allow_infinity=True))
def test_floats(x):
    text = lumino._json_text(x)
    if written_positionally(x):
        assert text == orjson_text(x)
        assert float(text) == x and math.copysign(1.0, float(text)) == math.copysign(1.0, x)
    else:
        assert text is None


@EXAMPLES
@given(st.floats(min_value=1e-5, max_value=1e16, exclude_max=True).flatmap(lambda x: st.sampled_from([x, -x])))
def test_floats_in_the_positional_range(x):
    assert lumino._json_text(x) == orjson_text(x)


@pytest.mark.parametrize(
    "x",
    [0.0, -0.0, 1.0, 0.1, 0.22, 1.1, 0.65, 1e-5, 1.2345e-5, 9.999999999999999e-6, 1e15, 9999999999999998.0,
     1e16, 4.35e15, 0.30000000000000004, 6.123233995736766e-17, 5e-324, sys.float_info.max, -1.5e300],
)
def test_float_edges(x):
    text = lumino._json_text(x)
    assert text == (orjson_text(x) if written_positionally(x) else None)


@EXAMPLES
@given(st.integers(min_value=-(2**63), max_value=2**63 - 1))
def test_integers(n):
    assert lumino._json_text(n) == orjson_text(n)


@EXAMPLES
@given(st.text())
def test_texts(s):
    assert lumino._json_text(s) == orjson_text(s)


@pytest.mark.parametrize("s", ["".join(map(chr, range(0x80))), 'q"uo\\te/', "zürich 東京 ✓ \u2028 \U0001f600", ""])
def test_text_edges(s):
    assert lumino._json_text(s) == orjson_text(s)


@pytest.mark.parametrize("s", ["\ud800", "a\udfffb"])
def test_texts_orjson_refuses_are_refused(s):
    with pytest.raises(orjson.JSONEncodeError):
        orjson.dumps(s)
    assert lumino._json_text(s) is None


@pytest.mark.parametrize("special", ['"', "\\", "\n", "\x00", "\x1f", " ", "\x7f", "é", "東"])
@pytest.mark.parametrize("length", [7, 8, 9, 15, 16, 17, 24, 33])
def test_a_character_to_escape_or_not_at_every_place(special, length):
    # Plain runs are passed over many bytes at a time: a character at any
    # place in or after such a run must still come out as orjson writes it.
    for at in range(length):
        for s in ("a" * at + special + "b" * (length - at - 1), special * (at + 1) + "c" * (length - at)):
            assert lumino._json_text(s) == orjson_text(s)
