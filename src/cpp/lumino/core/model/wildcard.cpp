// Wildcard patterns with the semantics of Python's fnmatch (see the header).
//
// A bracket set is turned into the body of a regular-expression class
// exactly as fnmatch.translate spells it (hyphen chunks, reversed ranges
// removed, escapes), and that body is then read with the rules of the
// regular-expression parser, so every quirk of the pair is kept.
#include "lumino/core/model/wildcard.hpp"

#include <cstddef>

namespace lumino::wildcard {

namespace {

constexpr size_t npos = std::u32string_view::npos;

// Backslashes (and, inside hyphen chunks, hyphens) escaped for a class body.
std::u32string escaped(std::u32string_view s, bool hyphens) {
    std::u32string out;
    for (char32_t c : s) {
        if (c == U'\\' || (hyphens && c == U'-')) out += U'\\';
        out += c;
    }
    return out;
}

}  // namespace

Pattern::Pattern(std::u32string_view pat) {
    const size_t n = pat.size();
    size_t i = 0;
    while (i < n) {
        const char32_t c = pat[i++];
        if (c == U'*') {
            if (tokens_.empty() || tokens_.back().kind != Kind::Star) tokens_.push_back({Kind::Star});
        } else if (c == U'?') {
            tokens_.push_back({Kind::Any});
        } else if (c == U'[') {
            size_t j = i;
            if (j < n && pat[j] == U'!') ++j;
            if (j < n && pat[j] == U']') ++j;
            while (j < n && pat[j] != U']') ++j;
            if (j >= n) {  // no closing bracket: a literal "["
                tokens_.push_back({Kind::Literal, false, U'['});
                continue;
            }
            std::u32string_view stuff = pat.substr(i, j - i);
            std::u32string body;
            if (stuff.find(U'-') == npos) {
                body = escaped(stuff, false);
            } else {
                // Split at the hyphens that form ranges.
                std::vector<std::u32string> chunks;
                size_t start = i;
                size_t k = pat[i] == U'!' ? i + 2 : i + 1;
                while (true) {
                    const size_t h = k < j ? pat.substr(0, j).find(U'-', k) : npos;
                    if (h == npos) break;
                    chunks.emplace_back(pat.substr(start, h - start));
                    start = h + 1;
                    k = h + 3;
                }
                std::u32string_view last = pat.substr(start, j - start);
                if (!last.empty())
                    chunks.emplace_back(last);
                else
                    chunks.back() += U'-';
                // Drop reversed ranges together with their two ends.
                for (size_t m = chunks.size() - 1; m > 0; --m) {
                    if (chunks[m - 1].empty() || chunks[m].empty()) continue;
                    if (chunks[m - 1].back() > chunks[m].front()) {
                        chunks[m - 1].pop_back();
                        chunks[m - 1] += std::u32string_view(chunks[m]).substr(1);
                        chunks.erase(chunks.begin() + std::ptrdiff_t(m));
                    }
                }
                for (size_t m = 0; m < chunks.size(); ++m) {
                    if (m) body += U'-';
                    body += escaped(chunks[m], true);
                }
            }
            // Set operators of the regular-expression syntax are escaped too.
            std::u32string safe;
            for (char32_t b : body) {
                if (b == U'&' || b == U'~' || b == U'|') safe += U'\\';
                safe += b;
            }
            i = j + 1;
            if (safe.empty()) {
                tokens_.push_back({Kind::Never});
            } else if (safe == U"!") {
                tokens_.push_back({Kind::Any});
            } else {
                if (safe[0] == U'!')
                    safe[0] = U'^';
                else if (safe[0] == U'^' || safe[0] == U'[')
                    safe.insert(safe.begin(), U'\\');
                add_set(safe);
            }
        } else {
            tokens_.push_back({Kind::Literal, false, c});
        }
    }
}

// Read a class body (what follows "[" up to and including the closing "]",
// which is appended here) the way the regular-expression parser does.
void Pattern::add_set(std::u32string_view body) {
    struct Item {
        char32_t ch;
        bool escape;
    };
    std::vector<Item> items;
    for (size_t k = 0; k < body.size(); ++k) {
        if (body[k] == U'\\' && k + 1 < body.size()) {
            items.push_back({body[k + 1], true});
            ++k;
        } else {
            items.push_back({body[k], false});
        }
    }
    items.push_back({U']', false});

    Token t{Kind::Set};
    t.first = uint32_t(ranges_.size());
    size_t at = 0;
    if (items[0].ch == U'^' && !items[0].escape) t.negated = true, at = 1;
    auto is = [&](size_t k, char32_t c) { return k < items.size() && !items[k].escape && items[k].ch == c; };
    bool closed = false;
    while (at < items.size()) {
        const Item it = items[at++];
        if (!it.escape && it.ch == U']' && ranges_.size() > t.first) {
            closed = true;
            break;
        }
        if (is(at, U'-')) {
            ++at;
            if (at >= items.size()) break;  // unterminated
            const Item that = items[at++];
            if (!that.escape && that.ch == U']') {
                ranges_.push_back({it.ch, it.ch});
                ranges_.push_back({U'-', U'-'});
                closed = true;
                break;
            }
            if (that.ch < it.ch) {  // bad character range
                valid_ = false;
                return;
            }
            ranges_.push_back({it.ch, that.ch});
        } else {
            ranges_.push_back({it.ch, it.ch});
        }
    }
    // The set must end exactly at the closing bracket appended above.
    if (!closed || at != items.size()) {
        valid_ = false;
        return;
    }
    t.count = uint32_t(ranges_.size()) - t.first;
    tokens_.push_back(t);
}

bool Pattern::one(const Token& t, char32_t c) const {
    switch (t.kind) {
        case Kind::Any: return true;
        case Kind::Literal: return c == t.ch;
        case Kind::Never: return false;
        case Kind::Set: {
            bool in = false;
            for (uint32_t k = t.first; k < t.first + t.count && !in; ++k)
                in = ranges_[k].lo <= c && c <= ranges_[k].hi;
            return in != t.negated;
        }
        case Kind::Star: break;
    }
    return false;
}

bool Pattern::matches(std::u32string_view name) const {
    // Every token but "*" takes exactly one character, so retrying from
    // the last star with one more character swallowed finds a match if
    // there is one.
    const size_t n = name.size(), p_end = tokens_.size();
    size_t p = 0, s = 0, star = npos, star_s = 0;
    while (s < n) {
        if (p < p_end && tokens_[p].kind == Kind::Star) {
            star = p++;
            star_s = s;
        } else if (p < p_end && one(tokens_[p], name[s])) {
            ++p, ++s;
        } else if (star != npos) {
            p = star + 1;
            s = ++star_s;
        } else {
            return false;
        }
    }
    while (p < p_end && tokens_[p].kind == Kind::Star) ++p;
    return p == p_end;
}

}  // namespace lumino::wildcard
