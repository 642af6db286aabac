// Context information strings as KLayout reads them.  KLayout parses them
// with a tokenizer that skips blanks before each token; a value it cannot
// parse fails the whole read.  Values are accepted here only in the forms
// KLayout writes and has been seen to read back: numbers, integers, nil,
// booleans, words, quoted strings (also as bytes and characters), lists and
// arrays ({key=>value}) of these, and the objects KLayout writes as
// [class:text]: layers (by number, by name, or both), points and vectors,
// boxes and edges, paths, polygons and simple polygons, each in database
// units and in micrometres.  Everything else makes the reader decline.
#include "lumino/core/read/context.hpp"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace lumino::core::gdsctx {

namespace {

bool space(char c) { return c != 0 && std::isspace(static_cast<unsigned char>(c)); }
bool alnum(char c) {
    return c != 0 && static_cast<unsigned char>(c) < 0x80 && std::isalnum(static_cast<unsigned char>(c));
}
bool digit(char c) { return c >= '0' && c <= '9'; }
bool word_char(char c) { return alnum(c) || c == '_' || c == '.' || c == '$'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The largest magnitudes KLayout's integer readers take without failing
// ("Range overflow"): a negative number is read as its magnitude first.
constexpr uint64_t kInt32 = 0x7fffffff;
constexpr uint64_t kInt64 = 0x7fffffffffffffff;
constexpr uint64_t kUint64 = UINT64_MAX;

// A cursor over a NUL-terminated text, as KLayout's tokenizer walks it.
struct Cursor {
    const char* p;
    // Whether a letter may follow a quoted string (a character or byte
    // string): KLayout reads them from 0.30.9 and fails the read before.
    bool typed_strings = true;

    void skip() {
        while (space(*p)) ++p;
    }
    // The next token is `token` (after blanks): it is taken.
    bool test(const char* token) {
        skip();
        const size_t n = std::strlen(token);
        if (std::strncmp(p, token, n) != 0) return false;
        p += n;
        return true;
    }
    bool at(char c) {
        skip();
        return *p == c;
    }
    bool word() {
        skip();
        const char* q = p;
        while (word_char(*p)) ++p;
        return p != q;
    }
    // A quoted string ends at its quote or at the end of the text.
    bool quoted() {
        skip();
        const char q = *p;
        if (q != '\'' && q != '"') return false;
        ++p;
        while (*p && *p != q) {
            if (*p == '\\' && p[1]) ++p;
            ++p;
        }
        if (*p == q) ++p;
        return true;
    }
    bool word_or_quoted() { return word() || quoted(); }
    // A word or quoted string, lower-cased into `out` (up to `n` - 1 characters).
    bool name(char* out, size_t n) {
        skip();
        const char* q = p;
        if (!word_or_quoted()) return false;
        size_t k = 0;
        for (const char* c = q; c != p && k + 1 < n; ++c)
            if (*c != '\'' && *c != '"') out[k++] = lower(*c);
        out[k] = 0;
        return true;
    }
    // A decimal integer of at most `most` in magnitude, with a sign where
    // `sign` allows.  Conservative: nothing that could continue the number
    // may follow (KLayout would stop there and read on differently).
    bool integer(uint64_t most, bool sign = true) {
        skip();
        const char* q = p;
        if (sign && (*q == '-' || *q == '+')) ++q;
        if (!digit(*q)) return false;
        uint64_t v = 0;
        for (; digit(*q); ++q) {
            const uint64_t d = uint64_t(*q - '0');
            if (v > (most - d) / 10) return false;
            v = v * 10 + d;
        }
        if (word_char(*q)) return false;
        p = q;
        return true;
    }
    // A real number: sign, digits, fraction, exponent; or nan, inf, -inf.
    bool real() {
        skip();
        for (const char* special : {"nan", "inf", "-inf"}) {
            const size_t n = std::strlen(special);
            size_t k = 0;
            while (k < n && lower(p[k]) == special[k]) ++k;
            if (k == n && !word_char(p[n])) {
                p += n;
                return true;
            }
        }
        const char* q = p;
        if (*q == '+' || *q == '-') ++q;
        if (!digit(*q)) return false;
        while (digit(*q)) ++q;
        if (*q == '.') {
            ++q;
            while (digit(*q)) ++q;
        }
        if (*q == 'e' || *q == 'E') {
            const char* e = q + 1;
            if (*e == '+' || *e == '-') ++e;
            if (!digit(*e)) return false;
            while (digit(*e)) ++e;
            q = e;
        }
        if (word_char(*q)) return false;
        p = q;
        return true;
    }
    // A coordinate: a 32-bit integer (database units) or a real (micrometres).
    bool coord(bool micrometres) { return micrometres ? real() : integer(kInt32); }
    bool point(bool micrometres) { return coord(micrometres) && test(",") && coord(micrometres); }
};

// Points "x,y" separated by optional ";", up to what is not a point.
bool points(Cursor& c, bool um) {
    while (!c.at(')') && !c.at('/')) {
        if (!c.point(um)) return false;
        c.test(";");
    }
    return true;
}

// The text of a [class:text] object KLayout writes, after the colon.
bool object_text(Cursor& c, const char* cls) {
    auto is = [cls](const char* a) { return std::strcmp(cls, a) == 0; };
    const bool um = cls[0] == 'd';
    const char* base = um ? cls + 1 : cls;
    auto base_is = [base](const char* a) { return std::strcmp(base, a) == 0; };
    if (is("layer") || is("layerinfo")) {
        // "L/D", "NAME", "NAME (L/D)", or nothing.
        auto numbers = [&c]() { return c.integer(kInt32) && (!c.test("/") || c.integer(kInt32)); };
        if (c.at(']')) return true;
        if (digit(*c.p) || *c.p == '-' || *c.p == '+') return numbers();
        if (!c.word_or_quoted()) return false;
        if (!c.test("(")) return true;
        return numbers() && c.test(")");
    }
    if (base_is("point") || base_is("vector")) return c.point(um);
    if (base_is("box")) {
        if (!c.test("(")) return false;
        if (c.test(")")) return true;
        return c.point(um) && c.test(";") && c.point(um) && c.test(")");
    }
    if (base_is("edge")) return c.test("(") && c.point(um) && c.test(";") && c.point(um) && c.test(")");
    if (base_is("simplepolygon")) return c.test("(") && points(c, um) && c.test(")");
    if (base_is("polygon")) {
        if (!c.test("(") || !points(c, um)) return false;
        while (c.test("/"))
            if (!points(c, um)) return false;
        return c.test(")");
    }
    if (base_is("path")) {
        if (!c.test("(") || !points(c, um) || !c.test(")")) return false;
        if (c.test("w=") && !c.coord(um)) return false;
        if (c.test("bx=") && !c.coord(um)) return false;
        if (c.test("ex=") && !c.coord(um)) return false;
        if (c.test("r=") && !c.test("true") && !c.test("false") && !c.test("1") && !c.test("0")) return false;
        return true;
    }
    return false;
}

bool value(Cursor& c, int depth = 0) {
    if (depth > 16) return false;
    c.skip();
    if (c.test("##")) return c.real();
    if (c.test("#lu")) return c.integer(kUint64, false);
    if (c.test("#l")) return c.integer(kInt64);
    if (c.test("#u")) return c.integer(kUint64, false);
    if (c.test("#")) return c.integer(kInt64);
    if (c.test("nil") || c.test("false") || c.test("true")) return true;
    if (c.test("[")) {
        char cls[24];
        if (!c.name(cls, sizeof cls)) return false;
        c.test(":");
        return object_text(c, cls) && c.test("]");
    }
    if (c.test("(")) {
        // A list: values separated by commas.
        if (c.test(")")) return true;
        while (true) {
            if (!value(c, depth + 1)) return false;
            if (c.test(",")) continue;
            return c.test(")");
        }
    }
    if (c.test("{")) {
        // An array: keys, each with "=>" and its value, separated by commas.
        if (c.test("}")) return true;
        while (true) {
            if (!value(c, depth + 1)) return false;
            if (c.test("=>") && !value(c, depth + 1)) return false;
            if (c.test(",")) continue;
            return c.test("}");
        }
    }
    if (!c.word_or_quoted()) return false;
    // A character or byte string: a letter after the text.
    c.skip();
    if (*c.p == 'c' || *c.p == 'C' || *c.p == 'b' || *c.p == 'B') {
        if (!c.typed_strings) return false;
        ++c.p;
    }
    return true;
}

// What follows a marker (LIB=, PCELL=): the rest after leading blanks.
std::string rest(Cursor& c) {
    c.skip();
    return std::string(c.p);
}

}  // namespace

bool deserialize(const std::vector<std::string>& strings, Info& info, bool typed_strings) {
    for (const std::string& s : strings) {
        Cursor c{s.c_str(), typed_strings};
        if (c.test("LIB=")) {
            info.lib_name = rest(c);
        } else if (c.test("P(")) {
            if (!c.word_or_quoted()) return false;
            c.test(")");
            c.test("=");
            if (!value(c)) return false;
        } else if (c.test("PCELL=")) {
            info.pcell_name = rest(c);
        } else if (c.test("CELL=")) {
            // The library cell's name: not needed here.
        } else if (c.test("META(")) {
            if (!c.word_or_quoted()) return false;
            if (c.test(",") && !c.word_or_quoted()) return false;
            c.test(")");
            c.test("=");
            if (!value(c)) return false;
        }
    }
    return true;
}

// Indices beyond this would make KLayout allocate that many strings.
constexpr size_t kMaxIndex = 1 << 16;

bool add_string(std::vector<std::string>& strings, Parts& parts, size_t attr, const std::string& value) {
    if (!value.empty() && value[0] == '#') {
        // "#<n>,<p>:<text>": part p of long string n.  KLayout drops a value
        // that starts with '#' but does not have this form.
        Cursor c{value.c_str() + 1};
        auto index = [&](size_t& v) {
            c.skip();
            const char* q = c.p;
            v = 0;
            while (digit(*c.p) && c.p - q < 6) v = v * 10 + size_t(*c.p++ - '0');
            return c.p != q && !digit(*c.p);
        };
        size_t n = 0, p = 0;
        c.skip();
        if (*c.p == '-' || *c.p == '+') return false;
        const bool n_ok = index(n);
        if (!n_ok) return !digit(*c.p);  // no number: dropped; too long a number: not accepted
        if (!c.test(",")) return true;
        c.skip();
        if (*c.p == '-' || *c.p == '+') return false;
        if (!index(p)) return !digit(*c.p);
        if (!c.test(":")) return true;
        if (n >= kMaxIndex || p >= kMaxIndex) return false;
        if (strings.size() <= n) strings.resize(n + 1);
        std::vector<std::string>& sv = parts[n];
        if (sv.size() <= p) sv.resize(p + 1);
        sv[p] = std::string(c.p);
        return true;
    }
    if (attr >= kMaxIndex) return false;
    if (strings.size() <= attr) strings.resize(attr + 1);
    strings[attr] = value;
    return true;
}

void join_parts(std::vector<std::string>& strings, Parts& parts) {
    for (auto& [n, sv] : parts) {
        if (n >= strings.size()) continue;
        std::string& s = strings[n];
        s.clear();
        for (const std::string& part : sv) s += part;
    }
    parts.clear();
}

}  // namespace lumino::core::gdsctx
