"""Finding a library's modules, reading and parsing them, and what a module declares up front.

A module's name is its library's name followed by its dotted path inside the
library's location (``pkg/__init__.py`` is ``pkg``).  Only files an import
can name are read: no hidden folders, caches or dotted file names.  A file
that is not a regular file (a FIFO, a device) is never opened for reading in
a way that could block; it is recorded in the module's errors and skipped,
like a file that cannot be read or parsed.
"""

from __future__ import annotations

import ast
import os
import stat
from pathlib import Path

from .environment import taken_branch
from .scopes import ScopeNames, number_lambdas, scan_scopes, target_names
from .values import error_text

# A larger source file is not read: no library module comes near this.
MAX_SOURCE_BYTES = 64 * 1024 * 1024


class Module:
    __slots__ = (
        "name", "path", "file", "is_package", "package", "tree", "errors", "state",
        "top_names", "all_names", "star_sources", "exports", "scopes", "plain_root", "code",
        "global_refs", "lambda_numbers",
    )

    def __init__(self, name: str, file: Path, is_package: bool, plain_root: str | None) -> None:
        self.name = name
        # the library's name when its folder is not a package: modules there
        # import each other by their bare names, as scripts beside each other do
        self.plain_root = plain_root
        self.file = file
        self.path = str(file)
        self.is_package = is_package
        self.package = name if is_package else name.rpartition(".")[0]
        self.tree: ast.Module | None = None
        self.errors: list[str] = []
        # the module's names as its code leaves them: name -> value set
        self.state: dict[str, frozenset] = {}
        self.top_names: list[str] = []
        self.all_names: list | None = None  # names, and ("all", module) for its __all__
        self.star_sources: list[str | None] = []
        self.exports: list[str] | None = None
        self.scopes: dict[int, ScopeNames] = {}
        self.code = None  # the hidden function that stands for the module's own code
        self.global_refs: dict[str, frozenset] = {}  # name -> {("G", name of this module, name)}
        self.lambda_numbers: dict[int, int] = {}  # id of a lambda node -> its number in its scope


def read_source(file: Path) -> bytes:
    """The bytes of a regular file; OSError for anything else, without blocking on a FIFO."""
    fd = os.open(file, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(f"not a regular file: {file}")
        if info.st_size > MAX_SOURCE_BYTES:
            raise OSError(f"larger than {MAX_SOURCE_BYTES} bytes: {file}")
        chunks = []
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


def library_files(lib: str, path_text: str):
    """(module name, file, is package, plain root) of every module of one library, in a fixed order."""
    root = Path(path_text)
    if root.is_file() or (root.exists() and not root.is_dir()):
        yield lib, root, root.name == "__init__.py", None
        return
    if not root.is_dir():
        return
    plain = None if (root / "__init__.py").exists() else lib
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d.isidentifier() and d != "__pycache__")
        rel = Path(folder).relative_to(root).parts
        files = sorted(f for f in files if f.endswith(".py") and f[:-3].isidentifier())
        if "__init__.py" in files:
            files.remove("__init__.py")
            files.insert(0, "__init__.py")
        for f in files:
            stem = f[:-3]
            parts = rel if stem == "__init__" else (*rel, stem)
            yield ".".join((lib, *parts)), Path(folder) / f, stem == "__init__", plain


def parse_module(module: Module) -> None:
    """Read and parse the module's file; failures go to its errors."""
    try:
        source = read_source(module.file)
    except OSError as exc:
        module.errors.append(error_text(exc))
        return
    try:
        module.tree = ast.parse(source, filename=str(module.file))
    except (SyntaxError, ValueError, MemoryError, RecursionError) as exc:
        module.errors.append(error_text(exc))
        return
    scan_module(module)
    module.scopes = scan_scopes(module.tree, b":=" in source)
    if b"lambda" in source:
        module.lambda_numbers = number_lambdas(module.tree)


def absolute(module: Module, name: str | None, level: int) -> str | None:
    """The absolute module name of an import; None when a relative one leaves the top package."""
    if not level:
        return name
    parts = module.package.split(".") if module.package else []
    if level - 1 > len(parts) or (level - 1 == len(parts) and not name):
        return None
    base = parts[: len(parts) - (level - 1)]
    if name:
        base.append(name)
    return ".".join(base) if base else None


def _literal_names(node: ast.AST) -> list[str] | None:
    try:
        value = ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return None
    if isinstance(value, (list, tuple)):
        return [v for v in value if isinstance(v, str)]
    return None


def _all_parts(node: ast.AST, imported: dict[str, str]) -> list | None:
    """The parts of an ``__all__`` value: literal names, and ``("all", module)`` for another
    module's ``__all__`` (``a.__all__ + [...]``), or None when it cannot be read."""
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        left = _all_parts(node.left, imported)
        right = _all_parts(node.right, imported)
        return None if left is None or right is None else left + right
    if isinstance(node, ast.Attribute) and node.attr == "__all__":
        base = node.value
        parts = []
        while isinstance(base, ast.Attribute):
            parts.append(base.attr)
            base = base.value
        if isinstance(base, ast.Name) and base.id in imported:
            return [("all", ".".join([imported[base.id], *reversed(parts)]))]
        return None
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in ("list", "tuple") \
            and len(node.args) == 1 and not node.keywords:
        return _all_parts(node.args[0], imported)
    return _literal_names(node)


def scan_module(module: Module) -> None:
    """Top-level names, ``__all__`` and star-import sources, read before any resolution."""
    names: list[str] = []
    all_names: list | None = None
    imported: dict[str, str] = {}  # a name an import binds -> the module it may name
    stack: list[ast.AST] = list(reversed(module.tree.body))
    while stack:
        n = stack.pop()
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.append(n.name)
        elif isinstance(n, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            targets = n.targets if isinstance(n, ast.Assign) else [n.target]
            for t in targets:
                target_names(t, names)
                if isinstance(t, ast.Name) and t.id == "__all__" and n.value is not None:
                    value = _all_parts(n.value, imported)
                    if value is not None:
                        all_names = (all_names or []) + value if isinstance(n, ast.AugAssign) else value
        elif isinstance(n, ast.Import):
            for a in n.names:
                names.append(a.asname or a.name.partition(".")[0])
                imported[a.asname or a.name.partition(".")[0]] = a.name if a.asname else a.name.partition(".")[0]
        elif isinstance(n, ast.ImportFrom):
            source = absolute(module, n.module, n.level)
            for a in n.names:
                if a.name == "*":
                    module.star_sources.append(source)
                else:
                    names.append(a.asname or a.name)
                    if source is not None:
                        imported[a.asname or a.name] = source + "." + a.name
        elif isinstance(n, (ast.For, ast.AsyncFor, ast.With, ast.AsyncWith)):
            if isinstance(n, (ast.For, ast.AsyncFor)):
                target_names(n.target, names)
            else:
                for item in n.items:
                    if item.optional_vars is not None:
                        target_names(item.optional_vars, names)
            stack.extend(reversed(n.body))
            stack.extend(reversed(getattr(n, "orelse", [])))
        elif isinstance(n, ast.If) and (taken := taken_branch(n, imported.get)) is not None:
            stack.extend(reversed(taken))  # the other branch binds nothing in an ordinary run
        elif isinstance(n, (ast.If, ast.While)):
            stack.extend(reversed(n.body))
            stack.extend(reversed(n.orelse))
        elif isinstance(n, (ast.Try, getattr(ast, "TryStar", ast.Try))):
            for part in (n.body, *(h.body for h in n.handlers), n.orelse, n.finalbody):
                stack.extend(reversed(part))
        elif isinstance(n, ast.Expr) and isinstance(n.value, ast.Call):
            # __all__.extend([...])
            call = n.value
            if (
                isinstance(call.func, ast.Attribute)
                and call.func.attr == "extend"
                and isinstance(call.func.value, ast.Name)
                and call.func.value.id == "__all__"
                and len(call.args) == 1
            ):
                value = _all_parts(call.args[0], imported)
                if value is not None:
                    all_names = (all_names or []) + value
    module.top_names = names
    module.all_names = all_names
