"""Imports: what an import statement binds, what a star import brings, and module attributes.

An import binds a symbolic value (``("R", module, attrs)``) that is resolved
once every module has been read, so import cycles and re-exports from a
package's ``__init__`` (however long the chain) need no order.  Absolute
imports of a library whose folder is not a package find its modules by their
bare names, as scripts lying side by side import each other; relative imports
count from the importing module's package; a star import binds ``__all__``
or else the public top-level names, following star imports of the source.
"""

from __future__ import annotations

import ast

from .sources import Module, absolute
from .values import COMPONENT_GETTERS, EMPTY, PDK_CLASSES, PDK_GETTERS, PDK_OBJECTS, U

KNOWN_OUTSIDE = COMPONENT_GETTERS | PDK_CLASSES | PDK_GETTERS | PDK_OBJECTS


class Imports:
    """Mixin of the analysis: import statements and module attributes."""

    def _known(self, name: str) -> bool:
        return name in self.modules or name in self.prefixes

    def _imported(self, name: str, module: Module) -> str:
        """The module an absolute import names: a sibling in a plain library folder if not known."""
        if module.plain_root and not self._known(name.partition(".")[0]):
            local = module.plain_root + "." + name
            if self._known(local):
                return local
        return name

    def exports(self, module: Module, seen: set[str] | None = None) -> list[str]:
        """Names a star import of the module binds."""
        if module.exports is not None:
            return module.exports
        seen = seen or set()
        seen.add(module.name)
        if module.all_names is not None:
            names = []
            for part in module.all_names:
                if type(part) is str:
                    names.append(part)
                    continue
                other = self.modules.get(part[1])
                if other is None or other.tree is None or other.name in seen:
                    break  # another module's __all__ that cannot be read: the public names
                names.extend(self.exports(other, seen))
            else:
                module.exports = list(dict.fromkeys(names))
                return module.exports
        names = [n for n in module.top_names if not n.startswith("_")]
        for source in module.star_sources:
            other = self.modules.get(source) if source else None
            if other is not None and other.tree is not None and other.name not in seen:
                names.extend(self.exports(other, seen))
        module.exports = list(dict.fromkeys(names))
        return module.exports

    def _s_import(self, stmt: ast.Import, scope) -> None:
        for alias in stmt.names:
            name = self._imported(alias.name, scope.module)
            if alias.asname:
                scope.bind(alias.asname, frozenset((("M", name),)))
            else:
                top = alias.name.partition(".")[0]
                scope.bind(top, frozenset((("M", name[: len(name) - len(alias.name) + len(top)]),)))

    def _s_import_from(self, stmt: ast.ImportFrom, scope) -> None:
        source = absolute(scope.module, stmt.module, stmt.level)
        if source is not None and not stmt.level:
            source = self._imported(source, scope.module)
        for alias in stmt.names:
            if alias.name == "*":
                other = self.modules.get(source) if source else None
                if other is None or other.tree is None:
                    if scope.kind == "module":
                        scope.has_external_star = True
                    continue
                for name in self.exports(other):
                    scope.bind(name, frozenset((("R", source, (name,)),)))
                continue
            name = alias.asname or alias.name
            if source is None:
                scope.bind(name, U)
            else:
                scope.bind(name, frozenset((("R", source, (alias.name,)),)))

    def module_attr(self, name: str, attr: str) -> frozenset:
        """Attribute ``attr`` of the module ``name``: a name it binds, else a submodule."""
        module = self.modules.get(name)
        sub = name + "." + attr
        if module is not None and module.tree is not None:
            bound = module.state.get(attr)
            if bound is not None and bound == frozenset((("R", name, (attr,)),)):
                bound = None  # `from . import attr` in the package itself: the submodule
            if attr in self.stored_attrs:
                self.read_cell(("ATTR", name, attr))
            if bound is not None:
                return self.norm(bound)
        if sub in self.modules or sub in self.prefixes:
            return frozenset((("M", sub),))
        if sub in KNOWN_OUTSIDE:
            # The layout library's names keep their meaning when the analysed copy lacks them.
            return frozenset((("X", sub),))
        if module is not None or name in self.prefixes:
            if module is not None and module.tree is not None and module.star_sources and any(
                s is None or s not in self.modules for s in module.star_sources
            ):
                return U
            return U if module is None or attr not in self.stored_attrs else EMPTY
        return frozenset((("X", sub),))
