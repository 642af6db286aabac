// The OASIS byte layer of the direct reader: the file's bytes as one stream
// through CBLOCKs (raw deflate, inflated with zlib as they come), and the
// value readers (unsigned and signed integers, reals, strings, deltas) with
// KLayout's range checks.  A malformed value makes the reader decline
// (Decline, caught by read_oasis).  Only the OASIS reader uses it.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumino::core::oasis {

struct Decline {
    std::string reason;
};

[[noreturn, gnu::cold]] inline void decline(std::string reason) { throw Decline{std::move(reason)}; }

// A displacement in database units (KLayout's Vector).
struct Vec {
    int32_t x = 0, y = 0;
    bool zero() const { return x == 0 && y == 0; }
};

class Stream {
  public:
    Stream(const uint8_t* data, size_t size) : p_(data), end_(data + size), raw_(data), raw_end_(data + size) {}

    uint8_t byte() {
        if (p_ == end_) refill();
        return *p_++;
    }

    // Puts back the byte read last (always right after byte()).
    void unget() { --p_; }

    // Integers of up to four bytes (most of a file's) are read from a local
    // pointer when ten bytes are at hand: none of them can overflow.
    [[gnu::always_inline]] uint64_t u64() {
        uint64_t v;
        if (end_ - p_ >= 10 && short_int(v)) return v;
        return u64_slow();
    }

    [[gnu::always_inline]] uint32_t u32() {
        uint64_t v;
        if (end_ - p_ >= 10 && short_int(v)) return uint32_t(v);
        return u32_slow();
    }

    // Signed integers: the sign in the lowest bit.
    [[gnu::always_inline]] int64_t s64() {
        const uint64_t u = u64();
        return (u & 1) ? -int64_t(u >> 1) : int64_t(u >> 1);
    }
    [[gnu::always_inline]] int32_t s32() {
        const uint32_t u = u32();
        return (u & 1) ? -int32_t(u >> 1) : int32_t(u >> 1);
    }

    // A real in any of its eight forms, computed as KLayout computes it.
    double real();

    // A string's bytes, valid until the next CBLOCK starts.
    std::string_view string();

    // A coordinate (signed, within 32 bits) and an unsigned length times
    // `grid` that must stay within 32 bits (a signed coordinate, or a
    // distance when `distance`).
    int32_t coord();
    int32_t ucoord(uint64_t grid = 1);
    uint32_t distance();

    // The delta forms of point lists and repetitions.
    [[gnu::always_inline]] Vec delta2() {
        const uint64_t v = u64();
        return octant(length(v >> 2), unsigned(v & 3));
    }
    [[gnu::always_inline]] Vec delta3() {
        const uint64_t v = u64();
        return octant(length(v >> 3), unsigned(v & 7));
    }
    [[gnu::always_inline]] Vec gdelta() {
        const uint64_t v = u64();
        if (!(v & 1)) return octant(length(v >> 4), unsigned(v >> 1));
        const int32_t x = length(v >> 2);
        const int64_t y = s64();
        if (y < INT32_MIN || y > INT32_MAX) decline("coordinate value overflow");
        return Vec{(v & 2) ? -x : x, int32_t(y)};
    }
    Vec gdelta(uint64_t grid);

    // Starts a CBLOCK whose header (compression type, byte counts) was
    // read: what follows is inflated until the deflate stream ends (declined
    // past `max_bytes`), then the file goes on.
    void inflate(uint64_t max_bytes);

    bool in_cblock() const { return inflated_; }
    // The offset in the file (outside a CBLOCK).
    size_t offset() const { return size_t(p_ - raw_); }
    size_t left() const { return size_t(end_ - p_); }

  private:
    // An integer of at most four bytes at p_ (at least four are there):
    // read, or false with nothing taken.
    [[gnu::always_inline]] bool short_int(uint64_t& v) {
        const uint8_t* p = p_;
        uint64_t c = p[0];
        if (c < 0x80) return p_ = p + 1, v = c, true;
        uint64_t r = c & 0x7f;
        c = p[1];
        if (c < 0x80) return p_ = p + 2, v = r | c << 7, true;
        r |= (c & 0x7f) << 7;
        c = p[2];
        if (c < 0x80) return p_ = p + 3, v = r | c << 14, true;
        r |= (c & 0x7f) << 14;
        c = p[3];
        if (c < 0x80) return p_ = p + 4, v = r | c << 21, true;
        return false;
    }

    [[gnu::always_inline]] static int32_t length(uint64_t v) {
        if (v > uint64_t(INT32_MAX)) decline("coordinate value overflow");
        return int32_t(v);
    }
    [[gnu::always_inline]] static Vec octant(int32_t x, unsigned dir) {
        switch (dir & 7) {
            case 0: return Vec{x, 0};
            case 1: return Vec{0, x};
            case 2: return Vec{-x, 0};
            case 3: return Vec{0, -x};
            case 4: return Vec{x, x};
            case 5: return Vec{-x, x};
            case 6: return Vec{-x, -x};
            default: return Vec{x, -x};
        }
    }

    // `n` bytes in one piece: KLayout reads multi-byte values so, and fails
    // on one that runs past the end of a CBLOCK.
    const uint8_t* take(uint64_t n);
    void refill();

    [[gnu::noinline]] uint64_t u64_slow() {
        const uint8_t c = byte();
        return c < 0x80 ? c : u64_rest(c);
    }
    [[gnu::noinline]] uint32_t u32_slow() {
        const uint8_t c = byte();
        return c < 0x80 ? c : u32_rest(c);
    }

    // The bytes after the first of an integer; beyond 64 (32) bits KLayout
    // fails, and integers longer than they need be are declined.
    uint64_t u64_rest(uint8_t first) {
        uint64_t v = first & 0x7f;
        unsigned shift = 7;
        uint8_t c;
        do {
            c = byte();
            if (shift >= 63) {
                if (shift > 63) decline("integer of more than ten bytes");
                if ((c & 0x7f) > 1) decline("uint64 value overflow");
            }
            v |= uint64_t(c & 0x7f) << shift;
            shift += 7;
        } while (c & 0x80);
        return v;
    }
    uint32_t u32_rest(uint8_t first) {
        uint32_t v = first & 0x7f;
        unsigned shift = 7;
        uint8_t c;
        do {
            c = byte();
            if (shift >= 28) {
                if (shift > 28) decline("integer of more than five bytes");
                if ((c & 0x7f) > 15) decline("uint32 value overflow");
            }
            v |= uint32_t(c & 0x7f) << shift;
            shift += 7;
        } while (c & 0x80);
        return v;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* raw_;
    const uint8_t* raw_end_;
    const uint8_t* resume_ = nullptr;  // where the file goes on after the CBLOCK read now
    bool inflated_ = false;
    std::vector<uint8_t> inflated_bytes_;
};

}  // namespace lumino::core::oasis
