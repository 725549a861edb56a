#include "orvalis/core/formula.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "orvalis/core/feature_name.hpp"

namespace orvalis::core {
namespace {

enum class Form {
    aggregate,       // "Agg" + Capitalised(A1) + "(" + grouped(A2) + "," + plain(A3) + ")"
    infix,           // grouped(A1) + op + grouped(A2)
    plain_grouped,   // F(plain(A1),grouped(A2))
    unary_plain,     // F(plain(A1))
    square_root,     // \sqrt{grouped(A1)}
    binary_grouped,  // F(grouped(A1),grouped(A2))
    square,          // grouped(A1)^2
    unary_grouped,   // F(grouped(A1))
};

struct Template {
    std::string_view keyword;
    Form form;
    std::string_view label;  // function name or infix operator
};

constexpr std::array<Template, 41> kTemplates = {{
    {"aggregate", Form::aggregate, "Agg"},
    {"add", Form::infix, "+"},
    {"subtract", Form::infix, "-"},
    {"multiply", Form::infix, "\\times "},
    {"crosscount", Form::plain_grouped, "CrossCount"},
    {"nunique", Form::plain_grouped, "Nunique"},
    {"histstat", Form::plain_grouped, "Histstat"},
    {"sine", Form::unary_plain, "sin"},
    {"cosine", Form::unary_plain, "cos"},
    {"square_root", Form::square_root, ""},
    {"percentile", Form::unary_plain, "Percentile"},
    {"entropy", Form::unary_plain, "Entropy"},
    {"count", Form::unary_plain, "Count"},
    {"divide", Form::infix, "\\div "},
    {"combine", Form::binary_grouped, "Combine"},
    {"minimize", Form::binary_grouped, "Min"},
    {"maximize", Form::binary_grouped, "Max"},
    {"quadratic", Form::square, ""},
    {"log", Form::unary_plain, "Log"},
    {"sigmoid", Form::unary_plain, "Sigmoid"},
    {"round", Form::unary_plain, "Round"},
    {"residual", Form::unary_plain, "Residual"},
    {"delay", Form::binary_grouped, "Delay"},
    {"equal", Form::binary_grouped, "Equal"},
    {"tcorrelation", Form::binary_grouped, "Correlation"},
    {"tcorvariance", Form::binary_grouped, "Covariance"},
    {"tsum", Form::binary_grouped, "ts_sum"},
    {"delta", Form::binary_grouped, "Delta"},
    {"decay_linear", Form::binary_grouped, "Decay"},
    {"ts_min", Form::binary_grouped, "ts_min"},
    {"ts_max", Form::binary_grouped, "ts_max"},
    {"ts_argmax", Form::binary_grouped, "ts_argmax"},
    {"ts_argmin", Form::binary_grouped, "ts_argmin"},
    {"ts_rank", Form::binary_grouped, "ts_rank"},
    {"ts_mean", Form::binary_grouped, "ts_mean"},
    {"ts_o", Form::binary_grouped, "ts_o"},
    {"stddev", Form::binary_grouped, "Stddev"},
    {"smaller", Form::infix, "<"},
    {"bigger", Form::infix, ">"},
    {"softmax", Form::unary_grouped, "Softmax"},
    {"orop", Form::infix, "\\vee "},
}};

std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool is_combination(std::string_view s) { return is_combination_feature(bytes(s)); }

class Renderer {
public:
    explicit Renderer(const Capitalizer& capitalize) : capitalize_(capitalize) {}

    FormulaResult render(std::string_view name, std::size_t depth) {
        FormulaResult r;
        if (depth > kMaxFormulaDepth) return fail(FormulaError::too_deep);
        const SplitResult split = split_feature_name(bytes(name));
        if (split.error == SplitError::past_end) return fail(FormulaError::past_end);
        if (split.error == SplitError::empty_stack) return fail(FormulaError::empty_stack);

        std::vector<std::string> temp;
        for (std::size_t k = 0; k < split.count; ++k) {
            const Piece p = split.pieces[k];
            std::string_view piece =
                p.end <= p.begin ? std::string_view{} : name.substr(p.begin, p.end - p.begin);
            temp.emplace_back(k == 0 || is_combination(piece) ? std::string(piece)
                                                              : escape_underscores(piece));
        }
        const auto it = std::find_if(kTemplates.begin(), kTemplates.end(),
                                     [&](const Template& t) { return t.keyword == temp[0]; });
        if (it == kTemplates.end()) return r;  // no template: no formula, no error

        Builder b{*this, temp, depth, {}, FormulaError::none};
        const std::string label(it->label);
        switch (it->form) {
            case Form::aggregate:
                if (b.need(1)) b.out += label + capitalize_(temp[1]) + "(";
                b.operand(2, true);
                b.text(",");
                b.operand(3, false);
                b.text(")");
                break;
            case Form::infix:
                b.operand(1, true);
                b.text(label);
                b.operand(2, true);
                break;
            case Form::plain_grouped:
                b.text(label + "(");
                b.operand(1, false);
                b.text(",");
                b.operand(2, true);
                b.text(")");
                break;
            case Form::unary_plain:
                b.text(label + "(");
                b.operand(1, false);
                b.text(")");
                break;
            case Form::square_root:
                b.text("\\sqrt{");
                b.operand(1, true);
                b.text("}");
                break;
            case Form::binary_grouped:
                b.text(label + "(");
                b.operand(1, true);
                b.text(",");
                b.operand(2, true);
                b.text(")");
                break;
            case Form::square:
                b.operand(1, true);
                b.text("^2");
                break;
            case Form::unary_grouped:
                b.text(label + "(");
                b.operand(1, true);
                b.text(")");
                break;
        }
        if (b.error != FormulaError::none) return fail(b.error);
        r.has_formula = true;
        r.text = std::move(b.out);
        return r;
    }

private:
    static FormulaResult fail(FormulaError e) {
        FormulaResult r;
        r.error = e;
        return r;
    }

    // Builds one formula left to right; the first error stops all further work.
    struct Builder {
        Renderer& renderer;
        const std::vector<std::string>& temp;
        std::size_t depth;
        std::string out;
        FormulaError error = FormulaError::none;

        bool need(std::size_t k) {
            if (error != FormulaError::none) return false;
            if (k >= temp.size()) {
                error = FormulaError::missing_part;
                return false;
            }
            return true;
        }
        void text(std::string_view s) {
            if (error == FormulaError::none) out += s;
        }
        // plain(Ak) or grouped(Ak): a nested name is rendered (and parenthesised when grouped).
        void operand(std::size_t k, bool grouped) {
            if (!need(k)) return;
            const std::string& a = temp[k];
            if (!is_combination(a)) {
                out += a;
                return;
            }
            FormulaResult sub = renderer.render(a, depth + 1);
            if (sub.error != FormulaError::none) {
                error = sub.error;
                return;
            }
            if (!sub.has_formula) {
                error = FormulaError::nested_none;
                return;
            }
            if (grouped) out += "(";
            out += sub.text;
            if (grouped) out += ")";
        }
    };

    const Capitalizer& capitalize_;
};

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string ascii_capitalize(std::string_view text) {
    std::string out(text);
    for (std::size_t k = 0; k < out.size(); ++k)
        out[k] = k == 0 ? ascii_upper(out[k]) : ascii_lower(out[k]);
    return out;
}

std::string escape_underscores(std::string_view text) {
    std::string out;
    out.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '_')));
    for (char c : text) {
        if (c == '_') out += '\\';
        out += c;
    }
    return out;
}

FormulaResult render_formula(std::string_view name, const Capitalizer& capitalize) {
    Renderer renderer(capitalize);
    return renderer.render(name, 0);
}

}  // namespace orvalis::core
