// Text membership and coding against a small vocabulary, as a label encoder needs it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace orvalis::core {

// out[k] = the position of labels[k] in vocabulary (the last position when a text occurs more
// than once), or missing_code when the vocabulary does not hold it. Texts are compared byte for
// byte. The vocabulary's hash table is built once per call.
void string_codes(std::span<const std::string_view> vocabulary,
                  std::span<const std::string_view> labels, std::int64_t missing_code,
                  std::span<std::int64_t> out);

}  // namespace orvalis::core
