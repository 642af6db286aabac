"""Speed of the static call-graph analyser on many copies of the velloc stand-in.

Copies the stand-in package N times into a temporary folder (each copy renamed,
its own imports pointing at itself, so names resolve within the copy), runs
``corvane.weftnet.generate_call_graph`` on all copies at once and prints the
number of functions found, the time taken (wall clock and CPU) and functions
per second (best of ``--repeat`` runs).

Usage: python3 bench/bench_analyser.py [--copies N] [--repeat R]
"""

from __future__ import annotations

import argparse
import re
import shutil
import tempfile
import time
from pathlib import Path

from corvane.weftnet import generate_call_graph

STANDIN = Path(__file__).resolve().parents[1] / "standins" / "velloc" / "velloc"


def make_copies(root: Path, copies: int) -> dict[str, str]:
    sources = {p.name: p.read_text() for p in STANDIN.glob("*.py")}
    paths = {}
    for i in range(copies):
        name = f"velloc_copy{i}"
        folder = root / name
        folder.mkdir()
        for file, text in sources.items():
            (folder / file).write_text(re.sub(r"\bvelloc\b", name, text))
        paths[name] = str(folder)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=120)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="bench_analyser_"))
    try:
        paths = make_copies(root, args.copies)
        best = best_cpu = float("inf")
        for _ in range(args.repeat):
            start, start_cpu = time.perf_counter(), time.process_time()
            graph = generate_call_graph(paths)
            best = min(best, time.perf_counter() - start)
            best_cpu = min(best_cpu, time.process_time() - start_cpu)
        functions = len(graph["functions"])
        modules = len(graph["modules"])
        calls = sum(len(f["resolved_calls"]) for f in graph["functions"].values())
        print(f"copies of the stand-in:  {args.copies}")
        print(f"modules:                 {modules}")
        print(f"functions:               {functions}")
        print(f"resolved calls:          {calls}")
        print(f"time (best of {args.repeat}):       {best:.3f} s wall, {best_cpu:.3f} s CPU")
        print(f"functions per second:    {functions / best:,.0f} (wall)")
        print(f"time for 10,000 functions at this rate: {10_000 / (functions / best):.2f} s")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
