"""corvane: a Python toolkit for chip layout design.

The compiled core lives in ``corvane.core`` (``lumino``: GDS to 3D viewer,
``weftnet``: component call graph, ``freeze``: schematic netlists).  The
modules here are the host services they use: settings, logging, the PDK
registry, the viewer message channel and the record models.  Importing the
package is cheap; heavy libraries load on first use.
"""
