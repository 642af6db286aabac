#!/usr/bin/env bash
# Installs the project (scripts/setup.sh) and runs the demonstration with the
# built-in default PDK.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
cd "$here"
exec "${PYTHON:-python3}" -m corvane.demo "$@"
