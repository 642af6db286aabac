"""What the reading pass records: functions, classes, call sites, containers and stores."""

from __future__ import annotations

import ast
from typing import Any

from .values import EMPTY


class Func:
    """A function, a lambda, or the hidden function standing for a module's own code."""

    __slots__ = (
        "full", "module", "node", "order", "written", "decorators", "params", "posonly",
        "kwonly", "vararg", "kwarg", "defaults", "default_terms", "sites", "returns",
        "is_partial", "wrapped", "partial_site", "bound_args", "bound_kwargs", "generator",
        "output", "anonymous", "hidden", "cls", "method_kind", "yields",
        "named", "cond",
    )

    def __init__(self, full: str, module, node: ast.AST | None, order: int) -> None:
        self.full = full
        self.module = module
        self.node = node
        self.order = order
        self.written: list[str] = []
        # per decorator: (dotted text, value set of the decorator (its callee for a call),
        #                 is a call, tags node or None)
        self.decorators: list[tuple[str, frozenset, bool, ast.AST | None]] = []
        self.params: list[str] = []  # positional parameter names, in order
        self.posonly = 0  # how many of them are positional-only
        self.kwonly: list[str] = []
        self.named: frozenset = EMPTY  # the parameters a keyword argument can name
        self.vararg: str | None = None
        self.kwarg: str | None = None
        # parameter -> (raw default, value set when the default is a name, else None)
        self.defaults: dict[str, tuple[Any, frozenset | None]] = {}
        # parameter -> value set of its default, for calls that leave it out
        self.default_terms: dict[str, frozenset] = {}
        self.sites: list[Site] = []
        self.returns: set = set()
        # values returned only under tests of parameters against None: value -> the sets of
        # (parameter, is None) that held where it was returned; None while there are none
        self.cond: dict | None = None
        self.is_partial = False
        self.wrapped: frozenset = EMPTY
        self.partial_site: int | None = None
        self.bound_args: list[ast.AST] = []
        self.bound_kwargs: list[tuple[str, Any, frozenset | None]] = []
        self.generator = False
        self.yields: set = set()  # what a generator yields
        self.output: dict | None = None
        self.anonymous = False  # a lambda: a record, but no name to look up or to default to
        self.hidden = False  # module code: calls made there bind, nobody records them
        self.cls: str | None = None  # the class whose body defines it
        self.method_kind: str | None = None  # "static", "class", "property" or None


class Class:
    __slots__ = ("full", "bases", "namespace", "instance_attrs")

    def __init__(self, full: str, bases: list[frozenset]) -> None:
        self.full = full
        self.bases = bases
        self.namespace: dict[str, frozenset] = {}
        self.instance_attrs: dict[str, set] = {}


class Site:
    """One call: what is called, with which arguments, made by which function.

    ``args`` holds (value set, starred) per positional argument, ``keywords``
    (name or None for ``**``, value set).  ``literal`` is a literal text given
    as the first argument or as ``cell_name=``; ``getter_base`` the value set
    of ``x`` in ``x.get_component(...)``.
    """

    __slots__ = ("id", "caller", "callee", "args", "keywords", "literal", "getter_base",
                 "queued")

    def __init__(self, id: int, caller: Func | None, callee: frozenset, args: list,
                 keywords: list, literal: str | None = None, getter_base: frozenset | None = None):
        self.id = id
        self.caller = caller
        self.callee = callee
        self.args: list[tuple[frozenset, bool]] = args
        self.keywords: list[tuple[str | None, frozenset]] = keywords
        self.literal = literal
        self.getter_base = getter_base
        self.queued = False


class Container:
    """A list, tuple, set or dict made at one place, and everything put into it.

    ``elems`` holds the value set of each position written in a literal,
    ``extra`` what was put in at a position or under a key not known, ``items``
    the value set under each literal text key, ``keys`` the value sets of the
    keys (for iterating over a dict).
    """

    __slots__ = ("kind", "elems", "extra", "items", "keys")

    def __init__(self, kind: str) -> None:
        self.kind = kind  # "seq" or "dict"
        self.elems: list[frozenset] = []
        self.extra: set = set()
        self.items: dict[str, set] = {}
        self.keys: set = set()


class Store:
    """``base.attr = value`` (op "attr"; "param attr" on a parameter as the call passed it) or
    ``base[key] = value`` (op "item") outside a method's self."""

    __slots__ = ("op", "base", "key", "values", "queued")

    def __init__(self, op: str, base: frozenset, key: Any, values: frozenset) -> None:
        self.op = op
        self.base = base
        self.key = key
        self.values = values
        self.queued = False
