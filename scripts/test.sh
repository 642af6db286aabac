#!/usr/bin/env bash
# Installs the project (scripts/setup.sh) and runs the whole test suite
# against the installed package.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
cd "$here"
# Tests import the installed package, not the source tree.
exec "${PYTHON:-python3}" -m pytest -q -p no:cacheprovider tests "$@"
