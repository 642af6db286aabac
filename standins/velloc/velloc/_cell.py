"""The ``cell`` decorator that marks a function as a component factory."""

from __future__ import annotations

import functools
import inspect
from typing import Any, Callable

__all__ = ["cell", "cell_with_module_name", "clean_value"]

_REPLACE = {".": "p", "-": "m"}  # 2.5 -> 2p5, -1 -> m1


def clean_value(value: Any) -> str:
    """A short, name-safe text for a setting value (20.5 -> 20p5)."""
    if isinstance(value, bool):
        return "T" if value else "F"
    if isinstance(value, float):
        text = f"{value:g}"
    elif callable(value):
        text = getattr(value, "__name__", type(value).__name__)
    elif isinstance(value, (list, tuple)):
        text = "_".join(clean_value(v) for v in value)
    elif hasattr(value, "name") and isinstance(getattr(value, "name"), str):
        text = value.name  # layer enumeration members and similar named values
    else:
        text = str(value)
    return "".join(c if c.isalnum() or c == "_" else _REPLACE.get(c, "") for c in text)


def _settings_of(signature: inspect.Signature, args, kwargs):
    """Full settings (defaults filled in) and the ones that differ from the defaults."""
    bound = signature.bind(*args, **kwargs)
    changed = {}
    for name, value in bound.arguments.items():
        default = signature.parameters[name].default
        if default is inspect.Parameter.empty or (default is not value and default != value):
            changed[name] = value
    bound.apply_defaults()
    return dict(bound.arguments), changed


def _wrap(func: Callable, with_module: bool) -> Callable:
    signature = inspect.signature(func)
    prefix = f"{func.__module__.rsplit('.', 1)[-1]}_" if with_module else ""

    @functools.wraps(func)
    def factory(*args, **kwargs):
        settings, changed = _settings_of(signature, args, kwargs)
        component = func(*args, **kwargs)
        suffix = "".join(f"_{key}{clean_value(value)}" for key, value in changed.items())
        component.name = f"{prefix}{func.__name__}{suffix}"
        component.function_name = func.__name__
        component.module = func.__module__
        component.settings = settings
        component.lock()
        return component

    factory.is_cell = True
    return factory


def cell(func: Callable) -> Callable:
    """Mark ``func`` as a cell factory.

    Each call builds a new component (nothing is cached), names it from the
    factory name and the arguments that differ from their defaults (for example
    ``straight_length20p5``), records its full settings and factory name for
    the netlist, and locks it against further changes.  ``functools.wraps``
    keeps ``__module__``, ``__name__`` and the docstring of ``func``.
    """
    return _wrap(func, with_module=False)


def cell_with_module_name(func: Callable) -> Callable:
    """Like ``cell``, with the defining module's last name as a prefix of the component name."""
    return _wrap(func, with_module=True)
