"""The klayout releases the direct readers answer for: exactly those whose
reader-against-KLayout tests pass (scripts/releases.sh), by exact name, for
both formats and both entry points."""

from __future__ import annotations

import pytest

from corvane.core import lumino

from . import gdsstream as g
from . import oasisstream as o

ACCEPTED = ["0.30.4.post1", "0.30.4-1", "0.30.5", "0.30.6", "0.30.7", "0.30.8", "0.30.9", "0.30.10", "0.30.11",
            "0.30.12"]
# The releases whose tests fail or cannot compare, a post release in both of
# its spellings, and names that only begin or end like an accepted one.
DECLINED = ["0.28.17.post1", "0.28.17-1", "0.29.12", "0.30.1", "0.30.3", "0.30.4", "0.30.4.post2", "0.30.8.post1",
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


# The reference of the reader-against-KLayout tests reads a complex
# transformation's sine and cosine from its matrix where a release lacks the
# binary form; both must give KLayout's held values to the bit.
@pytest.mark.skipif(not hasattr(__import__("klayout.db").db.ICplxTrans, "to_bytes"),
                    reason="this klayout has no binary form to compare the matrix route with")
@pytest.mark.parametrize("mirror", [False, True])
@pytest.mark.parametrize("mag", [1.0, 0.001, 0.3, 1.3, 2.0, 7.25, 1234.5])
@pytest.mark.parametrize("angle", [0.0, 1e-9, 12.5, 33.0, 45.0, 90.0, 90.000001, 135.0, 180.0, -30.0, 271.3])
def test_matrix_route_gives_klayouts_sine_and_cosine(angle, mag, mirror):
    import klayout.db as kdb

    from .direct_reference import complex_parts, complex_parts_from_matrix

    t = kdb.ICplxTrans(mag, angle, mirror, 17, -3)
    assert [v.hex() if isinstance(v, float) else v for v in complex_parts_from_matrix(t)] == \
        [v.hex() if isinstance(v, float) else v for v in complex_parts(t)]
