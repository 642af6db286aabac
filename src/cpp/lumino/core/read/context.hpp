// The context information KLayout stores in a GDS2 file's first structure
// "$$$CONTEXT_INFO$$$": per cell, property strings saying which library cell
// or parametrised cell the cell stands for, and meta information.  KLayout
// reads them while it reads the file; the direct reader needs to know which
// cells KLayout turns into proxies, and that KLayout's reading of the
// strings cannot fail.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace lumino::core::gdsctx {

// What KLayout makes of one cell's strings (or of the layout's).
struct Info {
    std::string lib_name;    // LIB=: the library the cell comes from
    std::string pcell_name;  // PCELL=: the parametrised cell it is a variant of
    bool proxy() const { return !lib_name.empty() || !pcell_name.empty(); }
};

// Reads the strings as KLayout does.  False when a string holds a value
// whose reading this code has not verified to succeed in KLayout (KLayout
// may then fail the read, or accept it: either way the caller declines).
// `typed_strings`: whether the klayout release reads character and byte
// strings ('text'c, 'text'b).
bool deserialize(const std::vector<std::string>& strings, Info& info, bool typed_strings);

// One PROPVALUE string of the context cell, added to `strings` (at index
// `attr`, or as part of a long string in KLayout's "#<n>,<p>:<text>" form,
// collected in `parts`).  False for index forms this code does not accept.
using Parts = std::map<size_t, std::vector<std::string>>;
bool add_string(std::vector<std::string>& strings, Parts& parts, size_t attr, const std::string& value);

// Joins the parts of long strings into `strings` (KLayout does it at the end
// of each context element).
void join_parts(std::vector<std::string>& strings, Parts& parts);

}  // namespace lumino::core::gdsctx
