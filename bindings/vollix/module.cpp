// vollix: importing it cleans the current directory once: every "*.c" file at any depth, then the
// folders "build", "orvalis.egg-info" and "dist". It builds and moves nothing. Outside the
// package's source folder the import fails before anything is deleted.
#include "common/script_module.hpp"

namespace {

namespace rel = orvalis::release;

void script(rel::py::module_& m) {
    rel::require_source_folder("vollix",
                               "deletes every *.c file below the working folder, build/ and dist/");
    rel::define_common(m);
    rel::clean(m);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&rel::exec_script<&script>)},
                            {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vollix",
    "Clean the current directory of build artefacts (runs when imported).",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_vollix() { return PyModuleDef_Init(&definition); }
