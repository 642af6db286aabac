"""The klayout releases the direct readers answer for: exactly those whose
reader-against-KLayout tests pass (scripts/releases.sh), by exact name, for
both formats and both entry points."""

from __future__ import annotations

import pytest

from corvane.core import lumino

from . import gdsstream as g
from . import oasisstream as o

ACCEPTED = ["0.30.9", "0.30.10", "0.30.11", "0.30.12"]
# The releases whose tests fail or cannot compare, a post release in both of
# its spellings, and names that only begin or end like an accepted one.
DECLINED = ["0.28.17.post1", "0.28.17-1", "0.29.12", "0.30.1", "0.30.3", "0.30.4.post1", "0.30.4-1", "0.30.8",
            "0.30.12.post1", "0.30.12-1", "0.30.9 ", "v0.30.9", "0.30", "0.30.120", "0.31.0"]


@pytest.fixture(params=["gds", "oasis"])
def probe(request, tmp_path):
    if request.param == "gds":
        return g.write(tmp_path, g.library(g.structure("A")))
    path = tmp_path / "probe.oas"
    path.write_bytes(o.layout(o.cellname("A"), o.cell(0)))
    return str(path)


@pytest.mark.parametrize("version", ACCEPTED)
def test_accepted_releases_are_answered(probe, version):
    got, why = lumino._read_layout(probe, klayout_version=version)
    assert why == "" and [c["name"] for c in got["cells"]] == ["A"]
    summary, why = lumino._layout_summary(probe, klayout_version=version)
    assert why == "" and summary is not None


@pytest.mark.parametrize("version", DECLINED)
def test_other_releases_are_declined(probe, version):
    assert lumino._read_layout(probe, klayout_version=version) == (None, f"klayout {version} not verified")
    assert lumino._layout_summary(probe, klayout_version=version) == (None, f"klayout {version} not verified")
