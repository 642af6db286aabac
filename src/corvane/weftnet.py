"""Static call graph of component libraries, read from their Python sources.

``generate_call_graph(paths)`` parses every module of the given libraries with
``ast`` and resolves names the way a careful reader of the source would: it
never imports or runs the analysed code.  ``corvane.core.weftnet`` turns the
result into the graph of cell factories.

How names are resolved:

- Module-level code is followed statement by statement (later bindings replace
  earlier ones; both branches of an ``if``/``try`` are kept), so decorators and
  parameter defaults see the bindings in force where the function is defined.
  Function bodies see the module's bindings as they stand at its end.
- Inside a function, a name assigned anywhere in it (a parameter, a local
  variable, a local import) is local and hides the module's name.  A closure
  sees the values its enclosing function leaves the name with when it exits.
- Decorators are transparent: a call of a decorated function is an edge to the
  function itself.
- A call of a class goes to its ``__init__``; ``self.m()``, ``super().m()`` and
  ``obj.m()`` (``obj`` an instance created, returned or stored where the reader
  can see it) go to the method found along the class hierarchy.  An unknown
  base class, a parameter, or an object whose type is not known leaves the call
  out rather than guessing.
- Only functions of the analysed libraries are listed as calls; calls into
  other libraries and builtins are not.
- A module-level ``name = functools.partial(func, ...)`` is recorded as a
  function of its own (``is_partial``) whose one call is ``func``; it carries
  ``func``'s decorators and tags (so a partial of a cell factory is a factory),
  and ``func``'s defaults updated with the bound arguments.
- Lambdas and comprehensions are not functions: inside a function their calls
  count as the function's, at module level they are ignored.
"""

from __future__ import annotations

import ast
import builtins
import gc
import os
from collections import deque
from pathlib import Path
from typing import Any, Iterable, Mapping

__all__ = ["CELL_DECORATORS", "generate_call_graph"]

# Decorator texts that mark a cell factory, as the call graph reads them.
CELL_DECORATORS = (
    "yaml",
    "pdk_device",
    "velloc.cell",
    "velloc._cell.cell",
    "velloc._cell.cell_with_module_name",
    "velloc.cell(...)",
    "velloc._cell.cell(...)",
    "velloc._cell.cell_with_module_name(...)",
)
_CELL_DECORATOR_SET = frozenset(CELL_DECORATORS)

# The layout library's getters of a component by name, and what names a PDK.
_COMPONENT_GETTERS = frozenset({"velloc.pdk.get_component", "velloc.get_component"})
_PDK_CLASSES = frozenset({"velloc.pdk.Pdk", "velloc.Pdk"})
_PDK_GETTERS = frozenset(
    {
        "velloc.pdk.get_active_pdk",
        "velloc.get_active_pdk",
        "corvane.core.pdk.get_pdk",
        "corvane.core.pdk.get_base_pdk",
    }
)
_PDK_OBJECTS = frozenset({"velloc.generic.PDK"})
_PARTIAL = "functools.partial"
# Decorators after which a call still returns what the function returns.
_RETURN_TRANSPARENT = _CELL_DECORATOR_SET | {
    "builtins.staticmethod",
    "builtins.classmethod",
    "functools.cache",
    "functools.lru_cache",
    "functools.lru_cache(...)",
}
_BUILTINS = frozenset(dir(builtins))
_MAX_LOOP_REPEAT_DEPTH = 3

# Abstract values are tuples; the first item is the kind.
#   ("M", module)             a module object
#   ("X", dotted)             something outside the analysed libraries
#   ("D", full_name)          an analysed function (or module-level partial)
#   ("C", full_name)          an analysed class
#   ("I", class_value)        an instance of ("C", ...) or ("X", ...)
#   ("P", frozenset)          a partial object calling the given values
#   ("S", frozenset)          super() inside the given classes
#   ("L",)                    a value that calls nothing (literal, lambda)
#   ("U",)                    unknown
# and symbolic ones, resolved once every module has been read:
#   ("R", module, attrs)      attribute path below an imported module
#   ("G", module, name)       a module's global name as it stands at its end
#   ("A", value, attr)        attribute of a value
#   ("K", callee, first_arg)  result of calling callee (first_arg: a value set)
#   ("H", annotation)         a parameter annotated with the given value set
#   ("Z", value_set)          super() with the given class values
_UNKNOWN = ("U",)
_LITERAL = ("L",)
_U = frozenset((_UNKNOWN,))
_L = frozenset((_LITERAL,))
_EMPTY: frozenset = frozenset()
_CONCRETE = frozenset("MXDCIPSLU")


def _error_text(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def _dotted(node: ast.AST) -> str | None:
    """``a.b.c`` for a name or attribute chain, else None."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name):
        return None
    parts.append(node.id)
    return ".".join(reversed(parts))


def _written(node: ast.AST) -> str:
    """A decorator as written: dotted text, a call as ``dotted(...)``."""
    if isinstance(node, ast.Call):
        func = _dotted(node.func)
        return (func if func is not None else ast.unparse(node.func)) + "(...)"
    text = _dotted(node)
    return text if text is not None else ast.unparse(node)


def _raw_default(node: ast.AST) -> Any:
    """A literal as its value, anything else (names, attributes, calls) as its source text."""
    if isinstance(node, (ast.Name, ast.Attribute)):
        return ast.unparse(node)
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return ast.unparse(node)


def _literal_text(node: ast.AST | None) -> str | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    return None


class _Module:
    __slots__ = (
        "name", "path", "file", "is_package", "package", "tree", "errors", "state",
        "top_names", "all_names", "star_sources", "global_assigned", "exports", "scopes",
        "plain_root",
    )

    def __init__(self, name: str, file: Path, is_package: bool, plain_root: str | None) -> None:
        self.name = name
        # the library's name when its folder is not a package: modules there
        # import each other by their bare names, as scripts beside each other do
        self.plain_root = plain_root
        self.file = file
        self.path = str(file)
        self.is_package = is_package
        self.package = name if is_package else name.rpartition(".")[0]
        self.tree: ast.Module | None = None
        self.errors: list[str] = []
        self.state: dict[str, frozenset] = {}
        self.top_names: list[str] = []
        self.all_names: list[str] | None = None
        self.star_sources: list[str | None] = []
        self.global_assigned: set[str] = set()
        self.exports: list[str] | None = None
        self.scopes: dict[int, _ScopeNames] = {}


class _Func:
    __slots__ = (
        "full", "module", "node", "order", "written", "decorators", "params",
        "defaults", "sites", "returns", "is_partial", "wrapped", "bound_args",
        "bound_kwargs", "generator", "output",
    )

    def __init__(self, full: str, module: _Module, node: ast.AST, order: int) -> None:
        self.full = full
        self.module = module
        self.node = node
        self.order = order
        self.written: list[str] = []
        # per decorator: (written text, value set of the decorator (its callee for a call),
        #                 is a call, tags node or None)
        self.decorators: list[tuple[str, frozenset, bool, ast.AST | None]] = []
        self.params: list[str] = []  # positional parameter names, in order
        # parameter -> (raw default, value set when the default is a name, else None)
        self.defaults: dict[str, tuple[Any, frozenset | None]] = {}
        # call sites: (callee values, literal first argument, values of `x` in `x.get_component`)
        self.sites: list[tuple[frozenset, str | None, frozenset | None]] = []
        self.returns: set = set()
        self.is_partial = False
        self.wrapped: frozenset = _EMPTY
        self.bound_args: list[ast.AST] = []
        self.bound_kwargs: list[tuple[str, Any, frozenset | None]] = []
        self.generator = False
        self.output: dict | None = None


class _Class:
    __slots__ = ("full", "bases", "namespace", "instance_attrs")

    def __init__(self, full: str, bases: list[frozenset]) -> None:
        self.full = full
        self.bases = bases
        self.namespace: dict[str, frozenset] = {}
        self.instance_attrs: dict[str, set] = {}


# --- scopes -----------------------------------------------------------------------------


class _ModuleScope:
    kind = "module"

    def __init__(self, module: _Module) -> None:
        self.module = module
        self.state: dict[str, frozenset] = {}
        self.owner: _Func | None = None
        self.prefix = module.name + "."
        self.loop_depth = 0
        self.has_external_star = False

    def lookup(self, name: str) -> frozenset:
        value = self.state.get(name)
        if value is not None:
            return value
        if self.has_external_star:
            return _U
        return frozenset((("X", "builtins." + name),)) if name in _BUILTINS else _U

    def bind(self, name: str, values: frozenset) -> None:
        self.state[name] = values

    bind_walrus = bind


class _ClassScope:
    kind = "class"

    def __init__(self, parent, cls: _Class) -> None:
        self.parent = parent
        self.module = parent.module
        self.cls = cls
        self.state: dict[str, frozenset] = {}
        self.owner = parent.owner
        self.prefix = cls.full + "."
        self.loop_depth = parent.loop_depth

    def lookup(self, name: str) -> frozenset:
        value = self.state.get(name)
        return value if value is not None else self.parent.lookup(name)

    def bind(self, name: str, values: frozenset) -> None:
        self.state[name] = values

    bind_walrus = bind


class _FunctionScope:
    kind = "function"

    def __init__(self, parent, func: _Func, cls: str | None) -> None:
        self.parent = parent  # the nearest enclosing function or module scope
        self.module = parent.module
        self.owner = func
        self.cls = cls  # the class the function is defined in, for super()
        self.prefix = func.full + "."
        self.state: dict[str, frozenset] = {}
        self.all_values: dict[str, frozenset] = {}
        self.exit_state: dict[str, frozenset] | None = None
        self.locals: set[str] = _EMPTY
        self.globals: set[str] = _EMPTY
        self.nonlocals: set[str] = _EMPTY
        self.loop_depth = 0

    def lookup(self, name: str) -> frozenset:
        if name in self.globals:
            return frozenset((("G", self.module.name, name),))
        if name in self.locals:
            return self.state.get(name, _EMPTY)
        return _free_lookup(self.parent, name)

    def bind(self, name: str, values: frozenset) -> None:
        if name in self.globals:
            self.module.global_assigned.add(name)
            return
        if name in self.nonlocals:
            _mark_nonlocal(self.parent, name)
            return
        self.state[name] = values
        self.all_values[name] = self.all_values.get(name, _EMPTY) | values

    bind_walrus = bind


def _free_lookup(scope, name: str) -> frozenset:
    """A free name of a nested function: every value the enclosing function gives it."""
    while scope.kind == "function":
        if name in scope.globals:
            break
        if name in scope.locals and name not in scope.nonlocals:
            # Closures run late, mostly after the function has returned.
            if scope.exit_state is not None and name in scope.exit_state:
                return scope.exit_state[name]
            return scope.all_values.get(name, _EMPTY)
        scope = scope.parent
    return frozenset((("G", scope.module.name, name),))


def _mark_nonlocal(scope, name: str) -> None:
    while scope.kind == "function":
        if name in scope.locals and name not in scope.nonlocals:
            scope.all_values[name] = scope.all_values.get(name, _EMPTY) | _U
            return
        scope = scope.parent


class _InlineScope:
    """A lambda or comprehension: own names, everything else from the enclosing scope."""

    kind = "inline"

    def __init__(self, parent, names: Iterable[str]) -> None:
        self.parent = parent
        self.module = parent.module
        self.owner = parent.owner
        self.prefix = parent.prefix
        self.loop_depth = parent.loop_depth
        self.names = set(names)
        self.state: dict[str, frozenset] = {}

    def lookup(self, name: str) -> frozenset:
        if name in self.names:
            return self.state.get(name, _U)
        return self.parent.lookup(name)

    def bind(self, name: str, values: frozenset) -> None:
        if name in self.names:
            self.state[name] = values
        else:
            self.parent.bind_walrus(name, values)

    def bind_walrus(self, name: str, values: frozenset) -> None:
        self.parent.bind_walrus(name, values)


# --- name collection --------------------------------------------------------------------


def _target_names(target: ast.AST, out: list[str]) -> None:
    stack = [target]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.Name):
            out.append(node.id)
        elif isinstance(node, (ast.Tuple, ast.List)):
            stack.extend(reversed(node.elts))
        elif isinstance(node, ast.Starred):
            stack.append(node.value)


_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.GeneratorExp, ast.DictComp)


class _ScopeNames:
    """Names a function binds (its locals) and declares global or nonlocal."""

    __slots__ = ("locals", "globals", "nonlocals", "walrus")

    def __init__(self, walrus: _ScopeNames | None = None) -> None:
        self.locals: set[str] = set()
        self.globals: set[str] = set()
        self.nonlocals: set[str] = set()
        # where an assignment expression binds: the scope itself, or for a
        # comprehension the nearest enclosing function-like scope
        self.walrus = walrus if walrus is not None else self


def _scan_scopes(tree: ast.Module, walrus: bool) -> dict[int, _ScopeNames]:
    """One pass over a module's statements: the names of every function scope, keyed by the
    def's id.  Only assignment expressions bind names inside expressions; the expressions
    are searched for them when the module has any (``walrus``)."""
    found: dict[int, _ScopeNames] = {}
    stack: list[tuple[ast.AST, _ScopeNames]] = [(n, _ScopeNames()) for n in tree.body]
    push = stack.append
    while stack:
        node, scope = stack.pop()
        t = type(node)
        names = scope.locals
        if walrus:
            _walrus_targets(node, names)
        if t is ast.Assign:
            for target in node.targets:
                if type(target) is ast.Name:
                    names.add(target.id)
                else:
                    _target_set(target, names)
        elif t is ast.Expr or t is ast.Return or t is ast.Pass:
            continue
        elif t is ast.FunctionDef or t is ast.AsyncFunctionDef:
            names.add(node.name)
            inner = found[id(node)] = _ScopeNames()
            args = node.args
            for a in (*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg):
                if a is not None:
                    inner.locals.add(a.arg)
            for n in node.body:
                push((n, inner))
        elif t is ast.ClassDef:
            names.add(node.name)
            inner = _ScopeNames()
            for n in node.body:
                push((n, inner))
        elif t is ast.If or t is ast.While:
            for n in node.body:
                push((n, scope))
            for n in node.orelse:
                push((n, scope))
        elif t is ast.For or t is ast.AsyncFor:
            _target_set(node.target, names)
            for n in (*node.body, *node.orelse):
                push((n, scope))
        elif t is ast.AugAssign or t is ast.AnnAssign:
            _target_set(node.target, names)
        elif t is ast.With or t is ast.AsyncWith:
            for item in node.items:
                if item.optional_vars is not None:
                    _target_set(item.optional_vars, names)
            for n in node.body:
                push((n, scope))
        elif t is ast.Import or t is ast.ImportFrom:
            for alias in node.names:
                if alias.name != "*":
                    names.add(alias.asname or alias.name.partition(".")[0])
        elif t in _TRY_TYPES:
            for handler in node.handlers:
                if handler.name:
                    names.add(handler.name)
                for n in handler.body:
                    push((n, scope))
            for n in (*node.body, *node.orelse, *node.finalbody):
                push((n, scope))
        elif t is ast.Global:
            scope.globals.update(node.names)
        elif t is ast.Nonlocal:
            scope.nonlocals.update(node.names)
        elif t is ast.Delete:
            for target in node.targets:
                _target_set(target, names)
        elif t is ast.Match:
            for case in node.cases:
                for sub in ast.walk(case.pattern):
                    if type(sub) in (ast.MatchAs, ast.MatchStar) and sub.name:
                        names.add(sub.name)
                    elif type(sub) is ast.MatchMapping and sub.rest:
                        names.add(sub.rest)
                for n in case.body:
                    push((n, scope))
    for names in found.values():
        names.locals -= names.globals
        names.locals -= names.nonlocals
    return found


def _walrus_targets(stmt: ast.stmt, names: set[str]) -> None:
    """Targets of assignment expressions in a statement's own expressions (a comprehension's
    bind in the enclosing scope too; a lambda's stay in the lambda)."""
    for field in stmt._fields:
        value = getattr(stmt, field, None)
        for item in value if type(value) is list else (value,):
            if not isinstance(item, ast.expr):
                continue
            stack = [item]
            while stack:
                node = stack.pop()
                if type(node) is ast.NamedExpr:
                    names.add(node.target.id)
                if type(node) is not ast.Lambda:
                    stack.extend(ast.iter_child_nodes(node))


def _target_set(target: ast.AST, names: set[str]) -> None:
    found: list[str] = []
    _target_names(target, found)
    names.update(found)


def _scan_module(module: _Module) -> None:
    """Top-level names, ``__all__`` and star-import sources, read before any resolution."""
    names: list[str] = []
    all_names: list[str] | None = None
    stack: list[ast.AST] = list(reversed(module.tree.body))
    while stack:
        n = stack.pop()
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.append(n.name)
        elif isinstance(n, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            targets = n.targets if isinstance(n, ast.Assign) else [n.target]
            for t in targets:
                _target_names(t, names)
                if isinstance(t, ast.Name) and t.id == "__all__" and n.value is not None:
                    try:
                        value = ast.literal_eval(n.value)
                    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
                        continue
                    if isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
                        if isinstance(n, ast.AugAssign):
                            all_names = (all_names or []) + list(value)
                        else:
                            all_names = list(value)
        elif isinstance(n, ast.Import):
            names.extend(a.asname or a.name.partition(".")[0] for a in n.names)
        elif isinstance(n, ast.ImportFrom):
            for a in n.names:
                if a.name == "*":
                    module.star_sources.append(_absolute(module, n.module, n.level))
                else:
                    names.append(a.asname or a.name)
        elif isinstance(n, (ast.For, ast.AsyncFor, ast.With, ast.AsyncWith)):
            if isinstance(n, (ast.For, ast.AsyncFor)):
                _target_names(n.target, names)
            else:
                for item in n.items:
                    if item.optional_vars is not None:
                        _target_names(item.optional_vars, names)
            stack.extend(reversed(n.body))
            stack.extend(reversed(getattr(n, "orelse", [])))
        elif isinstance(n, (ast.If, ast.While)):
            stack.extend(reversed(n.body))
            stack.extend(reversed(n.orelse))
        elif isinstance(n, (ast.Try, getattr(ast, "TryStar", ast.Try))):
            for part in (n.body, *(h.body for h in n.handlers), n.orelse, n.finalbody):
                stack.extend(reversed(part))
        elif isinstance(n, ast.Expr) and isinstance(n.value, ast.Call):
            # __all__.extend([...]) / __all__ += [...]
            call = n.value
            if (
                isinstance(call.func, ast.Attribute)
                and call.func.attr == "extend"
                and isinstance(call.func.value, ast.Name)
                and call.func.value.id == "__all__"
                and len(call.args) == 1
            ):
                try:
                    value = ast.literal_eval(call.args[0])
                except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
                    continue
                if isinstance(value, (list, tuple)):
                    all_names = (all_names or []) + [v for v in value if isinstance(v, str)]
    module.top_names = names
    module.all_names = all_names


def _absolute(module: _Module, name: str | None, level: int) -> str | None:
    """The absolute module name of an import; None when a relative one leaves the top package."""
    if not level:
        return name
    parts = module.package.split(".") if module.package else []
    if level - 1 > len(parts) or (level - 1 == len(parts) and not name):
        return None
    base = parts[: len(parts) - (level - 1)]
    if name:
        base.append(name)
    return ".".join(base) if base else None


# --- the analysis -----------------------------------------------------------------------


class _Analysis:
    def __init__(self) -> None:
        self.modules: dict[str, _Module] = {}
        self.prefixes: set[str] = set()  # package names holding analysed modules
        self.funcs: dict[str, _Func] = {}
        self.classes: dict[str, _Class] = {}
        # attribute assignments on other objects: (object values, attribute, values)
        self.stores: list[tuple[frozenset, str, frozenset]] = []
        self.done_defs: dict[int, str] = {}
        self.queue: deque[tuple[ast.AST, _Func, Any, str | None]] = deque()
        self.memo: dict[tuple, frozenset] = {}
        self.mro_memo: dict[str, list] = {}
        self.active: set = set()
        self.order = 0
        self.short_index: dict[str, list[_Func]] | None = None

    # discovery and parsing -------------------------------------------------------------

    def add_library(self, lib: str, path_text: str) -> None:
        root = Path(path_text)
        if root.is_file():
            self._add_module(lib, root, root.name == "__init__.py", None)
            return
        if not root.is_dir():
            return
        plain = None if (root / "__init__.py").is_file() else lib
        for folder, dirs, files in os.walk(root):
            # Only what an import can name: no hidden folders, caches or dotted file names.
            dirs[:] = sorted(d for d in dirs if d.isidentifier() and d != "__pycache__")
            rel = Path(folder).relative_to(root).parts
            files = sorted(f for f in files if f.endswith(".py") and f[:-3].isidentifier())
            if "__init__.py" in files:
                files.remove("__init__.py")
                files.insert(0, "__init__.py")
            for f in files:
                stem = f[:-3]
                parts = rel if stem == "__init__" else (*rel, stem)
                self._add_module(
                    ".".join((lib, *parts)), Path(folder) / f, stem == "__init__", plain
                )

    def _add_module(self, name: str, file: Path, is_package: bool, plain: str | None) -> None:
        if name in self.modules:
            return
        module = _Module(name, file, is_package, plain)
        self.modules[name] = module
        parts = name.split(".")
        for i in range(1, len(parts)):
            self.prefixes.add(".".join(parts[:i]))
        try:
            source = file.read_bytes()
        except OSError as exc:
            module.errors.append(_error_text(exc))
            return
        try:
            module.tree = ast.parse(source, filename=str(file))
        except (SyntaxError, ValueError, MemoryError, RecursionError) as exc:
            module.errors.append(_error_text(exc))
            return
        _scan_module(module)
        module.scopes = _scan_scopes(module.tree, b":=" in source)

    def exports(self, module: _Module, seen: set[str] | None = None) -> list[str]:
        """Names a star import of the module binds."""
        if module.exports is not None:
            return module.exports
        if module.all_names is not None:
            module.exports = module.all_names
            return module.exports
        seen = seen or set()
        seen.add(module.name)
        names = [n for n in module.top_names if not n.startswith("_")]
        for source in module.star_sources:
            other = self.modules.get(source) if source else None
            if other is not None and other.tree is not None and other.name not in seen:
                names.extend(self.exports(other, seen))
        module.exports = list(dict.fromkeys(names))
        return module.exports

    # reading code ------------------------------------------------------------------------

    def read_module(self, module: _Module) -> None:
        scope = _ModuleScope(module)
        try:
            self.run(module.tree.body, scope)
        except RecursionError:
            module.errors.append("RecursionError: module code nested too deeply to analyse")
        except Exception as exc:  # never let one odd module stop the others
            module.errors.append("analysis stopped: " + _error_text(exc))
        module.state = scope.state
        while self.queue:
            node, func, parent, cls = self.queue.popleft()
            try:
                self.read_function(node, func, parent, cls)
            except RecursionError:
                module.errors.append("RecursionError: " + func.full + " nested too deeply to analyse")
            except Exception as exc:
                module.errors.append("analysis of " + func.full + " stopped: " + _error_text(exc))

    def read_function(self, node, func: _Func, parent, cls: str | None) -> None:
        scope = _FunctionScope(parent, func, cls)
        names = parent.module.scopes[id(node)]
        scope.locals = names.locals
        scope.globals = names.globals
        scope.nonlocals = names.nonlocals
        args = node.args
        positional = [*args.posonlyargs, *args.args]
        for a in positional + args.kwonlyargs:
            scope.state[a.arg] = self._param_value(a, parent)
        for a in (args.vararg, args.kwarg):
            if a is not None:
                scope.state[a.arg] = _U
        if cls is not None and positional:
            first = positional[0].arg
            kinds = {d[0] for d in func.decorators}
            if "staticmethod" in kinds:
                pass
            elif "classmethod" in kinds or node.name in ("__new__", "__init_subclass__", "__class_getitem__"):
                scope.state[first] = frozenset((("C", cls),))
            else:
                scope.state[first] = frozenset((("I", ("C", cls)),))
        for name, value in scope.state.items():
            scope.all_values[name] = value
        if self.run(node.body, scope):
            func.returns.add(_LITERAL)
            scope.exit_state = _join([scope.exit_state, scope.state]) if scope.exit_state else scope.state
        if isinstance(node, ast.AsyncFunctionDef) or func.generator:
            func.returns = {_UNKNOWN}

    def _param_value(self, arg: ast.arg, parent) -> frozenset:
        ann = arg.annotation
        if ann is None:
            return _U
        if isinstance(ann, ast.Constant) and isinstance(ann.value, str):
            try:
                ann = ast.parse(ann.value, mode="eval").body
            except SyntaxError:
                return _U
        if _dotted(ann) is None:
            return _U
        return frozenset((("H", self.ev(ann, parent)),))

    def run(self, body: list[ast.stmt], scope) -> bool:
        """Interpret statements; False when control cannot fall off their end."""
        for stmt in body:
            handler = self._stmt.get(type(stmt))
            if handler is None:
                self._generic_stmt(stmt, scope)
            elif handler(self, stmt, scope) is False:
                return False
        return True

    def _generic_stmt(self, stmt, scope) -> None:
        for child in ast.iter_child_nodes(stmt):
            if isinstance(child, ast.expr):
                self.ev(child, scope)
            elif isinstance(child, ast.stmt):
                self.run([child], scope)

    def _s_expr(self, stmt: ast.Expr, scope) -> None:
        self.ev(stmt.value, scope)

    def _s_return(self, stmt: ast.Return, scope) -> bool:
        value = self.ev(stmt.value, scope) if stmt.value is not None else _L
        if scope.kind == "function":
            scope.owner.returns.update(value)
            scope.exit_state = _join([scope.exit_state, scope.state]) if scope.exit_state else dict(scope.state)
        return False

    def _s_raise(self, stmt: ast.Raise, scope) -> bool:
        if stmt.exc is not None:
            self.ev(stmt.exc, scope)
        if stmt.cause is not None:
            self.ev(stmt.cause, scope)
        return False

    def _s_jump(self, stmt, scope) -> None:
        # break/continue: the state flows on (after or around the loop).
        return None

    def _s_pass(self, stmt, scope) -> None:
        return None

    def _s_assign(self, stmt, scope) -> None:
        value_node = stmt.value
        if value_node is None:  # a bare annotation binds nothing
            return
        if isinstance(stmt, ast.AugAssign):
            self.ev(value_node, scope)
            self._assign_target(stmt.target, _U, scope)
            return
        targets = stmt.targets if isinstance(stmt, ast.Assign) else [stmt.target]
        if scope.kind == "module" and isinstance(value_node, ast.Call):
            callee = self.ev(value_node.func, scope)
            if callee == frozenset((("R", "functools", ("partial",)),)) and value_node.args:
                names = [t.id for t in targets if isinstance(t, ast.Name)]
                if names and len(names) == len(targets):
                    self._module_partial(stmt, value_node, names, scope)
                    return
            values = self._call(value_node, scope, callee)
        elif isinstance(value_node, (ast.Tuple, ast.List)) and not any(
            isinstance(e, ast.Starred) for e in value_node.elts
        ):
            parts = [self.ev(e, scope) for e in value_node.elts]
            for target in targets:
                if isinstance(target, (ast.Tuple, ast.List)) and len(target.elts) == len(parts):
                    for t, v in zip(target.elts, parts):
                        self._assign_target(t, v, scope)
                else:
                    self._assign_target(target, _L, scope)
            return
        else:
            values = self.ev(value_node, scope)
        for target in targets:
            self._assign_target(target, values, scope)

    def _assign_target(self, target, values: frozenset, scope) -> None:
        if isinstance(target, ast.Name):
            scope.bind(target.id, values)
        elif isinstance(target, (ast.Tuple, ast.List)):
            for elt in target.elts:
                self._assign_target(elt, _U, scope)
        elif isinstance(target, ast.Starred):
            self._assign_target(target.value, _L, scope)
        elif isinstance(target, ast.Attribute):
            base = self.ev(target.value, scope)
            if scope.kind == "function" and len(base) == 1:
                (b,) = base
                if b[0] == "I" and b[1][0] == "C" and b[1][1] == scope.cls:
                    attrs = self.classes[scope.cls].instance_attrs
                    attrs.setdefault(target.attr, set()).update(values)
                    return
            self.stores.append((base, target.attr, values))
        elif isinstance(target, ast.Subscript):
            self.ev(target.value, scope)
            self.ev(target.slice, scope)

    def _module_partial(self, stmt, call: ast.Call, names: list[str], scope) -> None:
        module = scope.module
        wrapped = self.ev(call.args[0], scope)
        for arg in call.args[1:]:
            self.ev(arg, scope)
        kwargs = []
        for kw in call.keywords:
            value = self.ev(kw.value, scope)
            if kw.arg is None:
                continue
            named = value if isinstance(kw.value, (ast.Name, ast.Attribute)) else None
            kwargs.append((kw.arg, _raw_default(kw.value), named))
        for name in names:
            full = module.name + "." + name
            func = self._new_func(full, module, stmt)
            func.is_partial = True
            func.wrapped = wrapped
            func.bound_args = call.args[1:]
            func.bound_kwargs = kwargs
            scope.bind(name, frozenset((("D", full),)))

    def _s_delete(self, stmt: ast.Delete, scope) -> None:
        for target in stmt.targets:
            if isinstance(target, ast.Name):
                scope.bind(target.id, _EMPTY)
            else:
                self._assign_target(target, _U, scope)

    def _known(self, name: str) -> bool:
        return name in self.modules or name in self.prefixes

    def _imported(self, name: str, module: _Module) -> str:
        """The module an absolute import names: a sibling in a plain library folder if not known."""
        if module.plain_root and not self._known(name.partition(".")[0]):
            local = module.plain_root + "." + name
            if self._known(local):
                return local
        return name

    def _s_import(self, stmt: ast.Import, scope) -> None:
        for alias in stmt.names:
            name = self._imported(alias.name, scope.module)
            if alias.asname:
                scope.bind(alias.asname, frozenset((("M", name),)))
            else:
                top = alias.name.partition(".")[0]
                scope.bind(top, frozenset((("M", name[: len(name) - len(alias.name) + len(top)]),)))

    def _s_import_from(self, stmt: ast.ImportFrom, scope) -> None:
        source = _absolute(scope.module, stmt.module, stmt.level)
        if source is not None and not stmt.level:
            source = self._imported(source, scope.module)
        for alias in stmt.names:
            if alias.name == "*":
                other = self.modules.get(source) if source else None
                if other is None or other.tree is None:
                    if scope.kind == "module":
                        scope.has_external_star = True
                    continue
                for name in self.exports(other):
                    scope.bind(name, frozenset((("R", source, (name,)),)))
                continue
            name = alias.asname or alias.name
            if source is None:
                scope.bind(name, _U)
            else:
                scope.bind(name, frozenset((("R", source, (alias.name,)),)))

    def _s_if(self, stmt: ast.If, scope) -> None:
        self.ev(stmt.test, scope)
        return self._branches(scope, [stmt.body, stmt.orelse])

    def _branches(self, scope, bodies: list[list[ast.stmt]], start: dict | None = None):
        entry = dict(scope.state) if start is None else start
        ends = []
        live = False
        for body in bodies:
            scope.state = dict(entry)
            if self.run(body, scope):
                live = True
                ends.append(scope.state)
        if not ends:
            scope.state = entry
            return False
        scope.state = _join(ends)
        return None if live else False

    def _s_loop(self, stmt, scope) -> None:
        is_for = isinstance(stmt, (ast.For, ast.AsyncFor))
        if is_for:
            items = self._iter_values(stmt.iter, scope)
        else:
            self.ev(stmt.test, scope)
        entry = dict(scope.state)
        repeat = scope.loop_depth < _MAX_LOOP_REPEAT_DEPTH
        scope.loop_depth += 1
        try:
            for round_ in range(2 if repeat else 1):
                if is_for:
                    self._assign_target(stmt.target, items, scope)
                self.run(stmt.body, scope)
                after = _join([entry, scope.state])
                if round_ == 0 and after == entry:
                    break
                scope.state = after
                entry = after
        finally:
            scope.loop_depth -= 1
        scope.state = _join([entry, scope.state])
        self.run(stmt.orelse, scope)

    def _iter_values(self, node, scope) -> frozenset:
        if isinstance(node, (ast.Tuple, ast.List, ast.Set)) and not any(
            isinstance(e, ast.Starred) for e in node.elts
        ):
            values = _EMPTY
            for e in node.elts:
                values = values | self.ev(e, scope)
            return values or _U
        self.ev(node, scope)
        return _U

    def _s_with(self, stmt, scope) -> None:
        for item in stmt.items:
            self.ev(item.context_expr, scope)
            if item.optional_vars is not None:
                self._assign_target(item.optional_vars, _U, scope)
        return None if self.run(stmt.body, scope) else False

    def _s_try(self, stmt, scope) -> None:
        entry = dict(scope.state)
        body_live = self.run(stmt.body, scope)
        body_end = scope.state
        ends = []
        if body_live:
            scope.state = dict(body_end)
            if self.run(stmt.orelse, scope):
                ends.append(scope.state)
        handler_entry = _join([entry, body_end])
        for handler in stmt.handlers:
            scope.state = dict(handler_entry)
            if handler.type is not None:
                self.ev(handler.type, scope)
            if handler.name:
                scope.bind(handler.name, _U)
            if self.run(handler.body, scope):
                ends.append(scope.state)
        scope.state = _join(ends) if ends else handler_entry
        if stmt.finalbody:
            if not self.run(stmt.finalbody, scope):
                return False
        return None if ends else False

    def _s_match(self, stmt, scope) -> None:
        self.ev(stmt.subject, scope)
        entry = dict(scope.state)
        ends = []
        for case in stmt.cases:
            scope.state = dict(entry)
            for sub in ast.walk(case.pattern):
                if isinstance(sub, (ast.MatchAs, ast.MatchStar)) and sub.name:
                    scope.bind(sub.name, _U)
                elif isinstance(sub, ast.MatchMapping) and sub.rest:
                    scope.bind(sub.rest, _U)
            if case.guard is not None:
                self.ev(case.guard, scope)
            if self.run(case.body, scope):
                ends.append(scope.state)
        ends.append(entry)
        scope.state = _join(ends)

    def _s_global(self, stmt, scope) -> None:
        return None

    def _s_function(self, node, scope) -> None:
        full = scope.prefix + node.name
        known = self.done_defs.get(id(node))
        if known is not None:
            scope.bind(node.name, frozenset((("D", known),)))
            return
        func = self._new_func(full, scope.module, node)
        self.done_defs[id(node)] = full
        for dec in node.decorator_list:
            func.written.append(_written(dec))
            if isinstance(dec, ast.Call):
                callee = self.ev(dec.func, scope)
                self._call(dec, scope, callee)
                tags = next((k.value for k in dec.keywords if k.arg == "tags"), None)
                func.decorators.append((_dotted(dec.func) or "", callee, True, tags))
            else:
                values = self.ev(dec, scope)
                if scope.owner is not None:  # applying it is a call made by the enclosing function
                    scope.owner.sites.append((values, None, None))
                func.decorators.append((_dotted(dec) or "", values, False, None))
        args = node.args
        positional = [*args.posonlyargs, *args.args]
        func.params = [a.arg for a in positional]
        pairs = list(zip(positional[len(positional) - len(args.defaults):], args.defaults))
        pairs += [(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
        for arg, default in pairs:
            value = self.ev(default, scope)
            named = value if isinstance(default, (ast.Name, ast.Attribute)) else None
            func.defaults[arg.arg] = (_raw_default(default), named)
        cls = scope.cls.full if scope.kind == "class" else None
        parent = scope
        while parent.kind in ("class", "inline"):
            parent = parent.parent
        self.queue.append((node, func, parent, cls))
        scope.bind(node.name, frozenset((("D", full),)))

    def _new_func(self, full: str, module: _Module, node) -> _Func:
        func = self.funcs.get(full)
        self.order += 1
        if func is None:
            func = _Func(full, module, node, self.order)
            self.funcs[full] = func
            return func
        # A redefinition under the same name: its calls add to the earlier ones'.
        merged = _Func(full, module, node, func.order)
        merged.sites = func.sites
        merged.returns = func.returns
        self.funcs[full] = merged
        return merged

    def _s_class(self, node: ast.ClassDef, scope) -> None:
        full = scope.prefix + node.name
        if id(node) in self.done_defs:
            scope.bind(node.name, frozenset((("C", full),)))
            return
        self.done_defs[id(node)] = full
        for dec in node.decorator_list:
            values = self.ev(dec, scope)
            if scope.owner is not None:
                scope.owner.sites.append((values, None, None))
        bases = [self.ev(b, scope) for b in node.bases]
        for kw in node.keywords:
            self.ev(kw.value, scope)
        cls = self.classes.get(full)
        if cls is None:
            cls = self.classes[full] = _Class(full, bases)
        else:
            cls.bases = bases
        body_scope = _ClassScope(scope, cls)
        self.run(node.body, body_scope)
        cls.namespace = body_scope.state
        scope.bind(node.name, frozenset((("C", full),)))

    _stmt = {
        ast.Expr: _s_expr,
        ast.Return: _s_return,
        ast.Raise: _s_raise,
        ast.Break: _s_jump,
        ast.Continue: _s_jump,
        ast.Pass: _s_pass,
        ast.Assign: _s_assign,
        ast.AnnAssign: _s_assign,
        ast.AugAssign: _s_assign,
        ast.Delete: _s_delete,
        ast.Import: _s_import,
        ast.ImportFrom: _s_import_from,
        ast.If: _s_if,
        ast.For: _s_loop,
        ast.AsyncFor: _s_loop,
        ast.While: _s_loop,
        ast.With: _s_with,
        ast.AsyncWith: _s_with,
        ast.Try: _s_try,
        ast.Match: _s_match,
        ast.Global: _s_global,
        ast.Nonlocal: _s_global,
        ast.FunctionDef: _s_function,
        ast.AsyncFunctionDef: _s_function,
        ast.ClassDef: _s_class,
    }
    if hasattr(ast, "TryStar"):
        _stmt[ast.TryStar] = _s_try

    # expressions -------------------------------------------------------------------------

    def ev(self, node: ast.expr, scope) -> frozenset:
        """The values an expression may have; records the calls in it for the current function."""
        t = type(node)
        if t is ast.Name:
            return scope.lookup(node.id)
        if t is ast.Attribute:
            chain = []
            while type(node) is ast.Attribute:
                chain.append(node.attr)
                node = node.value
            values = self.ev(node, scope)
            for attr in reversed(chain):
                values = frozenset(_attr_of(v, attr) for v in values)
            return values
        if t is ast.Call:
            return self._call(node, scope, None)
        if t is ast.Constant:
            return _L
        if t is ast.Lambda:
            args = node.args
            for d in (*args.defaults, *args.kw_defaults):
                if d is not None:
                    self.ev(d, scope)
            if scope.owner is not None:
                params = [a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs)]
                params += [a.arg for a in (args.vararg, args.kwarg) if a is not None]
                self.ev(node.body, _InlineScope(scope, params))
            return _L
        if t is ast.IfExp:
            self.ev(node.test, scope)
            return self.ev(node.body, scope) | self.ev(node.orelse, scope)
        if t is ast.BoolOp:
            values = _EMPTY
            for v in node.values:
                values = values | self.ev(v, scope)
            return values
        if t is ast.NamedExpr:
            values = self.ev(node.value, scope)
            scope.bind_walrus(node.target.id, values)
            return values
        if t in _COMPREHENSION_TYPES:
            self._comprehension(node, scope)
            return _L
        # Anything else: walk it (without recursion through operator chains) for its calls.
        stack = [node]
        while stack:
            n = stack.pop()
            if type(n) in _YIELDS and scope.kind == "function":
                scope.owner.generator = True
            if type(n) in _OPAQUE_TYPES:
                for child in ast.iter_child_nodes(n):
                    if isinstance(child, ast.expr):
                        stack.append(child)
                    elif isinstance(child, (ast.keyword, ast.comprehension)):
                        stack.append(child.value if isinstance(child, ast.keyword) else child)
            elif isinstance(n, ast.expr):
                self.ev(n, scope)
        return _L if t in _LITERAL_TYPES else _U

    def _comprehension(self, node, scope) -> None:
        names: list[str] = []
        for gen in node.generators:
            _target_names(gen.target, names)
        inner = _InlineScope(scope, names)
        for i, gen in enumerate(node.generators):
            items = self._iter_values(gen.iter, scope if i == 0 else inner)
            self._assign_target(gen.target, items, inner)
            for cond in gen.ifs:
                self.ev(cond, inner)
        if isinstance(node, ast.DictComp):
            self.ev(node.key, inner)
            self.ev(node.value, inner)
        else:
            self.ev(node.elt, inner)

    def _call(self, node: ast.Call, scope, callee: frozenset | None) -> frozenset:
        func = node.func
        receiver = None
        is_super = False
        if callee is None:
            if type(func) is ast.Name and func.id == "super" and self._is_builtin("super", scope):
                is_super = True
            elif type(func) is ast.Attribute:
                receiver = self.ev(func.value, scope)
                callee = frozenset(_attr_of(v, func.attr) for v in receiver)
            else:
                callee = self.ev(func, scope)
        arg_values = [self.ev(arg, scope) for arg in node.args]
        first = None
        for kw in node.keywords:
            self.ev(kw.value, scope)
            if kw.arg == "cell_name":
                first = _literal_text(kw.value)
        if node.args and not isinstance(node.args[0], ast.Starred):
            first = _literal_text(node.args[0])
        if is_super:
            if not node.args and scope.kind == "function" and scope.cls is not None:
                return frozenset((("S", frozenset((scope.cls,))),))
            if len(arg_values) == 2:
                return frozenset((("Z", arg_values[0]),))
            return _U
        if scope.owner is not None:
            get_base = receiver if receiver is not None and func.attr == "get_component" else None
            scope.owner.sites.append((callee, first, get_base))
        if _UNKNOWN in callee or not callee:
            return _U
        first_values = arg_values[0] if arg_values else _EMPTY
        return frozenset(("K", v, first_values) for v in callee if v != _LITERAL) or _U

    def _is_builtin(self, name: str, scope) -> bool:
        values = scope.lookup(name)
        if values == frozenset((("X", "builtins." + name),)):
            return True
        return values == frozenset((("G", scope.module.name, name),)) and (
            name not in scope.module.top_names
        )

    # resolution --------------------------------------------------------------------------

    def norm(self, values: Iterable) -> frozenset:
        out: set = set()
        for v in values:
            if v[0] in _CONCRETE:
                out.add(v)
            else:
                out |= self._norm_one(v)
        return frozenset(out)

    def _norm_one(self, v) -> frozenset:
        cached = self.memo.get(v)
        if cached is not None:
            return cached
        if v in self.active:
            return _U
        self.active.add(v)
        try:
            result = self._resolve(v)
        finally:
            self.active.discard(v)
        self.memo[v] = result
        return result

    def _resolve(self, v) -> frozenset:
        kind = v[0]
        if kind == "R":
            values = frozenset((("M", v[1]),))
            for attr in v[2]:
                values = self._getattr(values, attr)
            return values
        if kind == "G":
            module = self.modules.get(v[1])
            name = v[2]
            if module is None:
                return _U
            extra = _U if name in module.global_assigned else _EMPTY
            bound = module.state.get(name)
            if bound is not None:
                return self.norm(bound) | extra
            if module.star_sources and any(
                s is None or s not in self.modules for s in module.star_sources
            ):
                return _U
            if name in _BUILTINS and not extra:
                return frozenset((("X", "builtins." + name),))
            return _U
        if kind == "A":
            return self._getattr(self.norm((v[1],)), v[2])
        if kind == "K":
            return self._call_result(self.norm((v[1],)), v[2])
        if kind == "H":
            classes = self.norm(v[1])
            if classes and all(self._is_pdk_class(c) for c in classes):
                return frozenset(("I", c) for c in classes)
            return _U
        if kind == "Z":
            classes = self.norm(v[1])
            if classes and all(c[0] == "C" for c in classes):
                return frozenset((("S", frozenset(c[1] for c in classes)),))
            return _U
        return _U

    def _getattr(self, values: frozenset, attr: str) -> frozenset:
        out: set = set()
        for v in values:
            kind = v[0]
            if kind == "M":
                out |= self._module_attr(v[1], attr)
            elif kind == "X":
                out.add(("X", v[1] + "." + attr))
            elif kind == "C":
                out |= self._class_attr(v[1], attr, False)
            elif kind == "I" and v[1][0] == "C":
                out |= self._class_attr(v[1][1], attr, True)
            elif kind == "S":
                for cls in v[1]:
                    out |= self._class_attr(cls, attr, False, skip_first=True)
            else:
                out.add(_UNKNOWN)
        return frozenset(out)

    def _module_attr(self, name: str, attr: str) -> frozenset:
        module = self.modules.get(name)
        sub = name + "." + attr
        if module is not None and module.tree is not None:
            bound = module.state.get(attr)
            if bound is not None and bound == frozenset((("R", name, (attr,)),)):
                bound = None  # `from . import attr` in the package itself: the submodule
            if bound is not None:
                values = self.norm(bound)
                return values | _U if attr in module.global_assigned else values
            if attr in module.global_assigned:
                return _U
        if sub in self.modules or sub in self.prefixes:
            return frozenset((("M", sub),))
        if module is not None or name in self.prefixes:
            return _U
        return frozenset((("X", sub),))

    def _class_attr(self, cls: str, attr: str, instance: bool, skip_first: bool = False) -> frozenset:
        mro = self.mro(cls)
        if skip_first:
            mro = mro[1:]
        if instance:
            for k in mro:
                if type(k) is not str:
                    break
                values = self.classes[k].instance_attrs.get(attr)
                if values is not None:
                    return self.norm(values)
        for k in mro:
            if type(k) is not str:
                return _U
            bound = self.classes[k].namespace.get(attr)
            if bound is not None:
                return self.norm(bound)
        return _U

    def mro(self, cls: str) -> list:
        """The classes searched for an attribute, in order; a tuple stands for an unknown base."""
        cached = self.mro_memo.get(cls)
        if cached is not None:
            return cached
        self.mro_memo[cls] = [cls, ("?", cls)]  # a cycle reads as an unknown base
        sequences = []
        for i, base in enumerate(self.classes[cls].bases):
            values = self.norm(base)
            if values == frozenset((("X", "builtins.object"),)):
                continue
            if len(values) == 1:
                (v,) = values
                if v[0] == "C" and v[1] in self.classes:
                    sequences.append(list(self.mro(v[1])))
                    continue
            sequences.append([("?", cls, i)])
        result = [cls] + _c3_merge(sequences + [[s[0] for s in sequences]])
        self.mro_memo[cls] = result
        return result

    def _call_result(self, callees: frozenset, first: frozenset) -> frozenset:
        out: set = set()
        for c in callees:
            kind = c[0]
            if kind == "C":
                out.add(("I", c))
            elif kind == "D":
                func = self.funcs.get(c[1])
                if c[1] in _PDK_GETTERS:
                    out.add(self._pdk_instance())
                elif func is None:
                    out.add(_UNKNOWN)
                elif func.is_partial:
                    out |= self._call_result(self.norm(func.wrapped), _EMPTY)
                elif self._returns_what_it_returns(func):
                    out |= self.norm(func.returns) if func.returns else _U
                else:
                    out.add(_UNKNOWN)
            elif kind == "X":
                name = c[1]
                if name == _PARTIAL:
                    targets = self.norm(first)
                    out.add(("P", targets) if targets and _UNKNOWN not in targets else _UNKNOWN)
                elif name in ("builtins.staticmethod", "builtins.classmethod"):
                    out |= self.norm(first) or _U
                elif name in _PDK_GETTERS:
                    out.add(self._pdk_instance())
                elif name in _PDK_CLASSES:
                    out.add(("I", c))
                else:
                    out.add(_UNKNOWN)
            elif kind == "P":
                out |= self._call_result(c[1], _EMPTY)
            elif kind == "I" and c[1][0] == "C":
                call = self._class_attr(c[1][1], "__call__", False)
                out |= self._call_result(call, _EMPTY) if _UNKNOWN not in call else _U
            else:
                out.add(_UNKNOWN)
        return frozenset(out)

    def apply_stores(self) -> None:
        """Values assigned to attributes of instances, classes and modules from elsewhere."""
        for base, attr, values in self.stores:
            for target in self.norm(base):
                kind = target[0]
                if kind == "I" and target[1][0] == "C":
                    attrs = self.classes[target[1][1]].instance_attrs
                    attrs.setdefault(attr, set()).update(values)
                elif kind == "C":
                    namespace = self.classes[target[1]].namespace
                    namespace[attr] = namespace.get(attr, _EMPTY) | values
                elif kind == "M" and target[1] in self.modules:
                    state = self.modules[target[1]].state
                    state[attr] = state.get(attr, _EMPTY) | values
        self.memo.clear()
        self.mro_memo.clear()

    def _pdk_instance(self):
        """What the layout library's active-PDK getters return."""
        name = "velloc.pdk.Pdk"
        return ("I", ("C", name) if name in self.classes else ("X", name))

    def _returns_what_it_returns(self, func: _Func) -> bool:
        for text, values, is_call, _ in func.decorators:
            names = self._texts(values, is_call)
            if not names or not any(n in _RETURN_TRANSPARENT for n in names):
                return False
        return True

    def _is_pdk_class(self, value) -> bool:
        if value[0] == "X":
            return value[1] in _PDK_CLASSES
        if value[0] == "C":
            return any(k in _PDK_CLASSES for k in self.mro(value[1]) if type(k) is str)
        return False

    def _is_pdk(self, value) -> bool:
        if value[0] == "I":
            return self._is_pdk_class(value[1])
        return value[0] == "X" and value[1] in _PDK_OBJECTS

    # what a call reaches -----------------------------------------------------------------

    def _targets(self, values: frozenset, out: dict, depth: int = 0) -> None:
        """Full names of the analysed functions that calling one of the values runs."""
        if _UNKNOWN in values or depth > 20:
            return
        for v in values:
            kind = v[0]
            if kind == "D":
                if v[1] in self.funcs:
                    out[v[1]] = None
            elif kind == "C":
                init = self._class_attr(v[1], "__init__", False)
                if _UNKNOWN not in init:
                    self._targets(init, out, depth + 1)
            elif kind == "I" and v[1][0] == "C":
                call = self._class_attr(v[1][1], "__call__", False)
                if _UNKNOWN not in call:
                    self._targets(call, out, depth + 1)
            elif kind == "P":
                self._targets(v[1], out, depth + 1)

    def _texts(self, values: frozenset, is_call: bool) -> list[str]:
        """Dotted names of a decorator: each name met following it one binding at a time
        (the module's own import first), then the fully resolved one."""
        suffix = "(...)" if is_call else ""
        texts = []
        if len(values) == 1:
            (v,) = values
            texts = [text + suffix for text in self._chain(v)]
        resolved = self.norm(values)
        if len(resolved) == 1:
            (v,) = resolved
            if v[0] in "DCXM":
                texts.append(v[1] + suffix)
        return texts

    def _chain(self, v) -> list[str]:
        texts: list[str] = []
        for _ in range(64):
            kind = v[0]
            if kind in "DCXM":
                texts.append(v[1])
                break
            if kind == "G":
                module = self.modules.get(v[1])
                bound = module.state.get(v[2]) if module is not None else None
                if bound is None or len(bound) != 1:
                    break
                (v,) = bound
            elif kind == "R":
                texts.append(".".join((v[1], *v[2])))
                module = self.modules.get(v[1])
                attr, rest = v[2][0], v[2][1:]
                bound = module.state.get(attr) if module is not None else None
                if bound is not None and len(bound) == 1 and bound != frozenset(((v[0], v[1], (attr,)),)):
                    (v,) = bound
                    for name in rest:
                        v = _attr_of(v, name)
                elif rest and self._known(v[1] + "." + attr):
                    v = ("R", v[1] + "." + attr, rest)
                else:
                    break
            else:
                break
        return texts

    def _resolved_decorator(self, written: str, values: frozenset, is_call: bool) -> str:
        texts = self._texts(values, is_call)
        for text in texts:
            if text in _CELL_DECORATOR_SET:
                return text
        return texts[-1] if texts else written

    def _short_names(self) -> dict[str, list[_Func]]:
        if self.short_index is None:
            index: dict[str, list[_Func]] = {}
            for func in self.funcs.values():
                module, _, short = func.full.rpartition(".")
                if module == func.module.name:
                    index.setdefault(short, []).append(func)
            self.short_index = index
        return self.short_index

    def _component(self, name: str) -> str | None:
        candidates = self._short_names().get(name)
        if not candidates:
            return None
        for func in candidates:
            if self._is_factory(func):
                return func.full
        return candidates[0].full

    def _is_factory(self, func: _Func) -> bool:
        record = self.output(func)
        return any(
            d in _CELL_DECORATOR_SET
            for d in (*record["decorators"], *record["resolved_decorators"])
        )

    def _is_getter(self, callee: frozenset, base: frozenset | None) -> bool:
        values = self.norm(callee)
        if values and all(v[0] in "DX" and v[1] in _COMPONENT_GETTERS for v in values):
            return True
        if base:
            objects = self.norm(base)
            return bool(objects) and all(self._is_pdk(o) for o in objects)
        return False

    def output(self, func: _Func) -> dict:
        if func.output is not None:
            return func.output
        # Filled in place, so that a partial wrapping itself finds a record.
        record: dict = {
            "decorators": [],
            "resolved_decorators": [],
            "parameter_defaults": {},
            "resolved_parameter_defaults": {},
            "resolved_calls": [],
            "resolved_component_gets": [],
            "is_partial": func.is_partial,
            "tags": [],
        }
        func.output = record
        try:
            if func.is_partial:
                self._fill_partial(func, record)
            else:
                self._fill_function(func, record)
        except RecursionError:
            func.module.errors.append(
                "RecursionError: names of " + func.full + " nested too deeply to resolve"
            )
        except Exception as exc:  # an odd construct costs one record, not the whole graph
            func.module.errors.append("resolving " + func.full + " stopped: " + _error_text(exc))
        return record

    def _fill_function(self, func: _Func, record: dict) -> None:
        record["decorators"] = list(func.written)
        resolved = []
        for written, (_, values, is_call, tags) in zip(func.written, func.decorators):
            text = self._resolved_decorator(written, values, is_call)
            resolved.append(text)
            if tags is not None and text in _CELL_DECORATOR_SET and not record["tags"]:
                record["tags"] = _tags(tags)
        record["resolved_decorators"] = resolved
        for name, (raw, named) in func.defaults.items():
            record["parameter_defaults"][name] = raw
            record["resolved_parameter_defaults"][name] = self._resolved_default(raw, named)
        calls: dict[str, None] = {}
        gets: dict[str, None] = {}
        for callee, literal, base in func.sites:
            reached: dict[str, None] = {}
            self._targets(self.norm(callee), reached)
            calls.update(dict.fromkeys(sorted(reached)))  # one site's callees in a fixed order
            if literal is not None and self._is_getter(callee, base):
                full = self._component(literal)
                if full is not None:
                    gets[full] = None
        record["resolved_calls"] = list(calls)
        record["resolved_component_gets"] = list(gets)

    def _resolved_default(self, raw: Any, named: frozenset | None) -> Any:
        if named is None:
            return raw
        values = self.norm(named)
        if len(values) == 1:
            (v,) = values
            if v[0] == "D" and v[1] in self.funcs:
                return v[1]
        return raw

    def _fill_partial(self, func: _Func, record: dict) -> None:
        wrapped = self.norm(func.wrapped)
        calls: dict[str, None] = {}
        self._targets(wrapped, calls)
        record["resolved_calls"] = sorted(calls)
        base = None
        if len(wrapped) == 1:
            (v,) = wrapped
            if v[0] == "D" and v[1] in self.funcs:
                base = self.funcs[v[1]]
        if base is not None:
            inner = self.output(base)
            record["decorators"] = list(inner["decorators"])
            record["resolved_decorators"] = list(inner["resolved_decorators"])
            record["parameter_defaults"] = dict(inner["parameter_defaults"])
            record["resolved_parameter_defaults"] = dict(inner["resolved_parameter_defaults"])
            record["tags"] = list(inner["tags"])
            # Positional arguments bound by the partial fix the leading parameters.
            bound = 0
            for name, node in zip(base.params, func.bound_args):
                if isinstance(node, ast.Starred):
                    break
                record["parameter_defaults"][name] = _raw_default(node)
                record["resolved_parameter_defaults"][name] = _raw_default(node)
                bound += 1
            func.params = base.params[bound:]
        for name, raw, named in func.bound_kwargs:
            record["parameter_defaults"][name] = raw
            record["resolved_parameter_defaults"][name] = self._resolved_default(raw, named)


def _tags(node: ast.AST) -> list:
    try:
        value = ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return []
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple, set, frozenset)):
        return [v for v in value if isinstance(v, str)]
    return []


def _attr_of(v, attr: str):
    kind = v[0]
    if kind == "M":
        return ("R", v[1], (attr,))
    if kind == "R":
        return ("R", v[1], (*v[2], attr))
    if kind == "X":
        return ("X", v[1] + "." + attr)
    if kind in "LU":
        return _UNKNOWN
    return ("A", v, attr)


def _join(states: list[dict]) -> dict:
    if len(states) == 1:
        return dict(states[0])
    out = dict(states[0])
    for state in states[1:]:
        for name, values in state.items():
            old = out.get(name)
            out[name] = values if old is None or old is values else old | values
    return out


def _c3_merge(sequences: list[list]) -> list:
    """C3 linearisation; depth-first first occurrences when no consistent order exists."""
    seqs = [list(seq) for seq in sequences if seq]
    result: list = []
    while seqs:
        for seq in seqs:
            head = seq[0]
            if not any(head in other[1:] for other in seqs):
                break
        else:
            for seq in sequences:
                result.extend(item for item in seq if item not in result)
            return result
        result.append(head)
        seqs = [s[1:] if s[0] == head else s for s in seqs]
        seqs = [s for s in seqs if s]
    return result


_COMPREHENSION_TYPES = frozenset(_COMPREHENSIONS)
_YIELDS = (ast.Yield, ast.YieldFrom)
_TRY_TYPES = frozenset({ast.Try, getattr(ast, "TryStar", ast.Try)})
_LITERAL_TYPES = frozenset(
    {ast.Tuple, ast.List, ast.Set, ast.Dict, ast.JoinedStr, ast.FormattedValue, ast.Constant}
)
_OPAQUE_TYPES = frozenset(
    {
        ast.BinOp, ast.UnaryOp, ast.Compare, ast.Tuple, ast.List, ast.Set, ast.Dict,
        ast.JoinedStr, ast.FormattedValue, ast.Subscript, ast.Slice, ast.Starred,
        ast.Await, ast.Yield, ast.YieldFrom,
    }
)


def generate_call_graph(paths: Mapping[str, str | os.PathLike]) -> dict:
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
      syntax errors, unreadable files and undecodable bytes are recorded
      there, never raised.

    The result is empty when no module could be parsed.
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
        return _generate(paths)
    finally:
        if collecting:
            gc.enable()


def _generate(paths: Mapping) -> dict:
    analysis = _Analysis()
    for lib, path in paths.items():
        analysis.add_library(lib, os.fspath(path))
    parsed = [m for m in analysis.modules.values() if m.tree is not None]
    if not parsed:
        return {}
    for module in parsed:
        analysis.read_module(module)
    analysis.apply_stores()
    per_module: dict[str, list[_Func]] = {}
    for func in analysis.funcs.values():
        per_module.setdefault(func.module.name, []).append(func)
    functions = {}
    for name in analysis.modules:
        funcs = per_module.get(name, [])
        funcs.sort(key=lambda f: (f.node.lineno, f.node.col_offset, f.order))
        for func in funcs:
            functions[func.full] = analysis.output(func)
    modules = {
        m.name: {"path": m.path, "errors": list(m.errors)} for m in analysis.modules.values()
    }
    return {"functions": functions, "modules": modules}


# python -m corvane.weftnet [FOLDER]: plot the component call graph of the
# project in FOLDER (default ~/Projects/cvn-ostrakit).
if __name__ == "__main__":
    import argparse

    from corvane.core import weftnet as _weftnet

    _parser = argparse.ArgumentParser(
        prog="python -m corvane.weftnet", description="Plot the component call graph of a project folder."
    )
    _parser.add_argument("folder", nargs="?", help="project folder (default: ~/Projects/cvn-ostrakit)")
    try:
        _weftnet._main(_parser.parse_args().folder)
    except FileNotFoundError as exc:
        _parser.exit(1, f"{_parser.prog}: error: {exc}\n")
