"""The fixpoint pass on programs that could make it run long: long chains, cycles, values that nest."""

import textwrap

import pytest

from corvane.analysis import fixpoint
from corvane.weftnet import generate_call_graph


def analyse(tmp_path, source):
    lib = tmp_path / "proj"
    lib.mkdir(exist_ok=True)
    (lib / "m.py").write_text(textwrap.dedent(source))
    return generate_call_graph({"proj": str(lib)})


def chain(n):
    lines = ["def target(): pass"]
    lines += [f"def f{i}(cb): f{i + 1}(cb)" for i in range(n)]
    lines += [f"def f{n}(cb): cb()", "def main(): f0(target)"]
    return "\n".join(lines) + "\n"


def test_a_callback_handed_down_a_long_chain_reaches_its_end(tmp_path):
    graph = analyse(tmp_path, chain(300))
    assert graph["functions"]["proj.m.f300"]["resolved_calls"] == ["proj.m.target"]


def test_the_bound_stops_the_pass_and_keeps_what_it_found(tmp_path, monkeypatch):
    monkeypatch.setattr(fixpoint, "MAX_ROUNDS", 1)
    graph = analyse(tmp_path, chain(300))
    assert graph["functions"]["proj.m.main"]["resolved_calls"] == ["proj.m.f0"]
    assert all(not m["errors"] for m in graph["modules"].values())


@pytest.mark.parametrize(
    "source, name, expected",
    [
        # attribute chains of an outside value through a loop
        ("import os\ndef walk(node):\n    while node:\n        node = node.parent\n    node.run()\n", "walk", []),
        # a partial of itself, again and again
        ("from functools import partial\ndef leaf(*a): pass\ndef grow():\n    f = leaf\n"
         "    for i in range(9):\n        f = partial(f, i)\n    f()\n", "grow", ["proj.m.leaf"]),
        # a list that holds itself
        ("def leaf(): pass\ndef loop():\n    ls = [leaf]\n    ls.append(ls)\n    ls[1][1][0]()\n", "loop", ["proj.m.leaf"]),
        # a function that returns its own call, and a pair that return each other
        ("def leaf(): pass\ndef me(): return me() or leaf\ndef use(): me()()\n", "use", ["proj.m.me", "proj.m.leaf"]),
        ("def leaf(): pass\ndef a(): return b()\ndef b(): return a() or leaf\ndef use(): a()()\n",
         "use", ["proj.m.a", "proj.m.leaf"]),
        # a decorator that never returns: as with one the analysis cannot see, g counts as called
        ("def deco(f): return deco(f)\n@deco\ndef g(): pass\ndef use(): g()\n", "use", ["proj.m.g"]),
        # a class named as its own base (unbound there: an unknown base after its own methods)
        ("class A(A):\n    def m(self): self.m()\ndef use(): A().m()\n", "use", ["proj.m.A.m"]),
    ],
)
def test_values_that_feed_on_themselves_end(tmp_path, source, name, expected):
    graph = analyse(tmp_path, source)
    assert graph["functions"]["proj.m." + name]["resolved_calls"] == expected


def many_callbacks(n):
    lines = [f"def cb{i}(): pass" for i in range(n)]
    lines += ["def run(cb): cb()"]
    lines += ["def main():"] + [f"    run(cb{i})" for i in range(n)]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("n, widened", [(fixpoint.SET_LIMIT, False), (fixpoint.SET_LIMIT + 1, True)])
def test_a_parameter_past_the_limit_widens_to_unknown_and_is_counted(tmp_path, n, widened):
    stats = {}
    lib = tmp_path / "proj"
    lib.mkdir()
    (lib / "m.py").write_text(many_callbacks(n))
    graph = generate_call_graph({"proj": str(lib)}, stats=stats)
    calls = graph["functions"]["proj.m.run"]["resolved_calls"]
    # widened: the parameter reaches nothing, rather than anything
    assert len(calls) == (0 if widened else n)
    assert stats["widenings"].get("parameter", 0) == (1 if widened else 0)
    assert stats["functions"] == n + 2 and not stats["budget_exhausted"]


def test_a_cycle_through_many_functions_is_resolved_once_per_round(tmp_path):
    # each function returns what the next returns, round a ring: without keeping the values
    # resolved inside an open cycle, every path round the ring is walked again
    n = 60
    lines = ["def leaf(): pass"]
    for i in range(n):
        lines.append(f"def r{i}(x):\n    if x: return r{(i + 1) % n}(x)\n    if x: return r{(i + 7) % n}(x)\n    return leaf")
    lines.append("def main():\n    r0(1)()")
    graph = analyse(tmp_path, "\n".join(lines) + "\n")
    assert "proj.m.leaf" in graph["functions"]["proj.m.main"]["resolved_calls"]
