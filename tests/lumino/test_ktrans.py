"""KTrans: map form, 2x3 matrix and composition, checked against KLayout."""

import itertools
import math

import klayout.db as kdb
import pytest

from corvane.core import lumino

KTrans = lumino.KTrans


def bits(values):
    """Exact float identity, negative zero included."""
    return [(v, math.copysign(1.0, v)) for v in values]


@pytest.mark.parametrize(
    "rot, mirror, row0, row1",
    [
        (0, False, (1.0, -0.0), (0.0, 1.0)),
        (0, True, (1.0, 0.0), (0.0, -1.0)),
        (1, False, (6.123233995736766e-17, -1.0), (1.0, 6.123233995736766e-17)),
        (1, True, (6.123233995736766e-17, 1.0), (1.0, -6.123233995736766e-17)),
        (2, False, (-1.0, -1.2246467991473532e-16), (1.2246467991473532e-16, -1.0)),
        (2, True, (-1.0, 1.2246467991473532e-16), (1.2246467991473532e-16, 1.0)),
        (3, False, (-1.8369701987210297e-16, 1.0), (-1.0, -1.8369701987210297e-16)),
        (3, True, (-1.8369701987210297e-16, -1.0), (-1.0, 1.8369701987210297e-16)),
    ],
)
def test_matrix_table(rot, mirror, row0, row1):
    (a, b, x), (c, d, y) = KTrans(kdb.Trans(rot, mirror, 1500, -250)).trans_matrix()
    assert bits([a, b, c, d]) == bits([*row0, *row1])
    assert (x, y) == (1.5, -0.25)


def test_map_form_and_matrix_of_a_quarter_turn():
    t = KTrans(kdb.Trans(1, False, 100, 200))
    d = t.to_dict()
    assert list(d) == ["mirror", "angle", "displacement"]
    assert d == {"mirror": False, "angle": 90, "displacement": [0.1, 0.2]}
    assert type(d["angle"]) is int
    assert t.trans_matrix() == ((6.123233995736766e-17, -1.0, 0.1), (1.0, 6.123233995736766e-17, 0.2))
    assert bits(KTrans(kdb.Trans()).trans_matrix()[0]) == bits((1.0, -0.0, 0.0))


def test_wrapped_transformation_is_kept_as_given():
    t = kdb.Trans(2, True, 5, 6)
    k = KTrans(t)
    assert k.trans is t
    u = kdb.Trans(1, False, 0, 0)
    k.trans = u
    assert k.trans is u and k.to_dict()["angle"] == 90


def test_multiply_orders_products_by_child_then_parent():
    p1, p2 = KTrans(kdb.Trans(1, False, 10, 0)), KTrans(kdb.Trans(0, True, 0, 20))
    c1, c2 = KTrans(kdb.Trans(0, False, 1, 2)), KTrans(kdb.Trans(3, True, 3, 4))
    out = KTrans.multiply([p1, p2], [c1, c2])
    expected = [p.trans * c.trans for c in (c1, c2) for p in (p1, p2)]
    assert [str(k.trans) for k in out] == [str(t) for t in expected]
    assert not {id(k) for k in out} & {id(p1), id(p2), id(c1), id(c2)}


def test_multiply_passes_single_sides_through():
    t = KTrans(kdb.Trans())
    assert KTrans.multiply(None, t)[0] is t
    seq = [t, KTrans(kdb.Trans(1, False, 0, 0))]
    out = KTrans.multiply(seq, None)
    assert out == seq and out is not seq
    assert KTrans.multiply(None, tuple(seq)) == seq
    assert KTrans.multiply([], [t]) == [] and KTrans.multiply(t, []) == []
    with pytest.raises(ValueError, match="^Either parent_trans or trans must be provided$"):
        KTrans.multiply(None, None)
    with pytest.raises(AttributeError):
        KTrans.multiply(t, [object()])


SIMPLE = [kdb.Trans(r, m, x, y) for r, m, (x, y) in itertools.product(range(4), (False, True), [(0, 0), (1234, -77)])]


@pytest.mark.parametrize("p", SIMPLE, ids=str)
def test_simple_products_equal_klayout(p):
    for t in SIMPLE:
        (prod,) = KTrans.multiply(KTrans(p), KTrans(t))
        assert prod.to_dict() == KTrans(p * t).to_dict()
        assert str(prod.trans) == str(p * t)


def apply(matrix, x, y):
    (a, b, tx), (c, d, ty) = matrix
    return a * x + b * y + tx, c * x + d * y + ty


POINTS = [(0.0, 0.0), (1.0, 0.0), (0.0, 1.0), (-3.5, 12.25), (1000.0, -2000.0)]


def assert_maps_like(k, klayout_trans):
    """The matrix maps points (in um) as KLayout maps them (in dbu)."""
    d = kdb.DCplxTrans(klayout_trans) if not isinstance(klayout_trans, kdb.DCplxTrans) else klayout_trans
    for x, y in POINTS:
        q = d * kdb.DPoint(x * 1000, y * 1000)
        assert apply(k.trans_matrix(), x, y) == pytest.approx((q.x / 1000, q.y / 1000), rel=1e-12, abs=1e-12)


def test_complex_placement_maps_points_like_klayout():
    c = kdb.ICplxTrans(2.0, 30.0, True, 100, -50)
    k = KTrans(c)
    d = k.to_dict()
    assert d["mirror"] is True and type(d["angle"]) is float
    assert d["angle"] == pytest.approx(30.0) and d["displacement"] == [0.1, -0.05]
    assert_maps_like(k, c)


COMPLEX = [kdb.ICplxTrans(0.05, 0, False, 100000, 100000), kdb.ICplxTrans(2.0, 30, True, 10, 20),
           kdb.ICplxTrans(1.0, 33.3, False, -7, 3)]


@pytest.mark.parametrize("p, t", [*itertools.product(COMPLEX, COMPLEX), *itertools.product(COMPLEX, SIMPLE[::3]),
                                  *itertools.product(SIMPLE[::3], COMPLEX)], ids=str)
def test_mixed_products_map_points_like_klayout(p, t):
    (prod,) = KTrans.multiply(KTrans(p), KTrans(t))
    assert_maps_like(prod, kdb.DCplxTrans(kdb.ICplxTrans(p)) * kdb.DCplxTrans(kdb.ICplxTrans(t)))
    # The product's KLayout object is a complex transformation that maps alike.
    assert_maps_like(prod, prod.trans)
