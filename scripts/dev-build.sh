#!/usr/bin/env bash
# Incremental developer build: compiles the extension modules into BUILD_DIR
# (default build/dev) and stages an importable package in BUILD_DIR/stage.
# Use it with: PYTHONPATH=$BUILD_DIR/stage python -m pytest ...
#
# Works in a fresh virtual environment: the build requirements that are
# missing (nanobind; cmake and ninja when not on PATH) are installed into
# the active python first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/dev}
py=$(command -v "${PYTHON:-python3}")
export PIP_ROOT_USER_ACTION=ignore

# nanobind at the version pyproject.toml's build requirements name.
nanobind_req=$("$py" - "$here/pyproject.toml" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
match = re.search(r'"(nanobind[^"]*)"', text)
print(match.group(1) if match else "nanobind")
EOF
)
missing=()
"$py" -c "import nanobind" 2>/dev/null || missing+=("$nanobind_req")
# cmake >= 3.18 and ninja: the system's when present, else from PyPI (the
# wheels put them into the environment's bin folder, which is on PATH once
# the environment is active; the folder is added here in any case).
bindir=$(dirname "$py")
export PATH="$bindir:$PATH"
cmake_ok() {
  command -v cmake >/dev/null 2>&1 || return 1
  local v
  v=$(cmake --version | head -n1 | sed 's/[^0-9.]*\([0-9.]*\).*/\1/')
  [ "$(printf '%s\n3.18\n' "$v" | sort -V | head -n1)" = "3.18" ]
}
cmake_ok || missing+=("cmake>=3.18")
command -v ninja >/dev/null 2>&1 || missing+=("ninja")
if [ ${#missing[@]} -gt 0 ]; then
  echo "dev-build: installing build requirements: ${missing[*]}" >&2
  "$py" -m pip install -q --disable-pip-version-check "${missing[@]}"
fi

mkdir -p "$build"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" >/dev/null
fi
cmake --build "$build"
rm -rf "$build/stage" && mkdir -p "$build/stage"
cp -r "$here/src/corvane" "$build/stage/corvane"
cp "$build"/*.so "$build"/stubs/*.pyi "$build/stage/corvane/core/" 2>/dev/null || true
echo "PYTHONPATH=$build/stage"
