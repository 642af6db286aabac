"""The record that lets scripts/setup.sh skip the build when nothing changed.

    python3 scripts/source_record.py hash   [ROOT]
    python3 scripts/source_record.py check  [ROOT] [--package DIR]
    python3 scripts/source_record.py record [ROOT] [--package DIR]

``hash`` prints a SHA-256 of the files the installed package is built from
(CMakeLists.txt, pyproject.toml, README.md, cmake/, src/, standins/; caches
and build folders left out), each with its path.  ``record`` writes it into
the installed package (``corvane/.source-tree``) after an install;
``check`` exits 0 only when that record equals the tree's hash and the three
compiled modules import from that package, else 1 with the reason on
stderr.  A missing or changed record, or a package that cannot be found or
imported, means: build and install again.  ROOT defaults to the repository
this script is in; DIR to where ``import corvane`` finds the installed one.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import subprocess
import sys
from pathlib import Path

RECORD = ".source-tree"
# What the installed package is built from, relative to the repository root.
SOURCES = ("CMakeLists.txt", "pyproject.toml", "README.md", "cmake", "src", "standins")
SKIPPED_DIRS = {"__pycache__", ".pytest_cache", "build", ".git"}
SKIPPED_SUFFIXES = (".pyc", ".pyo", ".so")
MODULES = ("corvane.core.lumino", "corvane.core.weftnet", "corvane.core.freeze")


def source_files(root: Path) -> list[Path]:
    """The files the package is built from, in a fixed order."""
    found = []
    for name in SOURCES:
        top = root / name
        if top.is_file():
            found.append(top)
            continue
        for folder, dirs, files in os.walk(top):
            dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not d.endswith(".egg-info"))
            found.extend(Path(folder) / f for f in sorted(files) if not f.endswith(SKIPPED_SUFFIXES))
    return found


def tree_hash(root: Path) -> str:
    digest = hashlib.sha256()
    for path in source_files(root):
        rel = path.relative_to(root).as_posix().encode()
        data = path.read_bytes()
        digest.update(b"%d:%s:%d:" % (len(rel), rel, len(data)))
        digest.update(data)
    return digest.hexdigest()


def installed_package(python: str = sys.executable) -> Path | None:
    """The folder of the installed ``corvane`` package, looked up away from any source tree."""
    probe = "import importlib.util as u; s = u.find_spec('corvane'); print(s.submodule_search_locations[0] if s else '')"
    try:
        done = subprocess.run([python, "-c", probe], capture_output=True, text=True, cwd=os.path.abspath(os.sep),
                              timeout=120)
    except (OSError, subprocess.SubprocessError):
        return None
    found = done.stdout.strip()
    return Path(found) if done.returncode == 0 and found else None


def modules_import(package: Path, python: str = sys.executable) -> str | None:
    """None when the compiled modules import from ``package``; else why not."""
    probe = f"import {', '.join(MODULES)}"
    env = dict(os.environ, PYTHONPATH=str(package.parent))
    try:
        done = subprocess.run([python, "-c", probe], capture_output=True, text=True, cwd=os.path.abspath(os.sep),
                              env=env, timeout=300)
    except (OSError, subprocess.SubprocessError) as exc:
        return str(exc)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines()
        return lines[-1] if lines else f"exit status {done.returncode}"
    return None


def check(root: Path, package: Path | None) -> str | None:
    """None when the installed package was built from this tree as it is; else the reason."""
    if package is None:
        return "corvane is not installed"
    record = package / RECORD
    if not record.is_file():
        return f"no record of the source tree in {package}"
    if record.read_text(encoding="utf-8").strip() != tree_hash(root):
        return "the source tree changed since the install"
    why = modules_import(package)
    if why is not None:
        return f"the compiled modules do not import: {why}"
    return None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="source_record.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=("hash", "check", "record"))
    parser.add_argument("root", nargs="?", type=Path, default=Path(__file__).resolve().parents[1])
    parser.add_argument("--package", type=Path, help="the installed corvane package folder")
    args = parser.parse_args(argv)
    root = args.root.resolve()
    if args.action == "hash":
        print(tree_hash(root))
        return 0
    package = args.package or installed_package()
    if args.action == "record":
        if package is None:
            print("source_record: corvane is not installed", file=sys.stderr)
            return 1
        (package / RECORD).write_text(tree_hash(root) + "\n", encoding="utf-8")
        return 0
    why = check(root, package)
    if why is not None:
        print(f"setup: building: {why}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
