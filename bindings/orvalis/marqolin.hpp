// Internal header of class marqolin: one file per concern (load, preprocess, predict, codec,
// data, report, plots) adds its methods to the class namespace; marqolin.cpp builds the class.
#pragma once

#include <string>

#include "orvalis/orvalis.hpp"

namespace orvalis::api {

using bind::py_assert;
using bind::raise_arg_type;
using bind::require_exact_str;

// Module attributes (the imports of the module body), looked up at call time.
class Module {
  public:
    explicit Module(py::handle m) : m_(m) {}
    py::object operator[](const char* name) const { return m_.attr(name); }
    py::handle handle() const { return m_; }

  private:
    py::handle m_;  // the module outlives every call of its functions
};

// Stores `fn` in the class namespace as a plain instance method (for __init__).
void store_method(py::dict& ns, const char* name, const py::cpp_function& fn);

// Adds `fn` as the method `name`, for a method whose defaults are objects that a text signature
// cannot spell: the text signature writes them as None and `defaults` gives the real default per
// parameter; `shown` optionally gives the text that help() prints for such a default (instead of
// the object's repr, which may carry a memory address).
void add_method_with_defaults(py::dict& ns, const char* name, const py::cpp_function& fn,
                              const py::dict& defaults, const py::dict& shown = py::dict());

// The method object that add_method_with_defaults stores: `fn` (whose first parameter is self)
// bound like a function, with __signature__, __name__, __qualname__ (owner.name) and __doc__.
py::object native_method(const char* owner, const char* name, const py::cpp_function& fn,
                         const py::dict& defaults = py::dict(), const py::dict& shown = py::dict());

// Adds `f` to the class namespace as the method `name`; `signature` is its text signature with
// `self` first, e.g. "predict(self, test_path)", so inspect.signature and help() show it.
template <class F, class... Extra>
void add_method(py::dict& ns, const char* name, F&& f, const char* signature, const char* doc,
                const Extra&... extra) {
    std::string text = bind::sig_doc(signature, doc);
    add_method_with_defaults(
        ns, name, py::cpp_function(std::forward<F>(f), py::name(name), extra..., text.c_str()),
        py::dict());
}

// An argument annotated Optional[str]: a str or None.
inline void require_optional_str(py::handle value, const char* arg) {
    if (!value.is_none()) require_exact_str(value, arg);
}

// Whether `value` is an os.PathLike that is not a str (pathlib.Path, os.DirEntry, ...).
inline bool is_path_like(py::handle value) {
    return !PyUnicode_Check(value.ptr()) &&
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())),
                                  "__fspath__") == 1;
}

// A path argument: a str, or an os.PathLike whose os.fspath() is a str; its text. Anything else
// (bytes paths included) is refused with the interpreter's wording for an argument's type.
inline py::str path_text(py::handle value, const char* arg) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    if (is_path_like(value)) {
        auto text = py::reinterpret_steal<py::object>(PyOS_FSPath(value.ptr()));
        if (!text) throw py::error_already_set();
        if (PyUnicode_Check(text.ptr())) return py::str(text);
    }
    raise_arg_type(arg, "str or os.PathLike", value);
}

// An optional path argument: None, or path_text of it.
inline py::object optional_path_text(py::handle value, const char* arg) {
    if (value.is_none()) return py::none();
    return path_text(value, arg);
}

// print(text) to the interpreter's standard output.
inline void py_print(const py::object& text) {
    py::module_::import("builtins").attr("print")(text);
}

// `open(path, "rb")`, `fn(file)`, close: the file is closed before the caller goes on.
template <class Fn>
py::object with_binary_file(const py::object& path, Fn&& fn) {
    py::object file = py::module_::import("builtins").attr("open")(path, "rb");
    py::object result;
    try {
        result = fn(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return result;
}

template <class... Items>
py::list make_list(Items&&... items) {
    py::list out;
    (out.append(std::forward<Items>(items)), ...);
    return out;
}

inline bool in_columns(const py::object& df, py::handle name) {
    return df.attr("columns").attr("tolist")().contains(name);
}

// Adds `note` to the caught Python exception (BaseException.add_note): the traceback shows it
// under the exception's own message, whose type and arguments stay as they are.
inline void add_note(py::error_already_set& e, const std::string& note) {
    py::object value = e.value();
    if (value && py::hasattr(value, "add_note")) value.attr("add_note")(py::str(note));
}

// Runs fn; a Python exception it raises gets `note()` added and propagates unchanged otherwise.
template <class Fn, class Note>
auto with_note(Fn&& fn, Note&& note) -> decltype(fn()) {
    try {
        return fn();
    } catch (py::error_already_set& e) {
        add_note(e, note());
        throw;
    }
}

// True when the caught error is an Exception (not KeyboardInterrupt, SystemExit, ...).
inline bool is_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// preprocess(input, return_y) without its public face: the frame in the model's input form, and
// whether the model search's input transformation was applied to it (predict then hands it to
// the trained estimator as it is, instead of transforming it a second time).
struct ModelInput {
    py::object frame;
    bool transformed = false;
};
// `statistics`: frozen statistics for the feature engine, or None for the batch's own.
ModelInput prepare_input(const Module& m, py::object self, py::object input,
                         const py::object& return_y, const py::object& statistics);

// A NumPy array of raw rows as a frame with the training table's raw feature columns.
py::object frame_of_array(const Module& m, const py::object& self, const py::object& array);

// The labels that the folder's encoder of column `key` gives back for `values` (an array, a
// Series), when the record has an encoder for it and every value is one of the encoder's integer
// codes; None otherwise (no encoder, or values that are labels already).
py::object decoded_labels(const Module& m, const py::object& self, py::handle key,
                          const py::object& values);

// Checks the caller's table before preprocessing changes or builds anything (see
// marqolin_checks.cpp); raises with one message that says what is wrong.
void check_input(const Module& m, const py::object& self, const py::object& df);

void add_load_methods(const Module& m, py::dict& ns);
void add_preprocess_methods(const Module& m, py::dict& ns);
void add_predict_methods(const Module& m, py::dict& ns);
void add_codec_methods(const Module& m, py::dict& ns);
void add_data_methods(const Module& m, py::dict& ns);
void add_report_methods(const Module& m, py::dict& ns);
void add_plot_methods(const Module& m, py::dict& ns);

}  // namespace orvalis::api
