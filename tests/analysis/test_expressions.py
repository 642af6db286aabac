"""Calls written inside every kind of expression are read, in the order the analyser reads them."""

import textwrap

import pytest

from corvane.weftnet import generate_call_graph

HEADER = """
import asyncio

def a(): return 1
def b(): return 2
def c(): return 3
def take(*args, **kwargs): return None
LIMIT = 3
"""


def calls_of(tmp_path, body: str, is_async: bool = False) -> list[str]:
    lib = tmp_path / "proj"
    lib.mkdir(exist_ok=True)
    head = "async def f(x, items):" if is_async else "def f(x, items):"
    source = textwrap.dedent(HEADER) + head + "\n" + textwrap.indent(textwrap.dedent(body), "    ")
    (lib / "m.py").write_text(source)
    graph = generate_call_graph({"proj": str(lib)})
    assert graph["modules"]["proj.m"]["errors"] == []
    return [c.rpartition(".")[2] for c in graph["functions"]["proj.m.f"]["resolved_calls"]]


@pytest.mark.parametrize(
    "body, expected",
    [
        # operator expressions: operands read last to first
        ("return a() + b()", ["b", "a"]),
        ("return -a() * (b() - c())", ["c", "b", "a"]),
        ("return a() < b() <= c()", ["c", "b", "a"]),
        ("return not a()", ["a"]),
        ('return f"{a()}-{b():>{c()}}"', ["c", "b", "a"]),
        ("return items[a():b():c()]", ["a", "b", "c"]),
        # expressions with handlers of their own
        ("return a() if b() else c()", ["b", "a", "c"]),
        ("return a() or b() and c()", ["a", "b", "c"]),
        ("return [a(), (b(), {c()})]", ["a", "b", "c"]),
        ("return {'k': a(), **{'j': b()}}", ["a", "b"]),
        ("return [a() for _ in items if b()]", ["b", "a"]),
        ("return items[a()].attr.other", ["a"]),
        ("return (y := a()) and y", ["a"]),
        # arguments read without ev: names, constants, starred values, keywords
        ("return take(x, 'text', 1, *items, key=a(), other=LIMIT, **x)", ["a", "take"]),
        ("return take(a(), b=b())(c())", ["a", "b", "take", "c"]),
    ],
)
def test_calls_inside_expressions(tmp_path, body, expected):
    assert calls_of(tmp_path, body) == expected


@pytest.mark.parametrize(
    "body, expected",
    [
        ("return await asyncio.sleep(a())", ["a"]),
        ("return [await b() async for _ in items]", ["b"]),
    ],
)
def test_calls_inside_awaited_expressions(tmp_path, body, expected):
    assert calls_of(tmp_path, body, is_async=True) == expected


@pytest.mark.parametrize("value, reaches", [("a", ["a"]), ("1", []), ("'a'", [])])
def test_an_argument_bound_to_a_name_or_constant_flows_to_the_parameter(tmp_path, value, reaches):
    body = f"""
    def call(g):
        return g()
    y = {value}
    return call(y)
    """
    lib = tmp_path / "proj"
    lib.mkdir()
    (lib / "m.py").write_text(textwrap.dedent(HEADER) + "def f(x, items):\n" + textwrap.indent(textwrap.dedent(body), "    "))
    graph = generate_call_graph({"proj": str(lib)})
    assert [c.rpartition(".")[2] for c in graph["functions"]["proj.m.f.call"]["resolved_calls"]] == reaches
