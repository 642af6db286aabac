"""The live viewer: a layout served on the loopback address, shown again after each save,
with its nets traced by KLayout on a click.

``corvane view FILE.gds --serve`` runs a ``LiveServer``: ``source`` converts
and watches the file, ``app`` serves the pages and events under a random
token, ``pages`` makes the pages, ``nets`` traces nets through the stack's
connections.  Programs and tests use it as::

    with LiveServer("chip.gds", ConversionOptions(stack="sky130")) as server:
        ...  # server.url
"""

from corvane.serve.server import LiveServer
from corvane.serve.source import ConversionOptions, LoadError

__all__ = ["ConversionOptions", "LiveServer", "LoadError"]
