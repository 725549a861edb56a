// Grammar of engineered-feature names: keyword###arg1|||arg2|||arg3$$$, arguments nesting further
// names. The scanner works on code units of any width (Python keeps text as 1-, 2- or 4-byte
// units), so the binding hands it the interpreter's own buffer and slices by the positions found.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace orvalis::core {

// Why a scan stopped early. The names mirror the two failures of the reference scan: a delimiter
// test reading past the end of the text, and a closing "$$$" with no open "###".
enum class SplitError { none, past_end, empty_stack };

struct Piece {
    std::size_t begin = 0;
    std::size_t end = 0;  // end <= begin means an empty piece
};

struct SplitResult {
    SplitError error = SplitError::none;
    std::size_t count = 0;  // 2, 3 or 4 pieces: keyword, then the top-level arguments
    std::array<Piece, 4> pieces{};
};

SplitResult split_feature_name(std::span<const std::uint8_t> text);
SplitResult split_feature_name(std::span<const std::uint16_t> text);
SplitResult split_feature_name(std::span<const std::uint32_t> text);

// True when the text holds at least three '$' and at least three '#' characters, anywhere.
bool is_combination_feature(std::span<const std::uint8_t> text);
bool is_combination_feature(std::span<const std::uint16_t> text);
bool is_combination_feature(std::span<const std::uint32_t> text);

}  // namespace orvalis::core
