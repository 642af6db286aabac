"""Static call graphs of component libraries, read by ``corvane.core.weftnet``.

Run as a program, ``python -m corvane.weftnet [FOLDER]`` plots the component
call graph of the project in FOLDER (default ``~/Projects/cvn-ostrakit``).
"""

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
