"""More small programs with their call graphs stated by hand: lambdas as functions, and keys.

Same format and rules as ``cases.py``; in these groups a lambda is a function
named ``<lambdaN>`` in the scope that writes it (the module, a class body, a
function or another lambda), numbered in source order from 1.  Its calls are
its own, whether or not anything calls it; calling it is an edge to it.
"""

from __future__ import annotations

Case = tuple[str, dict[str, str], str]

LAMBDA_RECORDS: list[Case] = [
    ("module_lambda_called", {"main.py": """
        def func(): pass
        x = lambda: func()
        def main(): x()
    """}, """
        main.main -> main.<lambda1>
        main.<lambda1> -> main.func
    """),
    ("immediately_called", {"main.py": """
        def func(): pass
        def main(): (lambda: func())()
    """}, """
        main.main -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("passed_and_called", {"main.py": """
        def func(): pass
        def call(f): f()
        def main(): call(lambda: func())
    """}, """
        main.main -> main.call
        main.call -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("passed_by_keyword", {"main.py": """
        def func(): pass
        def call(*, then): then()
        def main(): call(then=lambda: func())
    """}, """
        main.main -> main.call
        main.call -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("in_dict", {"main.py": """
        def fa(): pass
        def fb(): pass
        OPS = {"a": lambda: fa(), "b": lambda: fb()}
        def main(): OPS["a"]()
    """}, """
        main.main -> main.<lambda1>
        main.<lambda1> -> main.fa
        main.<lambda2> -> main.fb
    """),
    ("in_list_loop", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            for f in [lambda: a(), lambda: b()]:
                f()
    """}, """
        main.main -> main.main.<lambda1>
        main.main -> main.main.<lambda2>
        main.main.<lambda1> -> main.a
        main.main.<lambda2> -> main.b
    """),
    ("returns_lambda", {"main.py": """
        def func(): pass
        outer = lambda: (lambda: func())
        def main(): outer()()
    """}, """
        main.main -> main.<lambda1>
        main.main -> main.<lambda1>.<lambda1>
        main.<lambda1>.<lambda1> -> main.func
    """),
    ("parameter_called", {"main.py": """
        def func(): pass
        def main():
            run = lambda f: f()
            run(func)
    """}, """
        main.main -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("default_called", {"main.py": """
        def func(): pass
        def main():
            run = lambda f=func: f()
            run()
    """}, """
        main.main -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("attribute_on_self", {"main.py": """
        def func(): pass
        class A:
            def __init__(self):
                self.cb = lambda: func()
            def run(self): self.cb()
        def main(): A().run()
    """}, """
        main.main -> main.A.__init__
        main.main -> main.A.run
        main.A.run -> main.A.__init__.<lambda1>
        main.A.__init__.<lambda1> -> main.func
    """),
    ("numbered_per_scope", {"main.py": """
        def f1(): pass
        def f2(): pass
        def f3(): pass
        def main():
            a = lambda: f1()
            def inner(): return (lambda: f2())
            b = lambda: f3()
            b()
    """}, """
        main.main -> main.main.<lambda2>
        main.main.<lambda1> -> main.f1
        main.main.inner.<lambda1> -> main.f2
        main.main.<lambda2> -> main.f3
    """),
    ("handed_to_outside_code", {"main.py": """
        def score(x): return x
        def main(xs): return sorted(xs, key=lambda x: score(x))
    """}, """
        main.main.<lambda1> -> main.score
    """),
    ("lambda_calls_lambda", {"main.py": """
        def f(): pass
        a = lambda: f()
        b = lambda: a()
        def main(): b()
    """}, """
        main.main -> main.<lambda2>
        main.<lambda2> -> main.<lambda1>
        main.<lambda1> -> main.f
    """),
    ("default_of_a_function", {"main.py": """
        def f(): pass
        def g(cb=lambda: f()): cb()
        def main(): g()
    """}, """
        main.main -> main.g
        main.g -> main.<lambda1>
        main.<lambda1> -> main.f
    """),
    ("class_body_method", {"main.py": """
        def helper(): pass
        class A:
            run = lambda self: helper()
        def main(): A().run()
    """}, """
        main.main -> main.A.<lambda1>
        main.A.<lambda1> -> main.helper
    """),
    ("stored_and_returned", {"main.py": """
        def f(): pass
        def g(): pass
        def make(flag):
            return lambda: f() if flag else g()
        def main(): make(1)()
    """}, """
        main.main -> main.make
        main.main -> main.make.<lambda1>
        main.make.<lambda1> -> main.f
        main.make.<lambda1> -> main.g
    """),
]

KEYS: list[Case] = [
    ("dict_key_replaced_at_module", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = {"a": f1}
        d["a"] = f2
        def main(): d["a"]()
    """}, """
        main.main -> main.f2
    """),
    ("dict_key_replaced_in_branch", {"main.py": """
        import sys
        def f1(): pass
        def f2(): pass
        d = {"a": f1}
        if sys.argv:
            d["a"] = f2
        def main(): d["a"]()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("dict_key_replaced_in_function", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            d = {"a": f1, "b": f1}
            d["a"] = f2
            d["a"]()
    """}, """
        main.main -> main.f2
    """),
    ("dict_key_added_elsewhere", {"main.py": """
        def f1(): pass
        def f2(): pass
        D = {"a": f1}
        def setup(): D["a"] = f2
        def main(): D["a"]()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("dict_key_replaced_in_loop", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main(xs):
            d = {"a": f1}
            for x in xs:
                d["a"]()
                d["a"] = f2
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("list_index", {"main.py": """
        def f1(): pass
        def f2(): pass
        ls = [f1, f2]
        def main(): ls[1]()
    """}, """
        main.main -> main.f2
    """),
    ("list_negative_index", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            ls = [f1, f2]
            ls[-2]()
    """}, """
        main.main -> main.f1
    """),
    ("list_index_replaced", {"main.py": """
        def f1(): pass
        def f2(): pass
        def f3(): pass
        ls = [f1, f2]
        ls[1] = f3
        def main(): ls[1]()
    """}, """
        main.main -> main.f3
    """),
    ("tuple_positions", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            t = (f1, f2)
            t[0]()
            a, b = t
            b()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("tuple_returned", {"main.py": """
        def f1(): pass
        def f2(): pass
        def pair(): return f1, f2
        def main(): pair()[1]()
    """}, """
        main.main -> main.pair
        main.main -> main.f2
    """),
    ("slice_literal_bounds", {"main.py": """
        def f1(): pass
        def f2(): pass
        def f3(): pass
        ls = [f1, f2, f3]
        def main():
            ls[1:][0]()
            for f in ls[:1]:
                f()
    """}, """
        main.main -> main.f2
        main.main -> main.f1
    """),
    ("slice_negative_bounds", {"main.py": """
        def f1(): pass
        def f2(): pass
        def f3(): pass
        def main():
            ls = [f1, f2, f3]
            ls[-2:][1]()
    """}, """
        main.main -> main.f3
    """),
    ("update_with_dict", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = {"a": f1}
        d.update({"b": f2})
        def main(): d["b"]()
    """}, """
        main.main -> main.f2
    """),
    ("update_with_keywords", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = {"a": f1}
        d.update(a=f2)
        def main(): d["a"]()
    """}, """
        main.main -> main.f2
    """),
    ("key_through_a_name", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = {}
        k = "a"
        d[k] = f1
        d["b"] = f2
        def main(): d["a"]()
    """}, """
        main.main -> main.f1
    """),
    ("unknown_key_reaches_all", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = {"a": f1, "b": f2}
        def main(k): d[k]()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("unknown_index_reaches_all", {"main.py": """
        def f1(): pass
        def f2(): pass
        ls = [f1, f2]
        def main(i): ls[i]()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("nested_dicts", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = {"x": {"a": f1, "b": f2}}
        def main(): d["x"]["b"]()
    """}, """
        main.main -> main.f2
    """),
    ("filled_through_parameter", {"main.py": """
        def f1(): pass
        def f2(): pass
        def fill(d): d["a"] = f1
        def main():
            d = {"b": f2}
            fill(d)
            d["a"]()
    """}, """
        main.main -> main.fill
        main.main -> main.f1
    """),
    ("position_written_elsewhere", {"main.py": """
        def f1(): pass
        def f2(): pass
        def f3(): pass
        ls = [f1, f2]
        def setup(): ls[0] = f3
        def main(): ls[1]()
    """}, """
        main.main -> main.f2
    """),
    ("replaced_then_passed", {"main.py": """
        def f1(): pass
        def f2(): pass
        def use(d): d["a"]()
        def main():
            d = {"a": f1}
            d["a"] = f2
            use(d)
    """}, """
        main.main -> main.use
        main.use -> main.f2
    """),
    ("replaced_then_filled", {"main.py": """
        def f1(): pass
        def f2(): pass
        def f3(): pass
        def fill(d): d["b"] = f3
        def main():
            d = {"a": f1}
            fill(d)
            d["a"] = f2
            d["a"]()
            d["b"]()
    """}, """
        main.main -> main.fill
        main.main -> main.f2
        main.main -> main.f3
    """),
    ("read_before_replacement", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            d = {"a": f1}
            d["a"]()
            d["a"] = f2
    """}, """
        main.main -> main.f1
    """),
    ("replaced_through_alias", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            d = {"a": f1}
            e = d
            d["a"] = f2
            e["a"]()
    """}, """
        main.main -> main.f2
    """),
    ("replaced_in_a_closure", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            d = {"a": f1}
            def inner():
                d["a"] = f2
            inner()
            d["a"]()
    """}, """
        main.main -> main.main.inner
        main.main -> main.f2
    """),
    ("dict_call_keywords", {"main.py": """
        def f1(): pass
        def f2(): pass
        d = dict(a=f1, b=f2)
        def main(): d["b"]()
    """}, """
        main.main -> main.f2
    """),
]

CASES: dict[str, list[Case]] = {
    "lambda records": LAMBDA_RECORDS,
    "keys and indices": KEYS,
}
