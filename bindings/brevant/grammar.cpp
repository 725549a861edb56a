// Delimiters, operator keywords, the constant lists, and the name parser.
#include <pybind11/stl.h>

#include <utility>
#include <vector>

#include "brevant/brevant.hpp"
#include "orvalis/core/feature_name.hpp"

namespace orvalis::brevant {
namespace {

namespace core = orvalis::core;
using Attrs = std::vector<std::pair<const char*, const char*>>;

// A plain class carrying text constants, created with type() so that it is an ordinary Python
// class (never instantiated) whose attributes keep their definition order.
py::object constant_class(py::module_& m, const char* name, py::object doc, const Attrs& attrs) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    for (const auto& [key, value] : attrs) ns[key] = py::str(value);
    return py::module_::import("builtins").attr("type")(name, py::make_tuple(), ns);
}

template <class F>
auto with_units(py::handle text, F&& f) {
    PyObject* s = text.ptr();
    const void* data = PyUnicode_DATA(s);
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return f(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), n));
        case PyUnicode_2BYTE_KIND:
            return f(std::span<const std::uint16_t>(static_cast<const std::uint16_t*>(data), n));
        default:
            return f(std::span<const std::uint32_t>(static_cast<const std::uint32_t*>(data), n));
    }
}

}  // namespace

py::list split_features(py::handle key) {
    bind::require_exact_str(key, "key");
    auto r = with_units(key, [](auto units) { return core::split_feature_name(units); });
    if (r.error == core::SplitError::past_end) throw py::index_error("string index out of range");
    if (r.error == core::SplitError::empty_stack) throw py::index_error("pop from empty list");
    py::list out(r.count);
    for (std::size_t k = 0; k < r.count; ++k) {
        const auto& p = r.pieces[k];
        const auto begin = static_cast<Py_ssize_t>(p.begin);
        const auto end = p.end <= p.begin ? begin : static_cast<Py_ssize_t>(p.end);
        PyObject* piece = PyUnicode_Substring(key.ptr(), begin, end);
        if (!piece) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), piece);
    }
    return out;
}

namespace {

// split_features as a plain CPython function: it is called once per name and per nesting level,
// and the generic binding layer would cost more than the scan itself.
PyObject* split_features_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* key = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != 1) {
        PyErr_Format(PyExc_TypeError, "split_features() takes exactly 1 argument (%zd given)",
                     nargs + nkw);
        return nullptr;
    }
    if (nargs == 1) {
        key = args[0];
    } else if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "key") == 0) {
        key = args[0];
    } else {
        PyErr_Format(PyExc_TypeError, "split_features() got an unexpected keyword argument '%U'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    try {
        return split_features(key).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

const std::string kSplitDoc = sig_doc(
    "split_features(key)",
    "Split a feature name into its keyword and top-level arguments.\n\n"
    "Returns [keyword, arg1(, arg2(, arg3))]; a plain column name gives two empty texts. Raises "
    "IndexError when a delimiter runs past the end of the text or a '$$$' closes no open '###'.");

PyMethodDef kSplitDef = {
    "split_features",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&split_features_fast)),
    METH_FASTCALL | METH_KEYWORDS, kSplitDoc.c_str()};

}  // namespace

bool is_combination_feature(py::handle feature_name) {
    if (!PyUnicode_Check(feature_name.ptr())) {
        // The reference counts characters of whatever it is given; only text can hold any.
        throw py::type_error("is_combination_feature() expects a str, got " +
                             std::string(Py_TYPE(feature_name.ptr())->tp_name));
    }
    return with_units(feature_name, [](auto units) { return core::is_combination_feature(units); });
}

void register_grammar(py::module_& m) {
    m.attr("Const") = constant_class(m, "Const", py::none(),
                                     {{"feature_separator", "|||"},
                                      {"head_character", "###"},
                                      {"tail_character", "$$$"},
                                      {"time_feature_separator", "@@@"}});
    m.attr("FeatureType") = constant_class(m, "FeatureType", py::str("Feature Type class"),
                                           {{"COUNT", "count"},
                                            {"CROSSCOUNT", "crosscount"},
                                            {"AGGREGATE", "aggregate"},
                                            {"NUNIQUE", "nunique"},
                                            {"HISTSTAT", "histstat"},
                                            {"TARGET", "target"},
                                            {"ADD", "add"},
                                            {"SUBTRACT", "subtract"},
                                            {"ENTROPY", "entropy"},
                                            {"MULTIPLY", "multiply"},
                                            {"SINE", "sine"},
                                            {"COSINE", "cosine"},
                                            {"SQUARE_ROOT", "square_root"},
                                            {"PERCENTILE", "percentile"},
                                            {"DIVIDE", "divide"},
                                            {"QUADRATIC", "quadratic"},
                                            {"COMBINE", "combine"},
                                            {"LOG", "log"},
                                            {"SIGMOID", "sigmoid"},
                                            {"ROUND", "round"},
                                            {"RESIDUAL", "residual"},
                                            {"MINIMIZE", "minimize"},
                                            {"MAXIMIZE", "maximize"}});

    py::list aggregate_type;
    for (const char* s : {"min", "max", "mean", "median", "var"}) aggregate_type.append(s);
    m.attr("AGGREGATE_TYPE") = aggregate_type;
    py::list add_probability;
    add_probability.append(0.5);
    m.attr("ADD_PROBABILITY") = add_probability;
    py::list time_span;
    for (int k : {1, 2, 3}) time_span.append(k);
    m.attr("TIME_SPAN") = time_span;

    m.attr("TimeFeatureType") =
        constant_class(m, "TimeFeatureType", py::str("Time Feature Type Class"),
                       {{"DAY_OF_YEAR", "day_of_year"},
                        {"DAY_OF_WEEK", "day_of_week"},
                        {"MONTH", "month"},
                        {"YEAR", "year"},
                        {"DELAY", "delay"},
                        {"COUNT", "count"},
                        {"SUM", "sum"},
                        {"SUBTRACT", "subtract"},
                        {"MULTIPLY", "multiply"},
                        {"DIVIDE", "divide"},
                        {"BIGGER", "bigger"},
                        {"SMALLER", "smaller"},
                        {"EQUAL", "equal"},
                        {"OROP", "orop"},
                        {"CROSSRANK", "crossrank"},
                        {"TCORRELATION", "tcorrelation"},
                        {"TCOVARIANCE", "tcorvariance"},
                        {"TSUM", "tsum"},
                        {"PRODUCT", "product"},
                        {"SOFTMAX", "softmax"},
                        {"DELTA", "delta"},
                        {"INDNEUTRALIZE", "indneutralize"},
                        {"DECAY_LINEAR", "decay_linear"},
                        {"TS_MIN", "ts_min"},
                        {"TS_MAX", "ts_max"},
                        {"TS_ARGMAX", "ts_argmax"},
                        {"TS_ARGMIN", "ts_argmin"},
                        {"TS_RANK", "ts_rank"},
                        {"STDDEV", "stddev"},
                        {"TS_MEAN", "ts_mean"},
                        {"TS_O", "ts_o"}});

    m.add_object("split_features", py::reinterpret_steal<py::object>(PyCFunction_NewEx(
                                       &kSplitDef, nullptr, m.attr("__name__").ptr())));
    m.def("is_combination_feature", &is_combination_feature, py::arg("feature_name"),
          sig_doc("is_combination_feature(feature_name)",
                  "True when the text holds at least three '$' and three '#' characters.")
              .c_str());
}

}  // namespace orvalis::brevant
