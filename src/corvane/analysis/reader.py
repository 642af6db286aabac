"""The reading pass: statements, definitions and classes, interpreted in order within each scope.

Each module's code is read once, top to bottom, then the bodies of the
functions it defines (and theirs, and so on).  The pass binds names to value
sets (often symbolic: a parameter, an import, the result of a call), and
records what the fixpoint pass works on: every call site with its arguments,
the values each function returns, attribute and item assignments, and the
classes with their bases and namespaces.  It never resolves a symbolic value:
that needs every module read first.
"""

from __future__ import annotations

import ast
from collections import deque
from typing import Any

from .definitions import Class, Func, Store
from .scopes import TRY_TYPES, ClassScope, FunctionScope, ModuleScope
from .sources import Module
from .values import (
    EMPTY, LITERAL, UNKNOWN, L, U, dotted, error_text, join, literal_text, raw_default, seq_of, written,
)

# How many loops deep a loop body is read twice (to see values bound late in the body).
MAX_LOOP_REPEAT_DEPTH = 3
_PARTIAL_IMPORT = frozenset((("R", "functools", ("partial",)),))
_PROPERTY_TEXTS = frozenset({"property", "functools.cached_property", "cached_property"})


class Reader:
    """Mixin of the analysis: reading modules and function bodies."""

    def read_module(self, module: Module) -> None:
        code = Func(module.name + ".<module>", module, None, 0)
        code.hidden = True
        module.code = code
        scope = ModuleScope(module, code)
        try:
            self.run(module.tree.body, scope)
        except RecursionError:
            module.errors.append("RecursionError: module code nested too deeply to analyse")
        except Exception as exc:  # never let one odd module stop the others
            module.errors.append("analysis stopped: " + error_text(exc))
        module.state = scope.state
        self.queue_all(module)

    def queue_all(self, module: Module) -> None:
        queue: deque = self.queue
        while queue:
            node, func, parent, cls = queue.popleft()
            try:
                self.read_function(node, func, parent, cls)
            except RecursionError:
                module.errors.append("RecursionError: " + func.full + " nested too deeply to analyse")
            except Exception as exc:
                module.errors.append("analysis of " + func.full + " stopped: " + error_text(exc))

    def read_function(self, node, func: Func, parent, cls: str | None) -> None:
        scope = FunctionScope(parent, func, cls)
        names = parent.module.scopes[id(node)]
        scope.locals = names.locals
        scope.globals = names.globals
        scope.nonlocals = names.nonlocals
        scope.params = self.param_values(node.args, func, parent)
        scope.state.update(scope.params)
        for name, value in scope.state.items():
            scope.all_values[name] = value
        if self.run(node.body, scope):
            func.returns.add(LITERAL)
            if func.cond is not None:
                func.cond.pop(LITERAL, None)
            scope.exit_state = join([scope.exit_state, scope.state]) if scope.exit_state else scope.state
        if isinstance(node, ast.AsyncFunctionDef):
            func.returns = {UNKNOWN}
            func.cond = None
        elif func.generator:
            func.returns = {("Gen", func.full)}
            func.cond = None

    def param_values(self, args: ast.arguments, func: Func, parent) -> dict[str, frozenset]:
        """The value set each parameter starts with: what calls bind to it, or the annotated PDK."""
        state = {}
        for a in (*args.posonlyargs, *args.args, *args.kwonlyargs):
            values = frozenset((("V", func.full, a.arg),))
            state[a.arg] = values | self._annotated(a, parent)
        if args.vararg is not None:
            state[args.vararg.arg] = frozenset((("Seq", ("args", func.full)),))
        if args.kwarg is not None:
            state[args.kwarg.arg] = frozenset((("Dict", ("kwargs", func.full)),))
        return state

    def _annotated(self, arg: ast.arg, parent) -> frozenset:
        ann = arg.annotation
        if ann is None:
            return EMPTY
        if isinstance(ann, ast.Constant) and isinstance(ann.value, str):
            try:
                ann = ast.parse(ann.value, mode="eval").body
            except SyntaxError:
                return EMPTY
        if dotted(ann) is None:
            return EMPTY
        return frozenset((("H", self.ev(ann, parent)),))

    def run(self, body: list[ast.stmt], scope) -> bool:
        """Interpret statements; False when control cannot fall off their end."""
        handlers = self._stmt
        guards = scope.guards  # a test's narrowing lasts to the end of its statement list
        for stmt in body:
            handler = handlers.get(type(stmt))
            if handler is None:
                self._generic_stmt(stmt, scope)
            elif handler(self, stmt, scope) is False:
                scope.guards = guards
                return False
        scope.guards = guards
        return True

    def _generic_stmt(self, stmt, scope) -> None:
        for child in ast.iter_child_nodes(stmt):
            if isinstance(child, ast.expr):
                self.ev(child, scope)
            elif isinstance(child, ast.stmt):
                self.run([child], scope)

    def _s_expr(self, stmt: ast.Expr, scope) -> None:
        self.ev(stmt.value, scope)
        call = stmt.value
        if (
            type(call) is ast.Call
            and type(call.func) is ast.Attribute
            and call.func.attr == "update"
            and type(call.func.value) is ast.Name
        ):
            self._update_in_order(call, scope)

    def _update_in_order(self, call: ast.Call, scope) -> None:
        """``d.update(a=f)`` or ``d.update({"a": f})`` in straight-line code: from here on
        ``d`` holds ``f`` under "a" and no longer what it held there before."""
        if len(call.args) > 1 or any(kw.arg is None for kw in call.keywords):
            return
        site = self.site_index.get(id(call))
        if site is None:
            return
        given: dict = {}
        if call.args:
            arg = call.args[0]
            if type(arg) is not ast.Dict or any(literal_text(k) is None for k in arg.keys):
                return
            c = self.containers.get(id(arg))
            if c is None:
                return
            given.update(c.items)
        for name, values in site.keywords:
            given[name] = values
        if given:
            self.replace_items(scope, call.func.value.id, given, id(call))

    def _s_return(self, stmt: ast.Return, scope) -> bool:
        value = self.ev(stmt.value, scope) if stmt.value is not None else L
        if scope.kind == "function":
            self.add_returns(scope.owner, value, scope.guards)
            scope.exit_state = join([scope.exit_state, scope.state]) if scope.exit_state else dict(scope.state)
        return False

    def _s_raise(self, stmt: ast.Raise, scope) -> bool:
        if stmt.exc is not None:
            self.ev(stmt.exc, scope)
        if stmt.cause is not None:
            self.ev(stmt.cause, scope)
        return False

    def _s_pass(self, stmt, scope) -> None:
        # pass, break, continue, global, nonlocal: the state flows on
        return None

    def _s_assign(self, stmt, scope) -> None:
        value_node = stmt.value
        if value_node is None:  # a bare annotation binds nothing
            return
        if isinstance(stmt, ast.AugAssign):
            values = self.ev(value_node, scope)
            target = stmt.target
            if isinstance(target, ast.Name):
                old = scope.lookup(target.id)
                if isinstance(stmt.op, ast.Add):  # x += [...] extends a list in place
                    self.stores.append(Store("extend", old, None, values))
                scope.bind(target.id, old if isinstance(stmt.op, ast.Add) else L)
            else:
                self._assign_target(target, U, scope)
            return
        targets = stmt.targets if isinstance(stmt, ast.Assign) else [stmt.target]
        if scope.kind == "module" and isinstance(value_node, ast.Call):
            callee = self.ev(value_node.func, scope)
            if callee == _PARTIAL_IMPORT and value_node.args:
                names = [t.id for t in targets if isinstance(t, ast.Name)]
                if names and len(names) == len(targets):
                    self._module_partial(stmt, value_node, names, scope, callee)
                    return
            values = self.call(value_node, scope, callee)
            for target in targets:
                self._assign_target(target, values, scope)
            return
        if isinstance(value_node, (ast.Tuple, ast.List)) and any(
            isinstance(t, (ast.Tuple, ast.List)) for t in targets
        ):
            self._assign_literal(targets, value_node, scope)
            return
        values = self.ev(value_node, scope)
        for target in targets:
            self._assign_target(target, values, scope)

    def _assign_literal(self, targets: list, value_node, scope) -> None:
        """``a, (b, c) = x, (y, z)``: each name gets the value written at its place."""
        if any(isinstance(e, ast.Starred) for e in value_node.elts):
            values = self.ev(value_node, scope)
            for target in targets:
                self._assign_target(target, values, scope)
            return
        parts = [self.ev(e, scope) if not isinstance(e, (ast.Tuple, ast.List)) else None
                 for e in value_node.elts]
        whole = None
        for target in targets:
            if isinstance(target, (ast.Tuple, ast.List)) and len(target.elts) == len(parts) and not any(
                isinstance(t, ast.Starred) for t in target.elts
            ):
                for t, v, e in zip(target.elts, parts, value_node.elts):
                    if v is None:
                        if isinstance(t, (ast.Tuple, ast.List)):
                            self._assign_literal([t], e, scope)
                        else:
                            self._assign_target(t, self.ev(e, scope), scope)
                    else:
                        self._assign_target(t, v, scope)
            else:
                if whole is None:
                    whole = self.ev(value_node, scope)
                self._assign_target(target, whole, scope)

    def _assign_target(self, target, values: frozenset, scope) -> None:
        if isinstance(target, ast.Name):
            scope.bind(target.id, values)
        elif isinstance(target, (ast.Tuple, ast.List)):
            starred = False
            for i, elt in enumerate(target.elts):
                if isinstance(elt, ast.Starred):
                    starred = True
                    self._assign_target(elt.value, seq_of(values), scope)
                else:
                    index = None if starred else i
                    self._assign_target(elt, frozenset(("E", v, index) for v in values), scope)
        elif isinstance(target, ast.Starred):
            self._assign_target(target.value, seq_of(values), scope)
        elif isinstance(target, ast.Attribute):
            if (
                scope.kind == "function"
                and scope.cls is not None
                and isinstance(target.value, ast.Name)
                and target.value.id == self._self_name(scope)
            ):
                attrs = self.classes[scope.cls].instance_attrs
                attrs.setdefault(target.attr, set()).update(values)
                return
            base = self.ev(target.value, scope)
            op = "attr"
            if type(target.value) is ast.Name and scope.kind == "function":
                initial = scope.params.get(target.value.id)
                if initial is not None and scope.state.get(target.value.id) == initial:
                    op = "param attr"  # on whatever instance a call passes
            self.stores.append(Store(op, base, target.attr, values))
            self.stored_attrs.add(target.attr)
        elif isinstance(target, ast.Subscript):
            base = self.ev(target.value, scope)
            key = self.subscript_key(target.slice, scope)
            if type(key) is tuple:
                key = "slice"
            self.stores.append(Store("item", base, key, values))
            if type(target.value) is ast.Name:
                text = literal_text(target.slice)
                if text is not None:
                    self.replace_items(scope, target.value.id, {text: values}, id(target))
                elif type(key) is int:
                    self.replace_items(scope, target.value.id, {key: values}, id(target))

    def property_reads(self) -> None:
        """Reading a property runs its getter: such reads become calls of their functions."""
        names = {f.full.rpartition(".")[2] for f in self.funcs.values() if f.method_kind == "property"}
        if names:
            for owner, values, attr in self.attribute_loads:
                if attr in names:
                    self.add_site(owner, frozenset(("PA", v, attr) for v in values), [], [])
        self.attribute_loads = []

    def _self_name(self, scope) -> str | None:
        func = scope.owner
        if func.method_kind in ("static", "class") or not func.params:
            return None
        return func.params[0]

    def _module_partial(self, stmt, call: ast.Call, names: list[str], scope, callee) -> None:
        module = scope.module
        wrapped = self.ev(call.args[0], scope)
        site = self._record_call(call, scope, callee)
        kwargs = []
        for kw, (_, value) in zip(call.keywords, site.keywords):
            if kw.arg is None:
                continue
            named = value if isinstance(kw.value, (ast.Name, ast.Attribute)) else None
            kwargs.append((kw.arg, raw_default(kw.value), named))
        for name in names:
            full = module.name + "." + name
            func = self.new_func(full, module, stmt)
            func.is_partial = True
            func.wrapped = wrapped
            func.partial_site = site.id
            func.bound_args = call.args[1:]
            func.bound_kwargs = kwargs
            scope.bind(name, frozenset((("D", full),)))

    def _s_delete(self, stmt: ast.Delete, scope) -> None:
        for target in stmt.targets:
            if isinstance(target, ast.Name):
                scope.bind(target.id, EMPTY)
            else:
                self.ev(target, scope)

    def _s_if(self, stmt: ast.If, scope) -> None:
        self.ev(stmt.test, scope)
        if scope.kind == "function":
            test = self._none_test(stmt.test, scope)
            if test is not None:
                return self._narrowed_if(stmt, scope, test)
        elif scope.kind == "module" or scope.kind == "class":
            taken = self.decided_branch(stmt, scope)
            if taken is not None:
                return None if self.run(taken, scope) else False
        return self._branches(scope, [stmt.body, stmt.orelse])

    def _branches(self, scope, bodies: list[list[ast.stmt]]):
        entry = dict(scope.state)
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
        scope.state = join(ends)
        return None if live else False

    def _s_loop(self, stmt, scope) -> None:
        is_for = isinstance(stmt, (ast.For, ast.AsyncFor))
        if is_for:
            items = self.iter_values(stmt.iter, scope)
        else:
            self.ev(stmt.test, scope)
        entry = dict(scope.state)
        repeat = scope.loop_depth < MAX_LOOP_REPEAT_DEPTH
        scope.loop_depth += 1
        try:
            for round_ in range(2 if repeat else 1):
                if is_for:
                    self._assign_target(stmt.target, items, scope)
                self.run(stmt.body, scope)
                after = join([entry, scope.state])
                if round_ == 0 and after == entry:
                    break
                scope.state = after
                entry = after
        finally:
            scope.loop_depth -= 1
        scope.state = join([entry, scope.state])
        self.run(stmt.orelse, scope)

    def _s_with(self, stmt, scope) -> None:
        for item in stmt.items:
            self.ev(item.context_expr, scope)
            if item.optional_vars is not None:
                self._assign_target(item.optional_vars, U, scope)
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
        handler_entry = join([entry, body_end])
        for handler in stmt.handlers:
            scope.state = dict(handler_entry)
            if handler.type is not None:
                self.ev(handler.type, scope)
            if handler.name:
                scope.bind(handler.name, U)
            if self.run(handler.body, scope):
                ends.append(scope.state)
        scope.state = join(ends) if ends else handler_entry
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
                    scope.bind(sub.name, U)
                elif isinstance(sub, ast.MatchMapping) and sub.rest:
                    scope.bind(sub.rest, U)
            if case.guard is not None:
                self.ev(case.guard, scope)
            if self.run(case.body, scope):
                ends.append(scope.state)
        ends.append(entry)
        scope.state = join(ends)

    # definitions -------------------------------------------------------------------------

    def _s_function(self, node, scope) -> None:
        known = self.done_defs.get(id(node))
        if known is not None:
            scope.bind(node.name, self.def_values.get(id(node), frozenset((("D", known),))))
            return
        full = scope.prefix + node.name
        func = self.new_func(full, scope.module, node)
        self.done_defs[id(node)] = full
        in_class = scope.kind == "class"
        if in_class:
            func.cls = scope.cls.full
        applications = []
        for dec in node.decorator_list:
            text = written(dec)
            func.written.append(text)
            if isinstance(dec, ast.Call):
                callee = self.ev(dec.func, scope)
                site = self._record_call(dec, scope, callee)
                tags = next((k.value for k in dec.keywords if k.arg == "tags"), None)
                func.decorators.append((dotted(dec.func) or "", callee, True, tags))
                applied = frozenset(("K", v, site.id) for v in callee)
                applications.append((callee, True, applied))
            else:
                values = self.ev(dec, scope)
                func.decorators.append((dotted(dec) or "", values, False, None))
                applications.append((values, False, values))
            if in_class:
                kind = {"staticmethod": "static", "classmethod": "class"}.get(text)
                if text in _PROPERTY_TEXTS:
                    kind = "property"
                func.method_kind = func.method_kind or kind
        self._signature(node.args, func, scope)
        # The name holds what the decorators make of the function, innermost first.
        value = frozenset((("D", full),))
        for texts, is_call, applied in reversed(applications):
            site = self.add_site(scope.owner, applied, [(value, False)], [])
            value = frozenset((("Ap", texts, is_call, applied, value, site.id),))
        if applications:
            value = value | frozenset((("Cell", full),))
        cls = scope.cls.full if in_class else None
        parent = scope
        while parent.kind in ("class", "inline"):
            parent = parent.parent
        self.queue.append((node, func, parent, cls))
        self.def_values[id(node)] = value
        if in_class and any(t.endswith((".setter", ".deleter")) for t in func.written):
            return  # the property keeps its getter under the name
        scope.bind(node.name, value)

    def _signature(self, args: ast.arguments, func: Func, scope) -> None:
        """Parameters and defaults; the defaults are evaluated where the function is defined."""
        positional = [*args.posonlyargs, *args.args]
        func.params = [a.arg for a in positional]
        func.posonly = len(args.posonlyargs)
        func.kwonly = [a.arg for a in args.kwonlyargs]
        func.named = frozenset(func.kwonly).union(func.params[func.posonly:])
        func.vararg = args.vararg.arg if args.vararg is not None else None
        func.kwarg = args.kwarg.arg if args.kwarg is not None else None
        if func.vararg is not None:
            self.container(("args", func.full), "seq")
        if func.kwarg is not None:
            self.container(("kwargs", func.full), "dict")
        pairs = list(zip(positional[len(positional) - len(args.defaults):], args.defaults))
        pairs += [(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
        for arg, default in pairs:
            value = self.ev(default, scope)
            named = value if isinstance(default, (ast.Name, ast.Attribute)) else None
            func.defaults[arg.arg] = (raw_default(default), named)
            if value != L:  # a number or None binds nothing worth following
                func.default_terms[arg.arg] = value

    def new_func(self, full: str, module: Module, node) -> Func:
        func = self.funcs.get(full)
        self.order += 1
        if func is None:
            func = Func(full, module, node, self.order)
            self.funcs[full] = func
            return func
        # A redefinition under the same name: its calls add to the earlier ones'.
        merged = Func(full, module, node, func.order)
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
            self.add_site(scope.owner, values, [(frozenset((("C", full),)), False)], [])
        bases = [self.ev(b, scope) for b in node.bases]
        for kw in node.keywords:
            self.ev(kw.value, scope)
        cls = self.classes.get(full)
        if cls is None:
            cls = self.classes[full] = Class(full, bases)
        else:
            cls.bases = bases
        body_scope = ClassScope(scope, cls)
        self.run(node.body, body_scope)
        cls.namespace = body_scope.state
        scope.bind(node.name, frozenset((("C", full),)))

    _stmt: dict[type, Any] = {
        ast.Expr: _s_expr,
        ast.Return: _s_return,
        ast.Raise: _s_raise,
        ast.Break: _s_pass,
        ast.Continue: _s_pass,
        ast.Pass: _s_pass,
        ast.Global: _s_pass,
        ast.Nonlocal: _s_pass,
        ast.Assign: _s_assign,
        ast.AnnAssign: _s_assign,
        ast.AugAssign: _s_assign,
        ast.Delete: _s_delete,
        ast.If: _s_if,
        ast.For: _s_loop,
        ast.AsyncFor: _s_loop,
        ast.While: _s_loop,
        ast.With: _s_with,
        ast.AsyncWith: _s_with,
        ast.Match: _s_match,
        ast.FunctionDef: _s_function,
        ast.AsyncFunctionDef: _s_function,
        ast.ClassDef: _s_class,
    }
    for _t in TRY_TYPES:
        _stmt[_t] = _s_try
    del _t
