// Element-wise kernels whose reference form runs a Python function per value.
#pragma once

#include <span>

namespace orvalis::core {

// out[k] = 1 / (1 + e[k]), where e holds exp(-v) of each value v as the caller computed it (with
// NumPy's exp, so that every result is the one the per-value NumPy form gives, to the last bit).
void sigmoid_from_exp(std::span<const double> e, std::span<double> out);

}  // namespace orvalis::core
