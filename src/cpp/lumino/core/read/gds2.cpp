// GDS2 stream reader: records, structures, shape elements and placements.
#include "lumino/core/read/gds2.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace lumino::gds {

namespace {

// Record types used here.
enum : uint8_t {
    BGNSTR = 0x05,
    STRNAME = 0x06,
    ENDSTR = 0x07,
    BOUNDARY = 0x08,
    PATH = 0x09,
    SREF = 0x0A,
    AREF = 0x0B,
    TEXT = 0x0C,
    LAYER = 0x0D,
    DATATYPE = 0x0E,
    XY = 0x10,
    ENDEL = 0x11,
    SNAME = 0x12,
    COLROW = 0x13,
    NODE = 0x15,
    TEXTTYPE = 0x16,
    STRANS = 0x1A,
    MAG = 0x1B,
    ANGLE = 0x1C,
    NODETYPE = 0x2A,
    BOX = 0x2D,
    BOXTYPE = 0x2E,
};

uint16_t u16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
int32_t i32(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]));
}

// A text record's value without trailing NUL padding.
std::string text(const uint8_t* p, size_t n) {
    while (n > 0 && p[n - 1] == 0) --n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// True when a closed contour (without its closing point) visits a point twice.
bool repeats(const int32_t* xy, uint32_t n, std::vector<std::pair<int32_t, int32_t>>& scratch) {
    scratch.clear();
    for (uint32_t k = 0; k < n; ++k) scratch.emplace_back(xy[2 * k], xy[2 * k + 1]);
    std::sort(scratch.begin(), scratch.end());
    return std::adjacent_find(scratch.begin(), scratch.end()) != scratch.end();
}

class Reader {
  public:
    Reader(const uint8_t* data, size_t size, Library& out) : p_(data), end_(data + size), lib_(out) {}

    bool run(std::string& error) {
        while (next()) {
            if (type_ == BGNSTR) {
                if (!structure()) break;
            }
        }
        if (!error_.empty()) {
            error = error_;
            return false;
        }
        for (size_t k = 0; k < lib_.structures.size(); ++k) lib_.by_name.emplace(lib_.structures[k].name, k);
        return true;
    }

  private:
    // The next record; false at the end of the data or on a malformed record.
    bool next() {
        if (end_ - p_ < 4) {
            if (p_ != end_ && std::any_of(p_, end_, [](uint8_t b) { return b != 0; }))
                error_ = "truncated record header";
            return false;
        }
        const uint16_t n = u16(p_);
        if (n == 0) {  // zero padding after the library
            p_ = end_;
            return false;
        }
        if (n < 4 || n % 2 != 0 || size_t(end_ - p_) < n) {
            error_ = "malformed record length";
            return false;
        }
        type_ = p_[2];
        data_ = p_ + 4;
        len_ = size_t(n) - 4;
        p_ += n;
        return true;
    }

    bool fail(const char* why) {
        error_ = why;
        return false;
    }

    bool int16_value(uint16_t& v) {
        if (len_ < 2) return fail("short integer record");
        v = u16(data_);
        return true;
    }

    bool structure() {
        Structure& s = lib_.structures.emplace_back();
        bool named = false;
        while (next()) {
            switch (type_) {
                case STRNAME:
                    s.name = text(data_, len_);
                    named = true;
                    break;
                case ENDSTR:
                    if (!named) return fail("structure without a name");
                    return true;
                case BOUNDARY: case PATH: case TEXT: case BOX: case NODE:
                    if (!element(s)) return false;
                    break;
                case SREF: case AREF:
                    if (!placement(s, type_ == AREF)) return false;
                    break;
                default:
                    break;
            }
        }
        return error_.empty() ? fail("structure without its end") : false;
    }

    bool element(Structure& s) {
        Element e;
        switch (type_) {
            case BOUNDARY: e.kind = Kind::Boundary; break;
            case PATH: e.kind = Kind::Path; break;
            case TEXT: e.kind = Kind::Text; break;
            case BOX: e.kind = Kind::Box; break;
            default: e.kind = Kind::Node; break;
        }
        e.first = uint32_t(lib_.xy.size() / 2);
        bool layer = false, xy = false;
        while (next()) {
            switch (type_) {
                case LAYER:
                    if (!int16_value(e.layer)) return false;
                    layer = true;
                    break;
                case DATATYPE: case TEXTTYPE: case BOXTYPE: case NODETYPE:
                    if (!int16_value(e.datatype)) return false;
                    break;
                case XY: {
                    // Several XY records may follow one another for long outlines.
                    if (len_ % 8 != 0) return fail("malformed XY record");
                    for (size_t k = 0; k < len_; k += 4) lib_.xy.push_back(i32(data_ + k));
                    xy = true;
                    break;
                }
                case ENDEL: {
                    if (!layer || !xy) return fail("element without layer or points");
                    e.count = uint32_t(lib_.xy.size() / 2) - e.first;
                    if (e.kind == Kind::Boundary) {
                        const int32_t* pts = lib_.xy.data() + 2 * size_t(e.first);
                        if (e.count < 2 || pts[0] != pts[2 * (e.count - 1)] || pts[1] != pts[2 * (e.count - 1) + 1])
                            return fail("boundary not closed");
                        --e.count;
                        lib_.xy.resize(lib_.xy.size() - 2);
                        e.repeated_vertex = repeats(pts, e.count, scratch_);
                    }
                    s.by_layer[uint32_t(e.layer) << 16 | e.datatype].push_back(uint32_t(s.elements.size()));
                    s.elements.push_back(e);
                    return true;
                }
                case BGNSTR: case ENDSTR: case BOUNDARY: case PATH: case TEXT: case BOX: case NODE: case SREF:
                case AREF:
                    return fail("element without its end");
                default:
                    break;
            }
        }
        return error_.empty() ? fail("element without its end") : false;
    }

    bool placement(Structure& s, bool array) {
        Placement pl;
        pl.array = array;
        bool named = false, xy = false;
        while (next()) {
            switch (type_) {
                case SNAME:
                    pl.sname = text(data_, len_);
                    named = true;
                    break;
                case STRANS: {
                    uint16_t f = 0;
                    if (!int16_value(f)) return false;
                    pl.mirror = (f & 0x8000) != 0;
                    pl.abs_mag = (f & 0x0004) != 0;
                    pl.abs_angle = (f & 0x0002) != 0;
                    break;
                }
                case MAG:
                    if (len_ < 8) return fail("short MAG record");
                    pl.mag = real8(data_);
                    pl.has_mag = true;
                    break;
                case ANGLE:
                    if (len_ < 8) return fail("short ANGLE record");
                    pl.angle = real8(data_);
                    pl.has_angle = true;
                    break;
                case COLROW:
                    if (len_ < 4) return fail("short COLROW record");
                    pl.cols = int16_t(u16(data_));
                    pl.rows = int16_t(u16(data_ + 2));
                    break;
                case XY: {
                    const size_t points = array ? 3 : 1;
                    if (len_ != 8 * points) return fail("placement with a wrong number of points");
                    for (size_t k = 0; k < 2 * points; ++k) pl.xy[k] = i32(data_ + 4 * k);
                    xy = true;
                    break;
                }
                case ENDEL:
                    if (!named || !xy) return fail("placement without name or points");
                    s.placements.push_back(std::move(pl));
                    return true;
                case BGNSTR: case ENDSTR: case BOUNDARY: case PATH: case TEXT: case BOX: case NODE: case SREF:
                case AREF:
                    return fail("placement without its end");
                default:
                    break;
            }
        }
        return error_.empty() ? fail("placement without its end") : false;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    Library& lib_;
    uint8_t type_ = 0;
    const uint8_t* data_ = nullptr;
    size_t len_ = 0;
    std::string error_;
    std::vector<std::pair<int32_t, int32_t>> scratch_;
};

}  // namespace

double real8(const uint8_t* p) {
    uint64_t mant = 0;
    for (int k = 1; k < 8; ++k) mant = mant << 8 | p[k];
    const int exponent = (p[0] & 0x7f) - 64;
    const double v = std::ldexp(double(mant), 4 * exponent - 56);
    return (p[0] & 0x80) ? -v : v;
}

bool read(const uint8_t* data, size_t size, Library& out, std::string& error) {
    out = Library();
    return Reader(data, size, out).run(error);
}

}  // namespace lumino::gds
