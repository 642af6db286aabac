"""Small programs with their call graphs stated by hand: imports.

Same format and rules as ``cases.py``: ``from . import name`` in a package's
``__init__`` and in its submodules, relative imports of names through several
levels, ``import a.b as c``, and names re-exported through ``__all__`` (also
built from other modules' ``__all__``).  Each program also holds a function of
the same name elsewhere that must not be reached.
"""

from __future__ import annotations

Case = tuple[str, dict[str, str], str]

IMPORTS: list[Case] = [
    ("from_dot_import_in_init", {"main.py": """
        from case import pkg
        def main(): pkg.run()
    """, "pkg/__init__.py": """
        from . import tools
        def run(): tools.f()
    """, "pkg/tools.py": "def f(): pass\n", "tools.py": "def f(): pass\n"}, """
        main.main -> pkg.run
        pkg.run -> pkg.tools.f
    """),
    ("from_dot_import_submodule_through_package", {"main.py": """
        import case.pkg
        from case.pkg import tools
        def main():
            case.pkg.tools.f()
            tools.g()
    """, "pkg/__init__.py": "from . import tools\n", "pkg/tools.py": "def f(): pass\ndef g(): pass\n",
        "tools.py": "def f(): pass\ndef g(): pass\n"}, """
        main.main -> pkg.tools.f
        main.main -> pkg.tools.g
    """),
    ("from_dot_import_in_submodule", {"main.py": "", "pkg/__init__.py": "", "pkg/a.py": """
        from . import b
        def use(): b.f()
    """, "pkg/b.py": "def f(): pass\n", "b.py": "def f(): pass\n"}, """
        pkg.a.use -> pkg.b.f
    """),
    ("from_dot_import_function_of_init", {"main.py": "", "pkg/__init__.py": """
        def helper(): pass
    """, "pkg/a.py": """
        from . import helper
        def use(): helper()
    """, "a.py": "def helper(): pass\n"}, """
        pkg.a.use -> pkg.helper
    """),
    ("from_dot_import_in_function", {"main.py": "", "pkg/__init__.py": "", "pkg/a.py": """
        def use():
            from . import b
            from .b import g as h
            b.f()
            h()
    """, "pkg/b.py": "def f(): pass\ndef g(): pass\n"}, """
        pkg.a.use -> pkg.b.f
        pkg.a.use -> pkg.b.g
    """),
    ("relative_three_levels", {"main.py": "", "util.py": "def f(): pass\n",
        "pkg/__init__.py": "", "pkg/util.py": "def f(): pass\n", "pkg/sub/__init__.py": "",
        "pkg/sub/deep/__init__.py": "", "pkg/sub/deep/mod.py": """
        from ...util import f
        from ..sib import g
        from . import near
        def use():
            f()
            g()
            near.h()
    """, "pkg/sub/sib.py": "def g(): pass\n", "pkg/sub/deep/near.py": "def h(): pass\n"}, """
        pkg.sub.deep.mod.use -> pkg.util.f
        pkg.sub.deep.mod.use -> pkg.sub.sib.g
        pkg.sub.deep.mod.use -> pkg.sub.deep.near.h
    """),
    ("relative_dotted_source", {"main.py": "", "pkg/__init__.py": "", "pkg/a/__init__.py": "",
        "pkg/a/b.py": "def f(): pass\ndef g(): pass\n", "pkg/x/__init__.py": "", "pkg/x/y.py": """
        from ..a.b import f
        from ..a import b
        def use():
            f()
            b.g()
    """, "pkg/x/a/__init__.py": "", "pkg/x/a/b.py": "def f(): pass\ndef g(): pass\n"}, """
        pkg.x.y.use -> pkg.a.b.f
        pkg.x.y.use -> pkg.a.b.g
    """),
    ("relative_name_reexported_by_parent", {"main.py": "", "pkg/__init__.py": "from .impl import f\n",
        "pkg/impl.py": "def f(): pass\n", "pkg/sub/__init__.py": "", "pkg/sub/mod.py": """
        from .. import f
        def use(): f()
    """}, """
        pkg.sub.mod.use -> pkg.impl.f
    """),
    ("import_dotted_as", {"main.py": """
        import case.pkg.a.b as c
        import case.pkg.a as pa
        def main():
            c.f()
            pa.b.g()
    """, "pkg/__init__.py": "", "pkg/a/__init__.py": "", "pkg/a/b.py": "def f(): pass\ndef g(): pass\n",
        "b.py": "def f(): pass\n"}, """
        main.main -> pkg.a.b.f
        main.main -> pkg.a.b.g
    """),
    ("import_dotted_as_in_function", {"main.py": """
        def main():
            import case.pkg.b as c
            c.f()
    """, "pkg/__init__.py": "", "pkg/b.py": "def f(): pass\n"}, """
        main.main -> pkg.b.f
    """),
    ("import_dotted_binds_top", {"main.py": """
        import case.pkg.b
        def main():
            case.pkg.b.f()
            case.pkg.g()
    """, "pkg/__init__.py": "def g(): pass\n", "pkg/b.py": "def f(): pass\n"}, """
        main.main -> pkg.b.f
        main.main -> pkg.g
    """),
    ("all_reexport_through_star", {"main.py": """
        from case.pkg import f
        from case import pkg
        def main():
            f()
            pkg.g()
    """, "pkg/__init__.py": "from .impl import *\n",
        "pkg/impl.py": "__all__ = ['f', 'g']\ndef f(): pass\ndef g(): pass\ndef hidden(): pass\n"}, """
        main.main -> pkg.impl.f
        main.main -> pkg.impl.g
    """),
    ("all_limits_star", {"main.py": """
        from .util import *
        def hidden(): pass
        def main():
            shown()
            hidden()
    """, "util.py": "__all__ = ('shown',)\ndef shown(): pass\ndef hidden(): pass\n"}, """
        main.main -> util.shown
        main.main -> main.hidden
    """),
    ("all_built_from_submodules", {"main.py": """
        from case.pkg import *
        def main():
            f()
            g()
    """, "pkg/__init__.py": """
        from . import a, b
        from .a import *
        from .b import *
        __all__ = a.__all__ + b.__all__
    """, "pkg/a.py": "__all__ = ['f']\ndef f(): pass\n", "pkg/b.py": "__all__ = ['g']\ndef g(): pass\n"}, """
        main.main -> pkg.a.f
        main.main -> pkg.b.g
    """),
    ("all_extended", {"main.py": """
        from case.pkg import *
        def main():
            f()
            g()
    """, "pkg/__init__.py": """
        __all__ = ['f']
        __all__ += ['g']
        __all__.extend(['h'])
        from .a import f, g, h
    """, "pkg/a.py": "def f(): pass\ndef g(): pass\ndef h(): pass\n"}, """
        main.main -> pkg.a.f
        main.main -> pkg.a.g
    """),
    ("star_chain_without_all", {"main.py": """
        from case.top import *
        def main():
            f()
    """, "top/__init__.py": "from .mid import *\n", "top/mid/__init__.py": "from .leaf import *\n",
        "top/mid/leaf.py": "def f(): _private()\ndef _private(): pass\n"}, """
        main.main -> top.mid.leaf.f
        top.mid.leaf.f -> top.mid.leaf._private
    """),
    ("reexport_chain_from_import", {"main.py": """
        from case.a import f as run
        def main(): run()
    """, "a/__init__.py": "from .b import f\n", "a/b/__init__.py": "from .c import f\n",
        "a/b/c.py": "def f(): pass\n"}, """
        main.main -> a.b.c.f
    """),
    ("init_name_shadows_submodule", {"main.py": """
        from case.pkg import tool
        def main(): tool()
    """, "pkg/__init__.py": "from .tool import tool\n", "pkg/tool.py": "def tool(): pass\n"}, """
        main.main -> pkg.tool.tool
    """),
    ("all_names_a_star_source", {"main.py": """
        from case.pkg import *
        def main(): f()
    """, "pkg/__init__.py": "from .impl import *\n__all__ = ['f']\n",
        "pkg/impl.py": "def f(): pass\n"}, """
        main.main -> pkg.impl.f
    """),
    ("all_extended_from_submodule", {"main.py": """
        from case.pkg import *
        def main():
            f()
            g()
    """, "pkg/__init__.py": """
        __all__ = []
        from . import a
        from .a import *
        __all__ += a.__all__
        __all__.extend(['g'])
        def g(): pass
    """, "pkg/a.py": "__all__ = ['f']\ndef f(): pass\n"}, """
        main.main -> pkg.a.f
        main.main -> pkg.g
    """),
    ("package_from_parent", {"main.py": "", "pkg/__init__.py": "", "pkg/sub/__init__.py": "from .m import f\n",
        "pkg/sub/m.py": "def f(): pass\n", "pkg/other/__init__.py": "", "pkg/other/use.py": """
        from .. import sub
        from ..sub import m
        def use():
            sub.f()
            m.f()
    """}, """
        pkg.other.use.use -> pkg.sub.m.f
    """),
    ("import_dotted_as_rebound_in_init", {"main.py": """
        import case.pkg.b as c
        def main(): c.f()
    """, "pkg/__init__.py": "from . import b\n", "pkg/b.py": "def f(): pass\n"}, """
        main.main -> pkg.b.f
    """),
    ("absolute_import_inside_package", {"main.py": "", "pkg/__init__.py": "", "pkg/a.py": """
        from case.pkg import b
        from case.pkg.b import g
        import case.pkg.b as bb
        def use():
            b.f()
            g()
            bb.f()
    """, "pkg/b.py": "def f(): pass\ndef g(): pass\n"}, """
        pkg.a.use -> pkg.b.f
        pkg.a.use -> pkg.b.g
    """),
]

CASES: dict[str, list[Case]] = {"imports through packages": IMPORTS}
