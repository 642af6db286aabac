"""The reading pass for expressions: the value set of each expression, and the calls in it.

Lambdas are functions named ``<lambdaN>`` in their scope; list, tuple, set and
dict displays and comprehensions are containers made at their place in the
code; a subscript, an unpacking or a loop target reads a container's
elements; a literal text is a value of its own (dict keys, names looked up).
"""

from __future__ import annotations

import ast

from .definitions import Container, Func, Site, Store
from .scopes import InlineScope, target_names
from .values import EMPTY, LITERAL, L, U, attr_of, literal_text

_LITERAL_TYPES = frozenset({ast.JoinedStr, ast.FormattedValue, ast.Constant, ast.Compare})


# The operands of operator-like expressions, pushed in the order the fields are written (the
# walk pops them, so their calls are read last to first, as they always were).
def _push_binop(n, stack) -> None:
    stack.append(n.left)
    stack.append(n.right)


def _push_compare(n, stack) -> None:
    stack.append(n.left)
    stack.extend(n.comparators)


def _push_values(n, stack) -> None:
    stack.extend(n.values)


def _push_formatted(n, stack) -> None:
    stack.append(n.value)
    if n.format_spec is not None:
        stack.append(n.format_spec)


def _push_slice(n, stack) -> None:
    for part in (n.lower, n.upper, n.step):
        if part is not None:
            stack.append(part)


def _push_operand(n, stack) -> None:
    stack.append(n.operand)


def _push_value(n, stack) -> None:
    stack.append(n.value)


_PUSH_CHILDREN = {
    ast.BinOp: _push_binop,
    ast.UnaryOp: _push_operand,
    ast.Compare: _push_compare,
    ast.JoinedStr: _push_values,
    ast.FormattedValue: _push_formatted,
    ast.Slice: _push_slice,
    ast.Starred: _push_value,
    ast.Await: _push_value,
}


class Expressions:
    """Mixin of the analysis: evaluating expressions while reading."""

    def ev(self, node: ast.expr, scope) -> frozenset:
        """The values an expression may have; records the calls in it for the current function."""
        t = type(node)
        if t is ast.Name:  # by far the most common: no dispatch
            return scope.lookup(node.id)
        handler = _EV.get(t)
        if handler is not None:
            return handler(self, node, scope)
        # Anything else: walk it (without recursion through operator chains) for its calls.
        stack = [node]
        while stack:
            n = stack.pop()
            push = _PUSH_CHILDREN.get(type(n))
            if push is not None:
                push(n, stack)
            elif n is node:  # a kind of expression this code does not know: its parts
                for child in ast.iter_child_nodes(n):
                    if isinstance(child, ast.expr):
                        stack.append(child)
                    elif isinstance(child, ast.keyword):
                        stack.append(child.value)
                    elif isinstance(child, ast.comprehension):
                        stack.append(child.iter)
            else:
                self.ev(n, scope)
        return L if t in _LITERAL_TYPES else U

    def _ev_attribute(self, node: ast.Attribute, scope) -> frozenset:
        chain = []
        while type(node) is ast.Attribute:
            chain.append(node.attr)
            node = node.value
        values = scope.lookup(node.id) if type(node) is ast.Name else self.ev(node, scope)
        loads = self.attribute_loads
        owner = scope.owner
        for attr in reversed(chain):
            loads.append((owner, values, attr))
            if len(values) == 1:
                for v in values:
                    values = frozenset((attr_of(v, attr),))
            else:
                values = frozenset(attr_of(v, attr) for v in values)
        return values

    def _ev_call(self, node: ast.Call, scope) -> frozenset:
        return self.call(node, scope, None)

    def _ev_constant(self, node: ast.Constant, scope) -> frozenset:
        return frozenset((("T", node.value),)) if type(node.value) is str else L

    def _ev_ifexp(self, node: ast.IfExp, scope) -> frozenset:
        self.ev(node.test, scope)
        return self.ev(node.body, scope) | self.ev(node.orelse, scope)

    def _ev_boolop(self, node: ast.BoolOp, scope) -> frozenset:
        values = EMPTY
        for v in node.values:
            values = values | self.ev(v, scope)
        return values

    def _ev_namedexpr(self, node: ast.NamedExpr, scope) -> frozenset:
        values = self.ev(node.value, scope)
        scope.bind_walrus(node.target.id, values)
        return values

    def _ev_yield(self, node, scope) -> frozenset:
        values = self.ev(node.value, scope) if node.value is not None else L
        if scope.kind == "function":
            scope.owner.generator = True
            if type(node) is ast.Yield:
                scope.owner.yields.update(values)
            else:
                scope.owner.yields.update(("It", v) for v in values)
        return U

    def _ev_subscript(self, node: ast.Subscript, scope) -> frozenset:
        base = self.ev(node.value, scope)
        key = self.subscript_key(node.slice, scope)
        if key == "slice":
            return base
        if type(key) is tuple:  # literal bounds: the part of a sequence between them
            return frozenset(("Sl", v, key[1], key[2]) for v in base if v != LITERAL) or U
        return frozenset(("E", v, key) for v in base if v != LITERAL) or U

    # containers --------------------------------------------------------------------------

    def container(self, key, kind: str) -> Container:
        found = self.containers.get(key)
        if found is None:
            found = self.containers[key] = Container(kind)
        return found

    def sequence(self, node, scope) -> frozenset:
        if node.elts and all(type(e) is ast.Constant and type(e.value) is not str for e in node.elts):
            return L  # numbers and the like: nothing in it calls or names anything
        c = self.container(id(node), "seq")
        starred = False
        for i, e in enumerate(node.elts):
            if isinstance(e, ast.Starred):
                starred = True
                c.extra.update(("It", v) for v in self.ev(e.value, scope))
                continue
            values = self.ev(e, scope)
            if starred:
                c.extra.update(values)
            elif i < len(c.elems):
                c.elems[i] = c.elems[i] | values
            else:
                c.elems.append(values)
        return frozenset((("Seq", id(node)),))

    def mapping(self, node: ast.Dict, scope) -> frozenset:
        c = self.container(id(node), "dict")
        value = frozenset((("Dict", id(node)),))
        for k, v in zip(node.keys, node.values):
            values = self.ev(v, scope)
            if k is None:  # {**other}
                self.stores.append(Store("update", value, None, values))
                continue
            text = literal_text(k)
            if text is not None:
                c.items[text] = c.items.get(text, EMPTY) | values
                c.keys.add(("T", text))
            else:
                c.keys.update(self.ev(k, scope))
                c.extra.update(values)
        return value

    def comprehension(self, node, scope) -> frozenset:
        names: list[str] = []
        for gen in node.generators:
            target_names(gen.target, names)
        inner = InlineScope(scope, names)
        for i, gen in enumerate(node.generators):
            items = self.iter_values(gen.iter, scope if i == 0 else inner)
            self._assign_target(gen.target, items, inner)
            for cond in gen.ifs:
                self.ev(cond, inner)
        if isinstance(node, ast.DictComp):
            c = self.container(id(node), "dict")
            c.keys.update(self.ev(node.key, inner))
            c.extra.update(self.ev(node.value, inner))
            return frozenset((("Dict", id(node)),))
        c = self.container(id(node), "seq")
        gen = node.generators[0]
        if (
            len(node.generators) == 1
            and not gen.ifs
            and isinstance(gen.target, ast.Name)
            and isinstance(gen.iter, (ast.Tuple, ast.List))
            and not any(isinstance(e, ast.Starred) for e in gen.iter.elts)
        ):
            # [f(x) for x in (a, b)]: one element per element written, in order
            for i, e in enumerate(gen.iter.elts):
                inner.bind(gen.target.id, self.ev(e, scope))
                values = self.ev(node.elt, inner)
                if i < len(c.elems):
                    c.elems[i] = c.elems[i] | values
                else:
                    c.elems.append(values)
            return frozenset((("Seq", id(node)),))
        c.extra.update(self.ev(node.elt, inner))
        return frozenset((("Seq", id(node)),))

    def subscript_key(self, node, scope):
        """The key of ``x[key]``: an int, ("slice", lower, upper) for a slice whose bounds are
        literal ints or left out (and no step), "slice" for any other slice, or the value set
        of the key expression."""
        if isinstance(node, ast.Constant) and type(node.value) is int:
            return node.value
        if (
            isinstance(node, ast.UnaryOp)
            and isinstance(node.op, ast.USub)
            and isinstance(node.operand, ast.Constant)
            and type(node.operand.value) is int
        ):
            return -node.operand.value
        if isinstance(node, ast.Slice):
            bounds = []
            for part in (node.lower, node.upper, node.step):
                if part is not None:
                    self.ev(part, scope)
                bound = None if part is None else self.subscript_key(part, scope)
                bounds.append(bound if bound is None or type(bound) is int else "?")
            if node.step is None and "?" not in bounds:
                return ("slice", bounds[0], bounds[1])
            return "slice"
        return frozenset(self.ev(node, scope))

    def iter_values(self, node, scope) -> frozenset:
        """What a loop over the expression binds to its target."""
        if isinstance(node, (ast.Tuple, ast.List, ast.Set)) and not any(
            isinstance(e, ast.Starred) for e in node.elts
        ):
            values = EMPTY
            for e in node.elts:
                values = values | self.ev(e, scope)
            return values or U
        return frozenset(("It", v) for v in self.ev(node, scope)) or U

    # functions written in expressions ----------------------------------------------------

    def lambda_value(self, node: ast.Lambda, scope) -> frozenset:
        known = self.done_defs.get(id(node))
        if known is not None:
            return frozenset((("D", known),))
        number = scope.module.lambda_numbers.get(id(node), 0)
        full = f"{scope.prefix}<lambda{number}>"
        func = self.new_func(full, scope.module, node)
        func.anonymous = True
        self.done_defs[id(node)] = full
        self._signature(node.args, func, scope)
        args = node.args
        names = [a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs)]
        names += [a.arg for a in (args.vararg, args.kwarg) if a is not None]
        inner = InlineScope(scope, names, owner=func, initial=self.param_values(args, func, scope),
                            prefix=full + ".")
        func.returns.update(self.ev(node.body, inner))
        return frozenset((("D", full),))

    # calls -------------------------------------------------------------------------------

    def call(self, node: ast.Call, scope, callee: frozenset | None) -> frozenset:
        func = node.func
        receiver = None
        if callee is None:
            if type(func) is ast.Name and func.id == "super" and self._is_builtin("super", scope):
                return self._super(node, scope)
            if type(func) is ast.Attribute:
                base = func.value
                receiver = scope.lookup(base.id) if type(base) is ast.Name else self.ev(base, scope)
                self.attribute_loads.append((scope.owner, receiver, func.attr))
                if len(receiver) == 1:
                    for v in receiver:
                        callee = frozenset((attr_of(v, func.attr),))
                else:
                    callee = frozenset(attr_of(v, func.attr) for v in receiver)
            else:
                callee = self.ev(func, scope)
        site = self._record_call(node, scope, callee, receiver)
        if len(callee) == 1:
            for v in callee:
                return frozenset((("K", v, site.id),)) if v != LITERAL else U
        return frozenset(("K", v, site.id) for v in callee if v != LITERAL) or U

    def _super(self, node: ast.Call, scope) -> frozenset:
        args = [self.ev(a, scope) for a in node.args]
        for kw in node.keywords:
            self.ev(kw.value, scope)
        if not args and scope.kind == "function" and scope.cls is not None:
            receivers = EMPTY
            first = scope.owner.params[0] if scope.owner.params else None
            if first is not None:
                receivers = scope.lookup(first)
            return frozenset((("S", frozenset((scope.cls,)), receivers),))
        if len(args) == 2:
            return frozenset((("Z", args[0], args[1]),))
        return U

    def _record_call(self, node: ast.Call, scope, callee: frozenset, receiver=None) -> Site:
        ev = self.ev
        args = []
        literal = None
        for a in node.args:
            t = type(a)
            if t is ast.Name:  # the common arguments read here, without a call of ev
                values = scope.lookup(a.id)
                args.append((EMPTY if values == L else values, False))
            elif t is ast.Constant:
                args.append((frozenset((("T", a.value),)) if type(a.value) is str else EMPTY, False))
            elif t is ast.Starred:
                args.append((ev(a.value, scope), True))
            else:
                values = ev(a, scope)
                args.append((EMPTY if values == L else values, False))
        keywords = []
        for kw in node.keywords:
            a = kw.value
            t = type(a)
            if t is ast.Name:
                values = scope.lookup(a.id)
            elif t is ast.Constant:
                values = frozenset((("T", a.value),)) if type(a.value) is str else EMPTY
            else:
                values = ev(a, scope)
            keywords.append((kw.arg, EMPTY if values == L else values))
            if kw.arg == "cell_name":
                literal = literal_text(kw.value)
        if node.args and type(node.args[0]) is not ast.Starred:
            literal = literal_text(node.args[0])
        base = receiver if receiver is not None and node.func.attr == "get_component" else None
        return self.add_site(scope.owner, callee, args, keywords, literal, base, key=id(node))

    def add_site(self, owner: Func, callee: frozenset, args: list, keywords: list,
                 literal: str | None = None, getter_base: frozenset | None = None, key=None) -> Site:
        """Record a call made by ``owner``; the same call read again (in a loop) adds to it."""
        if key is not None:
            site = self.site_index.get(key)
            if site is not None and site.caller is owner and len(site.args) == len(args):
                site.callee = site.callee | callee
                site.args = [(a | b, s) for (a, s), (b, _) in zip(site.args, args)]
                site.keywords = [(n, a | b) for (n, a), (_, b) in zip(site.keywords, keywords)]
                if getter_base is not None and site.getter_base is not None:
                    site.getter_base = site.getter_base | getter_base
                return site
        site = Site(len(self.sites), owner, callee, args, keywords, literal, getter_base)
        self.sites.append(site)
        if owner is not None:
            owner.sites.append(site)
        if key is not None:
            self.site_index[key] = site
        return site

    def _is_builtin(self, name: str, scope) -> bool:
        values = scope.lookup(name)
        if values == frozenset((("X", "builtins." + name),)):
            return True
        return values == frozenset((("G", scope.module.name, name),)) and (
            name not in scope.module.top_names
        )


# How each kind of expression is read; Name is handled before the look-up, and the operator-like
# kinds (and any kind not listed) by the walk at the end of ``ev``.
_EV = {
    ast.Attribute: Expressions._ev_attribute,
    ast.Call: Expressions._ev_call,
    ast.Constant: Expressions._ev_constant,
    ast.Lambda: Expressions.lambda_value,
    ast.IfExp: Expressions._ev_ifexp,
    ast.BoolOp: Expressions._ev_boolop,
    ast.NamedExpr: Expressions._ev_namedexpr,
    ast.List: Expressions.sequence,
    ast.Tuple: Expressions.sequence,
    ast.Set: Expressions.sequence,
    ast.Dict: Expressions.mapping,
    ast.ListComp: Expressions.comprehension,
    ast.SetComp: Expressions.comprehension,
    ast.GeneratorExp: Expressions.comprehension,
    ast.DictComp: Expressions.comprehension,
    ast.Yield: Expressions._ev_yield,
    ast.YieldFrom: Expressions._ev_yield,
    ast.Subscript: Expressions._ev_subscript,
}
