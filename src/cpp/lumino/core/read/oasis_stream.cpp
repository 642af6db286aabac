// OASIS values and CBLOCK inflation.  Integers are checked as KLayout checks
// them (its reader fails the file on an overflow, so this one declines);
// forms KLayout would accept only by wrapping around are declined as well.
#include "lumino/core/read/oasis_stream.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace lumino::core::oasis {

namespace {

constexpr int64_t kCoordMax = INT32_MAX, kCoordMin = INT32_MIN;

// A length times a grid, as a coordinate; declines beyond 32 bits.
int32_t scaled(uint64_t v, uint64_t grid) {
    const unsigned __int128 p = (unsigned __int128)v * grid;
    if (p > (unsigned __int128)kCoordMax) decline("coordinate value overflow");
    return int32_t(p);
}

}  // namespace

double Stream::real() {
    const uint32_t type = u32();
    auto divider = [this] {
        const uint64_t d = u64();
        if (d == 0) decline("divider must not be zero");
        return double(d);
    };
    switch (type) {
        case 0: return double(u64());
        case 1: return -double(u64());
        case 2: return 1.0 / divider();
        case 3: return -1.0 / divider();
        case 4: {
            const double d = double(u64());
            return d / divider();
        }
        case 5: {
            const double d = double(u64());
            return -d / divider();
        }
        case 6: {
            const uint8_t* b = take(4);
            uint32_t bits = 0;
            for (unsigned k = 0; k < 4; ++k) bits |= uint32_t(b[k]) << (8 * k);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return double(f);
        }
        case 7: {
            const uint8_t* b = take(8);
            uint64_t bits = 0;
            for (unsigned k = 0; k < 8; ++k) bits |= uint64_t(b[k]) << (8 * k);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
        default: decline("invalid real type");
    }
}

const uint8_t* Stream::take(uint64_t n) {
    if (p_ == end_) refill();
    if (n > uint64_t(end_ - p_)) decline(inflated_ ? "value beyond the end of its CBLOCK" : "unexpected end of file");
    const uint8_t* b = p_;
    p_ += n;
    return b;
}

std::string_view Stream::string() {
    const uint64_t n = u64();
    if (n == 0) return {};
    return std::string_view(reinterpret_cast<const char*>(take(n)), size_t(n));
}

int32_t Stream::coord() {
    const int64_t v = s64();
    if (v < kCoordMin || v > kCoordMax) decline("coordinate value overflow");
    return int32_t(v);
}

int32_t Stream::ucoord(uint64_t grid) { return scaled(u64(), grid); }

uint32_t Stream::distance() {
    const uint64_t v = u64();
    if (v > UINT32_MAX) decline("coordinate value overflow");
    return uint32_t(v);
}

Vec Stream::gdelta(uint64_t grid) {
    const uint64_t v = u64();
    if (!(v & 1)) return octant(scaled(v >> 4, grid), unsigned(v >> 1));
    const __int128 x = (__int128)(v >> 2) * (__int128)grid * ((v & 2) ? -1 : 1);
    const __int128 y = (__int128)s64() * (__int128)grid;
    if (x < kCoordMin || x > kCoordMax || y < kCoordMin || y > kCoordMax) decline("coordinate value overflow");
    return Vec{int32_t(x), int32_t(y)};
}

void Stream::refill() {
    if (!inflated_) decline("unexpected end of file");
    // The CBLOCK is used up: the file goes on after its compressed bytes.
    inflated_ = false;
    p_ = resume_;
    end_ = raw_end_;
    if (p_ == end_) decline("unexpected end of file");
}

void Stream::inflate(uint64_t max_bytes) {
    if (inflated_) decline("CBLOCK inside a CBLOCK");
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK) decline("cannot start inflating a CBLOCK");
    struct End {
        z_stream* z;
        ~End() { inflateEnd(z); }
    } end{&z};
    const uint8_t* in = p_;
    size_t in_left = size_t(raw_end_ - p_);
    size_t produced = 0;
    if (inflated_bytes_.size() < 65536) inflated_bytes_.resize(size_t(std::min<uint64_t>(65536, max_bytes)));
    while (true) {
        if (produced == inflated_bytes_.size()) {
            if (inflated_bytes_.size() >= max_bytes) decline("CBLOCK too large");
            inflated_bytes_.resize(size_t(std::min<uint64_t>(inflated_bytes_.size() * 2, max_bytes)));
        }
        const size_t in_now = in_left < UINT_MAX ? in_left : UINT_MAX;
        const size_t room = inflated_bytes_.size() - produced;
        const size_t out_now = room < UINT_MAX ? room : UINT_MAX;
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = uInt(in_now);
        z.next_out = inflated_bytes_.data() + produced;
        z.avail_out = uInt(out_now);
        const int ret = ::inflate(&z, Z_NO_FLUSH);
        in += in_now - z.avail_in;
        in_left -= in_now - z.avail_in;
        produced += out_now - z.avail_out;
        if (ret == Z_STREAM_END) break;
        if (ret == Z_BUF_ERROR && in_left == 0) decline("CBLOCK cut short");
        if (ret != Z_OK && ret != Z_BUF_ERROR) decline("CBLOCK data not valid");
    }
    resume_ = in;
    inflated_ = true;
    p_ = inflated_bytes_.data();
    end_ = p_ + produced;
}

}  // namespace lumino::core::oasis
