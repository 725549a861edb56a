#include "orvalis/core/elementwise.hpp"

#include <cmath>

namespace orvalis::core {

void sigmoid(std::span<const double> in, std::span<double> out) {
    const std::size_t n = in.size() < out.size() ? in.size() : out.size();
    for (std::size_t k = 0; k < n; ++k) out[k] = 1.0 / (1.0 + std::exp(-in[k]));
}

}  // namespace orvalis::core
