// The GDS2 record layer of the direct reader: record identifiers, and the
// records read one by one as KLayout's get_record/unget_record and value
// readers read them.  A malformed record makes the reader decline (Decline,
// caught by read_gds).  Only read/gds.cpp uses it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "lumino/core/read/kpolygon.hpp"

namespace lumino::core::gds {

struct Decline {
    std::string reason;
};

[[noreturn]] inline void decline(std::string reason) { throw Decline{std::move(reason)}; }

inline uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline int32_t be32(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]));
}

// Record identifiers: record type and data type, as KLayout compares them.
enum : uint16_t {
    sHEADER = 0x0002, sBGNLIB = 0x0102, sLIBNAME = 0x0206, sUNITS = 0x0305, sENDLIB = 0x0400,
    sBGNSTR = 0x0502, sSTRNAME = 0x0606, sENDSTR = 0x0700, sBOUNDARY = 0x0800, sPATH = 0x0900,
    sSREF = 0x0a00, sAREF = 0x0b00, sTEXT = 0x0c00, sLAYER = 0x0d02, sDATATYPE = 0x0e02,
    sWIDTH = 0x0f03, sXY = 0x1003, sENDEL = 0x1100, sSNAME = 0x1206, sCOLROW = 0x1302,
    sNODE = 0x1500, sTEXTTYPE = 0x1602, sPRESENTATION = 0x1701, sSTRING = 0x1906,
    sSTRANS = 0x1a01, sMAG = 0x1b05, sANGLE = 0x1c05, sREFLIBS = 0x1f06, sFONTS = 0x2006,
    sPATHTYPE = 0x2102, sGENERATIONS = 0x2202, sATTRTABLE = 0x2306, sELFLAGS = 0x2601,
    sPROPATTR = 0x2b02, sPROPVALUE = 0x2c06, sBOX = 0x2d00, sBOXTYPE = 0x2e02, sPLEX = 0x2f03,
    sBGNEXTN = 0x3003, sENDEXTN = 0x3103, sFORMAT = 0x3602, sMASK = 0x3706, sENDMASKS = 0x3800,
    sLIBDIRSIZE = 0x3902, sSRFNAME = 0x3a06,
};

// The record layer: KLayout's get_record/unget_record and value readers.
class Records {
  public:
    Records(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    uint16_t get() {
        if (has_stored_) {
            has_stored_ = false;
            return stored_;
        }
        if (end_ - p_ < 4) decline("unexpected end of file");
        const size_t len = be16(p_);
        const uint16_t id = be16(p_ + 2);
        if (len < 4) decline("record shorter than its header");
        if (len % 2 != 0) decline("record of odd length");
        if (size_t(end_ - p_) < len) decline("unexpected end of file");
        data_ = p_ + 4;
        len_ = len - 4;
        ptr_ = 0;
        p_ += len;
        return id;
    }

    // The next get() returns `id` again (the data stays that of the record
    // read last, which is the same record).  KLayout's record layer takes a
    // record 0 given back for none and reads on, so that record is lost
    // there; it is lost here too.
    void unget(uint16_t id) {
        stored_ = id;
        has_stored_ = id != 0;
        ptr_ = 0;
    }

    int32_t get_int() { return be32(take(4)); }
    int16_t get_short() { return int16_t(be16(take(2))); }
    uint16_t get_ushort() { return be16(take(2)); }

    // An eight-byte real computed as KLayout computes it.
    double get_double() {
        const uint8_t* b = take(8);
        const uint32_t l0 = uint32_t(be32(b)) & 0xffffff;
        const uint32_t l1 = uint32_t(be32(b + 4));
        double x = 4294967296.0 * double(l0) + double(l1);
        if (b[0] & 0x80) x = -x;
        const int e = int(b[0] & 0x7f) - (64 + 14);
        if (e != 0) x *= std::pow(16.0, double(e));
        return x;
    }

    // A text value up to its first NUL (KLayout's C-string reading).
    std::string_view get_cstring() const {
        const char* s = reinterpret_cast<const char*>(data_);
        return std::string_view(s, strnlen(s, len_));
    }

    // A text value without trailing NULs.
    std::string get_string() const {
        size_t n = len_;
        while (n > 0 && data_[n - 1] == 0) --n;
        return std::string(reinterpret_cast<const char*>(data_), n);
    }

    // How many SREF and AREF records follow before the next ENDSTR (a
    // quick look ahead over record headers, for reserving room).
    size_t placements_ahead() const {
        size_t n = 0;
        for (const uint8_t* p = p_; end_ - p >= 4;) {
            const size_t len = be16(p);
            const uint16_t id = be16(p + 2);
            if (id == 0x0700 || len < 4) break;  // ENDSTR, or a record read() will refuse
            if (id == 0x0a00 || id == 0x0b00) ++n;
            p += len;
        }
        return n;
    }

    // The points of an XY record (extra bytes beyond whole points ignored).
    size_t xy_count() const { return len_ / 8; }
    // The XY record's bytes, which stay where they are while the file is read.
    const uint8_t* xy_data() const { return data_; }
    kpoly::Point xy(size_t k) const { return kpoly::Point{be32(data_ + 8 * k), be32(data_ + 8 * k + 4)}; }

  private:
    const uint8_t* take(size_t n) {
        if (ptr_ + n > len_) decline("record too short for its value");
        const uint8_t* b = data_ + ptr_;
        ptr_ += n;
        return b;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* data_ = nullptr;
    size_t len_ = 0, ptr_ = 0;
    // The record given back by unget: any identifier, 0 included.
    uint16_t stored_ = 0;
    bool has_stored_ = false;
};

}  // namespace lumino::core::gds
