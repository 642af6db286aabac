#!/usr/bin/env bash
# Installs everything the project needs on a fresh machine: the graphviz
# programs (Debian), the two stand-in libraries and corvane itself with its
# PyPI dependencies.  Safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}

if ! command -v dot >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then
  apt-get update -qq >/dev/null && apt-get install -y -qq graphviz >/dev/null
fi

# The stand-ins go in one command so that pip resolves orvik locally.
"$py" -m pip install -q --disable-pip-version-check "$here/standins/orvik" "$here/standins/velloc"
"$py" -m pip install -q --disable-pip-version-check "$here[test]"
