#include "orvalis/core/radix.hpp"

#include <cstddef>

namespace orvalis::core {

// Rows ordered by key: LSD radix sort on 11-bit digits (a histogram that stays in cache), the
// digits every key shares skipped. The counts of all digits come from one pass.
void radix_order(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows) {
    constexpr int kBits = 11, kDigits = (64 + kBits - 1) / kBits;
    constexpr std::size_t kRadix = std::size_t{1} << kBits;
    const std::size_t n = keys.size();
    if (n == 0) return;
    std::vector<std::size_t> count(kDigits * kRadix, 0);
    for (std::uint64_t k : keys)
        for (int d = 0; d < kDigits; ++d) ++count[d * kRadix + ((k >> (d * kBits)) & (kRadix - 1))];
    std::vector<std::uint64_t> keys2(n);
    std::vector<std::uint32_t> rows2(n);
    for (int d = 0; d < kDigits; ++d) {
        std::size_t* c = count.data() + d * kRadix;
        const int shift = d * kBits;
        if (c[(keys[0] >> shift) & (kRadix - 1)] == n) continue;  // one digit for all
        std::size_t sum = 0;
        for (std::size_t b = 0; b < kRadix; ++b) {
            const std::size_t here = c[b];
            c[b] = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = c[(keys[i] >> shift) & (kRadix - 1)]++;
            keys2[at] = keys[i];
            rows2[at] = rows[i];
        }
        keys.swap(keys2);
        rows.swap(rows2);
    }
}

}  // namespace orvalis::core
