#include "orvalis/core/text_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace orvalis::core {

std::size_t format_python_float(double v, char* out) {
    char* p = out;
    if (std::isnan(v)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    if (std::signbit(v)) {
        *p++ = '-';
        v = -v;
    }
    if (std::isinf(v)) {
        std::memcpy(p, "inf", 3);
        return static_cast<std::size_t>(p - out) + 3;
    }
    if (v == 0.0) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p - out) + 3;
    }
    // Shortest round-trip digits in scientific form: d[.ddd]e[+-]x
    char sci[kNumberTextMax];
    auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    char digits[20];
    int ndigits = 0;
    const char* q = sci;
    for (; q < res.ptr && *q != 'e'; ++q)
        if (*q != '.') digits[ndigits++] = *q;
    int exp10 = 0;
    std::from_chars(q + 1 + (q[1] == '+'), res.ptr, exp10);
    const int decpt = exp10 + 1;  // position of the decimal point relative to the digits

    if (decpt <= -4 || decpt > 16) {
        *p++ = digits[0];
        if (ndigits > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, ndigits - 1);
            p += ndigits - 1;
        }
        *p++ = 'e';
        *p++ = exp10 < 0 ? '-' : '+';
        int e = exp10 < 0 ? -exp10 : exp10;
        if (e < 10) *p++ = '0';
        p = std::to_chars(p, p + 4, e).ptr;
    } else if (decpt <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int k = 0; k < -decpt; ++k) *p++ = '0';
        std::memcpy(p, digits, ndigits);
        p += ndigits;
    } else if (decpt >= ndigits) {
        std::memcpy(p, digits, ndigits);
        p += ndigits;
        for (int k = ndigits; k < decpt; ++k) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
    } else {
        std::memcpy(p, digits, decpt);
        p += decpt;
        *p++ = '.';
        std::memcpy(p, digits + decpt, ndigits - decpt);
        p += ndigits - decpt;
    }
    return static_cast<std::size_t>(p - out);
}

std::size_t format_int(std::int64_t v, char* out) {
    return static_cast<std::size_t>(std::to_chars(out, out + kNumberTextMax, v).ptr - out);
}

std::size_t format_uint(std::uint64_t v, char* out) {
    return static_cast<std::size_t>(std::to_chars(out, out + kNumberTextMax, v).ptr - out);
}

}  // namespace orvalis::core
