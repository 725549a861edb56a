// Element-wise kernels whose reference form runs a Python function per value.
#pragma once

#include <cstdint>
#include <span>

namespace orvalis::core {

// out[k] = 1 / (1 + e[k]), where e holds exp(-v) of each value v as the caller computed it (with
// NumPy's exp, so that every result is the one the per-value NumPy form gives, to the last bit).
void sigmoid_from_exp(std::span<const double> e, std::span<double> out);

// to[k] = from[k] for every k (the spans have one length); true if some value is NaN. With
// `stream`, the stores bypass the cache: for copies much larger than it, which would otherwise
// read every destination line in only to overwrite it.
bool copy_flag_gaps(std::span<const double> from, std::span<double> to, bool stream);

// The `bytes` bytes at `from` copied to `to` (not overlapping), the stores bypassing the cache
// with `stream`, as above.
void copy_bytes(const void* from, void* to, std::size_t bytes, bool stream);

}  // namespace orvalis::core

namespace orvalis::core {

// Percentile ranks as pandas' rank(pct=True) gives them: the ascending rank of every value among
// the non-missing ones (ties share the mean of their ranks), divided by the number of non-missing
// values; NaN stays NaN (float input only).
void percentile_rank(std::span<const double> x, std::span<double> out);
void percentile_rank(std::span<const std::int64_t> x, std::span<double> out);

}  // namespace orvalis::core
