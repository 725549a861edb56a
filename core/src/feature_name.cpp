#include "orvalis/core/feature_name.hpp"

#include <algorithm>

namespace orvalis::core {
namespace {

// One delimiter test at i: the three code units at i, i+1, i+2 all equal c, tested one at a time
// and stopping at the first mismatch. Reaching past the end is reported, never read.
template <class Unit>
bool triple_at(std::span<const Unit> s, std::size_t i, Unit c, bool& past_end) {
    for (std::size_t k = 0; k < 3; ++k) {
        if (i + k >= s.size()) {
            past_end = true;
            return false;
        }
        if (s[i + k] != c) return false;
    }
    return true;
}

template <class Unit>
SplitResult split_impl(std::span<const Unit> s) {
    SplitResult r;
    std::size_t left = 0, right = 0;
    long long separator1 = -1, separator2 = -1;
    std::size_t depth = 0;  // the reference keeps a stack; only its size matters
    std::size_t left_count = 0;
    bool past_end = false;

    for (std::size_t i = 0; i < s.size() && !past_end; ++i) {
        const Unit c = s[i];
        if (c == Unit('#')) {
            if (triple_at<Unit>(s, i, c, past_end)) {
                if (++left_count == 1) left = i;
                ++depth;
                i += 2;
            }
        } else if (c == Unit('$')) {
            if (triple_at<Unit>(s, i, c, past_end)) {
                if (depth == 0) {
                    r.error = SplitError::empty_stack;
                    return r;
                }
                if (--depth == 0) right = i;
                i += 2;
            }
        } else if (c == Unit('|')) {
            if (triple_at<Unit>(s, i, c, past_end) && depth == 1) {
                if (separator1 < 0)
                    separator1 = static_cast<long long>(i);
                else
                    separator2 = static_cast<long long>(i);
            }
        }
    }
    if (past_end) {
        r.error = SplitError::past_end;
        return r;
    }

    auto piece = [](std::size_t a, std::size_t b) { return Piece{a, b}; };
    r.pieces[0] = piece(0, left);
    if (separator2 < 0 && separator1 != -1) {
        auto s1 = static_cast<std::size_t>(separator1);
        r.pieces[1] = piece(left + 3, s1);
        r.pieces[2] = piece(s1 + 3, right);
        r.count = 3;
    } else if (separator2 < 0) {
        r.pieces[1] = piece(left + 3, right);
        r.count = 2;
    } else {
        auto s1 = static_cast<std::size_t>(separator1);
        auto s2 = static_cast<std::size_t>(separator2);
        r.pieces[1] = piece(left + 3, s1);
        r.pieces[2] = piece(s1 + 3, s2);
        r.pieces[3] = piece(s2 + 3, right);
        r.count = 4;
    }
    return r;
}

template <class Unit>
bool combination_impl(std::span<const Unit> s) {
    std::size_t dollars = 0, hashes = 0;
    for (Unit c : s) {
        dollars += (c == Unit('$'));
        hashes += (c == Unit('#'));
    }
    return std::min(dollars / 3, hashes / 3) > 0;
}

}  // namespace

SplitResult split_feature_name(std::span<const std::uint8_t> t) { return split_impl(t); }
SplitResult split_feature_name(std::span<const std::uint16_t> t) { return split_impl(t); }
SplitResult split_feature_name(std::span<const std::uint32_t> t) { return split_impl(t); }

bool is_combination_feature(std::span<const std::uint8_t> t) { return combination_impl(t); }
bool is_combination_feature(std::span<const std::uint16_t> t) { return combination_impl(t); }
bool is_combination_feature(std::span<const std::uint32_t> t) { return combination_impl(t); }

}  // namespace orvalis::core
