"""Small programs with their call graphs stated by hand: module and class branches on
environment variables.

Same format as ``cases.py``, with one more item: how many ``if`` statements
the analysis reads one branch of (``stats["branches_decided"]``).  An
ordinary run has the variables unset: a test they decide takes that branch
and the other binds nothing; every other test keeps both.
"""

from __future__ import annotations

Case = tuple[str, dict[str, str], str, int]

# A decorator rebound under a test, as networkx's backends module does for its docs build.
_REBOUND = """
    {imports}
    class Dispatch:
        def __init__(self, f): self.f = f
        def __call__(self, *a): return self.f(*a)
    def _wrapping(f): return Dispatch(f)
    def _identity(f): return f
    def flag(): return True
    dispatch = _wrapping
    if {test}:
        dispatch = _identity
    @dispatch
    def algo(): pass
    def main():
        algo()
"""

_WRAPPED = """
    main.main -> main.Dispatch.__call__
    main.Dispatch.__call__ -> main.algo
    main._wrapping -> main.Dispatch.__init__
"""
_DIRECT = """
    main.main -> main.algo
    main._wrapping -> main.Dispatch.__init__
"""
_BOTH = _WRAPPED + "main.main -> main.algo"


def _rebound(name: str, test: str, edges: str, decided: int, imports: str = "import os") -> Case:
    return name, {"main.py": _REBOUND.format(imports=imports, test=test)}, edges, decided


FORMS: list[Case] = [
    _rebound("environ_get", 'os.environ.get("DOCS")', _WRAPPED, 1),
    _rebound("getenv", 'os.getenv("DOCS")', _WRAPPED, 1),
    _rebound("in_environ", '"DOCS" in os.environ', _WRAPPED, 1),
    _rebound("environ_item", 'os.environ["DOCS"]', _WRAPPED, 1),  # raises: the body never runs
    _rebound("not_environ_get", 'not os.environ.get("DOCS")', _DIRECT, 1),
    _rebound("not_in_environ", '"DOCS" not in os.environ', _DIRECT, 1),
    _rebound("not_environ_item", 'not os.environ["DOCS"]', _WRAPPED, 1),
    _rebound("falsy_default", 'os.environ.get("DOCS", "")', _WRAPPED, 1),
    _rebound("truthy_default", 'os.getenv("DOCS", "1")', _DIRECT, 1),
    _rebound("and_of_two", 'os.getenv("A") and os.getenv("B")', _WRAPPED, 1),
    _rebound("or_of_two", 'os.getenv("A") or "B" in os.environ', _WRAPPED, 1),
    _rebound("and_of_nots", 'not os.getenv("A") and not os.getenv("B")', _DIRECT, 1),
    _rebound("unknown_and_unset", 'flag() and os.environ.get("A")', _WRAPPED, 1),
    _rebound("unknown_or_not_unset", 'flag() or not os.environ.get("A")', _DIRECT, 1),
    _rebound("names_from_os", 'environ.get("A") or getenv("B")', _WRAPPED, 1,
             "from os import environ, getenv"),
    _rebound("os_aliased", 'system.environ.get("A")', _WRAPPED, 1, "import os as system"),
]

# Tests an unset variable does not decide, or that are not of the forms read: both branches.
KEPT: list[Case] = [
    _rebound("unset_or_unknown", 'os.environ.get("A") or flag()', _BOTH, 0),
    _rebound("unknown_and_item", 'flag() and os.environ["A"]', _BOTH, 0),
    _rebound("compared", 'os.environ.get("A") == "1"', _BOTH, 0),
    _rebound("name_not_literal", "os.environ.get(flag())", _BOTH, 0),
    _rebound("default_not_literal", 'os.environ.get("A", flag())', _BOTH, 0),
    _rebound("keyword_default", 'os.getenv("A", default="")', _BOTH, 0),
    _rebound("os_rebound", 'os.environ.get("A")', _BOTH, 0, "import os\n    os = flag()"),
    _rebound("environ_of_another_module", 'environ.get("A")', _BOTH, 0, "from posix import environ"),
    _rebound("plain_flag", "flag()", _BOTH, 0),
]

PLACES: list[Case] = [
    ("if_else", {"main.py": """
    import os
    def fast(): pass
    def slow(): pass
    if os.environ.get("DEBUG_SLOW"):
        run = slow
    else:
        run = fast
    def main():
        run()
    """}, """
        main.main -> main.fast
    """, 1),
    ("elif_chain", {"main.py": """
    import os
    def a(): pass
    def b(): pass
    def c(): pass
    if os.environ.get("A"):
        run = a
    elif os.getenv("B", "yes"):
        run = b
    else:
        run = c
    def main():
        run()
    """}, """
        main.main -> main.b
    """, 2),
    ("class_body", {"main.py": """
    import os
    def fast(): pass
    def slow(): pass
    def _run(self): fast()
    def _docs_run(self): slow()
    class Tool:
        if "DOCS" in os.environ:
            run = _docs_run
        else:
            run = _run
    def main():
        Tool().run()
    """}, """
        main.main -> main._run
        main._run -> main.fast
        main._docs_run -> main.slow
    """, 1),
    ("inside_function_keeps_both", {"main.py": """
    import os
    def fast(): pass
    def slow(): pass
    def pick():
        if os.environ.get("DOCS"):
            return slow
        return fast
    def main():
        pick()()
    """}, """
        main.main -> main.pick
        main.main -> main.fast
        main.main -> main.slow
    """, 0),
    ("star_import_skips_the_branch", {
        "a.py": """
    import os
    if os.environ.get("DOCS"):
        def extra(): pass
    """,
        "main.py": """
    def extra(): pass
    from .a import *
    def main():
        extra()
    """}, """
        main.main -> main.extra
    """, 1),
    ("nested_in_try", {"main.py": """
    import os
    def fast(): pass
    def slow(): pass
    run = fast
    try:
        if os.environ["MODE"]:
            run = slow
    except KeyError:
        pass
    def main():
        run()
    """}, """
        main.main -> main.fast
    """, 1),
]

CASES: dict[str, list[Case]] = {
    "environment tests decided": FORMS,
    "environment tests not decided": KEPT,
    "environment tests, where": PLACES,
}
