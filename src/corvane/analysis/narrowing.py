"""Tests of parameters against None: what a function returns under them, and which calls
can pass what a test asks.

``if p is None:`` (or ``is not None``) on a parameter not rebound yet: a value
returned in the branch, or after a branch that cannot fall off its end (to
the end of that statement list), is kept with the tests that hold there, and
a call's result keeps it only when the call can pass such a value.
"""

from __future__ import annotations

import ast

from .values import LITERAL, UNKNOWN, join


class Narrowing:
    """Mixin of the analysis: returns narrowed by tests of parameters against None."""

    def add_returns(self, func, value: frozenset, guards: tuple) -> None:
        """What a return statement returns, under the tests ``guards`` that hold there."""
        if guards:
            if func.cond is None:
                func.cond = {}
            for v in value:
                held = func.cond.get(v)
                if held is not None:
                    held.add(guards)
                elif v not in func.returns:
                    func.cond[v] = {guards}
        elif func.cond:
            for v in value:
                func.cond.pop(v, None)
        func.returns.update(value)

    def _narrowed_if(self, stmt: ast.If, scope, test: tuple[str, bool]):
        """Each branch of ``if p is None:`` runs only for the calls that can pass such a value,
        and so does the code after a branch that cannot fall off its end."""
        name, is_none = test
        outer = scope.guards
        entry = dict(scope.state)
        ends = []
        for body, holds in ((stmt.body, is_none), (stmt.orelse, not is_none)):
            scope.state = dict(entry)
            scope.guards = outer + ((name, holds),)
            if self.run(body, scope):
                ends.append((scope.state, holds))
        scope.guards = outer
        if not ends:
            scope.state = entry
            return False
        scope.state = join([state for state, _ in ends])
        if len(ends) == 1:
            scope.guards = outer + ((name, ends[0][1]),)
        return None

    def _none_test(self, test, scope) -> tuple[str, bool] | None:
        """``p is None`` / ``p is not None`` on a parameter not rebound yet: (p, is None)."""
        if not (type(test) is ast.Compare and len(test.ops) == 1 and type(test.ops[0]) in (ast.Is, ast.IsNot)):
            return None
        left, right = test.left, test.comparators[0]
        if type(left) is ast.Constant and left.value is None:
            left, right = right, left
        if not (type(left) is ast.Name and type(right) is ast.Constant and right.value is None):
            return None
        initial = scope.params.get(left.id)
        if initial is None or scope.state.get(left.id) != initial or any(g[0] == left.id for g in scope.guards):
            return None
        return left.id, type(test.ops[0]) is ast.Is

    def _can_hold(self, guards: tuple, bound: dict, func) -> bool:
        """Whether a call binding ``bound`` can pass what the tests ``(parameter, is None)`` ask.
        A parameter is None when the call leaves it to a default of None; it can be None when
        what it is given holds a literal or unknown, or nothing (literal arguments are not kept)."""
        for name, is_none in guards:
            given = bound.get(name)
            if given is None:
                default = func.defaults.get(name)
                if default is not None and default[1] is None and (default[0] is None) != is_none:
                    return False
            elif is_none:
                values = self.norm(frozenset().union(*given))
                if values and LITERAL not in values and UNKNOWN not in values:
                    return False
        return True
