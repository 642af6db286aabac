#include "lumino/core/model/float_range.hpp"

#include <cstdio>
#include <cstdlib>

namespace lumino::core {

namespace {

// The shortest text that reads back as the same double (as Python's repr).
std::string shortest(double v) {
    char text[64];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

}  // namespace

void out_of_float_range(std::string_view cell, std::string_view what, double value) {
    const std::string text = shortest(value), largest = shortest(double(FLT_MAX));
    std::string msg = "cell '";
    msg.append(cell);
    msg += "': ";
    msg.append(what);
    msg += ' ';
    msg += text;
    msg += " does not fit the viewer's float32 (largest ";
    msg += largest;
    msg += ')';
    throw std::overflow_error(msg);
}

}  // namespace lumino::core
