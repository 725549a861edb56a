// name2formula: a feature name rendered as a LaTeX formula by the core renderer. Text crosses as
// UTF-8 with lone surrogates passed through, so any str the caller holds renders.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>
#include <string_view>

#include "brevant/brevant.hpp"
#include "orvalis/core/formula.hpp"

namespace orvalis::brevant {
namespace {

namespace core = orvalis::core;

std::string to_utf8(py::handle text) {
    py::object encoded = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!encoded) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

py::str from_utf8(std::string_view text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                       "surrogatepass");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// str.capitalize(), done natively for ASCII and by the interpreter otherwise (Unicode title case).
std::string capitalize(std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return core::ascii_capitalize(text);
    return to_utf8(from_utf8(text).attr("capitalize")());
}

py::object name2formula(py::handle input_str) {
    bind::require_exact_str(input_str, "key");
    // Each nesting level (at most one per "###") counts against the interpreter's recursion
    // limit, as the Python form's recursion would; the renderer keeps its frames on the heap.
    const std::string text = to_utf8(input_str);
    std::size_t levels = 0;
    for (std::size_t at = text.find(kHead); at != std::string::npos; at = text.find(kHead, at + 3))
        ++levels;
    levels = std::min<std::size_t>(levels, core::kMaxFormulaDepth + 2);
    std::vector<std::unique_ptr<bind::RecursionGuard>> guards;
    for (std::size_t k = 0; k < levels; ++k)
        guards.push_back(std::make_unique<bind::RecursionGuard>(" while rendering a formula", 0));
    const core::FormulaResult r = core::render_formula(text, capitalize);
    switch (r.error) {
        case core::FormulaError::none:
            break;
        case core::FormulaError::past_end:
            throw py::index_error("string index out of range");
        case core::FormulaError::empty_stack:
            throw py::index_error("pop from empty list");
        case core::FormulaError::missing_part:
            throw py::index_error("list index out of range");
        case core::FormulaError::nested_none:
            // The nested operand renders as None, and None cannot be joined into the text.
            throw py::type_error("can only concatenate str (not \"NoneType\") to str");
        case core::FormulaError::too_deep:
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            throw py::error_already_set();
    }
    if (!r.has_formula) return py::none();
    return from_utf8(r.text);
}

}  // namespace

void register_formula(py::module_& m) {
    m.def("name2formula", &name2formula, py::arg("input_str"),
          sig_doc("name2formula(input_str)",
                  "The LaTeX formula of a feature name, e.g. add###a|||b$$$ -> a+b; nested "
                  "operands are parenthesised where the operator needs it. None when the "
                  "operator has no formula.")
              .c_str());
}

}  // namespace orvalis::brevant
