#include "orvalis/core/elementwise.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace orvalis::core {

void sigmoid_from_exp(std::span<const double> e, std::span<double> out) {
    const std::size_t n = e.size() < out.size() ? e.size() : out.size();
    for (std::size_t k = 0; k < n; ++k) out[k] = 1.0 / (1.0 + e[k]);
}

}  // namespace orvalis::core

namespace orvalis::core {
namespace {

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

// Ranks from keys that order as the values do and are equal exactly for equal values.
void rank_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& rows,
               std::span<double> out) {
    radix_order(keys, rows);
    const std::size_t n = keys.size();
    const double count = static_cast<double>(n);
    for (std::size_t s = 0; s < n;) {
        std::size_t e = s + 1;
        while (e < n && keys[e] == keys[s]) ++e;
        // ranks s + 1 .. e: their sum divided by their number, as pandas averages them
        const double dups = static_cast<double>(e - s);
        const double sum = dups * static_cast<double>(s) + dups * (dups + 1) / 2;
        const double rank = sum / dups / count;
        for (std::size_t k = s; k < e; ++k) out[rows[k]] = rank;
        s = e;
    }
}

}  // namespace

void percentile_rank(std::span<const double> x, std::span<double> out) {
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> rows;
    keys.reserve(x.size());
    rows.reserve(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double v = x[i];
        if (std::isnan(v)) {
            out[i] = v;
            continue;
        }
        if (v == 0.0) v = 0.0;  // -0.0 ties with 0.0
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        // order-preserving: negative values reversed, positive ones above them
        keys.push_back(b >> 63 ? ~b : b | (std::uint64_t{1} << 63));
        rows.push_back(static_cast<std::uint32_t>(i));
    }
    rank_keys(keys, rows, out);
}

void percentile_rank(std::span<const std::int64_t> x, std::span<double> out) {
    std::vector<std::uint64_t> keys(x.size());
    std::vector<std::uint32_t> rows(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        keys[i] = static_cast<std::uint64_t>(x[i]) ^ (std::uint64_t{1} << 63);
        rows[i] = static_cast<std::uint32_t>(i);
    }
    rank_keys(keys, rows, out);
}

}  // namespace orvalis::core
