"""The entry point: ``generate_call_graph`` runs the passes over the given libraries."""

from __future__ import annotations

import ast
import gc
import os
from collections import deque
from typing import Any, Mapping

from .classes import Classes
from .containers import Containers
from .definitions import Class, Container, Func, Site, Store
from .environment import Environment
from .expressions import Expressions
from .fixpoint import Fixpoint
from .imports import Imports
from .narrowing import Narrowing
from .reader import Reader
from .records import Records
from .resolve import Resolver
from .sources import Module, library_files, parse_module


class Analysis(Reader, Narrowing, Environment, Expressions, Imports, Resolver, Classes, Containers,
               Fixpoint, Records):
    """The state the passes share: modules, definitions, call sites and what flowed where."""

    _stmt = {**Reader._stmt, ast.Import: Imports._s_import, ast.ImportFrom: Imports._s_import_from}

    def __init__(self) -> None:
        self.modules: dict[str, Module] = {}
        self.prefixes: set[str] = set()  # package names holding analysed modules
        self.funcs: dict[str, Func] = {}
        self.classes: dict[str, Class] = {}
        self.sites: list[Site] = []
        self.site_index: dict[int, Site] = {}
        self.stores: list[Store] = []
        self.stored_attrs: set[str] = set()  # attribute names assigned from outside a method's self
        self.attribute_loads: list = []  # (function, values, attribute) of every attribute read
        self.containers: dict[Any, Container] = {}
        self.done_defs: dict[int, str] = {}
        self.def_values: dict[int, frozenset] = {}
        self.queue: deque = deque()
        self.order = 0
        # the fixpoint: parameter values, memos of resolved values, the cycle stack, the work
        self.params: dict[tuple[str, str], set] = {}
        # value -> (result, the cells it read; None when it read none and the result is final)
        self.memo: dict[tuple, tuple[frozenset, frozenset | None]] = {}
        self.memo_users: dict[Any, set] = {}  # cell -> values in memo that read it
        self.readers: dict[Any, list] = {}  # cell -> sites and stores that read it
        self.reading: list = []  # cells read by the values being resolved, innermost last
        self.grown: set = set()
        self.work: deque | None = None
        self.budget = 0
        self.work_done = 0
        self.active: dict[tuple, int] = {}
        self.estimates: dict[tuple, frozenset] = {}
        # value -> (result, cycle depth it was cut at, cells read) while a cycle's head is open
        self.partial: dict[tuple, tuple] = {}
        self.wide: set[int] = set()  # ids of the value sets widened to unknown
        self.widenings: dict[str, int] = {}  # what was cut off or widened to unknown, by kind
        self.low = 1 << 30
        self.rounds_exhausted = False
        self.mro_memo: dict[str, list] = {}
        self.returned_params: dict[str, frozenset] = {}
        # the records
        self.decorator_memo: dict[str, list[str]] = {}
        self.short_index: dict[str, list[Func]] | None = None

    def add_library(self, lib: str, path_text: str) -> None:
        for name, file, is_package, plain in library_files(lib, path_text):
            if name in self.modules:
                continue
            module = Module(name, file, is_package, plain)
            self.modules[name] = module
            parts = name.split(".")
            for i in range(1, len(parts)):
                self.prefixes.add(".".join(parts[:i]))
            parse_module(module)


def generate_call_graph(paths: Mapping[str, str | os.PathLike], stats: dict | None = None) -> dict:
    """Static call graph of the Python libraries at ``paths``, read without running them.

    ``paths`` maps a library's module name to its location: a package
    directory, a plain folder of modules, or one module file.  Every ``.py``
    file below is read (hidden folders and ``__pycache__`` are skipped); a
    module's name is the library name followed by its dotted path inside the
    location (``pkg/__init__.py`` is ``pkg``).

    The result has two maps:

    - "functions": full dotted name -> {"decorators", "resolved_decorators",
      "parameter_defaults", "resolved_parameter_defaults", "resolved_calls",
      "resolved_component_gets", "is_partial", "tags"};
    - "modules": module name -> {"path": source file, "errors": [texts]}:
      syntax errors, unreadable files, files that are not regular files and
      undecodable bytes are recorded there, never raised.

    The result is empty when no module could be parsed.

    ``stats``, when given, is filled with the size of the analysis and what
    it gave up to stay bounded: "modules", "functions", "sites", "widenings"
    (kind -> how many value sets widened to unknown or were cut off),
    "work_done" (items the work list followed), "budget_exhausted" and
    "branches_decided" (module and class ``if`` statements on environment
    variables of which only the branch an ordinary run takes was read).
    """
    if not isinstance(paths, Mapping):
        raise TypeError("paths must be a map from library module name to path, not " + type(paths).__name__)
    for lib, path in paths.items():
        if not isinstance(lib, str) or not isinstance(path, (str, os.PathLike)):
            raise TypeError("paths must map module names (str) to paths (str or os.PathLike)")
    # The trees hold many small objects: cyclic collections while they are
    # built and read would cost more than the analysis itself.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _generate(paths, stats)
    finally:
        if collecting:
            gc.enable()


def _generate(paths: Mapping, stats: dict | None) -> dict:
    analysis = Analysis()
    for lib, path in paths.items():
        analysis.add_library(lib, os.fspath(path))
    try:
        return _passes(analysis)
    finally:
        if stats is not None:
            stats.update(
                modules=len(analysis.modules),
                functions=len(analysis.funcs),
                sites=len(analysis.sites),
                widenings=dict(analysis.widenings),
                work_done=analysis.work_done,
                budget_exhausted=analysis.rounds_exhausted,
                branches_decided=analysis.branches_decided,
            )


def _passes(analysis: Analysis) -> dict:
    parsed = [m for m in analysis.modules.values() if m.tree is not None]
    if not parsed:
        return {}
    for module in parsed:
        analysis.read_module(module)
    analysis.property_reads()
    analysis.solve()
    per_module: dict[str, list[Func]] = {}
    for func in analysis.funcs.values():
        if not func.hidden:
            per_module.setdefault(func.module.name, []).append(func)
    functions = {}
    for name in analysis.modules:
        funcs = per_module.get(name, [])
        funcs.sort(key=lambda f: (f.node.lineno, f.node.col_offset, f.order))
        for func in funcs:
            functions[func.full] = analysis.output(func)
    modules = {m.name: {"path": m.path, "errors": list(m.errors)} for m in analysis.modules.values()}
    return {"functions": functions, "modules": modules}
