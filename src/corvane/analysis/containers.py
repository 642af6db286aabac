"""Containers: lists, tuples, sets and dicts, what is put into them and what comes out.

A sequence keeps the value set of each position written in a literal, and
what is added later (``append``, ``x[i] = v``, ...) as elements at positions
not known; a dict keeps the value set under each literal text key, and what
is stored under keys not known.  ``x[0]``, ``d["k"]``, ``d.get("k")``,
iteration, ``.values()``, ``.items()`` and unpacking read them back.
"""

from __future__ import annotations

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
            if len(texts) == len(keys):
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
