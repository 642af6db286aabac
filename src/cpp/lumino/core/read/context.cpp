// Context information strings as KLayout reads them.  KLayout parses them
// with a tokenizer that skips blanks before each token; a value it cannot
// parse fails the whole read.  Values are accepted here only in the forms
// KLayout writes and has been seen to read back: numbers, integers, nil,
// booleans, words, quoted strings, lists of these, layers, points and paths.
#include "lumino/core/read/context.hpp"

#include <cctype>
#include <cstring>

namespace lumino::core::gdsctx {

namespace {

bool space(char c) { return c != 0 && std::isspace(static_cast<unsigned char>(c)); }
bool alnum(char c) {
    return c != 0 && static_cast<unsigned char>(c) < 0x80 && std::isalnum(static_cast<unsigned char>(c));
}
bool digit(char c) { return c >= '0' && c <= '9'; }
bool word_char(char c) { return alnum(c) || c == '_' || c == '.' || c == '$'; }

// A cursor over a NUL-terminated text, as KLayout's tokenizer walks it.
struct Cursor {
    const char* p;

    void skip() {
        while (space(*p)) ++p;
    }
    bool test(const char* token) {
        skip();
        const size_t n = std::strlen(token);
        if (std::strncmp(p, token, n) != 0) return false;
        p += n;
        return true;
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
    // A plain decimal number: sign, digits, fraction, exponent.
    bool number() {
        skip();
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
        // A letter right after the number would be read differently.
        if (alnum(*q) || *q == '.') return false;
        p = q;
        return true;
    }
    // An integer well inside 64 bits (without sign when `unsigned_only`).
    bool integer(bool unsigned_only = false) {
        skip();
        const char* q = p;
        if (!unsigned_only && (*q == '-' || *q == '+')) ++q;
        const char* d = q;
        while (digit(*q)) ++q;
        if (q == d || q - d > 18 || alnum(*q) || *q == '.') return false;
        p = q;
        return true;
    }
};

// "[layer:L/D]": a layer by number and datatype.
bool layer_value(Cursor& c) {
    if (!c.integer() || !c.test("/") || !c.integer()) return false;
    return c.test("]");
}

// "[dpath:(x,y;...) w=.. bx=.. ex=.. r=..]": a path in micrometres.
bool dpath_value(Cursor& c) {
    if (!c.test("(")) return false;
    if (!c.test(")")) {
        while (true) {
            if (!c.number() || !c.test(",") || !c.number()) return false;
            if (c.test(")")) break;
            if (!c.test(";")) return false;
        }
    }
    if (c.test("w=") && !c.number()) return false;
    if (c.test("bx=") && !c.number()) return false;
    if (c.test("ex=") && !c.number()) return false;
    if (c.test("r=") && !c.test("true") && !c.test("false")) return false;
    return c.test("]");
}

bool value(Cursor& c, int depth = 0) {
    if (depth > 16) return false;
    c.skip();
    if (c.test("##")) return c.number();
    if (c.test("#lu")) return c.integer(true);
    if (c.test("#l")) return c.integer();
    if (c.test("#u")) return c.integer(true);
    if (c.test("#")) return c.integer();
    if (c.test("nil") || c.test("false") || c.test("true")) return true;
    if (c.test("[")) {
        if (c.test("layer:")) return layer_value(c);
        if (c.test("dpath:")) return dpath_value(c);
        if (c.test("dpoint:")) return c.number() && c.test(",") && c.number() && c.test("]");
        return false;
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
    if (*c.p == '{') return false;
    return c.word_or_quoted();
}

// What follows a marker (LIB=, PCELL=): the rest after leading blanks.
std::string rest(Cursor& c) {
    c.skip();
    return std::string(c.p);
}

}  // namespace

bool deserialize(const std::vector<std::string>& strings, Info& info) {
    for (const std::string& s : strings) {
        Cursor c{s.c_str()};
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
