// Standard base64 encoding (see the header).
#include "lumino/core/emit/base64.hpp"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMINO_BASE64_SSSE3 1
// Twelve bytes to sixteen characters at a time (Mula and Lemire's
// encoding): each group of three bytes is spread over a 32-bit lane, its
// four 6-bit values moved into the lane's bytes by two masked multiplies,
// and each value turned into its character by adding the offset of its
// range, picked with a byte shuffle.  Loads 16 bytes, so it stops where
// fewer are left; returns how many bytes it encoded.
__attribute__((target("ssse3"))) size_t encode_ssse3(const uint8_t* data, size_t n, char* out) {
    const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
    const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    size_t i = 0;
    for (; i + 16 <= n; i += 12, out += 16) {
        const __m128i in = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), spread);
        const __m128i hi = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
        const __m128i lo = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
        const __m128i values = _mm_or_si128(hi, lo);
        // 0..25 -> 13 ('A'), 26..51 -> 0, 52..61 -> 1..10, 62 -> 11, 63 -> 12.
        __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));
        range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), values), _mm_set1_epi8(13)));
        const __m128i chars = _mm_add_epi8(_mm_shuffle_epi8(offsets, range), values);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chars);
    }
    return i;
}

const bool kSsse3 = __builtin_cpu_supports("ssse3");
#endif

}  // namespace

void encode(const uint8_t* data, size_t n, char* out) {
    size_t i = 0;
#if defined(LUMINO_BASE64_SSSE3)
    if (kSsse3) {
        i = encode_ssse3(data, n, out);
        out += i / 3 * 4;
    }
#endif
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
