// Ordering of rows by 64-bit keys, for the rank kernels.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace orvalis::core {

// A key that orders as the double does, equal for equal values (-0.0 and 0.0 alike); NaN is not
// given one.
inline std::uint64_t double_order_key(double v) {
    if (v == 0.0) v = 0.0;
    const auto b = std::bit_cast<std::uint64_t>(v);
    return b >> 63 ? ~b : b | (std::uint64_t{1} << 63);
}

// keys ascending, rows carried along (equal keys keep their order): an LSD radix sort.
void radix_order(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows);

}  // namespace orvalis::core
