// Module body of strendal: LabelEncoderWithOOV, scikit-learn's LabelEncoder that codes labels
// unseen in fitting as an out-of-vocabulary token. The class is a true Python subclass of
// LabelEncoder (made with type()), so isinstance, get_params, clone and pickle work as for any
// scikit-learn estimator; its three methods are native functions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/pyutil.hpp"
#include "orvalis/core/string_codes.hpp"

namespace {

namespace py = pybind11;
using namespace pybind11::literals;
using orvalis::bind::sig_doc;

constexpr const char* kModule = "orvalis.module.dataprocess.strendal";
constexpr const char* kClass = "LabelEncoderWithOOV";

py::object label_encoder() {
    return py::module_::import("sklearn.preprocessing").attr("LabelEncoder");
}

py::object numpy() { return py::module_::import("numpy"); }

// The labels of y in iteration order. Lists and tuples are used as they are; arrays of objects
// or texts (NumPy arrays, pandas Series and Index) are read through NumPy, which hands out the
// same values that iterating them gives, only much faster; anything else is iterated.
py::object labels_of(py::handle y) {
    if (PyList_Check(y.ptr()) || PyTuple_Check(y.ptr()))
        return py::reinterpret_borrow<py::object>(y);
    if (py::hasattr(y, "__array__")) {
        py::object arr = numpy().attr("asarray")(y);
        if (arr.attr("ndim").cast<int>() == 1) {
            auto kind = arr.attr("dtype").attr("kind").cast<std::string>();
            if (kind == "O" || kind == "U") return arr.attr("tolist")();
        }
    }
    return py::reinterpret_borrow<py::object>(y);  // PySequence_Fast iterates it
}

// Whether every element is a text compared by value (str, or NumPy's str scalar), with its UTF-8
// bytes. For a vocabulary of NumPy texts (strip_nul) trailing NUL characters do not count, as in
// NumPy's own comparison of fixed-width texts.
bool text_views(py::handle seq, py::handle np_str, bool strip_nul,
                std::vector<std::string_view>& out) {
    PyObject* fast = seq.ptr();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    PyObject** items = PySequence_Fast_ITEMS(fast);
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = items[k];
        if (!PyUnicode_CheckExact(item) &&
            Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(np_str.ptr()))
            return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) {  // lone surrogates have no UTF-8 form
            PyErr_Clear();
            return false;
        }
        std::string_view text(data, static_cast<std::size_t>(size));
        if (strip_nul)
            while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
        out[static_cast<std::size_t>(k)] = text;
    }
    return true;
}

// The codes the base transform gives for the labels after unseen ones were replaced by the
// token, computed with one hash table when classes, token and labels are all texts. Empty when
// they are not; the caller then applies the general rule.
std::optional<py::object> text_codes(py::handle classes, py::handle token, py::handle labels) {
    if (token.is_none() || PySequence_Fast_GET_SIZE(labels.ptr()) == 0) return std::nullopt;
    py::object np = numpy();
    if (!py::isinstance(classes, np.attr("ndarray")) || classes.attr("ndim").cast<int>() != 1)
        return std::nullopt;
    auto kind = classes.attr("dtype").attr("kind").cast<std::string>();
    if (kind != "U" && kind != "O") return std::nullopt;
    const bool fixed_width = kind == "U";
    py::object np_str = np.attr("str_");
    py::list vocab_items = classes.attr("tolist")();
    py::list token_items;
    token_items.append(token);
    std::vector<std::string_view> vocab, token_view, label_views;
    if (!text_views(vocab_items, np_str, false, vocab) ||
        !text_views(token_items, np_str, fixed_width, token_view) ||
        !text_views(labels, np_str, fixed_width, label_views))
        return std::nullopt;
    std::int64_t token_code = -1;
    orvalis::core::string_codes(vocab, token_view, -1, {&token_code, 1});
    if (token_code < 0) return std::nullopt;
    py::array_t<std::int64_t> codes(static_cast<py::ssize_t>(label_views.size()));
    std::span<std::int64_t> out(codes.mutable_data(), label_views.size());
    {
        // the views point into text objects that vocab_items and labels keep alive
        py::gil_scoped_release nogil;
        orvalis::core::string_codes(vocab, label_views, token_code, out);
    }
    return codes;
}

// classes_ gets the token as its last element unless it already ends with it, so repeated calls
// keep classes_ and every code as the first call made them.
py::object classes_with_token(py::object self, py::handle token) {
    py::object classes = self.attr("classes_");
    py::object extended = numpy().attr("append")(classes, token);
    const Py_ssize_t n = PyObject_Length(classes.ptr());
    if (n < 0) throw py::error_already_set();
    if (n > 0) {
        py::object last = extended[py::int_(n - 1)];
        py::object added = extended[py::int_(n)];
        int same = PyObject_RichCompareBool(last.ptr(), added.ptr(), Py_EQ);
        if (same < 0) PyErr_Clear();
        if (same == 1) return classes;
    }
    self.attr("classes_") = extended;
    return extended;
}

py::object transform(py::object self, py::object y) {
    py::object token = self.attr("oov_token");
    py::object base = label_encoder();
    py::object classes;
    if (!token.is_none()) classes = classes_with_token(self, token);
    py::object labels = py::reinterpret_steal<py::object>(
        PySequence_Fast(labels_of(y).ptr(), "labels must be iterable"));
    if (!labels) throw py::error_already_set();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(labels.ptr());
    if (token.is_none()) {
        if (n == 0) return base.attr("transform")(self, py::list());
        classes = self.attr("classes_");
    }
    if (auto codes = text_codes(classes, token, labels)) return *codes;

    // general rule: a label stays when the classes array holds it, else the token takes its place
    py::list kept(n);
    PyObject** items = PySequence_Fast_ITEMS(labels.ptr());
    for (Py_ssize_t k = 0; k < n; ++k) {
        int member = PySequence_Contains(classes.ptr(), items[k]);
        if (member < 0) throw py::error_already_set();
        kept[static_cast<std::size_t>(k)] =
            member ? py::reinterpret_borrow<py::object>(items[k]) : token;
    }
    return base.attr("transform")(self, kept);
}

py::object method(py::cpp_function fn) {
    PyObject* wrapped = PyInstanceMethod_New(fn.ptr());
    if (wrapped == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(wrapped);
}

}  // namespace

#include "common/module_init.hpp"
ORVALIS_MODULE(strendal, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Label encoder that codes labels unseen in fitting as an out-of-vocabulary token.";

    py::object base = py::module_::import("sklearn.preprocessing").attr("LabelEncoder");
    m.attr("LabelEncoder") = base;
    m.attr("np") = py::module_::import("numpy");

    py::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = kClass;
    // the text signature makes inspect.signature(LabelEncoderWithOOV) show the parameter
    ns["__doc__"] =
        "LabelEncoderWithOOV(oov_token='OOV')\n--\n\n"
        "LabelEncoder whose transform codes labels unseen in fitting as ``oov_token``.\n\n"
        "After fit on n distinct labels, transform gives seen labels their position 0..n-1 in\n"
        "the sorted classes and unseen labels the code n: the token is appended to classes_\n"
        "(once), so inverse_transform of n gives the token. ``oov_token=None`` turns the\n"
        "out-of-vocabulary mapping off.";
    ns["__init__"] = method(py::cpp_function(
        [](py::object self, py::object oov_token) {
            self.attr("oov_token") = oov_token;
            label_encoder().attr("__init__")(self);
        },
        py::name("init"), py::arg("self"), py::arg("oov_token") = "OOV",
        sig_doc("init(self, oov_token='OOV')", "Encoder with the given out-of-vocabulary token.")
            .c_str()));
    ns["fit"] = method(py::cpp_function(
        [](py::object self, py::object y) { label_encoder().attr("fit")(self, y); },
        py::name("fit"), py::arg("self"), py::arg("y"),
        sig_doc("fit(self, y)",
                "Fit the classes to the sorted distinct labels of y. Returns None (the token is "
                "added by transform).")
            .c_str()));
    ns["transform"] = method(py::cpp_function(
        &transform, py::name("transform"), py::arg("self"), py::arg("y"),
        sig_doc("transform(self, y)",
                "Integer codes of the labels of y; labels not among the classes get the code of "
                "the out-of-vocabulary token.")
            .c_str()));

    py::object metaclass =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    py::object cls =
        metaclass(kClass, py::make_tuple(base), ns, "auto_wrap_output_keys"_a = py::none());
    orvalis::bind::clean_class_doc(cls);
    m.attr(kClass) = cls;
}
