"""Benchmark of lumino on the public layouts of ``../shared/data/corpus`` (or
the files given); prints a Markdown table.

Per file: whether the direct reader answers (else why not); KLayout's own
``Layout().read``; the direct reader alone (``lumino._read_layout(...,
counts=True)``); ``lumino`` end to end, layer-wise, with every layer of the
file drawn (a stack made from the file's layers), into an in-memory
transport; and lumino / KLayout's read.  Each figure is the median of
``--repeat`` runs (default 7), the three taking turns in one process, wall
time and processor time of the process (every thread: the figure that
stays put on a busy machine).  Then the number of files the reader answers
on and the median ratio over the files whose read takes over 2 ms.  It
asserts nothing; the figures depend on the machine and on what else runs on
it.

Usage: python3 bench/bench_corpus.py [FILE ...] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import statistics
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
CORPUS = REPO / ".." / "shared" / "data" / "corpus"


def timed(fn) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def every_layer_stack(path: Path, folder: Path):
    import klayout.db as kdb
    import velloc.technology as vlt

    ly = kdb.Layout()
    ly.read(str(path))
    pairs = sorted({(ly.get_info(i).layer, ly.get_info(i).datatype) for i in ly.layer_indices()})
    stack = folder / f"{path.stem}.json"
    stack.write_text(json.dumps({"name": "every layer", "layers": [
        {"name": f"L{l}_{d}", "layer": l, "datatype": d, "zmin": 0.1 * k, "thickness": 0.1, "color": "#808080"}
        for k, (l, d) in enumerate(pairs)]}))
    return vlt.read_layer_technology(stack)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("files", nargs="*", type=Path)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    files = args.files or sorted(p for p in CORPUS.iterdir() if p.name != "README.md")

    import klayout.db as kdb
    import velloc.pdk

    from corvane.core import lumino, pdk

    sent = []
    lumino.comms = type("Inbox", (), {"send_message": staticmethod(sent.append)})

    print(f"median of {args.repeat} runs, taking turns; wall time (processor time)\n")
    print("| file | reader | KLayout read (ms) | reader (ms) | lumino, every layer (ms) | lumino / read |")
    print("|---|---|---:|---:|---:|---:|")
    answered, ratios = 0, []
    with tempfile.TemporaryDirectory() as tmp:
        for path in files:
            stack, views = every_layer_stack(path, Path(tmp))
            pdk.set_pdk(velloc.pdk.Pdk(name="corpus", layer_stack=stack, layer_views=views))
            got, why = lumino._read_layout(str(path), counts=True)
            answered += got is not None
            runs = {"read": [], "reader": [], "lumino": []}
            for _ in range(args.repeat):
                runs["read"].append(timed(lambda: kdb.Layout().read(str(path))))
                runs["reader"].append(timed(lambda: lumino._read_layout(str(path), counts=True)))
                runs["lumino"].append(timed(lambda: lumino.lumino(str(path), lumino.Output.LAYER)))
                sent.clear()
            med = {k: (statistics.median(w for w, _ in v) * 1e3, statistics.median(c for _, c in v) * 1e3)
                   for k, v in runs.items()}
            ratio = med["lumino"][0] / med["read"][0]
            if med["read"][0] > 2.0:
                ratios.append(ratio)
            state = "answers" if got is not None else f"declines: {why}"
            print(f"| {path.name} | {state} | {med['read'][0]:.1f} ({med['read'][1]:.1f}) "
                  f"| {med['reader'][0]:.1f} ({med['reader'][1]:.1f}) "
                  f"| {med['lumino'][0]:.1f} ({med['lumino'][1]:.1f}) | {ratio:.2f} |", flush=True)
    pdk.reset()
    print(f"\nthe reader answers on {answered} of {len(files)} files; median lumino / read over the "
          f"{len(ratios)} files whose read takes over 2 ms: {statistics.median(ratios) if ratios else float('nan'):.2f}")


if __name__ == "__main__":
    main()
