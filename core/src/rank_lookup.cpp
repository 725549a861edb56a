#include "orvalis/core/rank_lookup.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "orvalis/core/radix.hpp"

namespace orvalis::core {

RankTable rank_table(std::span<const double> x, std::span<const std::int64_t> codes,
                     std::size_t ngroups, std::span<const double> ranks) {
    // rows with a group and a value, ordered by group, then value
    std::vector<std::size_t> rows;
    rows.reserve(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        if (codes[i] >= 0 && !std::isnan(x[i])) rows.push_back(i);
    std::sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
        return codes[a] != codes[b] ? codes[a] < codes[b] : x[a] < x[b];
    });
    RankTable t;
    t.offsets.assign(ngroups + 1, 0);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const std::size_t i = rows[k];
        const bool same = k > 0 && codes[rows[k - 1]] == codes[i] && x[rows[k - 1]] == x[i];
        if (same) {
            ++t.counts.back();
            continue;
        }
        t.values.push_back(x[i]);
        t.counts.push_back(1);
        t.ranks.push_back(ranks[i]);
        ++t.offsets[static_cast<std::size_t>(codes[i]) + 1];
    }
    std::partial_sum(t.offsets.begin(), t.offsets.end(), t.offsets.begin());
    return t;
}

bool valid(const RankTableView& t) {
    const std::size_t n = t.values.size();
    if (t.offsets.empty() || t.offsets.front() != 0 || t.counts.size() != n || t.ranks.size() != n)
        return false;
    for (std::size_t g = 0; g + 1 < t.offsets.size(); ++g) {
        const std::int64_t lo = t.offsets[g], hi = t.offsets[g + 1];
        if (hi < lo || hi > static_cast<std::int64_t>(n)) return false;
        for (std::int64_t k = lo; k < hi; ++k) {
            const auto e = static_cast<std::size_t>(k);
            if (t.counts[e] <= 0 || std::isnan(t.values[e])) return false;
            if (k > lo && !(t.values[e - 1] < t.values[e])) return false;
        }
    }
    return static_cast<std::size_t>(t.offsets.back()) == n;
}

void rank_against(const RankTableView& t, std::span<const double> x,
                  std::span<const std::int64_t> groups, bool fraction, std::span<double> out) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const auto ngroups = static_cast<std::int64_t>(t.offsets.size()) - 1;
    // rows below each entry of a group, from the group's first entry
    std::vector<std::int64_t> below(t.values.size());
    for (std::int64_t g = 0; g < ngroups; ++g) {
        std::int64_t acc = 0;
        for (auto k = t.offsets[static_cast<std::size_t>(g)];
             k < t.offsets[static_cast<std::size_t>(g) + 1]; ++k) {
            below[static_cast<std::size_t>(k)] = acc;
            acc += t.counts[static_cast<std::size_t>(k)];
        }
    }
    // the rank of value v at entry k of group g: k holds v, or k is the first entry above it
    auto rank_at = [&](std::int64_t g, std::size_t k, double v) {
        const auto hi = static_cast<std::size_t>(t.offsets[static_cast<std::size_t>(g) + 1]);
        const auto lo = static_cast<std::size_t>(t.offsets[static_cast<std::size_t>(g)]);
        if (k < hi && t.values[k] == v) return t.ranks[k];
        const std::int64_t total = hi > lo ? below[hi - 1] + t.counts[hi - 1] : 0;
        const std::int64_t under = k < hi ? below[k] : total;
        return fraction ? static_cast<double>(under + 1) / static_cast<double>(total + 1)
                        : static_cast<double>(under + 1);
    };
    auto ranked = [&](std::size_t i) {
        const std::int64_t g = groups[i];
        return g >= 0 && g < ngroups && !std::isnan(x[i]);
    };
    if (x.size() < 4096 || x.size() >= (std::size_t{1} << 32)) {
        // few rows: a binary search each
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!ranked(i)) {
                out[i] = kNaN;
                continue;
            }
            const std::int64_t g = groups[i];
            const double* first = t.values.data() + t.offsets[static_cast<std::size_t>(g)];
            const double* last = t.values.data() + t.offsets[static_cast<std::size_t>(g) + 1];
            const double* at = std::lower_bound(first, last, x[i]);
            out[i] = rank_at(g, static_cast<std::size_t>(at - t.values.data()), x[i]);
        }
        return;
    }
    // many rows: taken in the order of their values, each group's entries are walked once
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> rows;
    keys.reserve(x.size());
    rows.reserve(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!ranked(i)) {
            out[i] = kNaN;
            continue;
        }
        keys.push_back(double_order_key(x[i]));
        rows.push_back(static_cast<std::uint32_t>(i));
    }
    radix_order(keys, rows);
    std::vector<std::int64_t> cursor(t.offsets.begin(), t.offsets.end() - 1);
    for (const std::uint32_t row : rows) {
        const std::int64_t g = groups[row];
        const double v = x[row];
        const std::int64_t hi = t.offsets[static_cast<std::size_t>(g) + 1];
        std::int64_t k = cursor[static_cast<std::size_t>(g)];
        while (k < hi && t.values[static_cast<std::size_t>(k)] < v) ++k;
        cursor[static_cast<std::size_t>(g)] = k;
        out[row] = rank_at(g, static_cast<std::size_t>(k), v);
    }
}

}  // namespace orvalis::core
