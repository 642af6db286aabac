"""Write the .pyi stub of a freshly built extension module.

Usage: stubgen.py <built module file> <dotted name> <host package root> <output .pyi>

The module imports the host package at load, so the package is taken from the
source tree; the built file is loaded under its dotted name directly.
"""

import importlib.machinery
import importlib.util
import sys
from pathlib import Path


def main() -> None:
    built, name, src, out = sys.argv[1:5]
    sys.path.insert(0, src)
    loader = importlib.machinery.ExtensionFileLoader(name, built)
    spec = importlib.util.spec_from_file_location(name, built, loader=loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    loader.exec_module(module)

    from nanobind.stubgen import StubGen

    gen = StubGen(module, include_docstrings=True, include_private=False)
    gen.put(module)
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    Path(out).write_text(gen.get())


if __name__ == "__main__":
    main()
