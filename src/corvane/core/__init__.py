"""Core services and the compiled modules ``lumino``, ``weftnet`` and ``freeze``.

Importing this package loads none of the heavy dependencies (numpy, KLayout,
shapely, orjson, networkx, matplotlib); the modules bind them lazily through
``corvane.core.lazy.lazy_import``.
"""
