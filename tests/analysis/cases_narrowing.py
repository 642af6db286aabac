"""Small programs with their call graphs stated by hand: tests against None, attributes set on
a parameter's instance.

Same format and rules as ``cases.py``.  A parameter tested with ``is None`` /
``is not None`` returns from a branch only for the calls that can pass such a
value (a default of None left out, or a literal or unknown given); an
attribute written on the instance a parameter holds does not replace the
class's method for every instance.
"""

from __future__ import annotations

Case = tuple[str, dict[str, str], str]

_DISPATCH = """
    from functools import partial
    class Wrapper:
        def __init__(self, f): self.f = f
        def __call__(self, *a): return self.f(*a)
"""

NARROWING: list[Case] = [
    ("decorator_bare_or_with_arguments", {"main.py": _DISPATCH + """
    def dispatchable(func=None, *, name=None):
        if func is None:
            return partial(dispatchable, name=name)
        return Wrapper(func)
    @dispatchable
    def algo(): pass
    @dispatchable(name="x")
    def algo2(): pass
    def main():
        algo()
        algo2()
    """}, """
        main.main -> main.Wrapper.__call__
        main.Wrapper.__call__ -> main.algo
        main.Wrapper.__call__ -> main.algo2
        main.dispatchable -> main.Wrapper.__init__
    """),
    ("decorator_is_not_none", {"main.py": _DISPATCH + """
    def dispatchable(func=None, **kw):
        if func is not None:
            return Wrapper(func)
        else:
            return partial(dispatchable, **kw)
    @dispatchable
    def algo(): pass
    @dispatchable(name="x")
    def algo2(): pass
    def main():
        algo()
        algo2()
    """}, """
        main.main -> main.Wrapper.__call__
        main.Wrapper.__call__ -> main.algo
        main.Wrapper.__call__ -> main.algo2
        main.dispatchable -> main.Wrapper.__init__
    """),
    ("default_or_given", {"main.py": """
    def fallback(): pass
    def given(): pass
    def pick(f=None):
        if f is None:
            return fallback
        return f
    def main1(): pick()()
    def main2(): pick(given)()
    """}, """
        main.main1 -> main.pick
        main.main1 -> main.fallback
        main.main2 -> main.pick
        main.main2 -> main.given
    """),
    ("none_passed_explicitly", {"main.py": """
    def fallback(): pass
    def get(f):
        if None is f:
            return fallback
        return f
    def main(): get(None)()
    """}, """
        main.main -> main.get
        main.main -> main.fallback
    """),
    ("rebound_parameter_not_narrowed", {"main.py": """
    def fallback(): pass
    def given(): pass
    def pick(f=None):
        f = f or given
        if f is None:
            return fallback
        return f
    def main(): pick(given)()
    """}, """
        main.main -> main.pick
        main.main -> main.fallback
        main.main -> main.given
    """),
    ("handler_after_raise_in_branch", {"main.py": """
    def fallback(): pass
    def run(f=None):
        try:
            if f is None:
                raise ValueError
            return f
        except ValueError:
            return fallback
    def main(): run()()
    """}, """
        main.main -> main.run
        main.main -> main.fallback
    """),
    ("nested_tests", {"main.py": """
    def a(): pass
    def b(): pass
    def c(): pass
    def pick(f=None, g=None):
        if f is None:
            if g is None:
                return a
            return b
        return c
    def main1(): pick()()
    def main2(): pick(g=a)()
    def main3(): pick(a)()
    """}, """
        main.main1 -> main.pick
        main.main1 -> main.a
        main.main2 -> main.pick
        main.main2 -> main.b
        main.main3 -> main.pick
        main.main3 -> main.c
    """),
    ("default_not_none", {"main.py": """
    def a(): pass
    def b(): pass
    def pick(n=0, f=a):
        if n is None:
            return a
        if f is not None:
            return f
        return b
    def main(): pick()()
    """}, """
        main.main -> main.pick
        main.main -> main.a
    """),
    ("module_partial_of_the_decorator", {"main.py": _DISPATCH + """
    def dispatchable(func=None, *, name=None):
        if func is None:
            return partial(dispatchable, name=name)
        return Wrapper(func)
    named = partial(dispatchable, name="x")
    @named
    def algo(): pass
    def main(): algo()
    """}, """
        main.main -> main.Wrapper.__call__
        main.Wrapper.__call__ -> main.algo
        main.dispatchable -> main.Wrapper.__init__
        main.named -> main.dispatchable
    """),
]

PARAMETER_ATTRIBUTES: list[Case] = [
    ("method_replaced_on_a_parameter", {"main.py": """
    class Graph:
        def add_edge(self): pass
        def add_edges_from(self): self.add_edge()
    def frozen(*a): raise TypeError
    def freeze(G):
        G.add_edge = frozen
        G.add_edges_from = frozen
        return G
    def main():
        G = Graph()
        G.add_edges_from()
    def other(): freeze(Graph())
    """}, """
        main.Graph.add_edges_from -> main.Graph.add_edge
        main.main -> main.Graph.add_edges_from
        main.other -> main.freeze
    """),
    ("data_attribute_on_a_parameter", {"main.py": """
    class Box:
        def __init__(self): self.handler = None
    def handle(): pass
    def configure(box):
        box.handler = handle
    def main():
        b = Box()
        configure(b)
        b.handler()
    """}, """
        main.main -> main.Box.__init__
        main.main -> main.configure
        main.main -> main.handle
    """),
    ("method_replaced_on_a_local_instance", {"main.py": """
    class Tool:
        def run(self): pass
    def other(): pass
    def main():
        t = Tool()
        t.run = other
        t.run()
    """}, """
        main.main -> main.other
    """),
]

CASES: dict[str, list[Case]] = {
    "tests against None": NARROWING,
    "attributes on parameters": PARAMETER_ATTRIBUTES,
}
