#!/usr/bin/env bash
# Coverage-guided fuzzing of the core's GDS2 and OASIS readers with
# libFuzzer under AddressSanitizer and UBSan (clang; scripts/setup.sh
# installs clang 19).  Builds build/fuzz/fuzz_gds and build/fuzz/fuzz_oasis from
# fuzz/read_fuzzer.cpp and the core's sources, then runs each for SECONDS
# (default 60) from:
#   - fuzz/corpus/<reader>: the inputs kept in the repository (replayed
#     through the Python API by tests/lumino/test_fuzz_corpus.py);
#   - the layouts of ../shared/data (when present) and the repository's own
#     GDS and OASIS files, with small GDS files also written as OASIS by
#     KLayout with its writer's options (when klayout imports).
# Any sanitizer report, crash, hang (over 10 s on one input) or broken
# invariant stops the run with the input saved as build/fuzz/<reader>-crash-*
# and a non-zero status.
#
#   scripts/fuzz.sh [--keep] [--seed N --runs N] [SECONDS]
#
# --keep adds the new inputs that reach code the kept corpus does not
# (up to 4 KB each) to fuzz/corpus/<reader>, to be committed.  --seed and
# --runs make a run repeatable (CI): the fuzzer's random seed, and a number
# of inputs per reader instead of a time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=$(command -v "${PYTHON:-python3}")
keep=0
seconds=60
seed=0
runs=
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --seed) seed=$2; shift ;;
    --runs) runs=$2; shift ;;
    *) seconds=$1 ;;
  esac
  shift
done
if [ -n "$runs" ]; then budget=(-runs="$runs"); what="$runs inputs"; else budget=(-max_total_time="$seconds"); what="$seconds s"; fi
# clang 16 or later (the core captures structured bindings in lambdas).
cxx=${CXX_FUZZ:-$(command -v clang++-19 || command -v clang++-18 || command -v clang++-17 || command -v clang++-16 || true)}
[ -n "$cxx" ] || { echo "fuzz: clang++ 16 or later not found (apt-get install clang-19 libclang-rt-19-dev)" >&2; exit 1; }
out=$here/build/fuzz
mkdir -p "$out/obj"
start=$SECONDS

# The core compiles once with coverage and sanitizers; the target twice.
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -I"$here/src/cpp"
  -fsanitize=address,undefined -fno-sanitize-recover=undefined)
mapfile -t sources < <(find "$here/src/cpp/lumino/core" -name '*.cpp' | sort)
newest=$(find "$here/src/cpp/lumino/core" "$here/fuzz/read_fuzzer.cpp" -newer "$out/fuzz_oasis" 2>/dev/null | head -1 || true)
if [ ! -x "$out/fuzz_oasis" ] || [ ! -x "$out/fuzz_gds" ] || [ -n "$newest" ]; then
  pids=()
  for src in "${sources[@]}"; do
    obj=$out/obj/$(echo "$src" | sed 's|.*/core/||; s|/|_|g').o
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$(nproc)" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  done
  for p in "${pids[@]}"; do wait "$p"; done
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$here/fuzz/read_fuzzer.cpp" "$out"/obj/*.o -lz -o "$out/fuzz_gds"
  "$cxx" "${flags[@]}" -fsanitize=fuzzer -DLUMINO_FUZZ_OASIS "$here/fuzz/read_fuzzer.cpp" "$out"/obj/*.o -lz \
    -o "$out/fuzz_oasis"
  echo "fuzz: build took $((SECONDS - start)) s"
fi

# Seeds, rebuilt each run (they are not kept).
seeds=$out/seeds
rm -rf "$seeds" && mkdir -p "$seeds/gds" "$seeds/oasis"
"$py" - "$here" "$seeds" <<'EOF'
import shutil, sys
from pathlib import Path
here, seeds = Path(sys.argv[1]), Path(sys.argv[2])
found = [p for p in here.rglob("*") if p.is_file() and p.suffix.lower() in (".gds", ".oas")
         and "build" not in p.relative_to(here).parts and "fuzz" not in p.relative_to(here).parts]
shared = here.parent / "shared" / "data"
if shared.is_dir():
    found += [p for p in shared.rglob("*") if p.suffix.lower() in (".gds", ".oas")]
for k, p in enumerate(sorted(set(found))):
    head = p.read_bytes()[:16]
    kind = "oasis" if head.startswith(b"%SEMI-OASIS") else "gds"
    shutil.copyfile(p, seeds / kind / f"{k:03d}_{p.name}")
try:
    import klayout.db as kdb
except ImportError:
    sys.exit(0)
# Small GDS files as OASIS, written with each of KLayout's writer choices.
variants = [dict(), dict(oasis_compression_level=0), dict(oasis_write_cblocks=True),
            dict(oasis_strict_mode=False), dict(oasis_write_std_properties=2, oasis_write_cell_bounding_boxes=True),
            dict(oasis_substitution_char="*", oasis_permissive=True, oasis_compression_level=10)]
for p in sorted((seeds / "gds").iterdir()):
    if p.stat().st_size > 64 * 1024:
        continue
    layout = kdb.Layout()
    try:
        layout.read(str(p))
    except RuntimeError:
        continue
    for v, opts in enumerate(variants):
        save = kdb.SaveLayoutOptions()
        save.format = "OASIS"
        for name, value in opts.items():
            if hasattr(save, name):
                setattr(save, name, value)
        try:
            layout.write(str(seeds / "oasis" / f"{p.stem}_{v}.oas"), save)
        except RuntimeError:
            pass
EOF

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for reader in gds oasis; do
  kept=$here/fuzz/corpus/$reader
  work=$out/work/$reader
  mkdir -p "$kept" "$work"
  echo "fuzz: $reader for $what, seed ${seed/#0/random} ($(ls "$seeds/$reader" | wc -l) seeds, $(ls "$kept" | wc -l) kept inputs)"
  t=$SECONDS
  # A repeatable run starts from the kept inputs and seeds alone.
  if [ "$seed" != 0 ]; then rm -rf "$work" && mkdir -p "$work"; fi
  if ! "$out/fuzz_$reader" "${budget[@]}" -seed="$seed" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$out/$reader-" "$work" "$kept" "$seeds/$reader" \
      >"$out/$reader.log" 2>&1; then
    echo "fuzz: $reader found a fault (input and report: $out/$reader-*, $out/$reader.log)" >&2
    grep -m 20 -E "ERROR|SUMMARY|runtime error|Test unit written" "$out/$reader.log" >&2 || true
    status=1
  fi
  grep -E "^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "$out/$reader.log" |
    sed "s/^/fuzz: $reader /" || true
  grep -m1 -oE "cov: [0-9]+ ft: [0-9]+" <(tac "$out/$reader.log") | sed "s/^/fuzz: $reader final /" || true
  if [ $keep = 1 ]; then
    # The new inputs that add coverage over the kept ones, small ones only.
    merged=$out/merged/$reader
    rm -rf "$merged" && mkdir -p "$merged"
    "$out/fuzz_$reader" -merge=1 -max_len=65536 "$merged" "$kept" "$work" >"$out/$reader-merge.log" 2>&1 || true
    added=0
    for f in "$merged"/*; do
      [ -f "$f" ] && [ ! -e "$kept/$(basename "$f")" ] && [ "$(stat -c %s "$f")" -le 4096 ] || continue
      cp "$f" "$kept/" && added=$((added + 1))
    done
    echo "fuzz: $reader kept $added new input(s) in fuzz/corpus/$reader"
  fi
  echo "fuzz: $reader took $((SECONDS - t)) s"
done
echo "fuzz: $((SECONDS - start)) s in all"
exit $status
