// Module attributes imported on first use. A module body that names a heavy module (one whose
// import takes a large share of a second) checks that its package is installed, so that a missing
// dependency still fails the import, and leaves the import itself to the first access of the
// attribute, through the module's __getattr__ (PEP 562).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace orvalis::bind {

namespace py = pybind11;

struct LazyAttribute {
    const char* name;    // the module attribute
    const char* module;  // imported on first access
    const char* member;  // the attribute of that module, or nullptr for the module itself
};

// Raises the interpreter's ModuleNotFoundError when `package` cannot be found; finding it does
// not run it.
inline void require_installed(const char* package) {
    py::object spec = py::module_::import("importlib.util").attr("find_spec")(package);
    if (!spec.is_none()) return;
    py::str message = "No module named '" + std::string(package) + "'";
    PyErr_SetImportErrorSubclass(PyExc_ModuleNotFoundError, message.ptr(), py::str(package).ptr(),
                                 nullptr);
    throw py::error_already_set();
}

// Adds __getattr__ to module `m` for the given attributes: the first access imports and stores
// the value as an ordinary attribute.
inline void add_lazy_attributes(py::module_& m, const std::vector<LazyAttribute>& attributes) {
    py::dict table;
    for (const LazyAttribute& a : attributes)
        table[py::str(a.name)] =
            py::make_tuple(a.module, a.member ? py::object(py::str(a.member)) : py::none());
    py::handle module = m;  // a module lives as long as its own functions can be called
    m.attr("__getattr__") = py::cpp_function(
        [module, table](py::str name) -> py::object {
            if (!table.contains(name)) {
                PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'",
                             module.attr("__name__").ptr(), name.ptr());
                throw py::error_already_set();
            }
            py::tuple where = table[name];
            py::object value = py::module_::import(py::str(where[0]).cast<std::string>().c_str());
            if (!where[1].is_none()) value = value.attr(where[1]);
            module.attr(name) = value;
            return value;
        },
        py::name("__getattr__"), py::arg("name"));
}

}  // namespace orvalis::bind
