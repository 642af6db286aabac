"""What the command line adds to a conversion: the layout summary read before lumino.

    python3 bench/bench_cli.py [--runs N]

Per shared layout (with the built-in stack that fits it): KLayout's own read,
``corvane.layout_info.summarize`` (read plus counting), the command's whole
planning step (summary, stack, layer table, exclusions, warnings) and lumino
end to end into an in-memory transport; medians of N runs in one process.
Also the time to import ``corvane.cli`` in a fresh interpreter.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import statistics
import subprocess
import sys
import time
from pathlib import Path

import klayout.db as kdb

from corvane import cli, layout_info
from corvane.core import communication, lumino

DATA = Path(__file__).resolve().parents[1] / "examples" / "gds"
STACKS = {"tt_um": "sky130"}


def median_ms(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    runs = parser.parse_args().runs
    print(f"| file | stack | KLayout read (ms) | summarize with texts, as `layers` (ms) | planning: summary without texts, stack, table (ms) | lumino (ms) | planning / lumino |")
    print("|---|---|---:|---:|---:|---:|---:|")
    sent = []
    communication.set_transport(sent.append)
    for path in sorted(DATA.glob("*.gds")):
        stack = "sky130" if path.name.startswith("tt_um") else "photonics"
        args = argparse.Namespace(stack=stack, exclude=None)
        plan = cli.plan_layers("bench", path, args)

        def read():
            kdb.Layout().read(str(path))

        def planning():
            with contextlib.redirect_stderr(io.StringIO()):
                cli.plan_layers("bench", path, args)

        def convert():
            with plan.active():
                lumino.lumino(str(path), lumino.Output.LAYER)
            sent.clear()

        convert()  # warm-up
        r, s, p, c = (median_ms(f, runs) for f in (read, lambda: layout_info.summarize(path), planning, convert))
        print(f"| {path.name} | {stack} | {r:.1f} | {s:.1f} | {p:.1f} | {c:.1f} | {p / c:.2f} |")
    communication.set_transport(None)
    probe = "import time; t = time.perf_counter(); import corvane.cli; print((time.perf_counter() - t) * 1e3)"
    imports = [float(subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout) for _ in range(runs)]
    print(f"\nimport corvane.cli: {statistics.median(imports):.1f} ms (median of {runs} fresh interpreters)")


if __name__ == "__main__":
    main()
