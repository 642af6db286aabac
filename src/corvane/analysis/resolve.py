"""Resolving symbolic values to concrete ones, with the state the fixpoint pass has gathered.

``norm`` turns a value set into concrete values.  A result that read nothing
the fixpoint pass can still add to (parameters, containers, attributes that
some code assigns from outside) is kept for good; the others only for the
current round.  A value that depends on itself (a function returning its own
call, a list holding itself) is resolved by going round the cycle until
nothing is added.
"""

from __future__ import annotations

from .values import (
    BUILTIN_NAMES, CONCRETE, CONTAINER_METHODS, EMPTY, PARTIAL, PDK_CLASSES, PDK_GETTERS,
    TRANSPARENT_DECORATORS, U, UNKNOWN, outside_attr,
)

_NO_CYCLE = 1 << 30
_CYCLE_ROUNDS = 8
_SEQUENCE_BUILTINS = frozenset(
    f"builtins.{name}" for name in ("list", "tuple", "set", "frozenset", "sorted", "reversed", "iter")
)



def _analysed_callable(v) -> bool:
    kind = v[0]
    return kind in ("D", "C", "B", "P", "SM", "W") or (kind == "I" and v[1][0] == "C")


# Kinds whose second item is a value: parameters are followed into them.
_NESTING = frozenset({"A", "K", "E", "It", "SeqOf", "W", "Sl"})


class _Given:
    """The arguments a call of a partial passes: those bound first, then the call's own."""

    __slots__ = ("args", "keywords", "id")

    def __init__(self, bound, site) -> None:
        self.args = bound.args[1:] + site.args
        self.keywords = bound.keywords + site.keywords
        self.id = site.id


def _own_params(terms, full: str) -> frozenset:
    """Names of the function's own parameters that the terms are made of."""
    found = set()
    for term in terms:
        while term[0] in _NESTING:
            term = term[1]
        if term[0] == "V" and term[1] == full:
            found.add(term[2])
    return frozenset(found)


def _substitute(term, full: str, bound: dict) -> frozenset:
    """The term with the function's own parameters replaced by the values one call binds."""
    kind = term[0]
    if kind == "V" and term[1] == full:
        out: set = set()
        for values in bound.get(term[2], ()):
            out |= values
        return frozenset(out)
    if kind in _NESTING:
        return frozenset((kind, inner, *term[2:]) for inner in _substitute(term[1], full, bound))
    return frozenset((term,))


class Resolver:
    """Mixin of the analysis: concrete values of symbolic ones."""

    def norm(self, values) -> frozenset:
        if len(values) == 1:  # most value sets hold one value
            for v in values:
                if v[0] in CONCRETE:
                    return values if type(values) is frozenset else frozenset(values)
                hit = self.memo.get(v)  # the common case of _norm_one, without the call
                if hit is None:
                    return self._norm_one(v)
                if hit[1]:
                    self.reading.extend(hit[1])
                return hit[0]
        out = None
        for v in values:
            if v[0] not in CONCRETE:
                if out is None:  # the concrete values seen so far
                    out = {u for u in values if u[0] in CONCRETE}
                out |= self._norm_one(v)
        if out is None:  # concrete already
            return values if type(values) is frozenset else frozenset(values)
        return frozenset(out)

    def read_cell(self, cell) -> None:
        """The value being resolved read a cell the fixpoint pass may still add to."""
        self.reading.append(cell)

    def _norm_one(self, v) -> frozenset:
        hit = self.memo.get(v)
        if hit is not None:
            if hit[1]:
                self.reading.extend(hit[1])
            return hit[0]
        depth = self.active.get(v)
        if depth is not None:  # a cycle: what flows round it is added when its head is done
            if depth < self.low:
                self.low = depth
            return self.estimates.get(v, EMPTY)
        hit = self.partial.get(v)
        if hit is not None:  # resolved already on the way round a cycle whose head is not done
            result, low, cells = hit
            if low < self.low:
                self.low = low
            self.reading.extend(cells)
            return result
        saved_low = self.low
        mine = len(self.active)
        self.active[v] = mine
        self.low = _NO_CYCLE
        reading = self.reading
        start = len(reading)  # the cells read from here on are this value's
        try:
            result = self._resolve(v)
            if self.low == mine:
                for _ in range(_CYCLE_ROUNDS):
                    self.estimates[v] = result
                    self.partial.clear()  # they were resolved with the head's earlier estimate
                    self.low = _NO_CYCLE
                    again = result | self._resolve(v)
                    if again == result:
                        break
                    result = again
                else:
                    self.count("cycle rounds")
                self.estimates.pop(v, None)
                self.low = _NO_CYCLE
        finally:
            del self.active[v]
        if self.low > mine:  # complete: nothing above it was cut off
            if len(reading) > start:
                cells = frozenset(reading[start:])
                if len(reading) - start > 2 * len(cells):
                    del reading[start:]
                    reading.extend(cells)
                self.memo[v] = (result, cells)
                users = self.memo_users
                for cell in cells:
                    found = users.get(cell)
                    if found is None:
                        users[cell] = {v}
                    else:
                        found.add(v)
            else:
                self.memo[v] = (result, None)
        else:  # part of a cycle whose head is still open: kept until an estimate changes
            self.partial[v] = (result, self.low, tuple(set(reading[start:])))
        if not self.active:
            self.partial.clear()
        if saved_low < self.low:
            self.low = saved_low
        return result

    def _resolve(self, v) -> frozenset:
        kind = v[0]
        if kind == "V":
            self.read_cell(v)
            return frozenset(self.params.get((v[1], v[2]), EMPTY))
        if kind == "R":
            values = frozenset((("M", v[1]),))
            for attr in v[2]:
                values = self.getattr(values, attr)
            return values
        if kind == "G":
            return self._global(v[1], v[2])
        if kind == "A":
            return self.getattr(self.norm((v[1],)), v[2])
        if kind == "K":
            return self.call_result(self.norm((v[1],)), self.sites[v[2]])
        if kind == "E":
            return self.subscript(self.norm((v[1],)), v[2])
        if kind == "It":
            return self.iterate(self.norm((v[1],)))
        if kind == "Sl":
            return self.slice(self.norm((v[1],)), v[2], v[3])
        if kind == "Ap":
            return self._decorated(v)
        if kind == "Cell":
            return frozenset((("D", v[1]),)) if self.is_factory(self.funcs[v[1]]) else EMPTY
        if kind == "PA":
            return self._property(self.norm((v[1],)), v[2])
        if kind == "H":
            classes = self.norm(v[1])
            if classes and all(self.is_pdk_class(c) for c in classes):
                return frozenset(("I", c) for c in classes)
            return U
        if kind == "Z":
            classes = frozenset(c[1] for c in self.norm(v[1]) if c[0] == "C")
            return frozenset((("S", classes, v[2]),)) if classes else U
        return U

    def _global(self, name: str, attr: str) -> frozenset:
        module = self.modules.get(name)
        if module is None:
            return U
        if attr in self.stored_attrs:
            self.read_cell(("ATTR", name, attr))
        bound = module.state.get(attr)
        if bound is not None:
            return self.norm(bound)
        if module.star_sources and any(s is None or s not in self.modules for s in module.star_sources):
            return U
        if attr in BUILTIN_NAMES:
            return frozenset((("X", "builtins." + attr),))
        return U

    def _decorated(self, v) -> frozenset:
        """What a decorator makes of a function: itself when the decorator is known to keep it,
        what the decorator returns when the analysis can see it, else the function wrapped."""
        _, texts, is_call, applied, inner, site = v
        names = self.decorator_texts(texts, is_call)
        if any(n in TRANSPARENT_DECORATORS for n in names):
            return self.norm(inner)
        decorators = self.norm(applied)
        if any(_analysed_callable(d) for d in decorators):
            result = frozenset(r for r in self.call_result(decorators, self.sites[site]) if r != UNKNOWN)
            if result:
                return result
        return frozenset(("W", x) for x in self.norm(inner))

    # attributes --------------------------------------------------------------------------

    def getattr(self, values: frozenset, attr: str) -> frozenset:
        out: set = set()
        for v in values:
            kind = v[0]
            if kind == "M":
                out |= self.module_attr(v[1], attr)
            elif kind == "X":
                out.add(outside_attr(v[1], attr))
            elif kind == "C":
                out |= self.class_attr(v[1], attr, v, None)
            elif kind == "I" and v[1][0] == "C":
                out |= self.class_attr(v[1][1], attr, v[1], v)
            elif kind == "S":
                out |= self._super_attr(v, attr)
            elif kind in ("Seq", "Dict", "SeqOf", "Vals", "Keys", "Pairs") and attr in CONTAINER_METHODS:
                out.add(("CM", v, attr))
            else:
                out.add(UNKNOWN)
        return frozenset(out)

    # calls -------------------------------------------------------------------------------

    def call_result(self, callees: frozenset, site, receiver=None) -> frozenset:
        out: set = set()
        for c in callees:
            kind = c[0]
            if kind == "C":
                new = self.own_new(c)
                out |= self.new_result(new, c, site) if new is not None else {("I", c)}
            elif kind == "D":
                func = self.funcs.get(c[1])
                if c[1] in PDK_GETTERS:
                    out.add(self.pdk_instance())
                elif func is None:
                    out.add(UNKNOWN)
                elif func.is_partial:
                    given = None if site is None else _Given(self.sites[func.partial_site], site)
                    for target in self.norm(func.wrapped):
                        out |= self.call_result(frozenset((target,)), given if target[0] in ("D", "C") else None)
                elif not func.returns:
                    out.add(UNKNOWN)
                else:
                    out |= self._returned(func, site, receiver)
            elif kind == "B":
                out |= self.call_result(frozenset((c[1],)), site, c[2])
            elif kind == "SM":
                out |= self.call_result(frozenset((c[1],)), site)
            elif kind == "X":
                out |= self._outside_call(c[1], site)
            elif kind == "P":
                given = None if site is None else _Given(self.sites[c[2]], site)
                for target in c[1]:
                    out |= self.call_result(frozenset((target,)), given if target[0] in ("D", "C") else None)
            elif kind == "I" and c[1][0] == "C":
                call = self.class_attr(c[1][1], "__call__", c[1], c)
                out |= self.call_result(call, site)
            elif kind == "CM":
                out |= self._container_call(c[1], c[2], site)
            else:
                out.add(UNKNOWN)
        return frozenset(out)

    def _returned(self, func, site, receiver) -> frozenset:
        """What a call returns.  A parameter the function returns (``return f``, ``return self``,
        ``return x.attr``) is what this call passes, not what every call passes."""
        names = self.returned_params.get(func.full)
        if names is None:
            names = self.returned_params[func.full] = _own_params(func.returns, func.full)
        if site is None or (not names and not func.cond):
            return self.norm(func.returns)
        bound = self.arguments(func, receiver, site.args, site.keywords)[0]
        returns = func.returns
        if func.cond:
            cond = func.cond
            returns = [t for t in returns if t not in cond or any(self._can_hold(g, bound, func) for g in cond[t])]
        if not names:
            return self.norm(returns)
        terms: set = set()
        for term in returns:
            terms |= _substitute(term, func.full, bound)
        return self.norm(terms)

    def _arg(self, site, i: int) -> frozenset | None:
        if site is None or i >= len(site.args) or site.args[i][1]:
            return None
        return self.norm(site.args[i][0])

    def _outside_call(self, name: str, site) -> frozenset:
        if name == PARTIAL:
            targets = self._arg(site, 0)
            # a partial of a partial keeps the inner one's targets (not its arguments)
            targets = frozenset(u for t in targets or () if t != UNKNOWN for u in (t[1] if t[0] == "P" else (t,)))
            return frozenset((("P", targets, site.id),)) if targets else U
        if name == "functools.wraps":  # a decorator that hands back what it is given
            return frozenset((("X", "functools.wraps(...)"),))
        if name == "functools.wraps(...)":
            return self._arg(site, 0) or U
        if name == "builtins.staticmethod":
            return frozenset(("SM", v) for v in self._arg(site, 0) or ()) or U
        if name == "builtins.classmethod":
            return self._arg(site, 0) or U
        if name in PDK_GETTERS:
            return frozenset((self.pdk_instance(),))
        if name in PDK_CLASSES:
            return frozenset((("I", ("X", name)),))
        if site is None:
            return U
        if name in _SEQUENCE_BUILTINS and len(site.args) == 1:
            return frozenset(v if v[0] == "SeqOf" else ("SeqOf", v) for v in self.norm(site.args[0][0]))
        if name == "builtins.next" and site.args:
            return self.iterate(self.norm(site.args[0][0]))
        if name == "builtins.getattr" and len(site.args) >= 2:
            out: set = set()
            for text in self._arg(site, 1) or ():
                if text[0] == "T":
                    out |= self.getattr(self._arg(site, 0) or EMPTY, text[1])
            return frozenset(out) or U
        if name == "builtins.object.__new__" and site.args:
            return frozenset(("I", c) for c in self._arg(site, 0) or () if c[0] == "C") or U
        if name == "builtins.type" and len(site.args) == 1:
            return frozenset(v[1] for v in self._arg(site, 0) or () if v[0] == "I") or U
        if name == "builtins.dict":
            return frozenset((("Dict", self._dict_call(site)),))
        return U
