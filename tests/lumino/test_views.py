"""The parser's polygon pool and shape index behave as the list and dict they
stand for: every operation on them gives what the same operation gives on a
plain list or dict holding the same values."""

from __future__ import annotations

import collections.abc

import klayout.db as kdb
import pytest

from corvane.core import lumino

from .conftest import layer_table

A, B, C = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0)], [(2.0, 2.0), (3.0, 2.0), (3.0, 3.0)], [(5.0, 5.0), (6.0, 6.0)]


def parsed():
    layout = kdb.Layout()
    shapes = layout.create_cell("TOP").shapes(layout.layer(1, 0))
    for k in range(4):
        shapes.insert(kdb.Box(0, 0, 1000 * (k + 1), 1000))
    g = lumino.ParseGDS(layout, layer_table((1, 0, "WG")), curve_tolerance=None)
    g.export_cells()
    return g


@pytest.fixture
def pool():
    return parsed().instances


@pytest.fixture
def index():
    return parsed().instance_mapping


def test_registered_as_mutable_collections(pool, index):
    assert isinstance(pool, collections.abc.MutableSequence)
    assert isinstance(index, collections.abc.MutableMapping)


# Each operation runs on the view and on a plain copy; results and contents must agree.
POOL_OPERATIONS = {
    "copy": lambda p: p.copy(),
    "pop": lambda p: p.pop(),
    "pop(1)": lambda p: p.pop(1),
    "pop(-4)": lambda p: p.pop(-4),
    "del [0]": lambda p: p.__delitem__(0),
    "del [1:3]": lambda p: p.__delitem__(slice(1, 3)),
    "del [::2]": lambda p: p.__delitem__(slice(None, None, 2)),
    "[1:3] = ": lambda p: p.__setitem__(slice(1, 3), [A, B, C]),
    "[:0] = ": lambda p: p.__setitem__(slice(0, 0), [C]),
    "[::2] = ": lambda p: p.__setitem__(slice(None, None, 2), [A, B]),
    "+": lambda p: p + [A],
    "radd": lambda p: [A] + p,
    "+=": lambda p: p.__iadd__([A, B]),
    "insert": lambda p: p.insert(1, C),
    "insert(-1)": lambda p: p.insert(-1, C),
    "remove": lambda p: p.remove(p[2]),
    "index(x, start)": lambda p: p.index(p[2], 1),
    "index(x, start, stop)": lambda p: p.index(p[1], 0, 3),
    "reverse": lambda p: p.reverse(),
    "reversed": lambda p: list(reversed(p)),
    "contains": lambda p: (p[1] in p, C in p),
    "clear": lambda p: p.clear(),
    "extend": lambda p: p.extend([A, C]),
    "*": lambda p: p * 2,
}


@pytest.mark.parametrize("operation", POOL_OPERATIONS)
def test_pool_operations_as_on_a_list(pool, operation):
    plain = list(pool)
    got, expected = POOL_OPERATIONS[operation](pool), POOL_OPERATIONS[operation](plain)
    if expected is plain:  # in-place operators return the object itself
        assert got is pool
    else:
        assert got == expected and type(got) is type(expected)
    assert pool == plain and len(pool) == len(plain)


@pytest.mark.parametrize(
    "operation, error",
    [
        (lambda p: p.pop(9), IndexError),
        (lambda p: p.__delitem__(9), IndexError),
        (lambda p: p.index(C, 1), ValueError),
        (lambda p: p.remove(C), ValueError),
        (lambda p: p.__setitem__(slice(None, None, 2), [A]), ValueError),
    ],
)
def test_pool_errors_as_on_a_list(pool, operation, error):
    for target in (pool, list(pool), lumino._PolygonPool()):
        with pytest.raises(error):
            operation(target)


INDEX_OPERATIONS = {
    "copy": lambda d, k: d.copy(),
    "pop": lambda d, k: d.pop(k),
    "pop default": lambda d, k: d.pop((9, 9, 9), "none"),
    "popitem": lambda d, k: d.popitem(),
    "del": lambda d, k: d.__delitem__(k),
    "update": lambda d, k: d.update({(7, 7, 7): 3, k: 0}),
    "update pairs": lambda d, k: d.update([((8, 8, 8), 1)]),
    "update keywords-free iterable": lambda d, k: d.update(((7, 1, 1), 2) for _ in range(1)),
    "|": lambda d, k: d | {(7, 7, 7): 3},
    "ror": lambda d, k: {(7, 7, 7): 3, k: 9} | d,
    "|=": lambda d, k: d.__ior__({(7, 7, 7): 3}),
    "setdefault new": lambda d, k: d.setdefault((6, 6, 6), 4),
    "setdefault old": lambda d, k: d.setdefault(k, 4),
    "clear": lambda d, k: d.clear(),
    "keys": lambda d, k: list(d.keys()),
    "values": lambda d, k: list(d.values()),
    "items": lambda d, k: list(d.items()),
    "keys set": lambda d, k: d.keys() - {k},
}


@pytest.mark.parametrize("operation", INDEX_OPERATIONS)
def test_index_operations_as_on_a_dict(index, operation):
    plain = dict(index)
    key = list(plain)[1]
    got, expected = INDEX_OPERATIONS[operation](index, key), INDEX_OPERATIONS[operation](plain, key)
    if expected is plain:
        assert got is index
    else:
        assert got == expected and type(got) is type(expected)
    assert index == plain and list(index) == list(plain) and list(index.items()) == list(plain.items())


def test_index_views_are_live(index):
    keys, values, items = index.keys(), index.values(), index.items()
    n = len(keys)
    index[(7, 7, 7)] = 12
    assert len(keys) == len(values) == len(items) == n + 1
    assert (7, 7, 7) in keys and 12 in values and ((7, 7, 7), 12) in items
    del index[(7, 7, 7)]
    assert (7, 7, 7) not in keys and len(items) == n


@pytest.mark.parametrize("view", ["", "keys", "values", "items"])
def test_index_changed_during_iteration_is_an_error(index, view):
    iterable = getattr(index, view)() if view else index
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        for k, _ in zip(range(100), iterable):
            index[(100 + k, 0, 0)] = k


def test_index_errors_as_on_a_dict(index):
    for operation in (lambda d: d.pop((9, 9, 9)), lambda d: d.__delitem__((9, 9, 9))):
        with pytest.raises(KeyError):
            operation(index)
    with pytest.raises(KeyError):
        lumino._ShapeIndex().popitem()
