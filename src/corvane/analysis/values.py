"""Abstract values, the names the analysis knows from outside, and small AST helpers.

A value is a tuple whose first item is its kind.  Concrete values:

    ("M", module)               a module object
    ("X", dotted)               something outside the analysed libraries
    ("D", full_name)            an analysed function or lambda, undecorated
    ("C", full_name)            an analysed class
    ("I", class_value)          an instance of ("C", ...) or ("X", ...)
    ("B", function, receiver)   a method bound to a receiver (an instance or a class)
    ("W", value)                a function wrapped by a decorator the analysis cannot see:
                                calls reach the function, what they return is unknown
    ("P", targets, site)        functools.partial of the target values, with the
                                arguments of the call at ``site`` bound first
    ("S", classes, receivers)   super() written in the given classes, for the receivers
    ("Seq", key) ("Dict", key)  a list, tuple or set / a dict made at one place (``key``)
    ("SeqOf", value)            a sequence holding the elements of ``value`` (list(x), ...)
    ("Vals", d) ("Keys", d) ("Pairs", d) ("Pair", d)
                                the views of a dict and one (key, value) pair of it
    ("CM", container, name)     a method of a container (append, get, items, ...)
    ("Gen", function)           a generator object of the function: iterating yields what it yields
    ("T", text)                 a literal text
    ("L",)                      any other value that calls nothing (a number, None, ...)
    ("U",)                      unknown

and symbolic ones, which the fixpoint pass resolves to concrete values:

    ("R", module, attrs)        attribute path below an imported module
    ("G", module, name)         a module's global name as it stands at the module's end
    ("V", function, name)       a parameter: every value the calls seen bind to it
    ("A", value, attr)          attribute of a value
    ("K", callee, site)         result of calling the callee at a call site
    ("E", value, key)           ``value[key]``: key an int, a frozenset of key values, or None
    ("It", value)               what iterating over the value yields
    ("Ap", texts, call, applied, inner, site)
                                a decorator applied to ``inner`` at ``site``
    ("Cell", function)          the function itself when one of its decorators marks a cell
    ("PA", value, attr)         the getter of property ``attr`` of the value, bound to it
    ("H", annotation)           a parameter annotated with the given value set
    ("Z", classes, receivers)   super(C, obj) with explicit arguments
"""

from __future__ import annotations

import ast
import builtins
from typing import Any

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
CELL_DECORATOR_SET = frozenset(CELL_DECORATORS)

# The layout library's getters of a component by name, and what names a PDK.
COMPONENT_GETTERS = frozenset(
    {"velloc.pdk.get_component", "velloc.get_component", "velloc.pdk.Pdk.get_component"}
)
PDK_CLASSES = frozenset({"velloc.pdk.Pdk", "velloc.Pdk"})
PDK_GETTERS = frozenset(
    {
        "velloc.pdk.get_active_pdk",
        "velloc.get_active_pdk",
        "corvane.core.pdk.get_pdk",
        "corvane.core.pdk.get_base_pdk",
    }
)
PDK_OBJECTS = frozenset({"velloc.generic.PDK"})
PARTIAL = "functools.partial"

# Decorators that hand back the function itself, or a wrapper that only calls
# it: a call of the decorated name is a call of the function and returns
# what it returns.  The cell decorators are among them, so a call of a cell
# factory is an edge to the factory.
TRANSPARENT_DECORATORS = CELL_DECORATOR_SET | {
    "builtins.staticmethod",
    "builtins.classmethod",
    "functools.cache",
    "functools.lru_cache",
    "functools.lru_cache(...)",
    "functools.wraps(...)",
    "functools.cached_property",
    "typing.overload",
    "typing.final",
    "abc.abstractmethod",
    "contextlib.contextmanager",
}

BUILTIN_NAMES = frozenset(dir(builtins))

UNKNOWN = ("U",)
LITERAL = ("L",)
U = frozenset((UNKNOWN,))
L = frozenset((LITERAL,))
EMPTY: frozenset = frozenset()
# Kinds that are already concrete.
CONCRETE = frozenset(
    {"M", "X", "D", "C", "I", "B", "W", "P", "S", "Seq", "Dict", "SeqOf", "Vals", "Keys", "Pairs",
     "Pair", "CM", "Gen", "T", "L", "U"}
)
CONTAINERS = frozenset({"Seq", "Dict", "SeqOf", "Vals", "Keys", "Pairs", "Pair"})
# Container methods whose calls the analysis follows.
CONTAINER_METHODS = frozenset(
    {"append", "add", "insert", "extend", "update", "setdefault", "get", "pop", "copy",
     "values", "keys", "items", "__getitem__"}
)


def error_text(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def dotted(node: ast.AST) -> str | None:
    """``a.b.c`` for a name or attribute chain, else None."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name):
        return None
    parts.append(node.id)
    return ".".join(reversed(parts))


def written(node: ast.AST) -> str:
    """A decorator as written: dotted text, a call as ``dotted(...)``."""
    if isinstance(node, ast.Call):
        func = dotted(node.func)
        return (func if func is not None else ast.unparse(node.func)) + "(...)"
    text = dotted(node)
    return text if text is not None else ast.unparse(node)


def raw_default(node: ast.AST) -> Any:
    """A literal as its value, anything else (names, attributes, calls) as its source text."""
    if isinstance(node, (ast.Name, ast.Attribute)):
        return ast.unparse(node)
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return ast.unparse(node)


def literal_text(node: ast.AST | None) -> str | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    return None


def tags_of(node: ast.AST) -> list:
    """The literal ``tags=`` of a cell decorator as a list of texts."""
    try:
        value = ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return []
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple, set, frozenset)):
        return [v for v in value if isinstance(v, str)]
    return []


# Attribute chains on outside values longer than this are unknown: a loop such
# as ``x = x.parent`` would otherwise make new values forever.
MAX_OUTSIDE_DEPTH = 8


def outside_attr(name: str, attr: str):
    if name.count(".") >= MAX_OUTSIDE_DEPTH:
        return UNKNOWN
    return ("X", name + "." + attr)


def attr_of(v, attr: str):
    """The (possibly symbolic) value of attribute ``attr`` of ``v``."""
    kind = v[0]
    if kind == "M":
        return ("R", v[1], (attr,))
    if kind == "R":
        return ("R", v[1], (*v[2], attr))
    if kind == "X":
        return outside_attr(v[1], attr)
    if kind in ("L", "U", "T"):
        return UNKNOWN
    return ("A", v, attr)


def seq_of(values: frozenset) -> frozenset:
    """Sequences holding the elements of the values (``[*x]``, ``a, *rest = x``)."""
    return frozenset(v if v[0] == "SeqOf" else ("SeqOf", v) for v in values)


def join(states: list[dict]) -> dict:
    """Names bound on several paths: each name may hold any of the paths' values."""
    if len(states) == 1:
        return dict(states[0])
    out = dict(states[0])
    for state in states[1:]:
        for name, values in state.items():
            old = out.get(name)
            out[name] = values if old is None or old is values else old | values
    return out


def c3_merge(sequences: list[list]) -> list:
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
