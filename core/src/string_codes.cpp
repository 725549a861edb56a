#include "orvalis/core/string_codes.hpp"

#include <cstddef>
#include <unordered_map>

namespace orvalis::core {

void string_codes(std::span<const std::string_view> vocabulary,
                  std::span<const std::string_view> labels, std::int64_t missing_code,
                  std::span<std::int64_t> out) {
    std::unordered_map<std::string_view, std::int64_t> position;
    position.reserve(vocabulary.size() * 2 + 1);
    for (std::size_t k = 0; k < vocabulary.size(); ++k)
        position[vocabulary[k]] = static_cast<std::int64_t>(k);
    const std::size_t n = labels.size() < out.size() ? labels.size() : out.size();
    for (std::size_t k = 0; k < n; ++k) {
        auto it = position.find(labels[k]);
        out[k] = it == position.end() ? missing_code : it->second;
    }
}

}  // namespace orvalis::core
