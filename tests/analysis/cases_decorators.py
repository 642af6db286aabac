"""Small programs with their call graphs stated by hand: decorators and returned functions.

Same format and rules as ``cases.py`` and ``cases_values.py`` (a lambda is a
function ``<lambdaN>`` of the scope that writes it): decorators called with
arguments, nested, assigned to another name, defined in other modules, as
classes or instances, returning the function, another one or an instance;
entries put into a dict through a parameter; chained calls of returned
functions.
"""

from __future__ import annotations

Case = tuple[str, dict[str, str], str]

DECORATORS: list[Case] = [
    ("called_with_arguments", {"main.py": """
        def log(level):
            def deco(f):
                def wrapper(*a): return f(*a)
                return wrapper
            return deco
        @log(1)
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.log.deco.wrapper
        main.log.deco.wrapper -> main.work
    """),
    ("nested", {"main.py": """
        def d1(f):
            def w1(): return f()
            return w1
        def d2(f):
            def w2(): return f()
            return w2
        @d1
        @d2
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.d1.w1
        main.d1.w1 -> main.d2.w2
        main.d2.w2 -> main.work
    """),
    ("assigned_to_another_name", {"main.py": """
        def deco(f):
            def wrapper(): return f()
            return wrapper
        alias = deco
        @alias
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.work
    """),
    ("from_another_module", {"deco.py": """
        def deco(f):
            def wrapper(): return f()
            return wrapper
    """, "main.py": """
        from .deco import deco
        @deco
        def work(): pass
        def main(): work()
    """}, """
        main.main -> deco.deco.wrapper
        deco.deco.wrapper -> main.work
    """),
    ("returns_the_given_function", {"main.py": """
        REG = []
        def register(f):
            REG.append(f)
            return f
        @register
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.work
    """),
    ("returns_another_function", {"main.py": """
        def other(): pass
        def replace(f):
            return other
        @replace
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.other
    """),
    ("returns_an_instance", {"main.py": """
        class Wrap:
            def __init__(self, f): self.f = f
            def __call__(self): return self.f()
        def deco(f): return Wrap(f)
        @deco
        def work(): pass
        def main(): work()
    """}, """
        main.deco -> main.Wrap.__init__
        main.main -> main.Wrap.__call__
        main.Wrap.__call__ -> main.work
    """),
    ("class_as_decorator", {"main.py": """
        class Wrap:
            def __init__(self, f): self.f = f
            def __call__(self): return self.f()
        @Wrap
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.Wrap.__call__
        main.Wrap.__call__ -> main.work
    """),
    ("factory_with_arguments_in_other_module", {"deco.py": """
        def log(level):
            def deco(f):
                def wrapper(*a, **k): return f(*a, **k)
                return wrapper
            return deco
    """, "main.py": """
        from . import deco as d
        @d.log(level=2)
        def work(): pass
        def main(): work()
    """}, """
        main.main -> deco.log.deco.wrapper
        deco.log.deco.wrapper -> main.work
    """),
    ("decorated_method", {"main.py": """
        def deco(f):
            def wrapper(self): return f(self)
            return wrapper
        class A:
            @deco
            def run(self): pass
        def main(): A().run()
    """}, """
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.A.run
    """),
    ("decorator_factory_assigned", {"main.py": """
        def log(level):
            def deco(f):
                def wrapper(): return f()
                return wrapper
            return deco
        quiet = log(0)
        @quiet
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.log.deco.wrapper
        main.log.deco.wrapper -> main.work
    """),
    ("wraps_kept", {"main.py": """
        import functools
        def deco(f):
            @functools.wraps(f)
            def wrapper(*a): return f(*a)
            return wrapper
        @deco
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.work
    """),
    ("returns_lambda", {"main.py": """
        def deco(f):
            return lambda: f()
        @deco
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.deco.<lambda1>
        main.deco.<lambda1> -> main.work
    """),
    ("app_route_registry", {"main.py": """
        class App:
            def __init__(self): self.routes = {}
            def route(self, path):
                def register(f):
                    self.routes[path] = f
                    return f
                return register
            def dispatch(self, path): self.routes[path]()
        app = App()
        @app.route("/")
        def index(): pass
        def main(): app.dispatch("/")
    """}, """
        main.main -> main.App.dispatch
        main.App.dispatch -> main.index
    """),
    ("decorator_in_class_body", {"main.py": """
        class A:
            def _deco(f):
                def wrapper(self): return f(self)
                return wrapper
            @_deco
            def run(self): pass
        def main(): A().run()
    """}, """
        main.main -> main.A._deco.wrapper
        main.A._deco.wrapper -> main.A.run
    """),
    ("staticmethod_decorator", {"main.py": """
        class Tools:
            @staticmethod
            def deco(f):
                def wrapper(): return f()
                return wrapper
        @Tools.deco
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.Tools.deco.wrapper
        main.Tools.deco.wrapper -> main.work
    """),
    ("chained_returned", {"main.py": """
        def leaf(): pass
        def mid(): return leaf
        def top(): return mid
        def main(): top()()()
    """}, """
        main.main -> main.top
        main.main -> main.mid
        main.main -> main.leaf
    """),
    ("decorator_with_default_args_class", {"main.py": """
        class Deco:
            def __init__(self, level=0): self.level = level
            def __call__(self, f):
                def wrapper(): return f()
                return wrapper
        @Deco(level=3)
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.Deco.__call__.wrapper
        main.Deco.__call__.wrapper -> main.work
    """),
    ("conditional_decorator", {"main.py": """
        import os
        def a(f):
            def wa(): return f()
            return wa
        def b(f): return f
        deco = a if os.environ else b
        @deco
        def work(): pass
        def main(): work()
    """}, """
        main.main -> main.a.wa
        main.main -> main.work
        main.a.wa -> main.work
    """),
    ("parameter_dict_entries", {"main.py": """
        def f1(): pass
        def add(table, key, f): table[key] = f
        def main():
            t = {}
            add(t, "x", f1)
            t["x"]()
    """}, """
        main.main -> main.add
        main.main -> main.f1
    """),
]

# Calling a class with a ``__new__`` of its own: what ``__new__`` returns.
NEW: list[Case] = [
    ("new_returns_partial_or_wrapper", {"main.py": """
    from functools import partial
    class Wrap:
        def __init__(self, f): self.f = f
        def __call__(self, *a): return self.f(*a)
    class dispatchable:
        def __new__(cls, func=None, *, name=None):
            if func is None:
                return partial(dispatchable, name=name)
            self = object.__new__(cls)
            self.func = func
            return Wrap(self)
        def __call__(self, *a):
            return self.func(*a)
    @dispatchable
    def algo(): pass
    @dispatchable(name="x")
    def algo2(): pass
    def main():
        algo()
        algo2()
    """}, """
        main.main -> main.Wrap.__call__
        main.Wrap.__call__ -> main.dispatchable.__call__
        main.dispatchable.__call__ -> main.algo
        main.dispatchable.__call__ -> main.algo2
        main.dispatchable.__new__ -> main.Wrap.__init__
    """),
    ("new_of_base_runs_init_too", {"main.py": """
    class Base:
        def __new__(cls, *a):
            return object.__new__(cls)
    class Tool(Base):
        def __init__(self, f): self.f = f
        def run(self): self.f()
    def job(): pass
    def main():
        Tool(job).run()
    """}, """
        main.main -> main.Base.__new__
        main.main -> main.Tool.__init__
        main.main -> main.Tool.run
        main.Tool.run -> main.job
    """),
    ("new_through_super_is_an_instance", {"main.py": """
    class Base: pass
    class Tool(Base):
        def __new__(cls):
            return super().__new__(cls)
        def run(self): job()
    def job(): pass
    def main():
        Tool().run()
    """}, """
        main.main -> main.Tool.__new__
        main.main -> main.Tool.run
        main.Tool.run -> main.job
    """),
    ("decorated_new_is_not_followed", {"main.py": """
    def keep(f):
        def inner(*a): return f(*a)
        return inner
    class Graph:
        @keep
        def __new__(cls):
            return object.__new__(cls)
        def add(self): job()
    def job(): pass
    def main():
        Graph().add()
    """}, """
        main.main -> main.Graph.add
        main.Graph.add -> main.job
        main.keep.inner -> main.Graph.__new__
    """),
]

CASES: dict[str, list[Case]] = {"decorators, returned functions": DECORATORS, "__new__": NEW}
