"""lumino's messages on the shared layouts are byte for byte those the record
road gave before the parse moved into C++ (SHA-256 digests stored in
data/message_digests.json).  The geometry in them is decided by KLayout (the
reading) and GEOS (the simplification), so the digests are compared only with
the versions of those two they were made with; elsewhere the live comparison
of both roads (test_message_roads) stands in.  The text itself is written by
lumino's own JSON writer, which test_json_writer holds against orjson live."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

import klayout.db as kdb
import pytest
import shapely

from .test_message_roads import lumino_message, vlt
from .test_shared_layouts import DATA, FILES
from corvane.core import lumino

STORED = json.loads((Path(__file__).parent / "data" / "message_digests.json").read_text())
VERSIONS = {"klayout": kdb.__version__, "geos": shapely.geos_version_string}

pytestmark = pytest.mark.skipif(
    VERSIONS != STORED["versions"], reason=f"digests were made with {STORED['versions']}, this is {VERSIONS}")


@pytest.mark.parametrize("output", ["cell", "layer"])
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_message_digest_unchanged(gds, stack, output):
    stack, views = vlt.read_layer_technology(DATA / stack)
    content = lumino_message(str(DATA / "gds" / gds), getattr(lumino.Output, output.upper()), stack, views)
    assert hashlib.sha256(content.encode()).hexdigest() == STORED["digests"][f"{gds} {output}"]
