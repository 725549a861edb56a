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

// A template as a program of steps, run left to right over the name's parts.
struct Step {
    enum Kind { text, label, aggregate_head, operand } kind;
    std::string_view text_or_suffix;  // text; or what follows the label
    std::size_t part = 0;             // operand / aggregate_head: which argument
    bool grouped = false;             // operand: parenthesise a nested formula
};

std::span<const Step> program(Form form) {
    using K = Step::Kind;
    static constexpr Step aggregate[] = {{K::aggregate_head, "", 1},
                                         {K::operand, "", 2, true},
                                         {K::text, ","},
                                         {K::operand, "", 3, false},
                                         {K::text, ")"}};
    static constexpr Step infix[] = {
        {K::operand, "", 1, true}, {K::label, ""}, {K::operand, "", 2, true}};
    static constexpr Step plain_grouped[] = {{K::label, "("},
                                             {K::operand, "", 1, false},
                                             {K::text, ","},
                                             {K::operand, "", 2, true},
                                             {K::text, ")"}};
    static constexpr Step unary_plain[] = {
        {K::label, "("}, {K::operand, "", 1, false}, {K::text, ")"}};
    static constexpr Step square_root[] = {
        {K::text, "\\sqrt{"}, {K::operand, "", 1, true}, {K::text, "}"}};
    static constexpr Step binary_grouped[] = {{K::label, "("},
                                              {K::operand, "", 1, true},
                                              {K::text, ","},
                                              {K::operand, "", 2, true},
                                              {K::text, ")"}};
    static constexpr Step square[] = {{K::operand, "", 1, true}, {K::text, "^2"}};
    static constexpr Step unary_grouped[] = {
        {K::label, "("}, {K::operand, "", 1, true}, {K::text, ")"}};
    switch (form) {
        case Form::aggregate: return aggregate;
        case Form::infix: return infix;
        case Form::plain_grouped: return plain_grouped;
        case Form::unary_plain: return unary_plain;
        case Form::square_root: return square_root;
        case Form::binary_grouped: return binary_grouped;
        case Form::square: return square;
        case Form::unary_grouped: return unary_grouped;
    }
    return {};
}

// One name being rendered. Its parts are views into the text given to render_formula (a nested
// name is a piece of its parent), so deep nesting costs no copies of the name.
struct Frame {
    std::vector<std::string_view> parts;  // keyword, then the top-level arguments
    const Template* tpl = nullptr;
    std::size_t depth = 0;
    std::size_t pc = 0;  // next step of the template's program
    std::string out;
};

// Nested names are rendered with an explicit stack of frames rather than by recursion, so that no
// nesting depth can exhaust the C stack of the calling thread (threads may have small stacks);
// nesting deeper than max_depth is an error, as the interpreter's recursion limit is for the
// recursive Python form.
class Renderer {
public:
    Renderer(const Capitalizer& capitalize, std::size_t max_depth)
        : capitalize_(capitalize), max_depth_(max_depth) {}

    FormulaResult render(std::string_view name) {
        FormulaResult r;
        Frame top;
        if (const FormulaError e = open(name, 0, top); e != FormulaError::none) return fail(e);
        if (!top.tpl) return r;  // no template: no formula, no error
        std::vector<Frame> stack;
        stack.push_back(std::move(top));
        while (true) {
            Frame& f = stack.back();
            const std::span<const Step> steps = program(f.tpl->form);
            if (f.pc == steps.size()) {
                std::string text = std::move(f.out);
                stack.pop_back();
                if (stack.empty()) {
                    r.has_formula = true;
                    r.text = std::move(text);
                    return r;
                }
                // the parent waits at the operand step that opened this frame
                Frame& parent = stack.back();
                const Step& waiting = program(parent.tpl->form)[parent.pc];
                if (waiting.grouped) parent.out += "(";
                parent.out += text;
                if (waiting.grouped) parent.out += ")";
                ++parent.pc;
                continue;
            }
            const Step& step = steps[f.pc];
            switch (step.kind) {
                case Step::text:
                    f.out += step.text_or_suffix;
                    break;
                case Step::label:
                    f.out += f.tpl->label;
                    f.out += step.text_or_suffix;
                    break;
                case Step::aggregate_head: {
                    if (step.part >= f.parts.size()) return fail(FormulaError::missing_part);
                    const std::string_view stat = f.parts[step.part];
                    f.out += f.tpl->label;
                    f.out += capitalize_(is_combination(stat) ? std::string(stat)
                                                              : escape_underscores(stat));
                    f.out += "(";
                    break;
                }
                case Step::operand: {
                    if (step.part >= f.parts.size()) return fail(FormulaError::missing_part);
                    const std::string_view a = f.parts[step.part];
                    if (!is_combination(a)) {
                        f.out += escape_underscores(a);
                        break;
                    }
                    Frame child;
                    if (const FormulaError e = open(a, f.depth + 1, child);
                        e != FormulaError::none)
                        return fail(e);
                    if (!child.tpl) return fail(FormulaError::nested_none);
                    stack.push_back(std::move(child));  // f is not used past this point
                    continue;                           // the step completes with the child
                }
            }
            ++f.pc;
        }
    }

private:
    static FormulaResult fail(FormulaError e) {
        FormulaResult r;
        r.error = e;
        return r;
    }

    // Parses `name` into `f`; f.tpl stays null when the keyword has no template.
    FormulaError open(std::string_view name, std::size_t depth, Frame& f) const {
        if (depth > max_depth_) return FormulaError::too_deep;
        const SplitResult split = split_feature_name(bytes(name));
        if (split.error == SplitError::past_end) return FormulaError::past_end;
        if (split.error == SplitError::empty_stack) return FormulaError::empty_stack;
        f.depth = depth;
        for (std::size_t k = 0; k < split.count; ++k) {
            const Piece p = split.pieces[k];
            f.parts.push_back(p.end <= p.begin ? std::string_view{}
                                               : name.substr(p.begin, p.end - p.begin));
        }
        const auto it = std::find_if(kTemplates.begin(), kTemplates.end(),
                                     [&](const Template& t) { return t.keyword == f.parts[0]; });
        if (it != kTemplates.end()) f.tpl = &*it;
        return FormulaError::none;
    }

    const Capitalizer& capitalize_;
    std::size_t max_depth_;
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

FormulaResult render_formula(std::string_view name, const Capitalizer& capitalize,
                             std::size_t max_depth) {
    return Renderer(capitalize, max_depth).render(name);
}

}  // namespace orvalis::core
