"""gzip-compressed GDS2 files: KLayout reads every file through zlib's gzread,
so a file that starts with gzip's magic is read inflated whatever its name
(`.gds.gz`, `.gds`, no suffix), member after member, and whatever follows the
last member is ignored; a member cut short gives what it inflated.  The
direct reader reads them so too, byte for byte
as KLayout does, and declines every file whose inflation KLayout fails.
"""

from __future__ import annotations

import gzip
import struct
import zlib

import klayout.db as kdb
import pytest
import velloc.technology as vlt

from corvane.core import lumino

from . import gdsstream as g
from .direct_reference import first_difference, klayout_layout, same
from .test_direct_reader import SQUARE, assert_same_or_declined, child, verified_klayout  # noqa: F401
from .test_file_roads import frozen
from .test_message_roads import lumino_message
from .test_shared_layouts import DATA

STREAM = g.library(g.structure("TOP", g.boundary(1, 0, SQUARE), g.path(2, 0, [(0, 0), (50, 0)], width=4),
                               g.aref("CHILD", 3, 2, (0, 0), (30, 0), (0, 20)), g.text(1, 0, (1, 1), "t")), child)
shared = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")


def member(data, level=9, name=None):
    """One gzip member, with a file name in its header when given."""
    if name is None:
        return gzip.compress(data, compresslevel=level, mtime=0)
    flags, header = 0x08, b"\x1f\x8b\x08"
    body = zlib.compressobj(level, zlib.DEFLATED, -15)
    deflated = body.compress(data) + body.flush()
    return (header + bytes([flags]) + bytes(4) + b"\x00\x03" + name + b"\x00" + deflated
            + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF))


def assert_as_klayout(path, pairs=None):
    got, why = lumino._read_layout(str(path), pairs)
    assert got is not None, why
    want = klayout_layout(path, pairs)
    assert same(got, want), first_difference(got, want)


@pytest.mark.parametrize("name", ["layout.gds.gz", "layout.gds", "layout.GDS", "layout"])
@pytest.mark.parametrize("level", [0, 1, 9])
def test_compressed_under_any_name(tmp_path, name, level):
    path = tmp_path / name
    path.write_bytes(member(STREAM, level))
    assert_as_klayout(path)
    assert lumino._read_layout(str(path)) == lumino._read_layout(g.write(tmp_path, STREAM, "plain.gds"))


@pytest.mark.parametrize("name", ["layout.oas.gz", "layout.gds"])
def test_compressed_oasis_is_read_as_oasis(tmp_path, name):
    # KLayout tells the format from the inflated bytes, so an OASIS file inside gzip is read as OASIS.
    ly = kdb.Layout()
    ly.read(g.write(tmp_path, STREAM, "plain.gds"))
    oasis = tmp_path / "plain.oas"
    ly.write(str(oasis))
    path = tmp_path / name
    path.write_bytes(member(oasis.read_bytes()))
    assert_as_klayout(path)
    assert lumino._read_layout(str(path)) == lumino._read_layout(str(oasis))


SPLIT = len(STREAM) // 3
FORMS = [
    pytest.param(member(STREAM[:SPLIT]) + member(STREAM[SPLIT:], 1), id="two-members"),
    pytest.param(member(STREAM[:SPLIT]) + member(b"") + member(STREAM[SPLIT:]), id="empty-member-between"),
    pytest.param(member(STREAM, name=b"layout.gds"), id="file-name-in-header"),
    pytest.param(member(STREAM) + b"trailing bytes that are not gzip", id="trailing-garbage"),
    pytest.param(member(STREAM) + b"\x1f", id="trailing-magic-byte"),
    pytest.param(member(STREAM) + bytes(100), id="trailing-zeros"),
    # A member cut short gives what it inflated (gzread reports no error).
    pytest.param(member(STREAM)[:-5], id="cut-in-trailer"),
    pytest.param(member(STREAM) + member(STREAM)[:12], id="second-member-cut"),
]


@pytest.mark.parametrize("data", FORMS)
def test_compressed_forms_klayout_reads(tmp_path, data):
    path = tmp_path / "forms.gds"
    path.write_bytes(data)
    assert_as_klayout(path)


def damaged():
    whole = member(STREAM)
    bad_crc = bytearray(whole)
    bad_crc[-8] ^= 0xFF
    bad_size = bytearray(whole)
    bad_size[-1] ^= 0x01
    bad_method = bytearray(whole)
    bad_method[2] = 7
    bad_data = bytearray(whole)
    bad_data[len(whole) // 2] ^= 0x55
    return [
        pytest.param(bytes(bad_crc), id="check-sum"),
        pytest.param(bytes(bad_size), id="length"),
        pytest.param(bytes(bad_method), id="method"),
        pytest.param(bytes(bad_data), id="data"),
        pytest.param(whole[: len(whole) // 2], id="cut-in-data"),
        pytest.param(whole[:6], id="cut-in-header"),
        pytest.param(b"\x1f\x8b", id="magic-alone"),
        pytest.param(member(STREAM[:-4]), id="inflates-to-a-cut-stream"),
        pytest.param(member(b"not a layout at all"), id="inflates-to-no-stream"),
    ]


@pytest.mark.parametrize("data", damaged())
def test_damaged_compressed_files_are_declined(tmp_path, data):
    path = tmp_path / "damaged.gds"
    path.write_bytes(data)
    got, why = lumino._read_layout(str(path))
    assert got is None and why
    assert not assert_same_or_declined(str(path))
    with pytest.raises(RuntimeError):
        kdb.Layout().read(str(path))


@shared
@pytest.mark.parametrize("gds", ["RingResonator.gds", "tt_um_loopback.gds"])
def test_compressed_shared_layouts_read_and_draw_as_klayout_reads_them(tmp_path, gds, monkeypatch):
    packed = tmp_path / f"{gds}.gz"
    packed.write_bytes(member((DATA / "gds" / gds).read_bytes(), 6))
    assert_as_klayout(packed)
    stack, views = vlt.read_layer_technology(DATA / ("sky130_like_stack.json" if gds.startswith("tt_um")
                                                    else "photonics_stack.json"))

    def results():
        return (lumino_message(str(packed), lumino.Output.LAYER, stack, views),
                frozen(lumino.to_3D_viewer(str(packed), lumino.Output.CELL, layer_views=views, layer_stack=stack)))

    direct = results()
    monkeypatch.setattr(lumino, "pya", kdb)  # the plain road: KLayout reads the file
    assert results() == direct
