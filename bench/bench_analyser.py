"""Speed and quality of the static call-graph analyser.

Speed: copies the velloc stand-in package N times into a temporary folder
(each copy renamed, its own imports pointing at itself, so names resolve
within the copy), runs ``corvane.weftnet.generate_call_graph`` on all copies
at once and prints the number of functions found, the time taken (wall clock
and CPU) and functions per second (best of ``--repeat`` runs).

Quality (``--quality``): runs the analyser on the small programs of
``tests/analysis/cases.py``, ``cases_values.py``, ``cases_decorators.py``,
``cases_imports.py``, ``cases_narrowing.py`` and ``cases_environment.py``,
whose call graphs are written down by hand, and
prints precision and recall of the edges between the programs' functions per
group of language features.

``--against OLD.py`` adds the figures of another analyser (in both modes; for
speed the two take turns, so both see the same load on the machine): a Python
file defining ``generate_call_graph``, for example an earlier
``src/corvane/weftnet.py`` taken with ``git show REV:src/corvane/weftnet.py``.

Real packages (``--real``, the options after it go to ``bench_real.py``):
networkx, pygments and starlette from PyPI, each analysed in a child
process, with wall time, peak memory, functions and edges; ``--real
--copies NAME`` runs 1, 2 and 4 side-by-side copies of one of them.

Usage: python3 bench/bench_analyser.py [--copies N] [--repeat R] [--against OLD.py]
       python3 bench/bench_analyser.py --quality [--against OLD.py] [--misses]
       python3 bench/bench_analyser.py --real [--copies NAME] [--only NAME] [--cache DIR]
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

from corvane.weftnet import generate_call_graph

ROOT = Path(__file__).resolve().parents[1]
STANDIN = ROOT / "standins" / "velloc" / "velloc"
CASES = ROOT / "tests" / "analysis" / "cases.py"
MORE_CASES = [
    ROOT / "tests" / "analysis" / name
    for name in ("cases_values.py", "cases_decorators.py", "cases_imports.py", "cases_narrowing.py",
                 "cases_environment.py")
]


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


def _load(path: Path, name: str):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def quality(analysers: dict[str, Callable], show_misses: bool) -> None:
    cases = _load(CASES, "callgraph_cases")
    groups = dict(cases.CASES)
    for i, path in enumerate(MORE_CASES):
        groups.update(_load(path, f"callgraph_more_cases{i}").CASES)
    root = Path(tempfile.mkdtemp(prefix="bench_quality_"))
    totals = {label: [0, 0, 0] for label in analysers}
    header = "| group | edges |" + "".join(f" {label} precision | {label} recall |" for label in analysers)
    print(header)
    print("|---|---:|" + "---:|---:|" * len(analysers))
    try:
        for group, group_cases in groups.items():
            counts = {label: [0, 0, 0] for label in analysers}  # true, false positives, misses
            edges = 0
            for name, files, text, *_ in group_cases:
                truth = cases.expected_edges(text)
                edges += len(truth)
                for label, analyse in analysers.items():
                    found = cases.found_edges(analyse, root, files)[0]
                    c = counts[label]
                    c[0] += len(found & truth)
                    c[1] += len(found - truth)
                    c[2] += len(truth - found)
                    if show_misses and found != truth:
                        for edge in sorted(found - truth):
                            print(f"    {label} {group}/{name}: extra {edge[0]} -> {edge[1]}")
                        for edge in sorted(truth - found):
                            print(f"    {label} {group}/{name}: missed {edge[0]} -> {edge[1]}")
            row = f"| {group} | {edges} |"
            for label in analysers:
                tp, fp, fn = counts[label]
                row += f" {_ratio(tp, tp + fp)} | {_ratio(tp, tp + fn)} |"
                totals[label] = [a + b for a, b in zip(totals[label], counts[label])]
            print(row)
        edges = sum(len(cases.expected_edges(t)) for g in groups.values() for _, _, t, *_ in g)
        row = f"| **all** | {edges} |"
        for label in analysers:
            tp, fp, fn = totals[label]
            row += f" **{_ratio(tp, tp + fp)}** | **{_ratio(tp, tp + fn)}** |"
        print(row)
        for label in analysers:
            tp, fp, fn = totals[label]
            print(f"{label}: {tp} edges found, {fp} wrong, {fn} missed")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def _ratio(a: int, b: int) -> str:
    return f"{a / b:.3f}" if b else "-"


def main() -> None:
    if "--real" in sys.argv[1:]:
        sys.argv.remove("--real")
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import bench_real

        bench_real.main()
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=120)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quality", action="store_true", help="precision and recall on the hand-written programs")
    parser.add_argument("--against", metavar="OLD.py", help="also another analyser's figures, taking turns with it")
    parser.add_argument("--misses", action="store_true", help="with --quality: list every wrong and missed edge")
    args = parser.parse_args()
    if args.quality:
        analysers = {}
        if args.against:
            analysers["before"] = _load(Path(args.against), "analyser_before").generate_call_graph
        analysers["now" if args.against else "analyser"] = generate_call_graph
        quality(analysers, args.misses)
        return
    analysers = {"analyser": generate_call_graph}
    if args.against:
        analysers = {"before": _load(Path(args.against), "analyser_before").generate_call_graph,
                     "now": generate_call_graph}
    root = Path(tempfile.mkdtemp(prefix="bench_analyser_"))
    try:
        paths = make_copies(root, args.copies)
        print(f"copies of the stand-in:  {args.copies}")
        best = {label: [float("inf"), float("inf")] for label in analysers}
        graphs = {}
        for _ in range(args.repeat):  # the analysers take turns, so both see the same load
            for label, analyse in analysers.items():
                start, start_cpu = time.perf_counter(), time.process_time()
                graphs[label] = analyse(paths)
                wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
                best[label] = [min(best[label][0], wall), min(best[label][1], cpu)]
        for label, graph in graphs.items():
            functions = len(graph["functions"])
            calls = sum(len(f["resolved_calls"]) for f in graph["functions"].values())
            wall, cpu = best[label]
            print(f"{label}:")
            print(f"  modules:                 {len(graph['modules'])}")
            print(f"  functions:               {functions}")
            print(f"  resolved calls:          {calls}")
            print(f"  time (best of {args.repeat}):       {wall:.3f} s wall, {cpu:.3f} s CPU")
            print(f"  functions per second:    {functions / wall:,.0f} (wall)")
            print(f"  time for 10,000 functions at this rate: {10_000 / (functions / wall):.2f} s")
        if args.against:
            print(f"now / before: {best['now'][0] / best['before'][0]:.2f} wall, "
                  f"{best['now'][1] / best['before'][1]:.2f} CPU")
    finally:
        shutil.rmtree(root, ignore_errors=True)

if __name__ == "__main__":
    main()
