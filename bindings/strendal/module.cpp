// Module body of strendal: LabelEncoderWithOOV, scikit-learn's LabelEncoder that codes labels
// unseen in fitting as an out-of-vocabulary token. The class is a true Python subclass of
// LabelEncoder (made with type()), so isinstance, get_params, clone and pickle work as for any
// scikit-learn estimator; its three methods are native functions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
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

// The labels of y in iteration order, as a tuple of strong references: whatever the caller's
// container, another thread or a label's own __eq__ does to y meanwhile, the labels read here
// stay alive and in place. One-dimensional arrays of objects, texts, numbers or booleans (NumPy
// arrays, pandas Series and Index) are read through NumPy, which hands out values equal to the
// ones iterating them gives, only much faster; anything else is iterated.
py::tuple labels_of(py::handle y) {
    py::object source = py::reinterpret_borrow<py::object>(y);
    if (!PyList_Check(y.ptr()) && !PyTuple_Check(y.ptr()) && py::hasattr(y, "__array__")) {
        py::object arr = numpy().attr("asarray")(y);
        if (arr.attr("ndim").cast<int>() == 1) {
            auto kind = arr.attr("dtype").attr("kind").cast<std::string>();
            if (kind.size() == 1 && std::string_view("OUbiuf").find(kind[0]) != std::string_view::npos)
                source = arr.attr("tolist")();
        }
    }
    PyObject* copy = PySequence_Tuple(source.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::tuple>(copy);
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

// The array the token is appended to. Fitted labels that are not texts (numbers, booleans, dates)
// are first put into an object array holding the fitted labels themselves: np.append of the text
// token would turn them into texts, which no label of the fitted kind equals any more, and
// inverse_transform would hand back texts. An object array keeps every fitted value and its
// type, and the base transform codes it by a hash lookup that needs no sorted classes.
py::object own_values(const py::object& classes) {
    py::object np = numpy();
    if (!py::isinstance(classes, np.attr("ndarray")) || classes.attr("ndim").cast<int>() != 1)
        return classes;
    auto kind = classes.attr("dtype").attr("kind").cast<std::string>();
    if (kind == "U" || kind == "O") return classes;
    py::object values = np.attr("empty")(py::len(classes), "dtype"_a = "object");
    values[py::slice(py::none(), py::none(), py::none())] = py::list(classes);
    return values;
}

// classes_ gets the token as its last element unless it already ends with it, so repeated calls
// keep classes_ and every code as the first call made them.
py::object classes_with_token(py::object self, py::handle token) {
    py::object classes = self.attr("classes_");
    py::object extended = numpy().attr("append")(own_values(classes), token);
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

// A float NaN of any width (float, NumPy's float16/32/64 and longdouble). Errors count as no.
bool is_nan(py::handle value, py::handle np_floating) {
    if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    const int floating = PyObject_IsInstance(value.ptr(), np_floating.ptr());
    if (floating != 1) {
        if (floating < 0) PyErr_Clear();
        return false;
    }
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return std::isnan(v);
}

// "label in classes". Against a NumPy text array, NumPy's own comparison (trailing NUL
// characters do not count, and a label that is not a text equals none of them, whatever text it
// prints as). Other classes are looked up in a hash set of their values, falling back on NumPy's
// comparison for a label that cannot be hashed; a NaN label is held when the classes hold a NaN,
// as the base encoder codes it.
class Membership {
public:
    explicit Membership(py::object classes) : classes_(std::move(classes)) {
        py::object np = numpy();
        np_floating_ = np.attr("floating");
        if (py::isinstance(classes_, np.attr("ndarray")) &&
            classes_.attr("dtype").attr("kind").cast<std::string>() == "U") {
            texts_ = true;
            return;
        }
        PyObject* values = PyFrozenSet_New(classes_.ptr());
        if (values == nullptr)
            PyErr_Clear();  // not iterable or a value cannot be hashed: NumPy compares
        else
            values_ = py::reinterpret_steal<py::object>(values);
    }

    bool contains(py::handle label) {
        if (values_) {
            const int found = PySet_Contains(values_.ptr(), label.ptr());
            if (found == 1) return true;
            if (found == 0) return is_nan(label, np_floating_) && holds_nan();
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();  // an unhashable label
        }
        if (texts_) return contained(label);
        return contained(label) || (is_nan(label, np_floating_) && holds_nan());
    }

private:
    bool contained(py::handle label) const {
        const int found = PySequence_Contains(classes_.ptr(), label.ptr());
        if (found < 0) throw py::error_already_set();
        return found == 1;
    }

    bool holds_nan() {
        if (!holds_nan_) {
            holds_nan_ = false;
            for (py::handle value : classes_)
                if (is_nan(value, np_floating_)) {
                    holds_nan_ = true;
                    break;
                }
        }
        return *holds_nan_;
    }

    py::object classes_;
    py::object np_floating_;
    py::object values_;
    bool texts_ = false;
    std::optional<bool> holds_nan_;
};

py::object transform(py::object self, py::object y) {
    py::object token = self.attr("oov_token");
    py::object base = label_encoder();
    py::object classes;
    if (!token.is_none()) classes = classes_with_token(self, token);
    py::tuple labels = labels_of(y);
    const Py_ssize_t n = PyTuple_GET_SIZE(labels.ptr());
    if (token.is_none()) {
        if (n == 0) return base.attr("transform")(self, py::list());
        classes = self.attr("classes_");
    }
    if (auto codes = text_codes(classes, token, labels)) return *codes;

    // general rule: a label stays when the classes hold it, else the token takes its place. The
    // comparisons may run any Python code; the tuple and classes are this call's own references.
    Membership membership(classes);
    py::list kept(n);
    for (Py_ssize_t k = 0; k < n; ++k) {
        py::handle label = PyTuple_GET_ITEM(labels.ptr(), k);
        kept[static_cast<std::size_t>(k)] =
            membership.contains(label) ? py::reinterpret_borrow<py::object>(label) : token;
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
