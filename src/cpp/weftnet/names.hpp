// Pure logic of the call-graph module, free of Python: module-name prefixes,
// the module tree of a PDK's factories, the digit-sum hash and the choice of
// legend colours.  Texts are UTF-8 (module names, library names).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace weftnet {

// True when `module` is `parent` or lies below it ("a.b" under "a"; "ab" is
// not under "a").
bool is_submodule_of(std::string_view module, std::string_view parent);

// True when the function `full_name` belongs to library `lib`: its full name
// is the library name followed by "." (so "lib" does not capture "lib2.f").
bool belongs_to_library(std::string_view full_name, std::string_view lib);

// `name` without one final ".cells" ("x.y.cells" -> "x.y"; "x.cells.more" stays).
std::string_view strip_cells_suffix(std::string_view name);

// The library modules of a PDK from the `__module__` texts of its factories
// (empty texts already left out), in first-seen order: the names are put in a
// tree of their dotted components; top-level entries containing "functools"
// are dropped; each remaining top-level entry yields the deepest module along
// its chain of single children.  ["a.b.c.x", "a.b.c.y", "d.e"] -> ["a.b.c", "d.e"].
std::vector<std::string> extract_module_names(const std::vector<std::string>& modules);

// The digit-sum hash of a text of at least two characters, given as code
// points: a character counts its decimal digit value when it is a decimal
// digit (digit_value returns 0..9), else its code point (digit_value returns
// -1); the sum's decimal digits are then summed until one digit remains.
// The caller reads texts of fewer than two characters as numbers itself.
int digit_sum_hash(const std::vector<std::uint32_t>& code_points,
                   const std::function<int(std::uint32_t)>& digit_value);

// Legend colour numbers for libraries whose hashed numbers (0..9) are given
// in first-met order.  With more than nine libraries the hashed numbers stay
// (repeats included); otherwise a number already taken moves on to the next
// free one among 0..9, wrapping after 9, so every library gets its own colour.
std::vector<int> assign_colours(const std::vector<int>& hashed);

}  // namespace weftnet
