// LaTeX rendering of feature names: add###a|||b$$$ -> a+b, multiply###add###x|||y$$$|||z$$$ ->
// (x+y)\times z. Pure text work over UTF-8 (any bytes pass through untouched; the delimiters are
// ASCII, so byte positions and character positions give the same pieces).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace orvalis::core {

enum class FormulaError {
    none,
    past_end,       // the name parser read past the end of the text
    empty_stack,    // a "$$$" closed no open "###"
    missing_part,   // the template reads an argument the name does not have
    nested_none,    // a nested operand has no template, so there is no text to splice in
    too_deep,       // nesting deeper than the depth limit
};

inline constexpr std::size_t kMaxFormulaDepth = 900;

struct FormulaResult {
    FormulaError error = FormulaError::none;
    bool has_formula = false;  // false: the keyword has no template (and no error)
    std::string text;
};

// Capitalises a statistic name: first character upper case, the rest lower case.
using Capitalizer = std::function<std::string(std::string_view)>;

// The ASCII form of capitalisation; bytes outside ASCII are kept as they are.
std::string ascii_capitalize(std::string_view text);

// Backslash before every "_".
std::string escape_underscores(std::string_view text);

// Nested names are rendered without recursion on the C stack; a name nested deeper than
// max_depth levels (the outermost name is level 0) gives too_deep.
FormulaResult render_formula(std::string_view name,
                             const Capitalizer& capitalize = ascii_capitalize,
                             std::size_t max_depth = kMaxFormulaDepth);

}  // namespace orvalis::core
