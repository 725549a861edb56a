#include "orvalis/core/elementwise.hpp"

#include <cmath>

namespace orvalis::core {

void sigmoid_from_exp(std::span<const double> e, std::span<double> out) {
    const std::size_t n = e.size() < out.size() ? e.size() : out.size();
    for (std::size_t k = 0; k < n; ++k) out[k] = 1.0 / (1.0 + e[k]);
}

}  // namespace orvalis::core
