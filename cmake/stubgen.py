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
    Path(out).write_text(typed_aliases(module, gen.get()))


def typed_aliases(module, text: str) -> str:
    """Let type checkers see the lazily bound outside modules as imports.

    At run time the aliases (``kdb``, ``np``, ...) are lazy proxies; in the
    stub they become ``import <module> as <alias>``, and the bare
    ``import <alias>`` lines that signatures mentioning them produce go.
    """
    lazy_type = getattr(sys.modules.get("corvane.core.lazy"), "LazyImport", None)
    aliases = {}
    for name, value in vars(module).items():
        if lazy_type is not None and isinstance(value, lazy_type):
            path = object.__getattribute__(value, "_lazy_module_path")
            attr = object.__getattribute__(value, "_lazy_attr")
            aliases[name] = f"from {path} import {attr} as {name}" if attr else f"import {path} as {name}"
    lines = []
    for line in text.splitlines():
        head = line.split(":", 1)[0].strip()
        if line.startswith("import ") and line[7:].strip() in aliases:
            continue
        if head in aliases and "LazyImport" in line:
            lines.append(aliases[head])
            continue
        lines.append(line)
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
