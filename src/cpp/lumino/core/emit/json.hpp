// Compact JSON text, byte for byte as orjson writes the same values (no
// Python): texts with orjson's escapes, integers, booleans, and floats in
// their shortest round-trip digits.
//
// Floats: orjson's forms changed between releases only where an exponent is
// written (1e16 became 1e+16), so only the positional forms are written
// here: 0.0, -0.0, and finite values from 1e-5 up to below 1e16 in
// magnitude (123.0, 0.00012, 1234567890123456.0).  A caller asks
// positional() first and takes another road for any other value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumino::json {

// Whether `v` has a positional form (see above).
bool positional(double v);

// Appends the positional form of `v`.  Precondition: positional(v).
void append_double(std::string& out, double v);

void append_int(std::string& out, int64_t v);

// The number of characters append_int() writes for `v`.
size_t int_length(int64_t v);

// Whether `s` is well-formed UTF-8 without surrogate code points: what
// orjson accepts as a text.
bool valid_utf8(std::string_view s);

// Appends `s` as a quoted JSON text: '"' and '\\' escaped, the control
// characters below 0x20 as \b \t \n \f \r or \u00XX, everything else as it
// is.  Precondition: valid_utf8(s).
void append_string(std::string& out, std::string_view s);

}  // namespace lumino::json
