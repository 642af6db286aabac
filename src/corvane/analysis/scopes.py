"""Scopes: which names a function binds, declares global or nonlocal, and how a name is looked up.

The reading pass interprets each scope's statements in order, so within a
scope a later binding replaces an earlier one and both branches of an ``if``
are kept.  What the scopes see of each other:

- a function body sees the module's names as they stand at the module's end
  (``("G", module, name)``, resolved later);
- a name a function binds anywhere (a parameter, a local variable, a local
  import) is local to it and hides the module's name;
- a closure sees the values its enclosing function leaves the name with when
  it exits, plus whatever ``nonlocal`` assignments of nested functions give it;
- a ``global`` assignment inside a function adds its value to the module's
  name, and the function itself sees it from there on;
- lambdas and comprehensions have their own parameters and targets and see
  everything else through the enclosing scope.
"""

from __future__ import annotations

import ast
from typing import Iterable

from .values import BUILTIN_NAMES, EMPTY, U

TRY_TYPES = frozenset({ast.Try, getattr(ast, "TryStar", ast.Try)})


def target_names(target: ast.AST, out: list[str]) -> None:
    stack = [target]
    while stack:
        node = stack.pop()
        if isinstance(node, ast.Name):
            out.append(node.id)
        elif isinstance(node, (ast.Tuple, ast.List)):
            stack.extend(reversed(node.elts))
        elif isinstance(node, ast.Starred):
            stack.append(node.value)


def target_set(target: ast.AST, names: set[str]) -> None:
    found: list[str] = []
    target_names(target, found)
    names.update(found)


class ScopeNames:
    """Names a function binds (its locals) and declares global or nonlocal."""

    __slots__ = ("locals", "globals", "nonlocals")

    def __init__(self) -> None:
        self.locals: set[str] = set()
        self.globals: set[str] = set()
        self.nonlocals: set[str] = set()


def scan_scopes(tree: ast.Module, walrus: bool) -> dict[int, ScopeNames]:
    """One pass over a module's statements: the names of every function scope, keyed by the
    def's id.  Only assignment expressions bind names inside expressions; the expressions
    are searched for them when the module has any (``walrus``)."""
    found: dict[int, ScopeNames] = {}
    stack: list[tuple[ast.AST, ScopeNames]] = [(n, ScopeNames()) for n in tree.body]
    push = stack.append
    while stack:
        node, scope = stack.pop()
        t = type(node)
        names = scope.locals
        if walrus:
            walrus_targets(node, names)
        if t is ast.Assign:
            for target in node.targets:
                if type(target) is ast.Name:
                    names.add(target.id)
                else:
                    target_set(target, names)
        elif t is ast.Expr or t is ast.Return or t is ast.Pass:
            continue
        elif t is ast.FunctionDef or t is ast.AsyncFunctionDef:
            names.add(node.name)
            inner = found[id(node)] = ScopeNames()
            args = node.args
            for a in (*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg):
                if a is not None:
                    inner.locals.add(a.arg)
            for n in node.body:
                push((n, inner))
        elif t is ast.ClassDef:
            names.add(node.name)
            inner = ScopeNames()
            for n in node.body:
                push((n, inner))
        elif t is ast.If or t is ast.While:
            for n in node.body:
                push((n, scope))
            for n in node.orelse:
                push((n, scope))
        elif t is ast.For or t is ast.AsyncFor:
            target_set(node.target, names)
            for n in (*node.body, *node.orelse):
                push((n, scope))
        elif t is ast.AugAssign or t is ast.AnnAssign:
            target_set(node.target, names)
        elif t is ast.With or t is ast.AsyncWith:
            for item in node.items:
                if item.optional_vars is not None:
                    target_set(item.optional_vars, names)
            for n in node.body:
                push((n, scope))
        elif t is ast.Import or t is ast.ImportFrom:
            for alias in node.names:
                if alias.name != "*":
                    names.add(alias.asname or alias.name.partition(".")[0])
        elif t in TRY_TYPES:
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
                target_set(target, names)
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


def number_lambdas(tree: ast.Module) -> dict[int, int]:
    """Each lambda's number in its scope (1, 2, ... in source order), keyed by the node's id.

    A scope is the module, a class body, a function body or a lambda's body;
    decorators, defaults and bases belong to the scope around the definition,
    comprehensions to the scope that holds them."""
    numbers: dict[int, int] = {}
    scopes: list[list[ast.AST]] = [list(tree.body)]
    while scopes:
        stack = scopes.pop()
        found: list[ast.Lambda] = []
        while stack:
            node = stack.pop()
            t = type(node)
            if t is ast.Lambda:
                found.append(node)
                stack.extend(node.args.defaults)
                stack.extend(d for d in node.args.kw_defaults if d is not None)
                scopes.append([node.body])
            elif t is ast.FunctionDef or t is ast.AsyncFunctionDef:
                args = node.args
                stack.extend(node.decorator_list)
                stack.extend(args.defaults)
                stack.extend(d for d in args.kw_defaults if d is not None)
                for a in (*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg):
                    if a is not None and a.annotation is not None:
                        stack.append(a.annotation)
                if node.returns is not None:
                    stack.append(node.returns)
                scopes.append(list(node.body))
            elif t is ast.ClassDef:
                stack.extend(node.decorator_list)
                stack.extend(node.bases)
                stack.extend(k.value for k in node.keywords)
                scopes.append(list(node.body))
            else:
                stack.extend(ast.iter_child_nodes(node))
        found.sort(key=lambda n: (n.lineno, n.col_offset))
        for i, node in enumerate(found, 1):
            numbers[id(node)] = i
    return numbers


def walrus_targets(stmt: ast.stmt, names: set[str]) -> None:
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


def target_set(target: ast.AST, names: set[str]) -> None:
    found: list[str] = []
    target_names(target, found)
    names.update(found)


class ModuleScope:
    kind = "module"
    guards: tuple = ()

    def __init__(self, module, owner) -> None:
        self.module = module
        self.state: dict[str, frozenset] = {}
        self.owner = owner  # the hidden function standing for the module's code
        self.prefix = module.name + "."
        self.loop_depth = 0
        self.has_external_star = False

    def lookup(self, name: str) -> frozenset:
        value = self.state.get(name)
        if value is not None:
            return value
        if self.has_external_star:
            return U
        return frozenset((("X", "builtins." + name),)) if name in BUILTIN_NAMES else U

    def bind(self, name: str, values: frozenset) -> None:
        self.state[name] = values

    bind_walrus = bind


class ClassScope:
    kind = "class"
    guards: tuple = ()

    def __init__(self, parent, cls) -> None:
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


class FunctionScope:
    kind = "function"

    def __init__(self, parent, func, cls: str | None) -> None:
        self.parent = parent  # the nearest enclosing function or module scope
        self.module = parent.module
        self.owner = func
        self.cls = cls  # the class the function is defined in, for super()
        self.prefix = func.full + "."
        self.state: dict[str, frozenset] = {}
        self.all_values: dict[str, frozenset] = {}
        self.nonlocal_values: dict[str, frozenset] = {}
        self.exit_state: dict[str, frozenset] | None = None
        self.locals: set[str] = EMPTY
        self.globals: set[str] = EMPTY
        self.nonlocals: set[str] = EMPTY
        self.loop_depth = 0
        # (parameter, is None) tests that hold where the code being read runs
        self.guards: tuple = ()
        self.params: dict[str, frozenset] = {}

    def lookup(self, name: str) -> frozenset:
        if name in self.globals:
            value = self.state.get(name)
            return value if value is not None else global_value(self.module, name)
        if name in self.locals:
            return self.state.get(name, EMPTY)
        return free_lookup(self.parent, name)

    def bind(self, name: str, values: frozenset) -> None:
        if name in self.globals:
            state = self.module.state
            state[name] = state.get(name, EMPTY) | values
            self.state[name] = values
            return
        if name in self.nonlocals:
            bind_nonlocal(self.parent, name, values)
            return
        self.state[name] = values
        self.all_values[name] = self.all_values.get(name, EMPTY) | values

    bind_walrus = bind


def free_lookup(scope, name: str) -> frozenset:
    """A free name of a nested function: every value the enclosing function gives it."""
    while scope.kind == "function":
        if name in scope.globals:
            break
        if name in scope.locals and name not in scope.nonlocals:
            extra = scope.nonlocal_values.get(name, EMPTY)
            # Closures run late, mostly after the function has returned.
            if scope.exit_state is not None and name in scope.exit_state:
                return scope.exit_state[name] | extra
            return scope.all_values.get(name, EMPTY) | extra
        scope = scope.parent
    return global_value(scope.module, name)


def global_value(module, name: str) -> frozenset:
    """``("G", module, name)`` as a value set, made once per module and name."""
    refs = module.global_refs
    found = refs.get(name)
    if found is None:
        found = refs[name] = frozenset((("G", module.name, name),))
    return found


def bind_nonlocal(scope, name: str, values: frozenset) -> None:
    while scope.kind == "function":
        if name in scope.locals and name not in scope.nonlocals:
            scope.nonlocal_values[name] = scope.nonlocal_values.get(name, EMPTY) | values
            return
        scope = scope.parent


class InlineScope:
    """A lambda or comprehension: own names, everything else from the enclosing scope."""

    kind = "inline"

    def __init__(self, parent, names: Iterable[str], owner=None, initial: dict | None = None,
                 prefix: str | None = None) -> None:
        self.parent = parent
        self.module = parent.module
        self.owner = owner if owner is not None else parent.owner
        self.prefix = prefix if prefix is not None else parent.prefix
        self.loop_depth = parent.loop_depth
        self.guards = ()
        self.names = set(names)
        self.state: dict[str, frozenset] = dict(initial) if initial else {}

    def lookup(self, name: str) -> frozenset:
        if name in self.names:
            return self.state.get(name, U)
        return self.parent.lookup(name)

    def bind(self, name: str, values: frozenset) -> None:
        if name in self.names:
            self.state[name] = values
        else:
            self.parent.bind_walrus(name, values)

    def bind_walrus(self, name: str, values: frozenset) -> None:
        self.parent.bind_walrus(name, values)
