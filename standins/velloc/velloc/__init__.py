"""Stand-in of the layout-generation library.

corvane's compiled core uses it for demonstrations and tests: PDKs with their
layer stacks and layer views (``velloc.pdk``, ``velloc.technology``), cell
factories (``velloc.cell``, ``velloc.components``) and components that write
GDS files through KLayout and report their netlists (``velloc.Component``).
The generic silicon-photonics PDK in ``velloc.generic`` is active by default.
"""

from velloc._cell import cell, cell_with_module_name
from velloc.component import DBU, Component, ComponentReference, Port, Transform

__all__ = [
    "DBU",
    "Component",
    "ComponentReference",
    "Port",
    "Transform",
    "cell",
    "cell_with_module_name",
]
