#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine: the graphviz
# programs and chromium (Debian) and corvane itself (with the two layout-library
# stand-ins it ships) and its PyPI dependencies.  Safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore

# Debian packages: the graphviz programs (call graph plots), chromium (the
# viewer page's tests run it headless), and assimp and gltfpack (the 3D
# file's tests have them read every exported file).
debs=()
command -v dot >/dev/null 2>&1 || debs+=(graphviz)
command -v chromium >/dev/null 2>&1 || debs+=(chromium)
command -v assimp >/dev/null 2>&1 || debs+=(assimp-utils)
command -v gltfpack >/dev/null 2>&1 || debs+=(gltfpack)
if [ ${#debs[@]} -gt 0 ] && command -v apt-get >/dev/null 2>&1; then
  apt-get update -qq >/dev/null && apt-get install -y -qq "${debs[@]}" >/dev/null
fi

# Earlier set-ups installed the stand-ins as distributions of their own; the
# package now ships them, so those copies go first.
"$py" -m pip uninstall -y -q --disable-pip-version-check velloc orvik >/dev/null 2>&1 || true
"$py" -m pip install -q --disable-pip-version-check "$here[test]"
