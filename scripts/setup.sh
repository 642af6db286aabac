#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine: the graphviz
# programs, chromium and zlib's header (Debian) and corvane itself (with the
# two layout-library stand-ins it ships) and its PyPI dependencies.  Safe to
# run again: when the installed package was built from this source tree as it
# is now (a hash of the tree recorded in the package at install, see
# scripts/source_record.py), the build and install are skipped; a changed or
# missing record rebuilds.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore

# Debian packages: the graphviz programs (call graph plots), chromium (the
# viewer page's tests run it headless), zlib's header (the core inflates
# gzip-compressed layouts and OASIS's compressed blocks with the system zlib),
# assimp and gltfpack (the 3D file's tests have them read every exported
# file), and clang 19 with its libFuzzer and sanitizer runtimes (scripts/fuzz.sh;
# the core's C++20 needs clang 16 or later).
debs=()
command -v dot >/dev/null 2>&1 || debs+=(graphviz)
[ -f /usr/include/zlib.h ] || debs+=(zlib1g-dev)
command -v chromium >/dev/null 2>&1 || debs+=(chromium)
command -v assimp >/dev/null 2>&1 || debs+=(assimp-utils)
command -v gltfpack >/dev/null 2>&1 || debs+=(gltfpack)
command -v clang++-19 >/dev/null 2>&1 || debs+=(clang-19 libclang-rt-19-dev)
if [ ${#debs[@]} -gt 0 ] && command -v apt-get >/dev/null 2>&1; then
  apt-get update -qq >/dev/null && apt-get install -y -qq "${debs[@]}" >/dev/null
fi

if "$py" "$here/scripts/source_record.py" check "$here"; then
  echo "setup: corvane is installed from this source tree as it is; build skipped" >&2
  exit 0
fi
# Earlier set-ups installed the stand-ins as distributions of their own; the
# package now ships them, so those copies go first.
"$py" -m pip uninstall -y -q --disable-pip-version-check velloc orvik >/dev/null 2>&1 || true
"$py" -m pip install -q --disable-pip-version-check "$here[test]"
"$py" "$here/scripts/source_record.py" record "$here"
