"""Static call graph of component libraries, read from their Python sources.

``generate_call_graph(paths)`` parses every module of the given libraries with
``ast`` and follows how values flow through them (``corvane.analysis``); it
never imports or runs the analysed code.  ``corvane.core.weftnet`` turns the
result into the graph of cell factories.
"""

from __future__ import annotations

from corvane.analysis import CELL_DECORATORS, generate_call_graph

__all__ = ["CELL_DECORATORS", "generate_call_graph", "lambda_callees"]

_LAMBDA = ".<lambda"


def lambda_callees(functions) -> dict[str, list[str]]:
    """What each function reaches through lambdas, for the graph of cell factories.

    A lambda has a record of its own (``<lambdaN>`` in the scope that writes
    it) but is never a factory: a function reaches what the lambdas it calls
    call and fetch, and what a lambda nobody calls calls counts for the
    function that writes it (a key handed to ``sorted``, a callback handed to
    a library).  Records that are not dicts of lists are left to the graph's
    own checks."""
    own: dict[str, list[str]] = {}
    called: set[str] = set()
    for name, record in functions.items():
        if not isinstance(name, str) or not isinstance(record, dict):
            continue
        calls = record.get("resolved_calls")
        if not isinstance(calls, list):
            continue
        called.update(c for c in calls if isinstance(c, str) and _LAMBDA in c)
        if _LAMBDA in name:
            gets = record.get("resolved_component_gets")
            own[name] = calls + gets if isinstance(gets, list) else calls
    if not own:
        return {}
    written: dict[str, list[str]] = {}  # definer -> its lambdas nobody calls
    for name in own:
        if name not in called:
            written.setdefault(name[: name.rindex(_LAMBDA)], []).append(name)

    def reach(start: list[str], out: dict[str, None], seen: set[str]) -> None:
        stack = list(start)
        while stack:
            name = stack.pop()
            if not isinstance(name, str):
                continue
            if name not in own:
                out[name] = None
            elif name not in seen:
                seen.add(name)
                stack.extend(own[name])
                stack.extend(written.get(name, ()))

    result = {}
    for name, record in functions.items():
        if not isinstance(name, str) or _LAMBDA in name or not isinstance(record, dict):
            continue
        calls = record.get("resolved_calls")
        through = [c for c in calls if isinstance(c, str) and c in own] if isinstance(calls, list) else []
        through += written.get(name, ())
        if through:
            out: dict[str, None] = {}
            reach(through, out, set())
            result[name] = list(out)
    return result


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
