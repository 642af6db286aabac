#!/usr/bin/env bash
# Incremental developer build: compiles the extension modules into BUILD_DIR
# (default build/dev) and stages an importable package in BUILD_DIR/stage.
# Use it with: PYTHONPATH=$BUILD_DIR/stage python -m pytest ...
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/dev}
mkdir -p "$build"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
fi
cmake --build "$build"
rm -rf "$build/stage" && mkdir -p "$build/stage"
cp -r "$here/src/corvane" "$build/stage/corvane"
cp "$build"/*.so "$build"/stubs/*.pyi "$build/stage/corvane/core/" 2>/dev/null || true
echo "PYTHONPATH=$build/stage"
