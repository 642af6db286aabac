"""Classes: attribute look-up along the C3 method resolution order, bound methods, super().

An attribute of an instance is its own (assigned to ``self`` in a method, or
to the object from outside) or else its class's, searched along the MRO; a
function found on the class is bound to the instance, a classmethod to the
class, a staticmethod to nothing; reading a property runs its getter.  An
unknown base class ends the search: what lies beyond it is unknown.
``super()`` continues the search after the class it is written in, along the
MRO of the receiver's own class.
"""

from __future__ import annotations

from .values import PDK_CLASSES, PDK_OBJECTS, UNKNOWN, U, c3_merge


class Classes:
    """Mixin of the analysis: classes and their instances."""

    def class_attr(self, cls: str, attr: str, cls_value, instance, after: str | None = None,
                   mro_of: str | None = None) -> frozenset:
        """``attr`` looked up on a class (``instance`` None) or an instance of it, methods bound."""
        mro = self.mro(mro_of or cls)
        if after is not None:
            mro = mro[mro.index(after) + 1:] if after in mro else []
        stored = attr in self.stored_attrs  # some code assigns it from outside: it may still grow
        if instance is not None and after is None:
            for k in mro:
                if type(k) is not str:
                    break
                if stored:
                    self.read_cell(("ATTR", k, attr))
                values = self.classes[k].instance_attrs.get(attr)
                if values is not None:
                    return self.norm(values)
        for k in mro:
            if type(k) is not str:
                return U
            if stored:
                self.read_cell(("ATTR", k, attr))
            bound = self.classes[k].namespace.get(attr)
            if bound is not None:
                return self.bind_methods(self.norm(bound), cls_value, instance)
        return U

    def own_new(self, cls_value):
        """The ``__new__`` a class or one of its analysed bases defines as a plain function (not
        decorated), or None: calling the class calls it with the class first."""
        for v in self.class_attr(cls_value[1], "__new__", cls_value, None):
            if v[0] == "D" and v[1].endswith(".__new__"):
                func = self.funcs.get(v[1])
                if func is not None and not func.decorators and func.cls is not None:
                    return func
        return None

    def new_result(self, func, cls_value, site) -> frozenset:
        """What calling a class with its own ``__new__`` gives: what ``__new__`` returns
        (``object.__new__(cls)`` an instance of the class given), and an instance of the class
        when that is not known."""
        returned = self._returned(func, site, cls_value) if func.returns else U
        out = set(v for v in returned if v != UNKNOWN)
        if not out or UNKNOWN in returned:
            out.add(("I", cls_value))
        return frozenset(out)

    def bind_methods(self, values: frozenset, cls_value, instance) -> frozenset:
        """Functions found on a class, as an access through the class or an instance sees them."""
        out = set()
        for v in values:
            func = self._method(v)
            if func is None:
                out.add(v[1] if v[0] == "SM" else v)
            elif func.method_kind == "static":
                out.add(v)
            elif func.method_kind == "class":
                out.add(("B", v, cls_value if instance is None else instance[1]))
            elif instance is None:
                out.add(v)
            elif func.method_kind == "property":
                out |= self.call_result(frozenset((("B", ("D", func.full), instance),)), None)
            else:
                out.add(("B", v, instance))
        return frozenset(out)

    def _property(self, values: frozenset, attr: str) -> frozenset:
        """The getters that reading ``attr`` of one of the values runs, bound to it."""
        out = set()
        for v in values:
            if v[0] != "I" or v[1][0] != "C":
                continue
            for k in self.mro(v[1][1]):
                if type(k) is not str:
                    break
                bound = self.classes[k].namespace.get(attr)
                if bound is not None:
                    for member in self.norm(bound):
                        func = self._method(member)
                        if func is not None and func.method_kind == "property":
                            out.add(("B", ("D", func.full), v))
                    break
        return frozenset(out)

    def _method(self, v):
        """The function a class member stands for, when accessing it binds it."""
        while v[0] == "W":
            v = v[1]
        if v[0] == "D":
            return self.funcs.get(v[1])
        return None

    def _super_attr(self, v, attr: str) -> frozenset:
        _, classes, receivers = v
        out: set = set()
        for r in self.norm(receivers):
            if r[0] == "I" and r[1][0] == "C":
                cls, instance = r[1][1], r
            elif r[0] == "C":
                cls, instance = r[1], None
            else:
                continue
            for written_in in classes:
                found = self.class_attr(cls, attr, ("C", cls), instance, after=written_in)
                out |= found
        if not out:
            for written_in in classes:
                instance = ("I", ("C", written_in))
                out |= self.class_attr(written_in, attr, ("C", written_in), instance, after=written_in)
        return frozenset(out)

    def mro(self, cls: str) -> list:
        """The classes searched for an attribute, in order; a tuple stands for an unknown base."""
        cached = self.mro_memo.get(cls)
        if cached is not None:
            return cached
        self.mro_memo[cls] = [cls, ("?", cls)]  # a cycle reads as an unknown base
        sequences = []
        for i, base in enumerate(self.classes[cls].bases):
            values = self.norm(base)
            if values == frozenset((("X", "builtins.object"),)):
                continue
            if len(values) == 1:
                (v,) = values
                if v[0] == "C" and v[1] in self.classes:
                    sequences.append(list(self.mro(v[1])))
                    continue
            sequences.append([("?", cls, i)])
        result = [cls] + c3_merge(sequences + [[s[0] for s in sequences]])
        self.mro_memo[cls] = result
        return result

    # PDK objects -------------------------------------------------------------------------

    def pdk_instance(self):
        """What the layout library's active-PDK getters return."""
        name = "velloc.pdk.Pdk"
        return ("I", ("C", name) if name in self.classes else ("X", name))

    def is_pdk_class(self, value) -> bool:
        if value[0] == "X":
            return value[1] in PDK_CLASSES
        if value[0] == "C":
            return any(k in PDK_CLASSES for k in self.mro(value[1]) if type(k) is str)
        return False

    def is_pdk(self, value) -> bool:
        if value[0] == "I":
            return self.is_pdk_class(value[1])
        return value[0] == "X" and value[1] in PDK_OBJECTS
