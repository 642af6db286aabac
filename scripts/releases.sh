#!/usr/bin/env bash
# Runs the reader-against-KLayout tests once per klayout release, each in a
# virtual environment of its own (build/releases/klayout-X), and prints one
# line per release: whether the direct reader answers for it and the tests'
# result.  A release the reader answers for whose tests do not all pass
# fails the run; so does one that cannot be installed.
#
#   scripts/releases.sh [--quick] [--stage DIR] [RELEASE ...]
#
# RELEASE defaults to every klayout minor release from 0.28 on (below).
# --quick runs a subset of the tests (the CI's choice: about a minute per
# release).  --stage DIR imports corvane from DIR (e.g. build/dev/stage, the
# developer build); without it the corvane installed in the active python.
# The compiled modules do not link klayout, so one build serves every
# release.
#
# Each environment sees the active python's packages (numpy, shapely,
# hypothesis, ...) and holds only klayout itself, which so shadows any
# klayout installed there; the script checks that the one imported is the
# release asked for.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=$(command -v "${PYTHON:-python3}")
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# The last release of each minor line before 0.30, and every 0.30 release
# (0.30.0 was never published; 0.28.17 and 0.30.4 are published as .post1).
all_releases=(0.28.17.post1 0.29.12 0.30.1 0.30.2 0.30.3 0.30.4.post1 0.30.5 0.30.6
  0.30.7 0.30.8 0.30.9 0.30.10 0.30.11 0.30.12)

full_tests=(tests/lumino/test_direct_reader.py tests/lumino/test_oasis_reader.py
  tests/lumino/test_reader_context.py tests/lumino/test_reader_gzip.py
  tests/lumino/test_shared_layouts.py tests/lumino/test_corpus.py tests/lumino/test_oasis_roads.py)
# The quick subset: both readers straight against KLayout's read on the
# shared layouts and corpus files, hand-made, random and mutated streams
# (a fixed set of examples) and the context values; the roads through the
# viewer and the gzip forms are left to the full set.
quick_tests=(tests/lumino/test_direct_reader.py tests/lumino/test_oasis_reader.py
  tests/lumino/test_reader_context.py)

stage=
quick=0
releases=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --stage) stage=$(cd "$2" && pwd); shift ;;
    -*) echo "releases: unknown option $1" >&2; exit 2 ;;
    *) releases+=("$1") ;;
  esac
  shift
done
[ ${#releases[@]} -gt 0 ] || releases=("${all_releases[@]}")
if [ $quick = 1 ]; then tests=("${quick_tests[@]}"); else tests=("${full_tests[@]}"); fi
[ -z "$stage" ] || export PYTHONPATH="$stage"

root=$here/build/releases
mkdir -p "$root"
cd "$here"
start=$SECONDS
failed=0
summary=()
for release in "${releases[@]}"; do
  t=$SECONDS
  env=$root/klayout-$release
  if [ ! -x "$env/bin/python" ]; then
    "$py" -m venv --system-site-packages "$env"
  fi
  # Installed into the environment unless it holds the release already.
  if ! compgen -G "$env/lib/python*/site-packages/klayout-$release.dist-info" >/dev/null &&
     ! "$env/bin/python" -m pip install -q --no-deps --ignore-installed "klayout==$release"; then
    summary+=("$release: cannot be installed")
    failed=1
    continue
  fi
  # The klayout imported must be this environment's, at this release.
  got=$("$env/bin/python" - "$env" <<'EOF'
import sys
import klayout.db as kdb
if not kdb.__file__.startswith(sys.argv[1]):
    sys.exit(f"imports klayout from {kdb.__file__}")
print(kdb.__version__)
EOF
  ) || { summary+=("$release: $got"); failed=1; continue; }
  # A post release names itself X-N (0.28.17.post1 is "0.28.17-1").
  if [ "${release%%.post*}" != "${got%%-*}" ]; then
    summary+=("$release: imports klayout $got"); failed=1; continue
  fi
  # Whether the reader answers for this release, before klayout is imported
  # (the version from the package's metadata) and after (its __version__).
  answers=$("$env/bin/python" - <<'EOF'
import sys, tempfile
from pathlib import Path
sys.path.insert(0, "tests/lumino")
import gdsstream as g
from corvane.core import lumino
with tempfile.TemporaryDirectory() as d:
    path = g.write(Path(d), g.library(g.structure("A")))
    before = lumino._read_layout(path)
    import klayout.db
    after = lumino._read_layout(path)
why = [r[1] for r in (before, after) if r[0] is None]
print("answers" if not why else f"declines ({why[0]})")
EOF
  )
  log=$root/klayout-$release.log
  if "$env/bin/python" -m pytest -q -p no:cacheprovider -rs "${tests[@]}" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
  fi
  result=$(tail -n 1 "$log" | sed 's/^=* *//; s/ *=*$//')
  line="klayout $got: reader $answers; tests $result ($((SECONDS - t)) s)"
  if [ "$answers" = answers ] && [ $status = FAILED ]; then
    line="$line  <- FAILED, see $log"
    failed=1
  fi
  echo "releases: $line"
  summary+=("$line")
done
echo "releases: ${#releases[@]} release(s) in $((SECONDS - start)) s"
printf '  %s\n' "${summary[@]}"
exit $failed
