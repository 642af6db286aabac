"""Resident memory over many calls of each entry point; prints a Markdown table.

- lumino: a shared layout (RingResonator.gds with its layer stack) to a viewer
  message, delivered to an in-memory transport that keeps only the last one;
- create_weftnet: the call graph of the velloc stand-in from its graph data;
- freeze: the default PDK's MZI as a schematic netlist.

Each runs `--warmup` calls first (default 2,500: allocator pools, caches,
lazy imports; the stand-in's MZI factory alone settles after about 2,500),
then `--calls` calls (default 10,000) with a garbage collection every 1,000
(the stand-in's components hold reference cycles: left to the interpreter's
own rhythm they pile up and the allocator's high-water mark, not a leak, would
be the figure); resident memory (VmRSS) is read after a garbage collection
before and after, and the reference counts of the
arguments are compared before and after the run.  Each entry point runs in a
child process of its own, so one does not inherit another's heap.

Usage: python3 bench/bench_memory.py [--calls N] [--warmup N] [--only lumino,create_weftnet,freeze]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "examples"
ENTRIES = ("lumino", "create_weftnet", "freeze")

CHILD = r"""
import gc, json, os, sys, time
entry, calls, warmup, data = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

def rss():
    gc.collect()
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024

if entry == "lumino":
    import velloc.pdk, velloc.technology as vlt
    from corvane.core import lumino, pdk
    stack, views = vlt.read_layer_technology(os.path.join(data, "photonics_stack.json"))
    pdk.set_pdk(velloc.pdk.Pdk(name="photonics", layer_stack=stack, layer_views=views))
    class Last:
        message = None
        def send_message(self, message):
            self.message = message
    lumino.comms = Last()
    gds_file = "".join([data, "/gds/RingResonator.gds"])  # a string of its own
    output = lumino.Output.LAYER
    args = [gds_file, output, stack, views]
    call = lambda: lumino.lumino(gds_file, output)
elif entry == "create_weftnet":
    from pathlib import Path
    import velloc
    from corvane.core import weftnet
    from corvane.weftnet import generate_call_graph
    lib_paths = {"velloc": Path(velloc.__file__).parent}
    graph_data = generate_call_graph({k: str(v) for k, v in lib_paths.items()})
    args = [graph_data, lib_paths, graph_data["functions"]]
    call = lambda: weftnet.create_weftnet(graph_data, lib_paths=lib_paths)
else:
    from corvane.core import freeze
    cell_name, delta = "".join(["m", "zi"]), float("20.0")  # objects of their own
    args = [cell_name, delta]
    call = lambda: freeze.freeze(cell_name, delta_length=delta)

for _ in range(warmup):
    call()
before = rss()  # collects first: garbage of the warm-up may still hold the arguments
refs = [sys.getrefcount(a) for a in args]
t = time.perf_counter()
for k in range(calls):
    call()
    if k % 1000 == 999:
        gc.collect()
seconds = time.perf_counter() - t
after = rss()
refs_after = [sys.getrefcount(a) for a in args]
print(json.dumps({"before": before, "after": after, "seconds": seconds,
                  "refs": refs_after == refs}))
"""


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--calls", type=int, default=10_000)
    p.add_argument("--warmup", type=int, default=2500)
    p.add_argument("--only", default=",".join(ENTRIES))
    args = p.parse_args()
    print(f"{args.calls} calls after {args.warmup} warm-up calls, each entry point in a child process\n")
    print("| entry point | calls | ms per call | RSS before (MiB) | RSS after (MiB) | growth (KiB) | argument refcounts unchanged |")
    print("|---|---:|---:|---:|---:|---:|---|")
    status = 0
    for entry in args.only.split(","):
        r = subprocess.run([sys.executable, "-c", CHILD, entry, str(args.calls), str(args.warmup), str(DATA)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            print(f"| {entry} | failed: {r.stderr.strip().splitlines()[-1] if r.stderr.strip() else r.returncode} |")
            status = 1
            continue
        f = json.loads(r.stdout.strip().splitlines()[-1])
        growth = (f["after"] - f["before"]) / 1024
        print(f"| {entry} | {args.calls} | {1000 * f['seconds'] / args.calls:.2f} | {f['before'] / 2**20:.1f} | "
              f"{f['after'] / 2**20:.1f} | {growth:+.0f} | {f['refs']} |")
        sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
