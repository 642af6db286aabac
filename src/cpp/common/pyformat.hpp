// Python's float text forms, reproduced in plain C++ (no Python involved).
//
// format_float_general(v, precision, width) gives the same text as Python's
// format(v, "<width>.<precision>"): a float format string with a
// precision and no presentation type.  That is 'g'-style general notation,
// correctly rounded to `precision` significant digits, with these rules:
//   - exponent notation when the decimal exponent is below -4 or at least
//     precision - 1 (one lower than for 'g'), trailing zeros removed and the
//     exponent written with a sign and at least two digits (1.5e+02);
//   - fixed notation otherwise, trailing zeros removed but always at least
//     one digit after the decimal point (10.0, 0.0001);
//   - inf, -inf and nan (the sign of a nan is not shown), -0.0 keeps its sign;
//   - right-aligned, padded with spaces on the left up to `width`.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

inline std::string format_float_general(double v, int precision = 3, std::size_t width = 5) {
    std::string out;
    if (std::isnan(v)) {
        out = "nan";
    } else if (std::isinf(v)) {
        out = v < 0 ? "-inf" : "inf";
    } else {
        // Python treats a precision of 0 as 1 here.
        if (precision < 1) precision = 1;

        // Correctly rounded (ties to even on the exact binary value, as
        // Python's dtoa does): [-]d[.ddd]e[+-]XX
        std::string buf(static_cast<std::size_t>(precision) + 16, '\0');
        auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific,
                                 precision - 1);
        std::string_view s(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));

        const bool neg = !s.empty() && s.front() == '-';
        if (neg) s.remove_prefix(1);
        const std::size_t epos = s.find('e');

        std::string digits;
        for (char c : s.substr(0, epos))
            if (c != '.') digits += c;
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

        int exp = 0;
        std::string_view et = s.substr(epos + 1);
        const bool eneg = !et.empty() && et.front() == '-';
        if (!et.empty() && (et.front() == '-' || et.front() == '+')) et.remove_prefix(1);
        std::from_chars(et.data(), et.data() + et.size(), exp);
        if (eneg) exp = -exp;

        if (neg) out += '-';
        if (exp < -4 || exp >= precision - 1) {
            out += digits.front();
            if (digits.size() > 1) {
                out += '.';
                out.append(digits, 1);
            }
            out += 'e';
            out += exp < 0 ? '-' : '+';
            const int mag = exp < 0 ? -exp : exp;
            if (mag < 10) out += '0';
            out += std::to_string(mag);
        } else if (exp < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp - 1), '0');
            out += digits;
        } else {
            const std::size_t int_len = static_cast<std::size_t>(exp) + 1;
            if (digits.size() <= int_len) {
                out += digits;
                out.append(int_len - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, int_len);
                out += '.';
                out.append(digits, int_len);
            }
        }
    }
    if (out.size() < width) out.insert(0, width - out.size(), ' ');
    return out;
}

}  // namespace corvane
