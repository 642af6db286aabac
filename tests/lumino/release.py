"""Whether the direct readers answer for the installed klayout release.

They answer only for the releases their tests passed on (scripts/releases.sh
decides; the list is in the core).  With any other release installed, a newer
one say, every file goes to KLayout: the tests of the readers' own answers
then skip, and the roads through KLayout are tested as ever.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

import pytest

from corvane.core import lumino

from . import gdsstream as g


def _probe() -> str:
    """The reader's reason on a small valid file: empty where it answers."""
    with tempfile.TemporaryDirectory() as folder:
        return lumino._read_layout(g.write(Path(folder), g.library(g.structure("A"))))[1]


_WHY = _probe()
VERIFIED = _WHY == ""

needs_reader = pytest.mark.skipif(
    not VERIFIED, reason=f"the direct readers decline this klayout release ({_WHY}); scripts/releases.sh decides")
