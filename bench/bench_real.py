"""The static call-graph analyser on real packages from PyPI: wall time, peak memory, size.

Each package's wheel is fetched with ``pip download`` (into ``--cache``,
once) and unpacked; the analyser runs on its sources in a child process, so
the peak resident memory printed is that run's alone.  ``--copies`` runs one
package as 1, 2 and 4 side-by-side renamed copies to show how time and memory
grow with the amount of code.

Usage: python3 bench/bench_real.py [--cache DIR] [--only NAME] [--copies NAME]
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# name, version, shape
PACKAGES = [
    ("networkx", "3.6.1", "graph algorithms: large classes, decorators on every function, tests"),
    ("pygments", "2.19.2", "lexers: hundreds of classes with large tables of tokens"),
    ("starlette", "1.10.0", "web framework: async, middleware, routing"),
]

_CHILD = """
import json, resource, sys, time
from corvane.weftnet import generate_call_graph
paths = json.loads(sys.argv[1])
stats = {}
start = time.perf_counter()
graph = generate_call_graph(paths, stats=stats)
wall = time.perf_counter() - start
functions = graph.get("functions", {})
print(json.dumps({
    "wall": wall,
    "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    "modules": len(graph.get("modules", {})),
    "functions": len(functions),
    "edges": sum(len(f["resolved_calls"]) for f in functions.values()),
    "widenings": sum(stats["widenings"].values()),
    "budget_exhausted": stats["budget_exhausted"],
}))
"""


def fetch(name: str, version: str, cache: Path) -> Path:
    """The unpacked package folder of the wheel from PyPI."""
    folder = cache / f"{name}-{version}"
    if not (folder / name).is_dir():
        wheels = cache / "wheels"
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", str(wheels),
                        f"{name}=={version}"], check=True)
        wheel = next(wheels.glob(f"{name}-{version}-*.whl"))
        with zipfile.ZipFile(wheel) as z:
            z.extractall(folder)
    return folder / name


def measure(paths: dict[str, str]) -> dict:
    out = subprocess.run([sys.executable, "-c", _CHILD, json.dumps(paths)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def copies(source: Path, name: str, n: int, root: Path) -> dict[str, str]:
    paths = {}
    pattern = re.compile(rf"\b{name}\b")
    for i in range(n):
        copy = f"{name}_copy{i}"
        for file in source.rglob("*.py"):
            target = root / copy / file.relative_to(source)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(pattern.sub(copy, file.read_text(encoding="utf-8", errors="replace")))
        paths[copy] = str(root / copy)
    return paths


def _row(label: str, m: dict) -> str:
    return (f"| {label} | {m['modules']} | {m['functions']:,} | {m['edges']:,} | {m['wall']:.2f} s "
            f"| {m['peak_mb']:.0f} MB | {m['widenings']} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", default=str(Path(tempfile.gettempdir()) / "corvane_bench_real"))
    parser.add_argument("--only", help="one of the packages")
    parser.add_argument("--copies", metavar="NAME", help="1, 2 and 4 side-by-side copies of this package")
    args = parser.parse_args()
    cache = Path(args.cache)
    cache.mkdir(parents=True, exist_ok=True)
    print("| package | modules | functions | edges | wall | peak memory | widenings |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, version, _ in PACKAGES:
        if args.copies and name != args.copies or args.only and name != args.only:
            continue
        source = fetch(name, version, cache)
        if not args.copies:
            print(_row(f"{name} {version}", measure({name: str(source)})), flush=True)
            continue
        for n in (1, 2, 4):
            root = Path(tempfile.mkdtemp(prefix="bench_real_"))
            try:
                print(_row(f"{name} x{n}", measure(copies(source, name, n, root))), flush=True)
            finally:
                shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
