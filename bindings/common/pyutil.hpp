// Small helpers shared by the extension modules: exact argument checks with the messages callers
// rely on, and docstrings that carry a text signature for inspect.signature() and help().
#pragma once

#include <pybind11/pybind11.h>

#include <pthread.h>

#include <cstdint>
#include <string>

namespace orvalis::bind {

namespace py = pybind11;

// "Argument 'key' has incorrect type (expected str, got int)", the interpreter's wording for an
// annotated argument of the wrong type.
[[noreturn]] inline void raise_arg_type(const char* arg, const char* expected, py::handle got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw py::error_already_set();
}

inline void require_exact_str(py::handle value, const char* arg) {
    if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(arg, "str", value);
}

inline void require_exact_list(py::handle value, const char* arg) {
    if (!PyList_CheckExact(value.ptr())) raise_arg_type(arg, "list", value);
}

// `assert cond[, message]`; skipped like the interpreter's own assert under -O.
inline void py_assert(bool cond, const char* message = nullptr) {
    if (cond || Py_OptimizeFlag) return;
    if (message)
        PyErr_SetString(PyExc_AssertionError, message);
    else
        PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

// list(seq): a new list of the items of any iterable (TypeError when it is not one). Iterating the
// copy is safe whatever code that runs meanwhile does to `seq`.
inline py::list snapshot_list(py::handle seq) {
    PyObject* items = PySequence_List(seq.ptr());
    if (!items) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(items);
}

// Bytes of C stack left below the current frame on this thread.
inline std::size_t stack_remaining() {
    thread_local const char* low = nullptr;
    if (low == nullptr) {
        pthread_attr_t attr;
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &addr, &size);
            pthread_attr_destroy(&attr);
        }
        low = static_cast<const char*>(addr);
    }
    char here = 0;
    const char* top = &here;
    return low != nullptr && top > low ? static_cast<std::size_t>(top - low) : SIZE_MAX;
}

[[noreturn]] inline void raise_recursion(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    throw py::error_already_set();
}

// Py_EnterRecursiveCall for the scope: native recursion counts against sys.getrecursionlimit()
// as Python recursion does, and raises RecursionError instead of exhausting the C stack (also
// on threads with a small stack: `reserve` bytes are kept for the work done at the deepest level).
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where, std::size_t reserve = 128 * 1024) {
        if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
        if (stack_remaining() < reserve) {
            Py_LeaveRecursiveCall();
            raise_recursion(where);
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// A docstring whose first line is the text signature: "name(a, b='x')\n--\n\n" + doc.
inline std::string sig_doc(const char* signature, const char* doc = "") {
    return std::string(signature) + "\n--\n\n" + doc;
}

// A class made with type() keeps the docstring it was created with as its text signature
// (inspect.signature reads it); __doc__ itself is then set without the signature lines.
inline void clean_class_doc(py::handle cls) {
    std::string doc = py::str(cls.attr("__doc__"));
    auto cut = doc.find("\n--\n\n");
    if (cut != std::string::npos) cls.attr("__doc__") = doc.substr(cut + 5);
}

}  // namespace orvalis::bind
