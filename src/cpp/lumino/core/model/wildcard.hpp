// Shell-style wildcard patterns with the exact rules of Python's
// fnmatch.fnmatchcase: "*" matches any run of characters (newlines included),
// "?" one character, "[...]" one character of a set, "[!...]" one character
// not in it; the whole name must match.  Bracket sets are read the way
// fnmatch.translate and the regular-expression parser read them, corner
// cases included (unterminated "[" is a literal, reversed ranges are dropped,
// "[!]" needs a closing bracket, a leading "]" is a member).
//
// Works on Unicode code points; no Python involved.  Case folding is the
// caller's business (the viewer lower-cases both sides first).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumino::wildcard {

class Pattern {
  public:
    explicit Pattern(std::u32string_view pattern);

    // False when Python's regular-expression parser would reject what
    // fnmatch makes of the pattern (the caller then lets Python report it).
    bool valid() const { return valid_; }

    // Whether `name` matches the whole pattern.  Precondition: valid().
    bool matches(std::u32string_view name) const;

  private:
    enum class Kind : uint8_t { Star, Any, Literal, Set, Never };
    struct Token {
        Kind kind;
        bool negated = false;
        char32_t ch = 0;        // Literal
        uint32_t first = 0;     // Set: ranges_[first, first + count)
        uint32_t count = 0;
    };
    struct Range {
        char32_t lo, hi;
    };

    void add_set(std::u32string_view body);
    bool one(const Token& t, char32_t c) const;

    std::vector<Token> tokens_;
    std::vector<Range> ranges_;
    bool valid_ = true;
};

}  // namespace lumino::wildcard
