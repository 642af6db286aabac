"""A small OASIS writer for tests: files that KLayout does not write.

Every record is built from its fields as given; a field left out (None) is
left out of the record, so that the reader takes it from its modal state.
Records are bytes and join with +; `layout(...)` puts the magic, START and
END around them.
"""

import struct
import zlib

MAGIC = b"%SEMI-OASIS\r\n"


def uint(v):
    """An unsigned integer: seven bits a byte, low bits first."""
    assert v >= 0
    out = bytearray()
    while True:
        b = v & 0x7F
        v >>= 7
        if v:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def sint(v):
    """A signed integer: the sign in the lowest bit."""
    return uint((-v << 1) | 1) if v < 0 else uint(v << 1)


def real(v, form=None):
    """A real in `form` (0/1 whole, 2 reciprocal, 4 ratio (num, den), 6 float,
    7 double); by default whole numbers as such, others as doubles."""
    if form == 6:
        return uint(6) + struct.pack("<f", v)
    if form == 7 or (form is None and v != int(v)):
        return uint(7) + struct.pack("<d", v)
    if form == 4:
        num, den = v
        return uint(4) + uint(num) + uint(den)
    if form == 2:
        return uint(2) + uint(v)
    if form == 1:
        return uint(1) + uint(-v)
    return uint(0) + uint(int(v)) if v >= 0 else uint(1) + uint(int(-v))


def string(s):
    data = s.encode() if isinstance(s, str) else s
    return uint(len(data)) + data


def layout(*records, unit=1000, offsets_at_end=False, tail=None, version="1.0"):
    """A whole file: START (with a table of zero offsets), the records, END."""
    table = uint(0) * 12
    start = MAGIC + uint(1) + string(version) + real(unit) + uint(1 if offsets_at_end else 0)
    if not offsets_at_end:
        start += table
    end = uint(2) + (table if offsets_at_end else b"")
    if tail is None:
        # A padding string up to 254 bytes after the record id, then
        # validation scheme 0 (none).
        n = 254 - (len(end) - 1) - 2
        tail = uint(n) + b"\0" * n + uint(0)
    return start + b"".join(records) + end + tail


def pad():
    return uint(0)


def cellname(name, ref=None):
    """CELLNAME, implicitly numbered without `ref`."""
    return uint(3) + string(name) if ref is None else uint(4) + string(name) + uint(ref)


def textstring(text, ref=None):
    return uint(5) + string(text) if ref is None else uint(6) + string(text) + uint(ref)


def propname(name, ref=None):
    return uint(7) + string(name) if ref is None else uint(8) + string(name) + uint(ref)


def propstring(text, ref=None):
    return uint(9) + string(text) if ref is None else uint(10) + string(text) + uint(ref)


def interval(lo=None, hi=None):
    """A LAYERNAME interval: all, up to, from, exactly, or between."""
    if lo is None and hi is None:
        return uint(0)
    if lo is None:
        return uint(1) + uint(hi)
    if hi is None:
        return uint(2) + uint(lo)
    if lo == hi:
        return uint(3) + uint(lo)
    return uint(4) + uint(lo) + uint(hi)


def layername(name, layers=(None, None), datatypes=(None, None), text=False):
    return uint(12 if text else 11) + string(name) + interval(*layers) + interval(*datatypes)


def cell(ref_or_name):
    """CELL by reference number (int) or by name (str)."""
    if isinstance(ref_or_name, int):
        return uint(13) + uint(ref_or_name)
    return uint(14) + string(ref_or_name)


def xyabsolute():
    return uint(15)


def xyrelative():
    return uint(16)


def cblock(*records, level=6):
    data = b"".join(records)
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    packed = c.compress(data) + c.flush()
    return uint(34) + uint(0) + uint(len(data)) + uint(len(packed)) + packed


# ---- repetitions ----------------------------------------------------------------


def gdelta(dx, dy):
    """A g-delta: the short form along the eight directions, else the long one."""
    dirs = {(1, 0): 0, (0, 1): 1, (-1, 0): 2, (0, -1): 3, (1, 1): 4, (-1, 1): 5, (-1, -1): 6, (1, -1): 7}
    n = max(abs(dx), abs(dy))
    if n and (dx, dy) == (n * (dx > 0) - n * (dx < 0), n * (dy > 0) - n * (dy < 0)):
        key = ((dx > 0) - (dx < 0), (dy > 0) - (dy < 0))
        return uint((n << 4) | (dirs[key] << 1))
    return uint((abs(dx) << 2) | (2 if dx < 0 else 0) | 1) + sint(dy)


def rep_reuse():
    return uint(0)


def rep_matrix(nx, ny, dx, dy):
    """Type 1: nx columns, ny rows (at least 2 each) spaced dx, dy."""
    return uint(1) + uint(nx - 2) + uint(ny - 2) + uint(dx) + uint(dy)


def rep_row(nx, dx):
    return uint(2) + uint(nx - 2) + uint(dx)


def rep_column(ny, dy):
    return uint(3) + uint(ny - 2) + uint(dy)


def rep_xlist(spaces, grid=None):
    """Types 4/5: spacings along x (one fewer than the elements)."""
    head = uint(4) if grid is None else uint(5)
    return head + uint(len(spaces) - 1) + (uint(grid) if grid is not None else b"") + b"".join(uint(s) for s in spaces)


def rep_ylist(spaces, grid=None):
    head = uint(6) if grid is None else uint(7)
    return head + uint(len(spaces) - 1) + (uint(grid) if grid is not None else b"") + b"".join(uint(s) for s in spaces)


def rep_lattice(n, m, a, b):
    """Type 8: n x m elements along the vectors a and b."""
    return uint(8) + uint(n - 2) + uint(m - 2) + gdelta(*a) + gdelta(*b)


def rep_line(n, a):
    return uint(9) + uint(n - 2) + gdelta(*a)


def rep_points(deltas, grid=None):
    """Types 10/11: displacements from one element to the next."""
    head = uint(10) if grid is None else uint(11)
    return head + uint(len(deltas) - 1) + (uint(grid) if grid is not None else b"") + b"".join(gdelta(*d) for d in deltas)


# ---- elements ---------------------------------------------------------------------


def _flags(*bits):
    v = 0
    for bit, on in bits:
        if on:
            v |= bit
    return v


def _opt(value, enc):
    return b"" if value is None else enc(value)


def rectangle(layer=None, datatype=None, w=None, h=None, x=None, y=None, rep=None, square=False):
    info = _flags((0x80, square), (0x40, w is not None), (0x20, h is not None and not square), (0x10, x is not None),
                  (0x08, y is not None), (0x04, rep is not None), (0x02, datatype is not None), (0x01, layer is not None))
    return (uint(20) + bytes([info]) + _opt(layer, uint) + _opt(datatype, uint) + _opt(w, uint)
            + (b"" if square else _opt(h, uint)) + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def point_list(points, form=4):
    """The points after the first (which is the element's position), relative
    to it, as g-deltas (form 4), 2-deltas (2), 3-deltas (3) or double deltas
    (5); for forms 0 and 1 (alternating manhattan lengths, starting along x
    or y) `points` are the signed lengths."""
    if form in (0, 1):
        return uint(form) + uint(len(points)) + b"".join(sint(d) for d in points)
    deltas = [(b[0] - a[0], b[1] - a[1]) for a, b in zip([(0, 0)] + list(points[:-1]), points)]
    if form == 2:
        enc = {(1, 0): 0, (0, 1): 1, (-1, 0): 2, (0, -1): 3}
        body = []
        for dx, dy in deltas:
            n = max(abs(dx), abs(dy))
            body.append(uint((n << 2) | enc[((dx > 0) - (dx < 0), (dy > 0) - (dy < 0))]))
        return uint(2) + uint(len(deltas)) + b"".join(body)
    if form == 3:
        dirs = {(1, 0): 0, (0, 1): 1, (-1, 0): 2, (0, -1): 3, (1, 1): 4, (-1, 1): 5, (-1, -1): 6, (1, -1): 7}
        body = []
        for dx, dy in deltas:
            n = max(abs(dx), abs(dy))
            body.append(uint((n << 3) | dirs[((dx > 0) - (dx < 0), (dy > 0) - (dy < 0))]))
        return uint(3) + uint(len(deltas)) + b"".join(body)
    if form == 5:
        seconds, prev = [], (0, 0)
        for d in deltas:
            seconds.append((d[0] - prev[0], d[1] - prev[1]))
            prev = d
        return uint(5) + uint(len(deltas)) + b"".join(gdelta(*d) for d in seconds)
    return uint(4) + uint(len(deltas)) + b"".join(gdelta(*d) for d in deltas)


def polygon(layer=None, datatype=None, points=None, x=None, y=None, rep=None, form=4):
    """`points` relative to the position, without the first (0, 0)."""
    info = _flags((0x20, points is not None), (0x10, x is not None), (0x08, y is not None), (0x04, rep is not None),
                  (0x02, datatype is not None), (0x01, layer is not None))
    return (uint(21) + bytes([info]) + _opt(layer, uint) + _opt(datatype, uint)
            + (point_list(points, form) if points is not None else b"") + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def path(layer=None, datatype=None, halfwidth=None, ext=None, points=None, x=None, y=None, rep=None, form=4):
    """`ext`: (start, end), each None (modal), 0 (flush), "half" (half width) or an integer."""
    scheme, values = 0, b""
    if ext is not None:
        for shift, e in ((2, ext[0]), (0, ext[1])):
            if e is None:
                code = 0
            elif e == "flush":
                code = 1
            elif e == "half":
                code = 2
            else:
                code = 3
                values += sint(e)
            scheme |= code << shift
    info = _flags((0x80, ext is not None), (0x40, halfwidth is not None), (0x20, points is not None),
                  (0x10, x is not None), (0x08, y is not None), (0x04, rep is not None), (0x02, datatype is not None),
                  (0x01, layer is not None))
    return (uint(22) + bytes([info]) + _opt(layer, uint) + _opt(datatype, uint) + _opt(halfwidth, uint)
            + (uint(scheme) + values if ext is not None else b"")
            + (point_list(points, form) if points is not None else b"") + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def trapezoid(layer=None, datatype=None, w=None, h=None, da=None, db=None, vertical=False, x=None, y=None, rep=None):
    """TRAPEZOID: both deltas (record 23), only a (24) or only b (25)."""
    rid = 23 if da is not None and db is not None else 24 if da is not None else 25
    info = _flags((0x80, vertical), (0x40, w is not None), (0x20, h is not None), (0x10, x is not None),
                  (0x08, y is not None), (0x04, rep is not None), (0x02, datatype is not None), (0x01, layer is not None))
    return (uint(rid) + bytes([info]) + _opt(layer, uint) + _opt(datatype, uint) + _opt(w, uint) + _opt(h, uint)
            + _opt(da, sint) + _opt(db, sint) + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def ctrapezoid(layer=None, datatype=None, kind=None, w=None, h=None, x=None, y=None, rep=None):
    info = _flags((0x80, kind is not None), (0x40, w is not None), (0x20, h is not None), (0x10, x is not None),
                  (0x08, y is not None), (0x04, rep is not None), (0x02, datatype is not None), (0x01, layer is not None))
    return (uint(26) + bytes([info]) + _opt(layer, uint) + _opt(datatype, uint) + _opt(kind, uint) + _opt(w, uint)
            + _opt(h, uint) + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def circle(layer=None, datatype=None, r=None, x=None, y=None, rep=None):
    info = _flags((0x20, r is not None), (0x10, x is not None), (0x08, y is not None), (0x04, rep is not None),
                  (0x02, datatype is not None), (0x01, layer is not None))
    return (uint(27) + bytes([info]) + _opt(layer, uint) + _opt(datatype, uint) + _opt(r, uint)
            + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def text(string_or_ref=None, textlayer=None, texttype=None, x=None, y=None, rep=None):
    """The text by value (str) or by TEXTSTRING reference number (int)."""
    by_ref = isinstance(string_or_ref, int)
    info = _flags((0x40, string_or_ref is not None), (0x20, by_ref), (0x10, x is not None), (0x08, y is not None),
                  (0x04, rep is not None), (0x02, texttype is not None), (0x01, textlayer is not None))
    body = b"" if string_or_ref is None else uint(string_or_ref) if by_ref else string(string_or_ref)
    return (uint(19) + bytes([info]) + body + _opt(textlayer, uint) + _opt(texttype, uint)
            + _opt(x, sint) + _opt(y, sint) + (rep or b""))


def placement(cell_ref=None, x=None, y=None, rot=0, mirror=False, mag=None, angle=None, rep=None):
    """PLACEMENT: quarter turns `rot` (record 17), or with `mag`/`angle` given record 18
    (each a number, or the bytes of a real in the form wanted)."""
    by_ref = isinstance(cell_ref, int)
    if mag is None and angle is None:
        info = _flags((0x80, cell_ref is not None), (0x40, by_ref), (0x20, x is not None), (0x10, y is not None),
                      (0x08, rep is not None), (0x01, mirror)) | ((rot & 3) << 1)
        head = uint(17) + bytes([info])
        tail = b""
    else:
        info = _flags((0x80, cell_ref is not None), (0x40, by_ref), (0x20, x is not None), (0x10, y is not None),
                      (0x08, rep is not None), (0x04, mag is not None), (0x02, angle is not None), (0x01, mirror))
        head = uint(18) + bytes([info])
        enc = lambda v: v if isinstance(v, bytes) else real(v)  # bytes: a real encoded already
        tail = _opt(mag, enc) + _opt(angle, enc)
    ref = b"" if cell_ref is None else uint(cell_ref) if by_ref else string(cell_ref)
    return head + ref + tail + _opt(x, sint) + _opt(y, sint) + (rep or b"")


def value(v):
    """A property value: int (signed form 9), float (real), str (b-string 10) or ("ref", n) (13)."""
    if isinstance(v, tuple) and v[0] == "ref":
        return uint(13) + uint(v[1])
    if isinstance(v, str):
        return uint(10) + string(v)
    if isinstance(v, bool) or isinstance(v, int):
        return uint(9) + sint(int(v))
    return real(v, 7)


def prop(name=None, values=None, standard=False):
    """PROPERTY: name by text (str), by PROPNAME number (int) or modal (None);
    values a list, or None to reuse the last one."""
    info = 0x01 if standard else 0
    body = b""
    if name is not None:
        info |= 0x04
        if isinstance(name, int):
            info |= 0x02
            body += uint(name)
        else:
            body += string(name)
    if values is None:
        info |= 0x08
    else:
        n = len(values)
        if n < 15:
            info |= n << 4
        else:
            info |= 0xF0
            body += uint(n)
        body += b"".join(value(v) for v in values)
    return uint(28) + bytes([info]) + body


def prop_repeat():
    return uint(29)


def xname(attribute, name, ref=None):
    return uint(30) + uint(attribute) + string(name) if ref is None else uint(31) + uint(attribute) + string(name) + uint(ref)


def xelement(attribute, data):
    return uint(32) + uint(attribute) + string(data)


def xgeometry(attribute, data, layer=None, datatype=None, x=None, y=None, rep=None):
    info = _flags((0x10, x is not None), (0x08, y is not None), (0x04, rep is not None), (0x02, datatype is not None),
                  (0x01, layer is not None))
    return (uint(33) + bytes([info]) + uint(attribute) + _opt(layer, uint) + _opt(datatype, uint) + string(data)
            + _opt(x, sint) + _opt(y, sint) + (rep or b""))
