"""lumino's messages on the shared layouts are byte for byte those the record
road gave before the parse moved into C++ (SHA-256 digests stored in
data/message_digests.json).  The digests depend on the libraries that read,
simplify and encode, so they are compared only with the versions they were
made with; elsewhere the live comparison of both roads (test_message_roads)
stands in."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

import klayout.db as kdb
import numpy
import orjson
import pytest
import shapely

from .test_message_roads import lumino_message, vlt
from .test_shared_layouts import DATA, FILES
from corvane.core import lumino

STORED = json.loads((Path(__file__).parent / "data" / "message_digests.json").read_text())
VERSIONS = {"klayout": kdb.__version__, "shapely": shapely.__version__, "geos": shapely.geos_version_string,
            "numpy": numpy.__version__, "orjson": orjson.__version__}

pytestmark = pytest.mark.skipif(
    VERSIONS != STORED["versions"], reason=f"digests were made with {STORED['versions']}, this is {VERSIONS}")


@pytest.mark.parametrize("output", ["cell", "layer"])
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_message_digest_unchanged(gds, stack, output):
    stack, views = vlt.read_layer_technology(DATA / stack)
    content = lumino_message(str(DATA / "gds" / gds), getattr(lumino.Output, output.upper()), stack, views)
    assert hashlib.sha256(content.encode()).hexdigest() == STORED["digests"][f"{gds} {output}"]
