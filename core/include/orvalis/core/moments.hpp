// Mean and sample standard deviation of a column, computed as pandas' Series.mean() and
// Series.std() compute them without bottleneck: NumPy's pairwise summation over the values with
// missing ones as 0 (divided by the number present), then the two-pass variance
// sum((mean - x)^2) / (n - 1). The results are bit-identical to theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvalis::core {

// NumPy's pairwise sum of n contiguous doubles (blocks of 128 summed in eight lanes).
double pairwise_sum(const double* a, std::size_t n);

struct Moments {
    double mean;
    double sd;  // NaN for fewer than two values
};

// Float values, NaN missing.
Moments moments(std::span<const double> x);
// Integer values (none missing). NumPy sums integers into a double buffer by buffer (`bufsize`
// elements each, converted), adding each buffer's pairwise sum in turn; the mean follows that
// order.
Moments moments(std::span<const std::int64_t> x, std::size_t bufsize);
// The float form of the column whose row i holds values[codes[i] + 1] (values[0] stands for the
// rows of code -1), read through the codes instead of from the column; `present` is the number
// of its rows that are not NaN. Every code must lie in [-1, values.size() - 1).
Moments moments_by_codes(std::span<const double> values, std::span<const std::int64_t> codes,
                         std::size_t present);

}  // namespace orvalis::core
