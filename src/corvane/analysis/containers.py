"""Containers: lists, tuples, sets and dicts, what is put into them and what comes out.

A sequence keeps the value set of each position written in a literal, what
``x[i] = v`` stores at such a position, and what is added later (``append``,
``insert``, ``x[k] = v`` with ``k`` not known, ...) as elements at positions
not known; a slice with literal bounds of a sequence whose positions are all
known keeps the positions between them; a dict keeps the value set under each literal text key, and what
is stored under keys not known (a key with no value known reads every
entry).  ``x[0]``, ``d["k"]``, ``d.get("k")``,
iteration, ``.values()``, ``.items()`` and unpacking read them back.
"""

from __future__ import annotations

from .definitions import Store
from .values import EMPTY, U, UNKNOWN

_VIEWS = {"values": "Vals", "keys": "Keys", "items": "Pairs"}


class Containers:
    """Mixin of the analysis: what containers hold."""

    def _dict_call(self, site):
        """The dict that ``dict(...)`` at the site makes, filled once."""
        key = ("dict", site.id)
        if key not in self.containers:
            c = self.container(key, "dict")
            value = frozenset((("Dict", key),))
            for name, values in site.keywords:
                if name is None:
                    self.add_store("update", value, None, values)
                else:
                    c.items[name] = c.items.get(name, EMPTY) | values
                    c.keys.add(("T", name))
            for values, starred in site.args[:1]:
                if not starred:
                    self.add_store("update", value, None, values)
        return key

    def _container_call(self, container, method: str, site) -> frozenset:
        if method in ("get", "pop", "setdefault", "__getitem__"):
            first = self._arg(site, 0)
            if container[0] == "Seq" and method == "pop":
                return self.subscript(frozenset((container,)), None)
            return self.subscript(frozenset((container,)), first)
        if method == "copy":
            return frozenset((container,))
        view = _VIEWS.get(method)
        if container[0] == "Dict" and view is not None:
            return frozenset(((view, container),))
        return U

    # values replaced in straight-line code ------------------------------------------------

    def replace_items(self, scope, name: str, given: dict, at: int) -> None:
        """``name[key] = v`` (or an update) where the order of the statements is certain:
        a module's or a function's own code, ``name`` bound to one list, tuple or dict here.
        From here on the name holds a new version of the container: the given keys (texts of
        a dict, positions of a sequence written in its literal) hold only what was given,
        everything else what the container holds, also what is added to it later.  The
        container itself still gets the values, for other names that hold it.  Inside a
        branch or a loop the name holds both versions after it, as the reading joins states."""
        if scope.kind != "module" and (scope.kind != "function" or name not in scope.locals):
            return  # a class body, a lambda, or a name of an enclosing function
        current = scope.lookup(name)
        if len(current) != 1:
            return
        (v,) = current
        kind = v[0]
        if kind != "Dict" and kind != "Seq":
            return
        c = self.containers[v[1]]
        if kind == "Seq" and not all(type(k) is int and 0 <= k < len(c.elems) for k in given):
            return
        if kind == "Dict" and not all(type(k) is str for k in given):
            return
        key = ("version", at)
        fresh = key not in self.containers
        new = self.container(key, c.kind)
        if kind == "Seq":
            if fresh:
                new.elems = [EMPTY] * len(c.elems)
            for index, values in given.items():
                new.elems[index] = new.elems[index] | values
        else:
            for text, values in given.items():
                new.items[text] = new.items.get(text, EMPTY) | values
                new.keys.add(("T", text))
        if fresh:
            self.stores.append(Store("forward", frozenset((v,)), (key, frozenset(given)), EMPTY))
        scope.bind(name, frozenset(((kind, key),)))

    def _forward(self, store) -> None:
        """What the earlier version of a container holds, and gets, outside the replaced keys."""
        key, replaced = store.key
        new = self.containers[key]
        cell = ("CT", key)
        for v in store.base:
            self.read_cell(("CT", v[1]))
            old = self.containers[v[1]]
            for i, values in enumerate(old.elems):
                if i not in replaced and i < len(new.elems):
                    merged = new.elems[i] | self.norm(values)
                    if len(merged) != len(new.elems[i]):
                        new.elems[i] = merged
                        self.grew(cell)
            for text, values in list(old.items.items()):
                if text not in replaced:
                    self._add_item(new, key, text, self.norm(values))
            self._add_to(new.extra, self.norm(old.extra), cell)
            self._add_to(new.keys, self.norm(old.keys), cell)

    # containers --------------------------------------------------------------------------

    def subscript(self, values: frozenset, key) -> frozenset:
        """``v[key]``: key an int, a value set of keys, or None when not known."""
        out: set = set()
        for v in values:
            kind = v[0]
            if kind == "Seq":
                self.read_cell(("CT", v[1]))
                c = self.containers[v[1]]
                if type(key) is int and 0 <= key < len(c.elems):
                    out |= self.norm(c.elems[key])
                    out |= self.norm(c.extra)
                elif type(key) is int and not c.extra and -len(c.elems) <= key < 0:
                    out |= self.norm(c.elems[key])
                else:
                    out |= self._all_elements(c)
            elif kind == "Dict":
                self.read_cell(("CT", v[1]))
                out |= self._items(self.containers[v[1]], key)
            elif kind == "SeqOf":
                out |= self.iterate(self.norm((v[1],)))
            elif kind == "Pair":
                c = self.containers.get(v[1][1])
                if c is not None:
                    self.read_cell(("CT", v[1][1]))
                    if key != 1:
                        out |= self.norm(c.keys)
                    if key != 0:
                        out |= self._items(c, None)
            elif kind == "I" and v[1][0] == "C":
                getitem = self.class_attr(v[1][1], "__getitem__", v[1], v)
                out |= self.call_result(getitem, None) if getitem != U else U
            else:
                out.add(UNKNOWN)
        return frozenset(out)

    def slice(self, values: frozenset, lower: int | None, upper: int | None) -> frozenset:
        """``v[lower:upper]`` with literal bounds: a sequence whose positions are all known
        gives a sequence of the positions between them; any other value stands for itself."""
        out: set = set()
        for v in values:
            if v[0] != "Seq":
                out.add(v)
                continue
            self.read_cell(("CT", v[1]))
            c = self.containers[v[1]]
            if c.extra:  # positions not known: any element may be in the part
                out.add(v)
                continue
            key = ("slice", v[1], lower, upper)
            part = self.container(key, "seq")
            part.elems = c.elems[lower:upper]
            out.add(("Seq", key))
        return frozenset(out)

    def _all_elements(self, c) -> frozenset:
        out: set = set()
        for values in c.elems:
            out |= self.norm(values)
        out |= self.norm(c.extra)
        return frozenset(out)

    def _items(self, c, key) -> frozenset:
        """The values of a dict under ``key`` (a value set of keys, an int, or None for any)."""
        if isinstance(key, frozenset):
            keys = self.norm(key)
            texts = [k[1] for k in keys if k[0] == "T"]
            if texts and len(texts) == len(keys):
                out: set = set(self.norm(c.extra))
                for text in texts:
                    out |= self.norm(c.items.get(text, EMPTY))
                return frozenset(out)
        out = set(self.norm(c.extra))
        for values in c.items.values():
            out |= self.norm(values)
        return frozenset(out)

    def iterate(self, values: frozenset) -> frozenset:
        """What a loop over one of the values yields."""
        out: set = set()
        for v in values:
            kind = v[0]
            if kind == "Seq":
                self.read_cell(("CT", v[1]))
                out |= self._all_elements(self.containers[v[1]])
            elif kind == "SeqOf":
                out |= self.iterate(self.norm((v[1],)))
            elif kind == "Dict" or kind == "Keys":
                key = v[1] if kind == "Dict" else v[1][1]
                self.read_cell(("CT", key))
                c = self.containers[key]
                out |= self.norm(c.keys)
            elif kind == "Vals":
                self.read_cell(("CT", v[1][1]))
                out |= self._items(self.containers[v[1][1]], None)
            elif kind == "Pairs":
                out.add(("Pair", v[1]))
            elif kind == "Gen":
                out |= self.norm(self.funcs[v[1]].yields)
            elif kind == "T":
                out.add(("L",))
            else:
                out.add(UNKNOWN)
        return frozenset(out)
