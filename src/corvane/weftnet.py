"""Static call graph of component libraries, read from their Python sources.

``generate_call_graph(paths)`` parses every module of the given libraries with
``ast`` and follows how values flow through them (``corvane.analysis``); it
never imports or runs the analysed code.  ``corvane.core.weftnet`` turns the
result into the graph of cell factories.
"""

from __future__ import annotations

from corvane.analysis import CELL_DECORATORS, generate_call_graph

__all__ = ["CELL_DECORATORS", "generate_call_graph"]


# python -m corvane.weftnet [FOLDER]: plot the component call graph of the
# project in FOLDER (default ~/Projects/cvn-ostrakit).
if __name__ == "__main__":
    import argparse

    from corvane.core import weftnet as _weftnet

    _parser = argparse.ArgumentParser(
        prog="python -m corvane.weftnet", description="Plot the component call graph of a project folder."
    )
    _parser.add_argument("folder", nargs="?", help="project folder (default: ~/Projects/cvn-ostrakit)")
    try:
        _weftnet._main(_parser.parse_args().folder)
    except FileNotFoundError as exc:
        _parser.exit(1, f"{_parser.prog}: error: {exc}\n")
