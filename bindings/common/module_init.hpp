// ORVALIS_MODULE(name, m): PYBIND11_MODULE(name, m) with one difference: an exception raised by
// the module body reaches the importer as it is. pybind11's own exec slot turns every Python
// error into ImportError("initialization failed") and hides the real one (a missing dependency,
// a failing import of a platform layer) in __cause__; callers must see the body's own error.
#pragma once

#include <pybind11/pybind11.h>

// The exec slot named pybind11_exec_<name>, which PYBIND11_MODULE_PYINIT registers.
#define ORVALIS_MODULE_EXEC(name, variable)                                                        \
    static void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_&);                       \
    int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * pm) {                                     \
        try {                                                                                      \
            ::pybind11::detail::ensure_internals();                                                \
            auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(pm);                      \
            if (!::pybind11::detail::get_cached_module(m.attr("__spec__").attr("name"))) {         \
                PYBIND11_CONCAT(pybind11_init_, name)(m);                                          \
                ::pybind11::detail::cache_completed_module(m);                                     \
            }                                                                                      \
            return 0;                                                                              \
        } catch (...) {                                                                            \
            /* the same translation as a bound function's: Python errors restored unchanged */   \
            ::pybind11::detail::try_translate_exceptions();                                        \
        }                                                                                          \
        return -1;                                                                                 \
    }                                                                                              \
    void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_ & (variable))

#define ORVALIS_MODULE(name, variable)                                                             \
    PYBIND11_MODULE_PYINIT(name)                                                                   \
    ORVALIS_MODULE_EXEC(name, variable)
