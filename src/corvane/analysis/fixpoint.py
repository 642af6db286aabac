"""The fixpoint pass: values flow through calls, attributes and containers until nothing changes.

The pass works through every call site and every assignment to an attribute
or an item, and again through each of them whose outcome may have changed:

- a call binds its arguments to the parameters of every function it can
  reach (positional, keyword, defaults of the parameters it leaves out,
  ``*args`` and ``**kwargs`` as far as they can be seen); a method call binds
  the receiver to ``self``; calling a class runs ``__init__``, calling an
  instance ``__call__``; a partial adds its bound arguments first;
- ``obj.attr = v`` adds ``v`` to the attribute of every instance, class or
  module ``obj`` can be; ``x[k] = v``, ``x.append(v)``, ``d.update(...)``
  and the like add to the containers ``x`` can be.

What a function returns flows back through the symbolic call results.  Every
value resolved on the way notes the cells it read (a parameter, a container,
an attribute assigned from outside); when a cell grows, the resolved values
and the sites that read it are done again, and nothing else.  The pass stops
when no work is left, or after ``MAX_ROUNDS`` times the number of sites and
assignments.

A method of a class that no analysed class derives from runs on instances of
its own class: its ``self`` holds one from the start.  A method of a base
class holds the receivers the calls pass (a subclass's instance reaches the
subclass's overrides); one whose ``self`` no call reached (it is called from
outside the analysed code, or not at all) is then given an instance of its
own class, and the pass goes on from there.
"""

from __future__ import annotations

from collections import deque

from .definitions import Store
from .values import EMPTY, U, UNKNOWN, error_text

MAX_ROUNDS = 40
# Values one parameter, container part or attribute may hold before it widens to unknown.
SET_LIMIT = 64
_MAX_DEPTH = 8
# Values a parameter gains nothing from holding: they reach no function and name nothing.
_INERT = frozenset({("U",), ("L",)})


class Fixpoint:
    """Mixin of the analysis: propagation to a fixpoint."""

    def solve(self) -> None:
        self._seed_leaf_receivers()
        self.work = deque()
        for site in self.sites:
            self._queue(site)
        for store in self.stores:
            self._queue(store)
        self.budget = MAX_ROUNDS * (len(self.work) + 1)
        self._propagate()
        if self._receiver_fallbacks():
            self._propagate()

    def _queue(self, item) -> None:
        if not item.queued:
            item.queued = True
            self.work.append(item)

    def _propagate(self) -> None:
        work = self.work
        readers = self.readers
        while work:
            if self.budget <= 0:
                self.rounds_exhausted = True
                self.count("work left when the budget ran out")
                for item in work:
                    item.queued = False
                work.clear()
                return
            self.budget -= 1
            self.work_done += 1
            item = work.popleft()
            item.queued = False
            reading = self.reading = []
            self.grown = None
            try:
                if type(item) is Store:
                    self._apply_store(item)
                else:
                    self._bind_site(item)
            except RecursionError:
                self._failed(item, "RecursionError: values nested too deeply to follow")
            except Exception as exc:  # an odd construct costs one call, not the whole graph
                self._failed(item, "following values stopped: " + error_text(exc))
            if not reading:
                continue
            cells = set(reading)
            self.reading = []
            for cell in cells:
                found = readers.get(cell)
                if found is None:
                    readers[cell] = [item]
                else:
                    found.append(item)
            if self.grown is not None and not cells.isdisjoint(self.grown):  # it read what it changed
                self._queue(item)

    def _failed(self, item, text: str) -> None:
        self.active.clear()
        self.estimates.clear()
        self.partial.clear()
        self.low = 1 << 30
        caller = getattr(item, "caller", None)
        module = caller.module if caller is not None else None
        if module is not None and text not in module.errors:
            module.errors.append(text)

    def count(self, kind: str) -> None:
        """Note one widening or cut-off, so that a run can report what it gave up."""
        self.widenings[kind] = self.widenings.get(kind, 0) + 1

    def grew(self, cell) -> None:
        """A cell got new values: what was resolved from it, and who read it, go again."""
        if self.grown is None:
            self.grown = {cell}
        else:
            self.grown.add(cell)
        users = self.memo_users.pop(cell, None)
        if users:
            memo = self.memo
            for term in users:
                memo.pop(term, None)
        for item in self.readers.pop(cell, ()):
            self._queue(item)

    def _seed_leaf_receivers(self) -> None:
        """A method of a class no analysed class derives from can only run on its own class's
        instances (or the class, for a classmethod): its ``self`` holds that from the start."""
        derived = set()
        for cls in self.classes:
            derived.update(k for k in self.mro(cls)[1:] if type(k) is str)
        for func in self.funcs.values():
            if func.cls is not None and func.cls not in derived:
                self._seed_receiver(func)

    def _receiver_fallbacks(self) -> bool:
        self.grown = None
        added = False
        for func in list(self.funcs.values()):
            if func.cls is not None:
                added = self._seed_receiver(func) or added
        return added

    def _seed_receiver(self, func) -> bool:
        if not func.params or func.method_kind == "static":
            return False
        key = (func.full, func.params[0])
        if self.params.get(key):
            return False
        cls = ("C", func.cls)
        name = func.full.rpartition(".")[2]
        is_class = func.method_kind == "class" or name in ("__new__", "__init_subclass__", "__class_getitem__")
        self.params[key] = {cls if is_class else ("I", cls)}
        self.grew(("V", func.full, func.params[0]))
        return True

    def add_store(self, op: str, base: frozenset, key, values: frozenset) -> None:
        store = Store(op, base, key, values)
        self.stores.append(store)
        if self.work is not None:
            self._queue(store)

    # calls -------------------------------------------------------------------------------

    def _bind_site(self, site) -> None:
        for callee in self.norm(site.callee):
            self._bind(callee, site.args, site.keywords, None, 0)

    def _bind(self, c, args: list, keywords: list, receiver, depth: int) -> None:
        if depth > _MAX_DEPTH:
            return
        kind = c[0]
        if kind == "D":
            func = self.funcs.get(c[1])
            if func is None or func.hidden:
                return
            if func.is_partial:
                bound = self.sites[func.partial_site]
                for target in self.norm(func.wrapped):
                    self._bind(target, bound.args[1:] + args, bound.keywords + keywords, None, depth + 1)
            else:
                self._bind_params(func, receiver, args, keywords)
        elif kind == "B":
            self._bind(c[1], args, keywords, c[2], depth + 1)
        elif kind == "W" or kind == "SM":
            self._bind(c[1], args, keywords, receiver, depth + 1)
        elif kind == "C":
            instance = ("I", c)
            new = self.own_new(c)
            if new is not None:
                self._bind_params(new, c, args, keywords)
            for init in self.class_attr(c[1], "__init__", c, instance):
                self._bind(init, args, keywords, None, depth + 1)
        elif kind == "I" and c[1][0] == "C":
            for call in self.class_attr(c[1][1], "__call__", c[1], c):
                self._bind(call, args, keywords, None, depth + 1)
        elif kind == "P":
            bound = self.sites[c[2]]
            for target in c[1]:
                self._bind(target, bound.args[1:] + args, bound.keywords + keywords, None, depth + 1)
        elif kind == "CM":
            self._container_method(c[1], c[2], args, keywords)

    def arguments(self, func, receiver, args: list, keywords: list):
        """What one call passes: {parameter: [value sets]}, the extra positional value sets
        (for ``*args``) and the extra keywords {name: [value sets]} (for ``**kwargs``)."""
        params = func.params
        bound: dict[str, list] = {}
        extra_args: list = []
        extra_keywords: dict[str, list] = {}
        i = 0
        if receiver is not None:
            if params:
                bound[params[0]] = [frozenset((receiver,))]
                i = 1
            else:
                extra_args.append(frozenset((receiver,)))
        unknown_positions = False
        for values, starred in args:
            if starred:
                values = frozenset(("It", v) for v in values)
                unknown_positions = True
            if unknown_positions:
                for p in params[i:]:
                    bound.setdefault(p, []).append(values)
            elif i < len(params):
                bound[params[i]] = [values]
                i += 1
                continue
            extra_args.append(values)
        named = func.named
        for name, values in keywords:
            pairs = [(name, values)]
            if name is None:  # **mapping: its literal keys bind by name
                pairs = []
                for d in self.norm(values):
                    if d[0] == "Dict":
                        self.read_cell(("CT", d[1]))
                        pairs.extend(self.containers[d[1]].items.items())
            for key, item in pairs:
                if key in named:
                    bound.setdefault(key, []).append(item)
                else:
                    extra_keywords.setdefault(key, []).append(item)
        for p, values in func.default_terms.items():
            if p not in bound:
                bound[p] = [values]
        return bound, extra_args, extra_keywords

    def _bind_params(self, func, receiver, args: list, keywords: list) -> None:
        bound, extra_args, extra_keywords = self.arguments(func, receiver, args, keywords)
        for name, value_sets in bound.items():
            for values in value_sets:
                if values:
                    self._add_param(func, name, values)
        if func.vararg:
            key = ("args", func.full)
            held = self.container(key, "seq").extra
            for values in extra_args:
                self._add_to(held, self.norm(values), ("CT", key))
        if func.kwarg:
            key = ("kwargs", func.full)
            c = self.container(key, "dict")
            for name, value_sets in extra_keywords.items():
                for values in value_sets:
                    self._add_item(c, key, name, self.norm(values))

    def _add_param(self, func, name: str, values: frozenset) -> None:
        values = self.norm(values)
        if len(values) == 1:
            if values <= _INERT:
                values = EMPTY
        elif not values.isdisjoint(_INERT):
            values = values - _INERT
        key = (func.full, name)
        held = self.params.get(key)
        if held is None:
            self.params[key] = held = set(values)
            if values:
                self.grew(("V", func.full, name))
        elif not values <= held and id(held) not in self.wide:
            held |= values
            self.grew(("V", func.full, name))
        else:
            return
        if len(held) > SET_LIMIT:
            self._widen(held, "parameter")

    def _widen(self, held: set, kind: str) -> None:
        """A value set past the limit holds "unknown" from now on: it reaches nothing, and
        nothing added later changes it, so what reads it is followed once more and no more."""
        held.clear()
        held.add(UNKNOWN)
        self.wide.add(id(held))
        self.count(kind)

    def _add_to(self, held: set, values, cell) -> None:
        if not values <= held and id(held) not in self.wide:
            held |= values
            if len(held) > SET_LIMIT:
                self._widen(held, "container or attribute")
            self.grew(cell)

    def _add_item(self, c, ckey, key: str, values: frozenset) -> None:
        old = c.items.get(key, EMPTY)
        new = old | values
        grown = len(new) != len(old) and old is not U
        if grown:
            if len(new) > SET_LIMIT:
                new = U
                self.count("dict entry")
            c.items[key] = new
        if ("T", key) not in c.keys and id(c.keys) not in self.wide:
            self._add_to(c.keys, frozenset((("T", key),)), ("CT", ckey))
            grown = True
        if grown:
            self.grew(("CT", ckey))

    # containers and attributes -----------------------------------------------------------

    def _container_method(self, container, method: str, args: list, keywords: list) -> None:
        kind = container[0]
        if kind not in ("Seq", "Dict"):
            return
        key = container[1]
        c = self.containers[key]
        cell = ("CT", key)
        plain = [values for values, starred in args if not starred]
        if method in ("append", "add") and plain:
            self._add_to(c.extra, self.norm(plain[0]), cell)
        elif method == "insert" and len(plain) >= 2:
            self._add_to(c.extra, self.norm(plain[1]), cell)
        elif method == "extend" and plain:
            self._add_to(c.extra, self.iterate(self.norm(plain[0])), cell)
        elif method == "update":
            for values in plain[:1]:
                self._merge(container, self.norm(values))
            for name, values in keywords:
                if name is not None and kind == "Dict":
                    self._add_item(c, key, name, self.norm(values))
        elif method == "setdefault" and len(plain) >= 2 and kind == "Dict":
            self._set_item(key, plain[0], plain[1])

    def _merge(self, container, sources: frozenset) -> None:
        key = container[1]
        c = self.containers[key]
        cell = ("CT", key)
        if container[0] == "Seq":
            self._add_to(c.extra, self.iterate(sources), cell)
            return
        for src in sources:
            if src[0] != "Dict" or src == container:
                continue
            other = self.containers[src[1]]
            self.read_cell(("CT", src[1]))
            for name, values in list(other.items.items()):
                self._add_item(c, key, name, self.norm(values))
            self._add_to(c.extra, self.norm(other.extra), cell)
            self._add_to(c.keys, self.norm(other.keys), cell)

    def _set_item(self, key, index, values: frozenset) -> None:
        c = self.containers[key]
        cell = ("CT", key)
        values = self.norm(values)
        if c.kind == "seq":
            size = len(c.elems)
            if type(index) is int and (0 <= index < size or (-size <= index < 0 and not c.extra)):
                old = c.elems[index]  # a position written in the literal: the list keeps its length
                if old is not U and not values <= old:
                    new = old | values
                    if len(new) > SET_LIMIT:
                        new = U
                        self.count("container or attribute")
                    c.elems[index] = new
                    self.grew(cell)
            else:
                self._add_to(c.extra, values, cell)
            return
        keys = self.norm(index) if isinstance(index, frozenset) else EMPTY
        texts = [k[1] for k in keys if k[0] == "T"]
        for text in texts:
            self._add_item(c, key, text, values)
        if not keys or len(texts) != len(keys):
            self._add_to(c.extra, values, cell)
            self._add_to(c.keys, keys, cell)

    def _apply_store(self, store) -> None:
        targets = self.norm(store.base)
        op = store.op
        if op == "attr" or op == "param attr":
            values = self.norm(store.values)
            key = store.key
            for t in targets:
                kind = t[0]
                if kind == "I" and t[1][0] == "C":
                    if op == "param attr" and self._class_defines(t[1][1], key):
                        # instances are not told apart: replacing a method on the one a call
                        # passes would replace it on every instance of the class
                        continue
                    attrs = self.classes[t[1][1]].instance_attrs
                    self._add_to(attrs.setdefault(key, set()), values, ("ATTR", t[1][1], key))
                elif kind == "C":
                    self._add_to_map(self.classes[t[1]].namespace, key, values, ("ATTR", t[1], key))
                elif kind == "M" and t[1] in self.modules:
                    self._add_to_map(self.modules[t[1]].state, key, values, ("ATTR", t[1], key))
        elif op == "item":
            for t in targets:
                if t[0] in ("Seq", "Dict"):
                    self._set_item(t[1], store.key, store.values)
        elif op == "forward":
            self._forward(store)
        else:  # "extend" (x += y) and "update" ({**y})
            values = self.norm(store.values)
            for t in targets:
                if t[0] in ("Seq", "Dict"):
                    self._merge(t, values)

    def _class_defines(self, cls: str, attr: str) -> bool:
        return any(type(k) is str and attr in self.classes[k].namespace for k in self.mro(cls))

    def _add_to_map(self, table: dict, key: str, values: frozenset, cell) -> None:
        old = table.get(key, EMPTY)
        new = old | values
        if len(new) != len(old) and old is not U:
            if len(new) > SET_LIMIT:
                new = U
                self.count("class or module attribute")
            table[key] = new
            self.grew(cell)
