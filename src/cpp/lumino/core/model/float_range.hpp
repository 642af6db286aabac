// The viewer holds coordinates and placement matrices as float32.  A value
// KLayout reads but float32 cannot hold (a magnification of 1e45, a unit of
// 1e80 um, coordinates times a large unit) would reach the viewer as an
// infinity; it is refused instead, naming the cell and the value.
#pragma once

#include <cfloat>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumino::core {

inline bool fits_float(double v) { return std::fabs(v) <= double(FLT_MAX); }

// std::overflow_error (OverflowError in Python): "cell 'TOP': <what> 1e+45
// does not fit the viewer's float32 (largest 3.4028234663852886e+38)".
[[noreturn]] void out_of_float_range(std::string_view cell, std::string_view what, double value);

// Refuses the first of `n` values that float32 cannot hold.
inline void check_float_range(const double* values, size_t n, std::string_view cell, std::string_view what) {
    bool all = true;  // one pass without early exit, then the first that does not fit
    for (size_t k = 0; k < n; ++k) all &= fits_float(values[k]);
    if (all) return;
    for (size_t k = 0; k < n; ++k)
        if (!fits_float(values[k])) out_of_float_range(cell, what, values[k]);
}

}  // namespace lumino::core
