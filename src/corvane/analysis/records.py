"""The last pass: one record per function, read off the resolved values.

A function record holds its decorators as written and resolved through
imports, its parameter defaults raw and resolved, the functions each of its
calls can reach (one call's targets sorted, calls in the order written), the
component factories it fetches by literal name, and the partial flag and
tags.  A lambda has a record of its own, named ``<lambdaN>`` in the scope that
writes it (numbered in source order from 1): calling it is an edge to it, and
the calls in its body are its own.  Module code has no record.
"""

from __future__ import annotations

import ast
from typing import Any

from .definitions import Func
from .values import (
    CELL_DECORATOR_SET, COMPONENT_GETTERS, UNKNOWN, attr_of, error_text, raw_default, tags_of,
)


class Records:
    """Mixin of the analysis: the records of the call graph."""

    # what a call reaches -----------------------------------------------------------------

    def targets(self, values, out: dict, seen: set) -> None:
        """Full names of the functions that calling one of the values runs."""
        for v in values:
            kind = v[0]
            if kind == "D":
                func = self.funcs.get(v[1])
                if func is not None and not func.hidden:
                    out[v[1]] = None
            elif kind == "C":
                new = self.own_new(v)
                if new is not None:
                    out[new.full] = None
                self.targets(self.class_attr(v[1], "__init__", v, ("I", v)), out, seen)
            elif kind == "I" and v[1][0] == "C":
                self.targets(self.class_attr(v[1][1], "__call__", v[1], v), out, seen)
            elif kind == "B" or kind == "W" or kind == "SM":
                self.targets((v[1],), out, seen)
            elif kind == "P":
                self.targets(v[1], out, seen)

    def site_targets(self, site, out: dict, seen: set) -> None:
        self.targets(self.norm(site.callee), out, seen)

    # decorators --------------------------------------------------------------------------

    def decorator_texts(self, values: frozenset, is_call: bool) -> list[str]:
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
            if v[0] in ("D", "C", "X", "M"):
                texts.append(v[1] + suffix)
        return texts

    def _chain(self, v) -> list[str]:
        texts: list[str] = []
        for _ in range(64):
            kind = v[0]
            if kind in ("D", "C", "X", "M"):
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
                        v = attr_of(v, name)
                elif rest and self._known(v[1] + "." + attr):
                    v = ("R", v[1] + "." + attr, rest)
                else:
                    break
            else:
                break
        return texts

    def resolved_decorators(self, func: Func) -> list[str]:
        cached = self.decorator_memo.get(func.full)
        if cached is not None:
            return cached
        resolved = []
        self.decorator_memo[func.full] = resolved  # a decorator naming its own function
        for written, (_, values, is_call, _) in zip(func.written, func.decorators):
            texts = self.decorator_texts(values, is_call)
            text = next((t for t in texts if t in CELL_DECORATOR_SET), texts[-1] if texts else written)
            resolved.append(text)
        return resolved

    def is_factory(self, func: Func) -> bool:
        if func.is_partial:
            base = self._partial_base(func)
            return base is not None and base is not func and self.is_factory(base)
        return any(d in CELL_DECORATOR_SET for d in (*func.written, *self.resolved_decorators(func)))

    def _partial_base(self, func: Func) -> Func | None:
        wrapped = self.norm(func.wrapped)
        if len(wrapped) == 1:
            (v,) = wrapped
            if v[0] == "D" and v[1] in self.funcs and not self.funcs[v[1]].anonymous:
                return self.funcs[v[1]]
        return None

    # component look-ups ------------------------------------------------------------------

    def _short_names(self) -> dict[str, list[Func]]:
        if self.short_index is None:
            index: dict[str, list[Func]] = {}
            for func in self.funcs.values():
                module, _, short = func.full.rpartition(".")
                if module == func.module.name and not func.anonymous and not func.hidden:
                    index.setdefault(short, []).append(func)
            self.short_index = index
        return self.short_index

    def _component(self, name: str) -> str | None:
        candidates = self._short_names().get(name)
        if not candidates:
            return None
        for func in candidates:
            if self.is_factory(func):
                return func.full
        return candidates[0].full

    def _is_getter(self, callee: frozenset, base: frozenset | None) -> bool:
        values = frozenset(v for v in self.norm(callee) if v != UNKNOWN)
        unwrapped = set()
        for v in values:
            while v[0] in ("B", "W"):
                v = v[1]
            unwrapped.add(v)
        if unwrapped and all(v[0] in ("D", "X") and v[1] in COMPONENT_GETTERS for v in unwrapped):
            return True
        if base:
            objects = frozenset(o for o in self.norm(base) if o != UNKNOWN)
            return bool(objects) and all(self.is_pdk(o) for o in objects)
        return False

    # records -----------------------------------------------------------------------------

    def output(self, func: Func) -> dict:
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
            func.module.errors.append("RecursionError: names of " + func.full + " nested too deeply to resolve")
        except Exception as exc:  # an odd construct costs one record, not the whole graph
            func.module.errors.append("resolving " + func.full + " stopped: " + error_text(exc))
        return record

    def _fill_function(self, func: Func, record: dict) -> None:
        record["decorators"] = list(func.written)
        resolved = self.resolved_decorators(func)
        record["resolved_decorators"] = list(resolved)
        for text, (_, _, _, tags) in zip(resolved, func.decorators):
            if tags is not None and text in CELL_DECORATOR_SET and not record["tags"]:
                record["tags"] = tags_of(tags)
        for name, (raw, named) in func.defaults.items():
            record["parameter_defaults"][name] = raw
            record["resolved_parameter_defaults"][name] = self._resolved_default(raw, named)
        calls: dict[str, None] = {}
        gets: dict[str, None] = {}
        for site in func.sites:
            reached: dict[str, None] = {}
            self.site_targets(site, reached, set())
            calls.update(dict.fromkeys(sorted(reached)))  # one site's callees in a fixed order
            if site.literal is not None and self._is_getter(site.callee, site.getter_base):
                full = self._component(site.literal)
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
            if v[0] == "D" and v[1] in self.funcs and not self.funcs[v[1]].anonymous:
                return v[1]
        return raw

    def _fill_partial(self, func: Func, record: dict) -> None:
        calls: dict[str, None] = {}
        self.targets(self.norm(func.wrapped), calls, set())
        record["resolved_calls"] = sorted(calls)
        base = self._partial_base(func)
        if base is not None:
            inner = self.output(base)
            record["decorators"] = list(inner["decorators"])
            record["resolved_decorators"] = list(inner["resolved_decorators"])
            record["parameter_defaults"] = dict(inner["parameter_defaults"])
            record["resolved_parameter_defaults"] = dict(inner["resolved_parameter_defaults"])
            record["tags"] = list(inner["tags"])
            # Positional arguments bound by the partial fix the leading parameters.
            for name, node in zip(base.params, func.bound_args):
                if isinstance(node, ast.Starred):
                    break
                record["parameter_defaults"][name] = raw_default(node)
                record["resolved_parameter_defaults"][name] = raw_default(node)
        for name, raw, named in func.bound_kwargs:
            record["parameter_defaults"][name] = raw
            record["resolved_parameter_defaults"][name] = self._resolved_default(raw, named)
