"""Lambdas are named <lambdaN> in the scope that writes them, numbered in source order."""

import textwrap

import pytest

from corvane.weftnet import generate_call_graph


@pytest.mark.parametrize(
    "source, names",
    [
        ("a = lambda: 1\nb = lambda: 2\n", ["<lambda1>", "<lambda2>"]),
        # two on one line, in the order written; a nested one in the lambda's own scope
        ("pair = (lambda: 1, lambda: (lambda: 2))\n", ["<lambda1>", "<lambda2>", "<lambda2>.<lambda1>"]),
        # defaults and decorators of a def belong to the scope around it, its body to its own
        ("""
            def deco(f): return f
            @deco(lambda: 0)
            def f(x=lambda: 1, *, y=lambda: 2):
                return lambda: 3
            z = lambda: 4
        """, ["deco", "f", "f.<lambda1>", "<lambda1>", "<lambda2>", "<lambda3>", "<lambda4>"]),
        # a class body is a scope; a comprehension is not
        ("""
            class A:
                key = lambda self: 1
                def m(self):
                    return [lambda: i for i in range(3)], lambda: 0
        """, ["A.m", "A.m.<lambda1>", "A.m.<lambda2>", "A.<lambda1>"]),
        # the first reading of a loop body names it; the second finds the same lambda
        ("for i in range(2):\n    f = lambda: i\n", ["<lambda1>"]),
        # "lambda" in a text only
        ("text = 'lambda'\ndef g(): pass\n", ["g"]),
    ],
)
def test_lambda_names(tmp_path, source, names):
    lib = tmp_path / "lib"
    lib.mkdir()
    (lib / "m.py").write_text(textwrap.dedent(source))
    graph = generate_call_graph({"lib": str(lib)})
    assert sorted(name[len("lib.m."):] for name in graph["functions"]) == sorted(names)
