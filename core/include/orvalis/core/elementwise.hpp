// Element-wise kernels whose reference form runs a Python function per value.
#pragma once

#include <span>

namespace orvalis::core {

// out[k] = 1 / (1 + exp(-in[k])); NaN stays NaN, large negative values give 0.
void sigmoid(std::span<const double> in, std::span<double> out);

}  // namespace orvalis::core
