"""A small GDS2 stream writer for tests: streams that KLayout did not write.

Each element is built from raw records, so a test can leave records out,
reorder them, add unknown ones or cut the stream short.
"""

import struct

HEADER, BGNLIB, LIBNAME, UNITS, ENDLIB = 0x00, 0x01, 0x02, 0x03, 0x04
BGNSTR, STRNAME, ENDSTR = 0x05, 0x06, 0x07
BOUNDARY, PATH, SREF, AREF, TEXT = 0x08, 0x09, 0x0A, 0x0B, 0x0C
LAYER, DATATYPE, WIDTH, XY, ENDEL, SNAME, COLROW = 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13
NODE, TEXTTYPE, PRESENTATION, STRING, STRANS, MAG, ANGLE = 0x15, 0x16, 0x17, 0x19, 0x1A, 0x1B, 0x1C
PATHTYPE, ELFLAGS, NODETYPE, PROPATTR, PROPVALUE = 0x21, 0x26, 0x2A, 0x2B, 0x2C
BOX, BOXTYPE, PLEX, BGNEXTN, ENDEXTN = 0x2D, 0x2E, 0x2F, 0x30, 0x31
LIBDIRSIZE = 0x39

# Data type of each record's payload (0 none, 1 bits, 2 int16, 3 int32, 5 real8, 6 text).
_DTYPE = {
    HEADER: 2, BGNLIB: 2, LIBNAME: 6, UNITS: 5, ENDLIB: 0, BGNSTR: 2, STRNAME: 6, ENDSTR: 0,
    BOUNDARY: 0, PATH: 0, SREF: 0, AREF: 0, TEXT: 0, LAYER: 2, DATATYPE: 2, WIDTH: 3, XY: 3,
    ENDEL: 0, SNAME: 6, COLROW: 2, NODE: 0, TEXTTYPE: 2, PRESENTATION: 1, STRING: 6, STRANS: 1,
    MAG: 5, ANGLE: 5, PATHTYPE: 2, ELFLAGS: 1, NODETYPE: 2, PROPATTR: 2, PROPVALUE: 6, BOX: 0,
    BOXTYPE: 2, PLEX: 3, BGNEXTN: 3, ENDEXTN: 3, LIBDIRSIZE: 2,
}


def real8(value):
    """A GDS2 eight-byte real: sign, excess-64 base-16 exponent, 56-bit mantissa."""
    if value == 0:
        return bytes(8)
    sign = 0x80 if value < 0 else 0
    value = abs(value)
    exponent = 64
    while value >= 1:
        value /= 16
        exponent += 1
    while value < 1 / 16:
        value *= 16
        exponent -= 1
    mantissa = int(round(value * 2**56))
    if mantissa >= 2**56:
        mantissa >>= 4
        exponent += 1
    return bytes([sign | exponent]) + mantissa.to_bytes(7, "big")


def record(rtype, *values, raw=None):
    """One record; `raw` gives the payload bytes as they are."""
    dt = _DTYPE.get(rtype, 0)
    if raw is not None:
        payload = raw
    elif dt == 6:
        payload = values[0].encode() if isinstance(values[0], str) else values[0]
        if len(payload) % 2:
            payload += b"\0"
    elif dt in (1, 2):
        # Two-byte values from -32768 to 65535: GDS2 readers take some of
        # them (LAYER, DATATYPE, COLROW) as unsigned.
        if any(not -32768 <= v <= 65535 for v in values):
            raise ValueError(f"two-byte value out of range: {values}")
        payload = b"".join(struct.pack(">H", v & 0xFFFF) for v in values)
    elif dt == 3:
        payload = b"".join(struct.pack(">i", v) for v in values)
    elif dt == 5:
        payload = b"".join(real8(v) for v in values)
    else:
        payload = b""
    return struct.pack(">HBB", len(payload) + 4, rtype, dt) + payload


def xy(points):
    return record(XY, *[c for p in points for c in p])


def props(pairs):
    return b"".join(record(PROPATTR, a) + record(PROPVALUE, v) for a, v in pairs)


def boundary(layer, datatype, points, close=True, properties=()):
    pts = list(points) + ([points[0]] if close else [])
    return (record(BOUNDARY) + record(LAYER, layer) + record(DATATYPE, datatype) + xy(pts)
            + props(properties) + record(ENDEL))


def box(layer, boxtype, points, properties=()):
    return (record(BOX) + record(LAYER, layer) + record(BOXTYPE, boxtype) + xy(points)
            + props(properties) + record(ENDEL))


def path(layer, datatype, points, width=None, pathtype=None, bgn=None, end=None, properties=()):
    out = record(PATH) + record(LAYER, layer) + record(DATATYPE, datatype)
    if pathtype is not None:
        out += record(PATHTYPE, pathtype)
    if width is not None:
        out += record(WIDTH, width)
    if bgn is not None:
        out += record(BGNEXTN, bgn)
    if end is not None:
        out += record(ENDEXTN, end)
    return out + xy(points) + props(properties) + record(ENDEL)


def text(layer, texttype, point, string="T", mag=None, angle=None, mirror=False, properties=()):
    out = record(TEXT) + record(LAYER, layer) + record(TEXTTYPE, texttype)
    if mirror or mag is not None or angle is not None:
        out += record(STRANS, 0x8000 if mirror else 0)
    if mag is not None:
        out += record(MAG, mag)
    if angle is not None:
        out += record(ANGLE, angle)
    return out + xy([point]) + record(STRING, string) + props(properties) + record(ENDEL)


def node(layer, nodetype, points):
    return record(NODE) + record(LAYER, layer) + record(NODETYPE, nodetype) + xy(points) + record(ENDEL)


def _strans(mirror, mag, angle):
    out = b""
    if mirror or mag is not None or angle is not None:
        out += record(STRANS, 0x8000 if mirror else 0)
    if mag is not None:
        out += record(MAG, mag)
    if angle is not None:
        out += record(ANGLE, angle)
    return out


def sref(name, origin, mirror=False, mag=None, angle=None, properties=()):
    return (record(SREF) + record(SNAME, name) + _strans(mirror, mag, angle) + xy([origin])
            + props(properties) + record(ENDEL))


def aref(name, cols, rows, origin, col_corner, row_corner, mirror=False, mag=None, angle=None,
         properties=()):
    return (record(AREF) + record(SNAME, name) + _strans(mirror, mag, angle)
            + record(COLROW, cols, rows) + xy([origin, col_corner, row_corner])
            + props(properties) + record(ENDEL))


def structure(name, *elements):
    return record(BGNSTR, *([0] * 12)) + record(STRNAME, name) + b"".join(elements) + record(ENDSTR)


def library(*structures, dbu_user=0.001, dbu_meter=1e-9, name="LIB"):
    return (record(HEADER, 600) + record(BGNLIB, *([0] * 12)) + record(LIBNAME, name)
            + record(UNITS, dbu_user, dbu_meter) + b"".join(structures) + record(ENDLIB))


def write(tmp_path, data, name="t.gds"):
    p = tmp_path / name
    p.write_bytes(data)
    return str(p)


__all__ = [n for n in dir() if not n.startswith("_")]
