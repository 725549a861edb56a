// The two release tools are modules whose body is a script: importing them runs it. This header
// holds what both share: the cleaning functions, the list of build folders, and a module
// initialisation that lets the script's errors reach the importer unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "common/pyutil.hpp"

namespace orvalis::release {

namespace py = pybind11;
using bind::sig_doc;
using namespace pybind11::literals;

// Delete every file whose name ends with ".c" (exactly, case-sensitive) below `directory`.
inline void vollix_files(py::object directory) {
    py::module_ os = py::module_::import("os");
    for (py::handle entry : os.attr("walk")(directory)) {
        py::tuple walked = py::reinterpret_borrow<py::tuple>(entry);
        py::object root = walked[0];
        for (py::handle file : walked[2]) {
            if (!file.attr("endswith")(".c").cast<bool>()) continue;
            py::object path = os.attr("path").attr("join")(root, file);
            os.attr("remove")(path);
            py::print(py::str("Deleted: ") + path);
        }
    }
}

// Remove the tree at `path` if there is anything there.
inline void delete_files(py::object path) {
    py::module_ os = py::module_::import("os");
    if (os.attr("path").attr("exists")(path).cast<bool>())
        py::module_::import("shutil").attr("rmtree")(path);
}

// import os, shutil, glob; the two functions; remove_files.
inline void define_common(py::module_& m) {
    for (const char* name : {"os", "shutil", "glob"}) m.attr(name) = py::module_::import(name);
    m.def("vollix_files", &vollix_files, py::arg("directory"),
          sig_doc("vollix_files(directory)",
                  "Delete every file whose name ends with \".c\" below directory, printing "
                  "\"Deleted: <path>\" for each.")
              .c_str());
    m.def("delete_files", &delete_files, py::arg("path"),
          sig_doc("delete_files(path)", "Remove the folder tree at path if it exists.").c_str());
    py::list remove_files;
    for (const char* name : {"build", "orvalis.egg-info", "dist"}) remove_files.append(name);
    m.attr("remove_files") = remove_files;
}

// vollix_files("."), then delete_files(os.path.join(os.getcwd(), f)) for f in remove_files,
// calling the functions through the module as the script's globals.
inline void clean(py::module_& m) {
    py::module_ os = py::module_::import("os");
    m.attr("vollix_files")(".");
    for (py::handle f : m.attr("remove_files")) {
        m.attr("f") = f;
        m.attr("delete_files")(os.attr("path").attr("join")(os.attr("getcwd")(), f));
    }
}

// Whether `folder` is this package's source folder: it holds the build script setup.py and a
// pyproject.toml whose [project] table names the package orvalis. A pyproject.toml that cannot be
// read or parsed does not count.
inline bool is_source_folder(const py::object& folder) {
    py::module_ os = py::module_::import("os");
    py::object join = os.attr("path").attr("join");
    py::object isfile = os.attr("path").attr("isfile");
    if (!isfile(join(folder, "setup.py")).cast<bool>()) return false;
    py::object pyproject = join(folder, "pyproject.toml");
    if (!isfile(pyproject).cast<bool>()) return false;
    try {
        py::object content = py::module_::import("pathlib")
                                 .attr("Path")(pyproject)
                                 .attr("read_text")("encoding"_a = "utf-8");
        py::object data = py::module_::import("tomllib").attr("loads")(content);
        py::object project = data.attr("get")("project");
        if (!PyDict_Check(project.ptr())) return false;
        py::object name = project.attr("get")("name");
        return PyUnicode_Check(name.ptr()) &&
               name.attr("strip")().attr("lower")().cast<std::string>() == "orvalis";
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like go on
        return false;
    }
}

// The tools delete and build in the working folder, so they run only in this package's source
// folder. Anywhere else (an editor importing the module to complete its names, a user's project)
// the import fails with an ImportError before anything is touched.
inline void require_source_folder(const char* tool, const char* does) {
    py::object cwd = py::module_::import("os").attr("getcwd")();
    if (is_source_folder(cwd)) return;
    std::string message = std::string("orvalis.") + tool + " " + does +
                          " and runs only in the orvalis source folder, which holds the "
                          "package's setup.py and a pyproject.toml naming orvalis; the working "
                          "folder " +
                          py::repr(cwd).cast<std::string>() +
                          " is not that folder, so nothing was deleted or built. Run it from the "
                          "source folder: python -c \"import orvalis." +
                          tool + "\"";
    PyErr_SetString(PyExc_ImportError, message.c_str());
    throw py::error_already_set();
}

// Py_mod_exec slot: runs the script; a Python error raised by it is the import's error as is.
template <void (*Script)(py::module_&)>
int exec_script(PyObject* module) {
    try {
        py::options options;
        options.disable_function_signatures();
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        Script(m);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

}  // namespace orvalis::release
