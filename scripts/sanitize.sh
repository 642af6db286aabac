#!/usr/bin/env bash
# Builds the three extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan and runs the whole test suite
# against that build twice:
#   1. PYTHONMALLOC=malloc: every Python object is a plain malloc block, so
#      ASan also sees overflows and uses after free of Python objects;
#   2. PYTHONMALLOC=debug: the interpreter's own allocator checks (guard
#      bytes, freed-memory patterns, allocation without the GIL).
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded.  Any sanitizer report stops the run with a non-zero status.
# Arguments are passed to pytest (e.g. tests/lumino -x).
#
# Prints the duration of each stage.  Needs the package's dependencies
# installed in the active python (scripts/setup.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/asan
py=$(command -v "${PYTHON:-python3}")
export PATH="$(dirname "$py"):$PATH"
start=$SECONDS
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# Build requirements (nanobind, cmake, ninja) as the developer build gets them.
"$py" -c "import nanobind" 2>/dev/null || "$py" -m pip install -q --disable-pip-version-check "nanobind>=2.4"
command -v ninja >/dev/null 2>&1 || "$py" -m pip install -q --disable-pip-version-check ninja
command -v cmake >/dev/null 2>&1 || "$py" -m pip install -q --disable-pip-version-check "cmake>=3.18"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$flags" -DCORVANE_STUBS=OFF -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build"
rm -rf "$build/stage" && mkdir -p "$build/stage"
cp -r "$here/src/corvane" "$build/stage/corvane"
cp "$build"/*.so "$build/stage/corvane/core/"
echo "sanitize: build took $((SECONDS - start)) s"

cd "$here"
# The staged package must be the one imported (not an installed copy).
export PYTHONPATH="$build/stage"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# Leak detection is off: the interpreter keeps much memory until exit by design.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Programs the tests start that are not Python (Chromium for the viewer page)
# must not get the sanitizer runtimes: a wrapper ahead on PATH drops them.
real_chromium=$(command -v chromium || command -v chromium-browser || true)
if [ -n "$real_chromium" ]; then
  mkdir -p "$build/bin"
  printf '#!/bin/sh\nunset LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC\nexec %s "$@"\n' "$real_chromium" >"$build/bin/chromium"
  chmod +x "$build/bin/chromium"
  export PATH="$build/bin:$PATH"
fi
found=$("$py" -c "import corvane.core.lumino as l; print(l.__file__)")
case $found in "$build/stage/"*) ;; *) echo "sanitize: imports $found, not the sanitized build" >&2; exit 1 ;; esac

# The resident-memory tests are left out: ASan keeps freed memory in
# quarantine to catch uses after free, so resident memory grows by design
# there; so is the full chip in the browser, which is not sanitized and takes
# minutes.  Both run in the normal suite.
args=(-q -p no:cacheprovider -m "not memory and not chip")
[ $# -gt 0 ] || set -- tests
t=$SECONDS
PYTHONMALLOC=malloc "$py" -X dev -m pytest "${args[@]}" "$@"
echo "sanitize: suite under PYTHONMALLOC=malloc took $((SECONDS - t)) s; $((SECONDS - start)) s so far"
# pytest's summary stays the last line of the output.
PYTHONMALLOC=debug "$py" -X dev -m pytest "${args[@]}" "$@"
