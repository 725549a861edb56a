// Window statistics over the rows of a table, whole or split into series (one per group).
//
// Every kernel reads the column `x` by table row and writes `out` by table row, so a value lands
// on the row it was computed for whatever the order of the series. A window of length w ending
// at a row holds that row and the w - 1 rows before it in its series; a statistic exists only
// when all w values are present (not NaN; the rolling statistics also treat +-inf as missing).
// Rows that belong to no series get NaN. Kernels allocate their scratch once per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvalis::core {

// How the rows of a table split into series.
struct SeriesLayout {
    // Table rows, series after series, each series in table order. Empty: one series holding
    // every row 0..n-1 in order.
    std::span<const std::int64_t> order;
    // Series k holds order[bounds[k] .. bounds[k + 1]); rows from order[bounds.back()] on belong
    // to no series. Empty when `order` is.
    std::span<const std::int64_t> bounds;
};

// Stable counting sort of rows by group code: codes in [0, ngroups), -1 for a row without a
// group. Fills `order` (size n) and `bounds` (size ngroups + 1); rows without a group come after
// the last series. Throws std::invalid_argument on sizes or codes out of range.
void group_layout(std::span<const std::int64_t> codes, std::int64_t ngroups,
                  std::span<std::int64_t> order, std::span<std::int64_t> bounds);

// The same from the group values themselves (hashed natively, no code buffer): rows with equal
// keys form one series, NaN keys belong to none. Fills `order` (size n) and sets `bounds` to one
// more entry than there are groups. Integer keys compare by value, float keys by value with
// 0.0 == -0.0.
void group_layout_by_key(std::span<const std::int64_t> keys, std::span<std::int64_t> order,
                         std::vector<std::int64_t>& bounds);
void group_layout_by_key(std::span<const double> keys, std::span<std::int64_t> order,
                         std::vector<std::int64_t>& bounds);

// Length of the longest series.
std::size_t longest_series(const SeriesLayout& layout, std::size_t n);

// Value of the row `periods` rows earlier in the series (later when negative).
void shift(std::span<const double> x, const SeriesLayout& layout, std::int64_t periods,
           std::span<double> out);
// x minus the value `periods` rows earlier in the series.
void diff(std::span<const double> x, const SeriesLayout& layout, std::int64_t periods,
          std::span<double> out);

// shift / diff within groups of equal keys (NaN keys: no group, NaN out) in one pass over the
// rows in table order, keeping the last |periods| values of each group in a ring: for short lags,
// where it beats ordering the rows by group. |periods| <= 2^20. Returns false, with `out` only
// partly written, when the rings would hold more values than the column (many groups): order the
// rows by group instead.
bool shift_by_key(std::span<const double> x, std::span<const std::int64_t> keys,
                  std::int64_t periods, bool diff, std::span<double> out);
bool shift_by_key(std::span<const double> x, std::span<const double> keys, std::int64_t periods,
                  bool diff, std::span<double> out);

// The same from group codes (-1: a row without a group, whose result is NaN), codes in
// [0, ngroups). Returns false, writing nothing, unless 1 <= periods <= 64 and the rings (ngroups *
// periods values) fit the column's size.
bool shift_by_codes(std::span<const double> x, std::span<const std::int64_t> codes,
                    std::int64_t ngroups, std::int64_t periods, bool diff, std::span<double> out);

// roll_rank from group codes (-1: a row without a group, whose result is NaN), in one pass in
// table order with a ring of the last values per group. Returns false, writing nothing, unless
// 1 <= window <= 16 and the rings (ngroups * window values) fit the column's size.
bool roll_rank_by_codes(std::span<const double> x, std::span<const std::int64_t> codes,
                        std::int64_t ngroups, std::int64_t window, std::span<double> out);

// Window statistics; `window` >= 0 (a window of 0 holds no rows: sum 0, the others missing).
void roll_sum(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out);
void roll_mean(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
               std::span<double> out);
// Sample standard deviation (divisor w - 1).
void roll_std(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out);
void roll_max(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out);
void roll_min(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
              std::span<double> out);
// Rank of the row's own value among its window, ascending from 1, ties sharing their mean rank.
// Reads each value of `x` once (the window works on its own copy), so a column that changes
// meanwhile gives mixed but well-formed ranks. A series with no w consecutive values costs one
// pass; windows up to a few thousand rows stay sorted, longer ones are counted in O(log n).
void roll_rank(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
               std::span<double> out);

// Statistics that take the window as a whole: they exist when all w values are finite. A window
// of 0 gives the empty product 1 and the empty weighted sum 0.
void roll_prod(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
               std::span<double> out);
// Position of the first maximum (minimum) in the window, 0 for its oldest row. Requires
// window >= 1 unless no row belongs to a series (then no window is taken: every row is NaN).
void roll_argmax(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
                 std::span<double> out);
void roll_argmin(std::span<const double> x, const SeriesLayout& layout, std::int64_t window,
                 std::span<double> out);
// sum(weights[k] * window[k]), weights[0] for the oldest row; the window length is weights.size().
void roll_weighted_sum(std::span<const double> x, const SeriesLayout& layout,
                       std::span<const double> weights, std::span<double> out);

// Sample covariance / Pearson correlation of x and y over the window, pairing each row's x with
// the same row's y; a row where either is missing is missing for both.
void roll_cov(std::span<const double> x, std::span<const double> y, const SeriesLayout& layout,
              std::int64_t window, std::span<double> out);
void roll_corr(std::span<const double> x, std::span<const double> y, const SeriesLayout& layout,
               std::int64_t window, std::span<double> out);

}  // namespace orvalis::core
