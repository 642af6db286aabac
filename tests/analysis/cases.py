"""Small programs with their call graphs stated by hand, one group per language feature.

Each case is (name, files, edges): the files of a library named ``case`` (a
package: it has an ``__init__.py``, empty unless given), and the calls between
the functions it defines, one ``caller -> callee`` a line, names relative to
the library.  What counts as an edge:

- a call made by a function (code at module or class level calls nobody);
- a call of a class is a call of its ``__init__`` (when it has one), a call of
  an instance a call of its ``__call__``;
- a lambda is a function named ``<lambdaN>`` in the scope that writes it
  (numbered in source order from 1): calling it is an edge to it, and the
  calls in its body are its own;
- a function decorated by a decorator of the library is the function the
  decorator returns: calling it calls that (a wrapper, say), which calls the
  decorated function through its parameter.

The tests check the analyser against every case; ``bench/bench_analyser.py
--quality`` prints precision and recall per group.
"""

from __future__ import annotations

import shutil
import textwrap
from pathlib import Path
from typing import Callable

Case = tuple[str, dict[str, str], str]

FUNCTIONS: list[Case] = [
    ("chain", {"main.py": """
        def func1(): pass
        def func2(): func1()
        def main(): func2()
        main()
    """}, """
        main.main -> main.func2
        main.func2 -> main.func1
    """),
    ("returned_function", {"main.py": """
        def target(): pass
        def get(): return target
        def main():
            f = get()
            f()
    """}, """
        main.main -> main.get
        main.main -> main.target
    """),
    ("returned_call_result", {"main.py": """
        def leaf(): pass
        def a(): return leaf
        def b(): return a()
        def main(): b()()
    """}, """
        main.main -> main.b
        main.b -> main.a
        main.main -> main.leaf
    """),
    ("nested_returned", {"main.py": """
        def helper(): pass
        def outer():
            def inner(): helper()
            return inner
        def main():
            outer()()
    """}, """
        main.main -> main.outer
        main.main -> main.outer.inner
        main.outer.inner -> main.helper
    """),
    ("recursion", {"main.py": """
        def fact(n):
            return n * fact(n - 1) if n else 1
        def main(): fact(3)
    """}, """
        main.main -> main.fact
        main.fact -> main.fact
    """),
    ("identity", {"main.py": """
        def target(): pass
        def ident(x): return x
        def main(): ident(target)()
    """}, """
        main.main -> main.ident
        main.main -> main.target
    """),
    ("branches", {"main.py": """
        def a(): pass
        def b(): pass
        def pick(first):
            if first:
                return a
            return b
        def main():
            pick(True)()
            pick(False)()
    """}, """
        main.main -> main.pick
        main.main -> main.a
        main.main -> main.b
    """),
    ("nested_call_in_args", {"main.py": """
        def inc(x): return x
        def twice(x): return inc(inc(x))
        def main(): print(twice(inc(1)))
    """}, """
        main.main -> main.twice
        main.main -> main.inc
        main.twice -> main.inc
    """),
    ("closure_over_parameter", {"main.py": """
        def target(): pass
        def make(f):
            def run(): f()
            return run
        def main(): make(target)()
    """}, """
        main.main -> main.make
        main.main -> main.make.run
        main.make.run -> main.target
    """),
    ("generator_of_functions", {"main.py": """
        def a(): pass
        def b(): pass
        def gen():
            yield a
            yield b
        def main():
            for f in gen():
                f()
    """}, """
        main.main -> main.gen
        main.main -> main.a
        main.main -> main.b
    """),
    ("mutual_recursion", {"main.py": """
        def even(n): return True if n == 0 else odd(n - 1)
        def odd(n): return False if n == 0 else even(n - 1)
        def main(): even(4)
    """}, """
        main.main -> main.even
        main.even -> main.odd
        main.odd -> main.even
    """),
]

IMPORTS: list[Case] = [
    ("from_import", {"main.py": """
        from .other import func
        def main(): func()
    """, "other.py": "def func(): pass\n"}, """
        main.main -> other.func
    """),
    ("module_import", {"main.py": """
        import case.other
        from case import other as o
        def main():
            case.other.func()
            o.func2()
    """, "other.py": "def func(): pass\ndef func2(): pass\n"}, """
        main.main -> other.func
        main.main -> other.func2
    """),
    ("submodule_alias", {"main.py": """
        import case.pkg.sub.mod as m
        def main(): m.f()
    """, "pkg/__init__.py": "", "pkg/sub/__init__.py": "", "pkg/sub/mod.py": "def f(): g()\ndef g(): pass\n"}, """
        main.main -> pkg.sub.mod.f
        pkg.sub.mod.f -> pkg.sub.mod.g
    """),
    ("relative_parent", {"main.py": "", "pkg/__init__.py": "", "pkg/user.py": """
        from ..util import helper
        from .. import util
        def use():
            helper()
            util.other()
    """, "util.py": "def helper(): pass\ndef other(): pass\n"}, """
        pkg.user.use -> util.helper
        pkg.user.use -> util.other
    """),
    ("star_with_all", {"main.py": """
        from .util import *
        def main():
            shown()
    """, "util.py": "__all__ = ['shown']\ndef shown(): hidden()\ndef hidden(): pass\n"}, """
        main.main -> util.shown
        util.shown -> util.hidden
    """),
    ("reexport_init", {"main.py": """
        from case.pkg import f
        import case.pkg
        def main():
            f()
            case.pkg.g()
    """, "pkg/__init__.py": "from .impl import f\nfrom .impl import g as g\n", "pkg/impl.py": "def f(): pass\ndef g(): pass\n"}, """
        main.main -> pkg.impl.f
        main.main -> pkg.impl.g
    """),
    ("chained", {"main.py": """
        from .a import func
        def main(): func()
    """, "a.py": "from .b import func\n", "b.py": "from .c import func\n", "c.py": "def func(): pass\n"}, """
        main.main -> c.func
    """),
    ("import_in_function", {"main.py": """
        def main():
            from .other import func
            import case.other as o
            func()
            o.func2()
    """, "other.py": "def func(): pass\ndef func2(): pass\n"}, """
        main.main -> other.func
        main.main -> other.func2
    """),
    ("import_function_then_call_module_level_alias", {"main.py": """
        from . import other
        run = other.func
        def main(): run()
    """, "other.py": "def func(): pass\n"}, """
        main.main -> other.func
    """),
    ("conditional_import", {"main.py": """
        try:
            from .fast import impl
        except ImportError:
            from .slow import impl
        def main(): impl()
    """, "fast.py": "def impl(): pass\n", "slow.py": "def impl(): pass\n"}, """
        main.main -> fast.impl
        main.main -> slow.impl
    """),
    ("package_star_reexport", {"main.py": """
        import case.pkg as pkg
        def main(): pkg.helper()
    """, "pkg/__init__.py": "from .tools import *\n", "pkg/tools.py": "def helper(): _inner()\ndef _inner(): pass\n"}, """
        main.main -> pkg.tools.helper
        pkg.tools.helper -> pkg.tools._inner
    """),
    ("circular", {"main.py": """
        from . import a
        def main(): a.fa()
    """, "a.py": "from . import b\ndef fa(): b.fb()\n", "b.py": "from . import a\ndef fb(): a.fa\n"}, """
        main.main -> a.fa
        a.fa -> b.fb
    """),
]

CLASSES: list[Case] = [
    ("instance_method", {"main.py": """
        class A:
            def __init__(self): pass
            def m(self): pass
        def main():
            a = A()
            a.m()
    """}, """
        main.main -> main.A.__init__
        main.main -> main.A.m
    """),
    ("self_calls", {"main.py": """
        class A:
            def first(self): self.second()
            def second(self): pass
        def main(): A().first()
    """}, """
        main.main -> main.A.first
        main.A.first -> main.A.second
    """),
    ("classmethod_and_staticmethod", {"main.py": """
        class A:
            @classmethod
            def make(cls): return cls()
            @staticmethod
            def tool(): pass
            def work(self): self.tool()
        def main():
            A.make().work()
            A.tool()
    """}, """
        main.main -> main.A.make
        main.main -> main.A.work
        main.main -> main.A.tool
        main.A.work -> main.A.tool
    """),
    ("callback_attribute", {"main.py": """
        def done(): pass
        class Task:
            def __init__(self, cb):
                self.cb = cb
            def run(self):
                self.cb()
        def main():
            Task(done).run()
    """}, """
        main.main -> main.Task.__init__
        main.main -> main.Task.run
        main.Task.run -> main.done
    """),
    ("returned_instance", {"main.py": """
        class A:
            def m(self): pass
        def make(): return A()
        def main(): make().m()
    """}, """
        main.main -> main.make
        main.main -> main.A.m
    """),
    ("call_instance", {"main.py": """
        class Action:
            def __call__(self): helper()
        def helper(): pass
        def main():
            act = Action()
            act()
    """}, """
        main.main -> main.Action.__call__
        main.Action.__call__ -> main.helper
    """),
    ("class_as_argument", {"main.py": """
        class A:
            def __init__(self): pass
            def m(self): pass
        def build(kind): return kind()
        def main(): build(A).m()
    """}, """
        main.main -> main.build
        main.build -> main.A.__init__
        main.main -> main.A.m
    """),
    ("attribute_chain", {"main.py": """
        class Engine:
            def start(self): pass
        class Car:
            def __init__(self):
                self.engine = Engine()
            def drive(self):
                self.engine.start()
        def main(): Car().drive()
    """}, """
        main.main -> main.Car.__init__
        main.main -> main.Car.drive
        main.Car.drive -> main.Engine.start
    """),
    ("class_attribute_function", {"main.py": """
        def helper(): pass
        class A:
            action = staticmethod(helper)
            def run(self): self.action()
        def main(): A().run()
    """}, """
        main.main -> main.A.run
        main.A.run -> main.helper
    """),
    ("self_class_attribute", {"main.py": """
        class A:
            def m(self):
                self.__class__.helper()
                type(self).helper()
            @staticmethod
            def helper(): pass
        def main(): A().m()
    """}, """
        main.main -> main.A.m
        main.A.m -> main.A.helper
    """),
    ("getattr_literal", {"main.py": """
        class A:
            def run(self): pass
        def main():
            a = A()
            getattr(a, "run")()
    """}, """
        main.main -> main.A.run
    """),
    ("instances_in_dict", {"main.py": """
        class A:
            def go(self): pass
        class B:
            def go(self): pass
        def main():
            objects = {"a": A(), "b": B()}
            objects["b"].go()
    """}, """
        main.main -> main.B.go
    """),
    ("nested_class", {"main.py": """
        class Outer:
            class Inner:
                def m(self): pass
            def make(self): return self.Inner()
        def main(): Outer().make().m()
    """}, """
        main.main -> main.Outer.make
        main.main -> main.Outer.Inner.m
    """),
    ("returning_self", {"main.py": """
        class Builder:
            def add(self): return self
            def build(self): pass
        class Special(Builder):
            def build(self): pass
        def main():
            Builder().add().build()
        def other():
            Special().add().build()
    """}, """
        main.main -> main.Builder.add
        main.main -> main.Builder.build
        main.other -> main.Builder.add
        main.other -> main.Special.build
    """),
]

MRO: list[Case] = [
    ("inherited", {"main.py": """
        class A:
            def m(self): pass
        class B(A): pass
        def main(): B().m()
    """}, """
        main.main -> main.A.m
    """),
    ("override_through_self", {"main.py": """
        class A:
            def run(self): self.step()
            def step(self): pass
        class B(A):
            def step(self): pass
        def main(): B().run()
    """}, """
        main.main -> main.A.run
        main.A.run -> main.B.step
    """),
    ("super_calls", {"main.py": """
        class A:
            def __init__(self): pass
            def m(self): pass
        class B(A):
            def __init__(self):
                super().__init__()
            def m(self):
                super().m()
        def main(): B().m()
    """}, """
        main.main -> main.B.__init__
        main.B.__init__ -> main.A.__init__
        main.main -> main.B.m
        main.B.m -> main.A.m
    """),
    ("diamond", {"main.py": """
        class A:
            def m(self): pass
        class B(A): pass
        class C(A):
            def m(self): pass
        class D(B, C): pass
        def main(): D().m()
    """}, """
        main.main -> main.C.m
    """),
    ("super_in_diamond", {"main.py": """
        class A:
            def m(self): pass
        class B(A):
            def m(self): super().m()
        class C(A):
            def m(self): super().m()
        class D(B, C):
            def m(self): super().m()
        def main(): D().m()
    """}, """
        main.main -> main.D.m
        main.D.m -> main.B.m
        main.B.m -> main.C.m
        main.C.m -> main.A.m
    """),
    ("three_levels", {"main.py": """
        class A:
            def m(self): self.n()
            def n(self): pass
        class B(A):
            def n(self): pass
        class C(B): pass
        def main(): C().m()
    """}, """
        main.main -> main.A.m
        main.A.m -> main.B.n
    """),
    ("base_from_other_module", {"main.py": """
        from .base import Base
        class Child(Base):
            def hook(self): pass
        def main(): Child().run()
    """, "base.py": "class Base:\n    def run(self): self.hook()\n    def hook(self): pass\n"}, """
        main.main -> base.Base.run
        base.Base.run -> main.Child.hook
    """),
    ("explicit_base_call", {"main.py": """
        class A:
            def m(self): pass
        class B(A):
            def m(self): A.m(self)
        def main(): B().m()
    """}, """
        main.main -> main.B.m
        main.B.m -> main.A.m
    """),
    ("explicit_super_arguments", {"main.py": """
        class A:
            def m(self): pass
        class B(A):
            def m(self): super(B, self).m()
        def main(): B().m()
    """}, """
        main.main -> main.B.m
        main.B.m -> main.A.m
    """),
    ("mixin", {"main.py": """
        class Logging:
            def log(self): self.write()
        class Base:
            def write(self): pass
        class Thing(Logging, Base):
            def work(self): self.log()
        def main(): Thing().work()
    """}, """
        main.main -> main.Thing.work
        main.Thing.work -> main.Logging.log
        main.Logging.log -> main.Base.write
    """),
    ("classmethod_factory_in_subclass", {"main.py": """
        class A:
            @classmethod
            def create(cls): return cls()
            def kind(self): pass
        class B(A):
            def kind(self): pass
        def main(): B.create().kind()
    """}, """
        main.main -> main.A.create
        main.main -> main.B.kind
    """),
]

ASSIGNMENTS: list[Case] = [
    ("alias", {"main.py": """
        def func(): pass
        def main():
            a = func
            b = a
            b()
    """}, """
        main.main -> main.func
    """),
    ("tuple_unpacking", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            a, b = f1, f2
            a()
            (c, (d, e)) = (f2, (f1, f2))
            d()
    """}, """
        main.main -> main.f1
    """),
    ("rebinding", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            a = f1
            a()
            a = f2
            a()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("module_global", {"main.py": """
        def f(): pass
        handler = f
        def main(): handler()
    """}, """
        main.main -> main.f
    """),
    ("global_statement", {"main.py": """
        def other(): pass
        fn = None
        def setup():
            global fn
            fn = other
        def main():
            setup()
            fn()
    """}, """
        main.main -> main.setup
        main.main -> main.other
    """),
    ("attribute_on_object", {"main.py": """
        def f(): pass
        class Box: pass
        def main():
            box = Box()
            box.fn = f
            box.fn()
    """}, """
        main.main -> main.f
    """),
    ("assignment_in_callee", {"main.py": """
        def f(): pass
        class Box: pass
        def fill(box): box.fn = f
        def main():
            box = Box()
            fill(box)
            box.fn()
    """}, """
        main.main -> main.fill
        main.main -> main.f
    """),
    ("walrus_and_conditional", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main(flag):
            (g := f1)()
            h = f1 if flag else f2
            h()
    """}, """
        main.main -> main.f1
        main.main -> main.f2
    """),
    ("chained_assignment", {"main.py": """
        def f(): pass
        def main():
            a = b = f
            a()
            b()
    """}, """
        main.main -> main.f
    """),
    ("swap", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            a, b = f1, f2
            a, b = b, a
            a()
    """}, """
        main.main -> main.f2
    """),
    ("nonlocal", {"main.py": """
        def f1(): pass
        def f2(): pass
        def main():
            fn = f1
            def change():
                nonlocal fn
                fn = f2
            change()
            def use():
                fn()
            use()
    """}, """
        main.main -> main.main.change
        main.main -> main.main.use
        main.main.use -> main.f2
    """),
]

ARGS: list[Case] = [
    ("call_parameter", {"main.py": """
        def func(): pass
        def call(f): f()
        def main(): call(func)
    """}, """
        main.main -> main.call
        main.call -> main.func
    """),
    ("several_callers", {"main.py": """
        def a(): pass
        def b(): pass
        def call(f): f()
        def main():
            call(a)
            call(b)
    """}, """
        main.main -> main.call
        main.call -> main.a
        main.call -> main.b
    """),
    ("default_parameter", {"main.py": """
        def func(): pass
        def call(f=func): f()
        def main(): call()
    """}, """
        main.main -> main.call
        main.call -> main.func
    """),
    ("passed_on", {"main.py": """
        def func(): pass
        def inner(g): g()
        def outer(f): inner(f)
        def main(): outer(func)
    """}, """
        main.main -> main.outer
        main.outer -> main.inner
        main.inner -> main.func
    """),
    ("positional_order", {"main.py": """
        def a(): pass
        def b(): pass
        def call(x, y): y()
        def main(): call(a, b)
    """}, """
        main.main -> main.call
        main.call -> main.b
    """),
    ("star_args", {"main.py": """
        def a(): pass
        def b(): pass
        def run_all(*fs):
            for f in fs:
                f()
        def main(): run_all(a, b)
    """}, """
        main.main -> main.run_all
        main.run_all -> main.a
        main.run_all -> main.b
    """),
    ("method_argument", {"main.py": """
        def func(): pass
        class Runner:
            def run(self, f): f()
        def main(): Runner().run(func)
    """}, """
        main.main -> main.Runner.run
        main.Runner.run -> main.func
    """),
    ("apply_and_return", {"main.py": """
        def inc(x): return x
        def apply(f, x): return f(x)
        def main(): apply(inc, 1)
    """}, """
        main.main -> main.apply
        main.apply -> main.inc
    """),
    ("unpacked_sequence", {"main.py": """
        def a(): pass
        def call(f): f()
        def main():
            args = [a]
            call(*args)
    """}, """
        main.main -> main.call
        main.call -> main.a
    """),
    ("forwarded_star_args", {"main.py": """
        def target(f): f()
        def func(): pass
        def wrap(*args): target(*args)
        def main(): wrap(func)
    """}, """
        main.main -> main.wrap
        main.wrap -> main.target
        main.target -> main.func
    """),
    ("default_overridden", {"main.py": """
        def a(): pass
        def b(): pass
        def call(f=a): f()
        def main(): call(b)
    """}, """
        main.main -> main.call
        main.call -> main.b
    """),
    ("returned_argument_method", {"main.py": """
        class Tool:
            def use(self): pass
        def pick(x): return x
        def main(): pick(Tool()).use()
    """}, """
        main.main -> main.pick
        main.main -> main.Tool.use
    """),
]

LAMBDAS: list[Case] = [
    ("module_lambda", {"main.py": """
        def func(): pass
        x = lambda: func()
        def main(): x()
    """}, """
        main.main -> main.<lambda1>
        main.<lambda1> -> main.func
    """),
    ("lambda_parameter", {"main.py": """
        def func(): pass
        def main():
            run = lambda f: f()
            run(func)
    """}, """
        main.main -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("returned_lambda", {"main.py": """
        def func(): pass
        def get(): return lambda: func()
        def main(): get()()
    """}, """
        main.main -> main.get
        main.main -> main.get.<lambda1>
        main.get.<lambda1> -> main.func
    """),
    ("lambda_argument", {"main.py": """
        def func(): pass
        def call(f): f()
        def main(): call(lambda: func())
    """}, """
        main.main -> main.call
        main.call -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("lambda_in_dict", {"main.py": """
        def fa(): pass
        def fb(): pass
        OPS = {"a": lambda: fa(), "b": lambda: fb()}
        def main(): OPS["a"]()
    """}, """
        main.main -> main.<lambda1>
        main.<lambda1> -> main.fa
        main.<lambda2> -> main.fb
    """),
    ("lambda_default", {"main.py": """
        def func(): pass
        def main():
            run = lambda f=func: f()
            run()
    """}, """
        main.main -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("lambda_returns_function", {"main.py": """
        def func(): pass
        get = lambda: func
        def main(): get()()
    """}, """
        main.main -> main.<lambda1>
        main.main -> main.func
    """),
    ("lambda_attribute", {"main.py": """
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
    ("immediately_called", {"main.py": """
        def func(): pass
        def main(): (lambda: func())()
    """}, """
        main.main -> main.main.<lambda1>
        main.main.<lambda1> -> main.func
    """),
    ("lambda_in_list", {"main.py": """
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
    ("lambda_returns_lambda", {"main.py": """
        def func(): pass
        outer = lambda: (lambda: func())
        def main(): outer()()
    """}, """
        main.main -> main.<lambda1>
        main.main -> main.<lambda1>.<lambda1>
        main.<lambda1>.<lambda1> -> main.func
    """),
]

DECORATORS: list[Case] = [
    ("wrapper", {"main.py": """
        def deco(f):
            def wrapper(*args, **kwargs):
                return f(*args, **kwargs)
            return wrapper
        def helper(): pass
        @deco
        def func(): helper()
        def main(): func()
    """}, """
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.func
        main.func -> main.helper
    """),
    ("registering", {"main.py": """
        REGISTRY = []
        def register(f):
            REGISTRY.append(f)
            return f
        @register
        def func(): pass
        def main(): func()
    """}, """
        main.main -> main.func
    """),
    ("with_arguments", {"main.py": """
        def repeat(n):
            def deco(f):
                def wrapper():
                    for _ in range(n):
                        f()
                return wrapper
            return deco
        @repeat(3)
        def func(): pass
        def main(): func()
    """}, """
        main.main -> main.repeat.deco.wrapper
        main.repeat.deco.wrapper -> main.func
    """),
    ("class_decorator", {"main.py": """
        class Trace:
            def __init__(self, f):
                self.f = f
            def __call__(self):
                return self.f()
        @Trace
        def func(): pass
        def main(): func()
    """}, """
        main.main -> main.Trace.__call__
        main.Trace.__call__ -> main.func
    """),
    ("stacked", {"main.py": """
        def d1(f):
            def w1(): f()
            return w1
        def d2(f):
            def w2(): f()
            return w2
        @d1
        @d2
        def func(): pass
        def main(): func()
    """}, """
        main.main -> main.d1.w1
        main.d1.w1 -> main.d2.w2
        main.d2.w2 -> main.func
    """),
    ("in_function", {"main.py": """
        def deco(f):
            def wrapper(): f()
            return wrapper
        def helper(): pass
        def main():
            @deco
            def local(): helper()
            local()
    """}, """
        main.main -> main.deco
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.main.local
        main.main.local -> main.helper
    """),
    ("imported_decorator", {"main.py": """
        from .decos import logged
        @logged
        def func(): pass
        def main(): func()
    """, "decos.py": """
        import functools
        def logged(f):
            @functools.wraps(f)
            def inner(*a, **k):
                return f(*a, **k)
            return inner
    """}, """
        main.main -> decos.logged.inner
        decos.logged.inner -> main.func
    """),
    ("method_decorator", {"main.py": """
        def deco(f):
            def wrapper(self): return f(self)
            return wrapper
        class A:
            @deco
            def m(self): self.n()
            def n(self): pass
        def main(): A().m()
    """}, """
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.A.m
        main.A.m -> main.A.n
    """),
    ("explicit_application", {"main.py": """
        def deco(f):
            def wrapper(): f()
            return wrapper
        def func(): pass
        func = deco(func)
        def main(): func()
    """}, """
        main.main -> main.deco.wrapper
        main.deco.wrapper -> main.func
    """),
    ("decorator_class_with_arguments", {"main.py": """
        class Route:
            def __init__(self, path):
                self.path = path
            def __call__(self, f):
                return f
        @Route("/x")
        def handler(): pass
        def main(): handler()
    """}, """
        main.main -> main.handler
    """),
    ("property", {"main.py": """
        def helper(): pass
        class A:
            @property
            def action(self): return helper
        def main(): A().action()
    """}, """
        main.main -> main.A.action
        main.main -> main.helper
    """),
    ("registering_several", {"main.py": """
        def register(f):
            return f
        @register
        def a(): b()
        @register
        def b(): pass
        def main(): a()
    """}, """
        main.main -> main.a
        main.a -> main.b
    """),
]

LISTS: list[Case] = [
    ("index", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            ls = [a, b]
            ls[0]()
            ls[-1]()
    """}, """
        main.main -> main.a
        main.main -> main.b
    """),
    ("iteration", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            for f in [a, b]:
                f()
    """}, """
        main.main -> main.a
        main.main -> main.b
    """),
    ("append", {"main.py": """
        def a(): pass
        def main():
            ls = []
            ls.append(a)
            ls[0]()
    """}, """
        main.main -> main.a
    """),
    ("passed_list", {"main.py": """
        def a(): pass
        def b(): pass
        def run(fs):
            for f in fs:
                f()
        def main(): run([a, b])
    """}, """
        main.main -> main.run
        main.run -> main.a
        main.run -> main.b
    """),
    ("tuple_index", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            t = (a, b)
            t[1]()
    """}, """
        main.main -> main.b
    """),
    ("nested", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            ls = [[a], [b]]
            ls[1][0]()
    """}, """
        main.main -> main.b
    """),
    ("global_registry", {"main.py": """
        HANDLERS = []
        def add(f): HANDLERS.append(f)
        def a(): pass
        add(a)
        def main():
            for h in HANDLERS:
                h()
    """}, """
        main.main -> main.a
    """),
    ("comprehension", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            for g in [f for f in (a, b)]:
                g()
        def first():
            fs = [f for f in (a, b)]
            fs[0]()
    """}, """
        main.main -> main.a
        main.main -> main.b
        main.first -> main.a
    """),
    ("returned_list", {"main.py": """
        def a(): pass
        def b(): pass
        def get(): return [a, b]
        def main():
            get()[1]()
    """}, """
        main.main -> main.get
        main.main -> main.b
    """),
    ("extend_and_insert", {"main.py": """
        def a(): pass
        def b(): pass
        def c(): pass
        def main():
            fs = []
            fs.extend([a, b])
            fs.insert(0, c)
            for f in fs:
                f()
    """}, """
        main.main -> main.a
        main.main -> main.b
        main.main -> main.c
    """),
    ("plus_equals", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            fs = [a]
            fs += [b]
            for f in fs:
                f()
    """}, """
        main.main -> main.a
        main.main -> main.b
    """),
    ("tuples_unpacked_in_loop", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            for name, f in [("a", a), ("b", b)]:
                f()
    """}, """
        main.main -> main.a
        main.main -> main.b
    """),
    ("pop", {"main.py": """
        def a(): pass
        def main():
            fs = [a]
            fs.pop()()
    """}, """
        main.main -> main.a
    """),
]

KWARGS: list[Case] = [
    ("kwargs_item", {"main.py": """
        def func(): pass
        def call(**kw): kw["f"]()
        def main(): call(f=func)
    """}, """
        main.main -> main.call
        main.call -> main.func
    """),
    ("keyword_to_parameter", {"main.py": """
        def a(): pass
        def b(): pass
        def call(x=None, f=None): f()
        def main(): call(x=a, f=b)
    """}, """
        main.main -> main.call
        main.call -> main.b
    """),
    ("dict_unpacking", {"main.py": """
        def func(): pass
        def call(f): f()
        def main():
            opts = {"f": func}
            call(**opts)
    """}, """
        main.main -> main.call
        main.call -> main.func
    """),
    ("keyword_only", {"main.py": """
        def func(): pass
        def call(*, f): f()
        def main(): call(f=func)
    """}, """
        main.main -> main.call
        main.call -> main.func
    """),
    ("forwarded", {"main.py": """
        def func(): pass
        def inner(f): f()
        def outer(**kw): inner(**kw)
        def main(): outer(f=func)
    """}, """
        main.main -> main.outer
        main.outer -> main.inner
        main.inner -> main.func
    """),
    ("kwargs_get", {"main.py": """
        def a(): pass
        def b(): pass
        def call(**kw): kw.get("first")()
        def main(): call(first=a, second=b)
    """}, """
        main.main -> main.call
        main.call -> main.a
    """),
    ("kwargs_values", {"main.py": """
        def a(): pass
        def b(): pass
        def call(**kw):
            for f in kw.values():
                f()
        def main(): call(x=a, y=b)
    """}, """
        main.main -> main.call
        main.call -> main.a
        main.call -> main.b
    """),
    ("method_keyword", {"main.py": """
        def func(): pass
        class A:
            def __init__(self, cb=None):
                self.cb = cb
            def fire(self): self.cb()
        def main(): A(cb=func).fire()
    """}, """
        main.main -> main.A.__init__
        main.main -> main.A.fire
        main.A.fire -> main.func
    """),
    ("kwargs_to_class", {"main.py": """
        def func(): pass
        class Job:
            def __init__(self, action=None):
                self.action = action
            def run(self): self.action()
        def make(**kw): return Job(**kw)
        def main(): make(action=func).run()
    """}, """
        main.main -> main.make
        main.make -> main.Job.__init__
        main.main -> main.Job.run
        main.Job.run -> main.func
    """),
    ("kwargs_pop", {"main.py": """
        def func(): pass
        def call(**kw):
            cb = kw.pop("cb")
            cb()
        def main(): call(cb=func)
    """}, """
        main.main -> main.call
        main.call -> main.func
    """),
]

DICTS: list[Case] = [
    ("literal_key", {"main.py": """
        def fa(): pass
        def fb(): pass
        def main():
            d = {"a": fa, "b": fb}
            d["a"]()
    """}, """
        main.main -> main.fa
    """),
    ("stored_key", {"main.py": """
        def fa(): pass
        def fc(): pass
        def main():
            d = {"a": fa}
            d["c"] = fc
            d["c"]()
    """}, """
        main.main -> main.fc
    """),
    ("get", {"main.py": """
        def fa(): pass
        def fb(): pass
        def main():
            d = {"a": fa, "b": fb}
            d.get("b")()
    """}, """
        main.main -> main.fb
    """),
    ("values_and_items", {"main.py": """
        def fa(): pass
        def fb(): pass
        TABLE = {"a": fa, "b": fb}
        def main():
            for f in TABLE.values():
                f()
        def each():
            for name, f in TABLE.items():
                f()
    """}, """
        main.main -> main.fa
        main.main -> main.fb
        main.each -> main.fa
        main.each -> main.fb
    """),
    ("key_through_parameter", {"main.py": """
        def fa(): pass
        def fb(): pass
        TABLE = {"a": fa, "b": fb}
        def run(key): TABLE[key]()
        def main(): run("b")
    """}, """
        main.main -> main.run
        main.run -> main.fb
    """),
    ("dict_call", {"main.py": """
        def fa(): pass
        def fb(): pass
        def main():
            d = dict(a=fa, b=fb)
            d["b"]()
    """}, """
        main.main -> main.fb
    """),
    ("nested", {"main.py": """
        def fa(): pass
        def fb(): pass
        def main():
            d = {"x": {"a": fa}, "y": {"a": fb}}
            d["y"]["a"]()
    """}, """
        main.main -> main.fb
    """),
    ("update", {"main.py": """
        def fa(): pass
        def fb(): pass
        def main():
            d = {"a": fa}
            d.update({"b": fb})
            d["b"]()
    """}, """
        main.main -> main.fb
    """),
    ("returned_dict", {"main.py": """
        def fa(): pass
        def fb(): pass
        def table(): return {"a": fa, "b": fb}
        def main():
            table()["a"]()
    """}, """
        main.main -> main.table
        main.main -> main.fa
    """),
    ("key_variable", {"main.py": """
        def fa(): pass
        def fb(): pass
        def main():
            d = {"a": fa, "b": fb}
            key = "b"
            d[key]()
    """}, """
        main.main -> main.fb
    """),
    ("dict_comprehension", {"main.py": """
        def a(): pass
        def b(): pass
        def main():
            table = {f.__name__: f for f in (a, b)}
            for f in table.values():
                f()
    """}, """
        main.main -> main.a
        main.main -> main.b
    """),
    ("setdefault", {"main.py": """
        def a(): pass
        def main():
            d = {}
            d.setdefault("x", a)
            d["x"]()
    """}, """
        main.main -> main.a
    """),
    ("classes_in_dict", {"main.py": """
        class A:
            def __init__(self): pass
        class B:
            def __init__(self): pass
        KINDS = {"a": A, "b": B}
        def build(kind): return KINDS[kind]()
        def main(): build("b")
    """}, """
        main.main -> main.build
        main.build -> main.B.__init__
    """),
    ("registry_filled_by_decorator", {"main.py": """
        HANDLERS = {}
        def handles(name):
            def register(f):
                HANDLERS[name] = f
                return f
            return register
        @handles("x")
        def on_x(): pass
        @handles("y")
        def on_y(): pass
        def dispatch(name): HANDLERS[name]()
        def main(): dispatch("y")
    """}, """
        main.main -> main.dispatch
        main.dispatch -> main.on_y
    """),
]

CASES: dict[str, list[Case]] = {
    "functions, returns": FUNCTIONS,
    "imports": IMPORTS,
    "classes": CLASSES,
    "MRO": MRO,
    "assignments": ASSIGNMENTS,
    "args": ARGS,
    "lambdas": LAMBDAS,
    "decorators": DECORATORS,
    "lists": LISTS,
    "kwargs": KWARGS,
    "dicts": DICTS,
}


def expected_edges(text: str) -> set[tuple[str, str]]:
    """The ``caller -> callee`` lines of a case as pairs."""
    edges = set()
    for line in text.strip().splitlines():
        caller, callee = (part.strip() for part in line.split("->"))
        edges.add((caller, callee))
    return edges


def found_edges(analyse: Callable, root: Path, files: dict[str, str]) -> tuple[set[tuple[str, str]], list[str]]:
    """The calls between the functions of one case as ``analyse`` (a ``generate_call_graph``)
    reports them, and the errors it records, with the case's files written below ``root``."""
    lib = root / "case"
    shutil.rmtree(lib, ignore_errors=True)
    for name, text in {"__init__.py": "", **files}.items():
        path = lib / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    graph = analyse({"case": str(lib)})
    functions = graph.get("functions", {})
    short = {name: name[len("case."):] for name in functions}
    edges = {
        (short[caller], short[callee])
        for caller, record in functions.items()
        for callee in record["resolved_calls"]
        if callee in short
    }
    errors = [e for module in graph.get("modules", {}).values() for e in module["errors"]]
    return edges, errors
