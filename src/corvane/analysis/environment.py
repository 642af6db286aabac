"""Branches of module and class code on environment variables, read as an ordinary run takes them.

A library may define a name twice, once under a test of an environment
variable that only some tool sets (networkx rebinds ``_dispatchable`` when
its documentation is built).  An ordinary run has such variables unset, so
the branch an unset variable takes is the one read, and the other defines
nothing.  Only tests whose whole value is decided by the variables being
unset count:

    os.environ.get("X")   os.getenv("X")   (a literal default: its truth)
    "X" in os.environ     "X" not in os.environ
    os.environ["X"]       raises KeyError: the body is not taken
    not T,  T and U,  T or U   of such tests, where the unset ones decide it

``environ`` and ``getenv`` may be imported from ``os`` by name.  Every other
test keeps both branches.  Function bodies are not decided: what runs there
depends on when they are called.
"""

from __future__ import annotations

import ast
from typing import Callable

# A test's outcome with its variables unset: True, False, RAISES or None (not decided).
RAISES = "raises"
_ENVIRON = "os.environ"
_GETTERS = frozenset({"os.environ.get", "os.getenv"})


def unset_outcome(test: ast.expr, refers: Callable[[str], str | None]):
    """What ``test`` gives when every environment variable it reads is unset.

    ``refers(name)`` is the dotted text a name stands for where the test is
    read (``"os"``, ``"os.environ"``, ``"os.getenv"``) or None."""
    t = type(test)
    if t is ast.UnaryOp and type(test.op) is ast.Not:
        inner = unset_outcome(test.operand, refers)
        return (not inner) if type(inner) is bool else inner
    if t is ast.BoolOp:
        return _bool_op(test, refers)
    if t is ast.Call:
        if _dotted(test.func, refers) not in _GETTERS or test.keywords or not 1 <= len(test.args) <= 2:
            return None
        if not _is_text(test.args[0]):
            return None
        if len(test.args) == 1:
            return False
        default = test.args[1]
        return bool(default.value) if type(default) is ast.Constant else None
    if t is ast.Compare:
        if len(test.ops) != 1 or type(test.ops[0]) not in (ast.In, ast.NotIn) or not _is_text(test.left):
            return None
        if _dotted(test.comparators[0], refers) != _ENVIRON:
            return None
        return type(test.ops[0]) is ast.NotIn
    if t is ast.Subscript:
        if _dotted(test.value, refers) == _ENVIRON and _is_text(test.slice):
            return RAISES
    return None


def _bool_op(test: ast.BoolOp, refers):
    """``and`` / ``or``: decided when the unset tests decide it whatever the others give."""
    is_and = type(test.op) is ast.And
    stop = not is_and  # the operand value that ends the evaluation
    unknown = False
    for operand in test.values:
        outcome = unset_outcome(operand, refers)
        if outcome is None:
            unknown = True
        elif outcome is RAISES:
            # Raises when reached; after an undecided operand it may not be.
            return None if unknown else RAISES
        elif outcome is stop:
            # Ends the test with that truth whether or not an undecided operand ended it first.
            return stop
    return None if unknown else (not stop)


def _is_text(node: ast.expr) -> bool:
    return type(node) is ast.Constant and type(node.value) is str


def _dotted(node: ast.expr, refers) -> str | None:
    attrs = []
    while type(node) is ast.Attribute:
        attrs.append(node.attr)
        node = node.value
    if type(node) is not ast.Name:
        return None
    base = refers(node.id)
    if base is None:
        return None
    return ".".join([base, *reversed(attrs)])


def taken_branch(stmt: ast.If, refers) -> list[ast.stmt] | None:
    """The statements an ordinary run takes at ``stmt``, or None when both branches stay."""
    outcome = unset_outcome(stmt.test, refers)
    if outcome is None:
        return None
    return stmt.body if outcome is True else stmt.orelse


class Environment:
    """Mixin of the analysis: module and class branches on environment variables."""

    branches_decided = 0

    def decided_branch(self, stmt: ast.If, scope) -> list[ast.stmt] | None:
        """The branch of a module's or class's ``if`` an ordinary run takes, when its test is
        decided by environment variables being unset; None when both are read."""
        if "os" in self.modules or "os" in self.prefixes:
            return None  # an analysed library named os: its environ is not the process's

        def refers(name: str) -> str | None:
            value = scope.lookup(name)
            if len(value) != 1:
                return None
            (v,) = value
            if v == ("M", "os"):
                return "os"
            if v[0] == "R" and v[1] == "os" and len(v[2]) == 1:
                return "os." + v[2][0]
            return None

        taken = taken_branch(stmt, refers)
        if taken is not None:
            self.branches_decided += 1
        return taken
