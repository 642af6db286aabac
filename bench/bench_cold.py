"""The cold command against a cold KLayout read, as fresh processes.

    python3 bench/bench_cold.py [--runs N] [--before PYTHONPATH] [--breakdown FILE] [FILE.gds ...]

For every shared layout (``examples/gds``, or the files given), with
the built-in stack that fits it: the wall time of
``python3 -m corvane lumino FILE --stack STACK --inbox DIR`` and of
``python3 -c "import klayout.db as k; k.Layout().read(FILE)"``, each a new
interpreter, taking turns, medians of N runs, and their ratio; also the bare
interpreter (``python3 -c pass``).  ``--before`` adds the command as another
build runs it (its PYTHONPATH, e.g. a staged build of the main branch), in
the same turns.  ``--stack-file`` adds the shared ``sky130_like_stack.json``
as a stack file for the Tiny Tapeout layouts.

Then ``python3 -X importtime -m corvane lumino ...`` on one layout
(``--breakdown``, default tt_um_vga_clock): the median cumulative import time
of every top-level import, largest first.

The packages the command imports must have their bytecode compiled, as an
installed package has (a staged build and a source checkout have none when
PYTHONDONTWRITEBYTECODE is set): the benchmark compiles those that lack it
and says so.  It asserts nothing.
"""

from __future__ import annotations

import argparse
import compileall
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / "examples"


def stack_for(path: Path) -> str:
    return "sky130" if path.name.startswith("tt_um") else "photonics"


def environment(pythonpath: str | None) -> dict[str, str]:
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    return env


def compile_packages(env: dict[str, str]) -> None:
    """Compile the bytecode of corvane and the stand-ins where it is missing."""
    probe = "import corvane, velloc, orvik; print('\\n'.join(m.__path__[0] for m in (corvane, velloc, orvik)))"
    folders = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True,
                             check=True).stdout.split()
    tag = sys.implementation.cache_tag
    for folder in folders:
        if not any((Path(folder) / "__pycache__").glob(f"__init__.{tag}.pyc")):
            if os.access(folder, os.W_OK) and compileall.compile_dir(folder, quiet=1):
                print(f"(compiled the bytecode of {folder})")
            else:
                print(f"(no bytecode in {folder}: its modules are compiled on every run)")


def wall(argv: list[str], env: dict[str, str], cwd: str) -> float:
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"failed: {' '.join(argv)}\n{done.stderr.decode(errors='replace')}")
    return seconds * 1e3


def command(path: Path, stack: str, inbox: str) -> list[str]:
    return [sys.executable, "-m", "corvane", "lumino", str(path), "--stack", stack, "--inbox", inbox]


def klayout_read(path: Path) -> list[str]:
    return [sys.executable, "-c", f"import klayout.db as k; k.Layout().read({str(path)!r})"]


def timings(cases, runs: int, envs: dict[str, dict[str, str]], inbox: str) -> None:
    labels = list(envs)
    head = "| file | stack | KLayout read, cold (ms) | " + " | ".join(
        f"corvane lumino, {label} (ms) | {label} / read" for label in labels) + " |"
    print(head)
    print("|---|---|---:|" + "---:|---:|" * len(labels))
    bare = []
    for path, stack in cases:
        read, mine = [], {label: [] for label in labels}
        for k in range(runs + 1):  # the first round warms the file cache and is dropped
            steps = [("read", klayout_read(path), envs[labels[0]])]
            steps += [(label, command(path, stack, inbox), envs[label]) for label in labels]
            steps += [("bare", [sys.executable, "-c", "pass"], envs[labels[0]])]
            if k % 2:
                steps.reverse()
            for what, argv, env in steps:
                ms = wall(argv, env, inbox)
                if k:
                    (read if what == "read" else bare if what == "bare" else mine[what]).append(ms)
            for message in Path(inbox).iterdir():
                message.unlink()
        r = statistics.median(read)
        cells = " | ".join(f"{statistics.median(mine[label]):.0f} | {statistics.median(mine[label]) / r:.2f}"
                           for label in labels)
        print(f"| {path.name} | {Path(stack).name} | {r:.0f} | {cells} |", flush=True)
    print(f"\nbare interpreter (python3 -c pass): {statistics.median(bare):.0f} ms; medians of {runs} runs, "
          "the programs taking turns")


IMPORT = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \| ( *)(\S+)")


def breakdown(path: Path, stack: str, runs: int, env: dict[str, str], inbox: str) -> None:
    """Median cumulative time of each top-level import of the command."""
    per_module: dict[str, list[float]] = {}
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-X", "importtime", *command(path, stack, inbox)[1:]], env=env,
                              cwd=inbox, capture_output=True, text=True)
        seen: dict[str, float] = {}
        for line in done.stderr.splitlines():
            match = IMPORT.match(line)
            if match and not match.group(3):  # top level: imported by the program itself
                seen[match.group(4)] = seen.get(match.group(4), 0.0) + int(match.group(2)) / 1e3
        for name, ms in seen.items():
            per_module.setdefault(name, []).append(ms)
        for message in Path(inbox).iterdir():
            message.unlink()
    rows = sorted(((statistics.median(v + [0.0] * (runs - len(v))), name) for name, v in per_module.items()),
                  reverse=True)
    total = sum(ms for ms, _ in rows)
    print(f"\nImports of `corvane lumino {path.name} --stack {stack}` (`-X importtime`, cumulative ms of each "
          f"top-level import, median of {runs} runs; {total:.0f} ms in all):\n")
    print("| module | ms |")
    print("|---|---:|")
    for ms, name in rows:
        if ms >= 1.0:
            print(f"| {name} | {ms:.1f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--before", metavar="PYTHONPATH", help="also time the command with this PYTHONPATH")
    parser.add_argument("--stack-file", action="store_true",
                        help="also time the Tiny Tapeout layouts with the shared sky130_like_stack.json")
    parser.add_argument("--breakdown", type=Path, default=DATA / "gds" / "tt_um_vga_clock.gds")
    args = parser.parse_args()
    files = args.files or sorted((DATA / "gds").glob("*.gds"))
    cases = [(p.resolve(), stack_for(p)) for p in files]
    if args.stack_file:
        stack_file = str((DATA / "sky130_like_stack.json").resolve())
        cases += [(p.resolve(), stack_file) for p in files if p.name.startswith("tt_um")]
    envs = {"now": environment(None)}
    if args.before is not None:
        envs["before"] = environment(args.before)
    for env in envs.values():
        compile_packages(env)
    inbox = tempfile.mkdtemp(prefix="bench_cold_")
    try:
        timings(cases, args.runs, envs, inbox)
        breakdown(args.breakdown.resolve(), stack_for(args.breakdown), args.runs, envs["now"], inbox)
    finally:
        shutil.rmtree(inbox, ignore_errors=True)


if __name__ == "__main__":
    main()
