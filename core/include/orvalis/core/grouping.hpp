// Grouping of rows by key and per-group statistics, the native half of the group statistics.
//
// Keys are hashed: 64-bit integers by value, doubles by value (NaN missing, 0.0 == -0.0) and texts
// by their code units (the interpreter's own hash is taken as given). Groups are numbered in order
// of first occurrence; rows with a missing key get the code -1 and belong to no group.
//
// The statistics reproduce pandas' group-by kernels operation for operation (the same order of
// additions, Kahan-compensated means, Welford variances, medians of the two middle values), so
// their results are bit-identical to what pandas computes from the same rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace orvalis::core {

// A text as the interpreter holds it: `length` code units of `kind` bytes each (1, 2 or 4) at
// `data`, and its hash. Texts in canonical form are equal exactly when kind, length and units are.
// kind 0 marks a missing key.
struct TextKey {
    const void* data = nullptr;
    std::int64_t length = 0;
    std::int64_t hash = 0;
    std::int32_t kind = 0;
};

// An allocator whose value-less construction leaves the memory as it is: a vector of codes is
// written in full by its grouping right after being sized, so zeroing it first is wasted work.
template <class T>
struct Uninitialized : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Uninitialized<U>;
    };
    Uninitialized() = default;
    template <class U>
    Uninitialized(const Uninitialized<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Codes = std::vector<std::int64_t, Uninitialized<std::int64_t>>;

struct Factorized {
    Codes codes;                      // per row: its group, -1 for a missing key
    std::vector<std::int64_t> first;  // per group: the row where it occurs first
    std::vector<std::int64_t> sizes;  // per group: its rows, where the grouping counts them
    std::size_t ngroups() const { return first.size(); }
};

Factorized factorize(std::span<const std::int64_t> keys);
Factorized factorize(std::span<const double> keys);
Factorized factorize(std::span<const TextKey> keys);
// Rows grouped by an address (or any 64-bit word) as it stands: 0 is a key like any other.
// Faster than the integer form for words spread over a wide range, such as object addresses.
// Counts the rows of each group as it goes (`sizes`).
Factorized factorize_addresses(std::span<const std::uint64_t> words);
// Rows whose two codes are both >= 0, grouped by the pair (a, b); a's codes lie below na and b's
// below nb (std::invalid_argument otherwise). Counts the rows of each group as it goes (`sizes`)
// while the pairs fit a direct table.
Factorized factorize_pairs(std::span<const std::int64_t> a, std::int64_t na,
                           std::span<const std::int64_t> b, std::int64_t nb);

// out[k] = the position of queries[k] among `uniques` (distinct keys), -1 when absent or missing.
void lookup(std::span<const std::int64_t> uniques, std::span<const std::int64_t> queries,
            std::span<std::int64_t> out);
void lookup(std::span<const double> uniques, std::span<const double> queries,
            std::span<std::int64_t> out);
void lookup(std::span<const TextKey> uniques, std::span<const TextKey> queries,
            std::span<std::int64_t> out);

// Group ids 0..n-1 ordered by their key ascending (texts by code point); ties keep their order.
std::vector<std::int64_t> sorted_order(std::span<const std::int64_t> keys);
std::vector<std::int64_t> sorted_order(std::span<const double> keys);
std::vector<std::int64_t> sorted_order(std::span<const TextKey> keys);

// Rows per group.
std::vector<std::int64_t> group_sizes(std::span<const std::int64_t> codes, std::size_t ngroups);

// Per-group statistics of the non-missing (non-NaN) values; a group without values gets NaN,
// the variance also with a single value (divisor n - 1).
void group_min(std::span<const double> x, std::span<const std::int64_t> codes,
               std::span<double> out);
void group_max(std::span<const double> x, std::span<const std::int64_t> codes,
               std::span<double> out);
void group_min(std::span<const std::int64_t> x, std::span<const std::int64_t> codes,
               std::span<std::int64_t> out);
void group_max(std::span<const std::int64_t> x, std::span<const std::int64_t> codes,
               std::span<std::int64_t> out);
void group_mean(std::span<const double> x, std::span<const std::int64_t> codes,
                std::span<double> out);
// `sizes`: the rows per group (codes >= 0, gaps included), as group_sizes gives them.
void group_median(std::span<const double> x, std::span<const std::int64_t> codes,
                  std::span<double> out, std::span<const std::int64_t> sizes);
void group_var(std::span<const double> x, std::span<const std::int64_t> codes,
               std::span<double> out);

// Distinct ids per group; `ngroups_out` = out.size(). A row's id is ids[i] - base, in
// [0, nids); a row with ids[i] < base has none (codes of a factorisation with base 0, or the
// values of an integer column with base its minimum). `sizes`, when given: the rows per group
// (codes >= 0), as group_sizes gives them.
void group_nunique(std::span<const std::int64_t> codes, std::span<const std::int64_t> ids,
                   std::int64_t nids, std::span<std::int64_t> out, std::int64_t base = 0,
                   std::span<const std::int64_t> sizes = {});

// Rank of every row's value among the non-missing values of its group: ascending from 1, ties
// sharing their mean rank; NaN for a missing value or a row without a group.
void group_rank(std::span<const double> x, std::span<const std::int64_t> codes,
                std::size_t ngroups, std::span<double> out);

// Median of the non-NaN values (the mean of the two middle ones for an even count), NaN if none.
double median(std::span<const double> x);

}  // namespace orvalis::core
