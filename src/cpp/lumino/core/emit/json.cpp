// JSON values as orjson writes them (see the header).
#include "lumino/core/emit/json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumino::json {

namespace {

// The shortest round-trip digits of a finite `v` (no sign, no point) and the
// decimal exponent of the first one: |v| = d.ddd x 10^exponent.
struct Shortest {
    bool negative = false;
    char digits[24];
    size_t length = 0;
    int exponent = 0;
};

Shortest shortest(double v) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    Shortest s;
    const char* p = buf;
    if (*p == '-') {
        s.negative = true;
        ++p;
    }
    for (; p < r.ptr && *p != 'e'; ++p)
        if (*p != '.') s.digits[s.length++] = *p;
    if (p < r.ptr) std::from_chars(p + 1 + (p[1] == '+'), r.ptr, s.exponent);
    return s;
}

}  // namespace

bool positional(double v) {
    if (v == 0.0) return true;
    if (!std::isfinite(v)) return false;
    const int e = shortest(v).exponent;
    return e >= -5 && e <= 15;
}

void append_double(std::string& out, double v) {
    const Shortest s = shortest(v);
    if (s.negative) out += '-';
    const int length = int(s.length), kk = s.exponent + 1;  // kk: digits before the point
    const std::string_view digits(s.digits, s.length);
    if (kk >= length && kk <= 16) {  // 1234e7 -> 12340000000.0
        out += digits;
        out.append(size_t(kk - length), '0');
        out += ".0";
    } else if (kk > 0) {  // 1234e-2 -> 12.34
        out += digits.substr(0, size_t(kk));
        out += '.';
        out += digits.substr(size_t(kk));
    } else {  // 1234e-6 -> 0.001234
        out += "0.";
        out.append(size_t(-kk), '0');
        out += digits;
    }
}

void append_int(std::string& out, int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, size_t(r.ptr - buf));
}

size_t int_length(int64_t v) {
    // |v| as unsigned, also for the smallest value.
    uint64_t m = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
    size_t n = v < 0 ? 2 : 1;
    for (; m >= 10; m /= 10) ++n;
    return n;
}

bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t n;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;       // no overlong forms
            if (c == 0xED) hi = 0x9F;       // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;       // nothing above U+10FFFF
        } else {
            return false;
        }
        if (size_t(end - p) <= n || p[1] < lo || p[1] > hi) return false;
        for (size_t k = 2; k <= n; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += n + 1;
    }
    return true;
}

namespace {

// Whether any of the eight bytes of w is below 0x20, '"' or '\\' (exact:
// a borrow can only mark bytes above one that is).
bool needs_escape(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    const uint64_t below = (w - 0x20 * ones) & ~w & highs;
    return (below | zero_byte(w ^ ('"' * ones)) | zero_byte(w ^ ('\\' * ones))) != 0;
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    size_t run = 0;  // start of the characters not yet copied
    for (size_t k = 0; k < s.size(); ++k) {
        // Plain bytes sixteen, then eight at a time.
#if defined(__SSE2__)
        while (k + 16 <= s.size()) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + k));
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
            const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
            const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
            if (_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))) != 0) break;
            k += 16;
        }
#endif
        while (k + 8 <= s.size()) {
            uint64_t w;
            std::memcpy(&w, s.data() + k, 8);
            if (needs_escape(w)) break;
            k += 8;
        }
        if (k >= s.size()) break;
        const unsigned char c = static_cast<unsigned char>(s[k]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.data() + run, k - run);
        run = k + 1;
        out += '\\';
        switch (c) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\b': out += 'b'; break;
            case '\t': out += 't'; break;
            case '\n': out += 'n'; break;
            case '\f': out += 'f'; break;
            case '\r': out += 'r'; break;
            default:
                out += "u00";
                out += hex[c >> 4];
                out += hex[c & 15];
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
}

}  // namespace lumino::json
