// Standard base64 encoding (see the header).
#include "lumino/core/emit/base64.hpp"

#include <cstring>

namespace lumino::base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12 bits: one look-up per half of a group.
struct Pairs {
    char at[4096][2];
};

constexpr Pairs make_pairs() {
    Pairs p{};
    for (int k = 0; k < 4096; ++k) p.at[k][0] = kAlphabet[k >> 6], p.at[k][1] = kAlphabet[k & 63];
    return p;
}

constexpr Pairs kPairs = make_pairs();

}  // namespace

void encode(const uint8_t* data, size_t n, char* out) {
    size_t i = 0;
    // Two groups of three bytes at a time, their eight characters written
    // with one store.
    for (; i + 6 <= n; i += 6, out += 8) {
        const uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        const uint32_t w = uint32_t(data[i + 3]) << 16 | uint32_t(data[i + 4]) << 8 | data[i + 5];
        char chars[8];
        std::memcpy(chars, kPairs.at[v >> 12], 2);
        std::memcpy(chars + 2, kPairs.at[v & 4095], 2);
        std::memcpy(chars + 4, kPairs.at[w >> 12], 2);
        std::memcpy(chars + 6, kPairs.at[w & 4095], 2);
        std::memcpy(out, chars, 8);
    }
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    if (const size_t rest = n - i) {
        const uint32_t v = uint32_t(data[i]) << 16 | (rest == 2 ? uint32_t(data[i + 1]) << 8 : 0);
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
}

}  // namespace lumino::base64
