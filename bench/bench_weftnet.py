"""Benchmark of the call-graph module on synthetic graph data; prints a Markdown table.

Per size: create_weftnet on graph data of that many decorated functions in
three libraries (50 per module, each calling up to three earlier functions,
one parameter default naming another, every tenth name defined twice), then
get_static_records over the whole graph and _color_map; medians of --repeat
runs.

Usage: python3 bench/bench_weftnet.py [--sizes 1000,10000] [--repeat N]
"""

from __future__ import annotations

import argparse
import random
import statistics
import tempfile
import time
from pathlib import Path


def graph_data(n: int, root: Path) -> tuple[dict, dict]:
    rng = random.Random(1)
    libs = ["alpha", "beta", "gamma"]
    functions, modules, names = {}, {}, []
    for i in range(n):
        lib = libs[i % 3]
        module = f"{lib}.m{i // 150}"
        # Every tenth function redefines an earlier short name, without callees (no cycles).
        twin = i % 10 == 0
        name = f"{module}.f{i // 10 if twin else i}"
        calls = [] if twin else rng.sample(names, min(3, len(names)))
        target = rng.choice(names) if names and not twin else "f"
        functions[name] = {
            "decorators": ["@cell"],
            "resolved_decorators": ["velloc.cell"],
            "parameter_defaults": {"width": 0.5, "other": "f"},
            "resolved_parameter_defaults": {"width": 0.5, "other": target},
            "resolved_calls": calls,
            "resolved_component_gets": [],
            "is_partial": False,
            "tags": [],
        }
        modules[module] = {"path": str(root / (module.replace(".", "/") + ".py")), "errors": []}
        names.append(name)
    return {"functions": functions, "modules": modules}, {lib: root / lib for lib in libs}


def median_ms(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1e3)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    from corvane.core import weftnet

    print("| functions | nodes | edges | create_weftnet (ms) | get_static_records (ms) | _color_map (ms) |")
    print("|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        for n in (int(s) for s in args.sizes.split(",")):
            data, libs = graph_data(n, Path(tmp))
            G = weftnet.create_weftnet(data, lib_paths=libs)
            create = median_ms(lambda: weftnet.create_weftnet(data, lib_paths=libs), args.repeat)
            records = median_ms(lambda: weftnet.get_static_records(G), args.repeat)
            colours = median_ms(lambda: weftnet._color_map(G), args.repeat)
            print(
                f"| {n} | {G.number_of_nodes()} | {G.number_of_edges()} | {create:.1f} | {records:.1f} | {colours:.1f} |"
            )


if __name__ == "__main__":
    main()
