// tessaro: importing it builds the release wheels, one interpreter environment after the other,
// collects each build's wheel in "releases" and cleans the build artefacts after every build.
// Run it from the package's source folder: python -c "import orvalis.tessaro"; anywhere else the
// import fails before anything is built or deleted.
//
// Where the environments are (defaults describe the original build machine):
//   ORVALIS_RELEASE_ENV_ROOT  folder holding the environments   "D:/software/miniconda/envs/"
//   ORVALIS_RELEASE_ENVS      comma-separated environment names "v38vexa,v39vexa,v310vexa,v311vexa"
//   ORVALIS_RELEASE_PYTHON    interpreter inside an environment "python.exe"
#include <string>

#include "common/script_module.hpp"

namespace {

namespace rel = orvalis::release;
namespace py = pybind11;

constexpr const char* kEnvRoot = "D:/software/miniconda/envs/";
constexpr const char* kEnvNames = "v38vexa,v39vexa,v310vexa,v311vexa";
constexpr const char* kEnvPython = "python.exe";

py::str setting(const py::module_& os, const char* variable, const char* fallback) {
    py::object value = os.attr("environ").attr("get")(variable, "");
    if (py::len(value.attr("strip")()) == 0) return py::str(fallback);
    return py::str(value.attr("strip")());
}

// The interpreter's path as one shell word: unchanged when it needs no quoting (the defaults).
py::object shell_word(const py::module_& os, const py::object& path) {
    if (os.attr("name").cast<std::string>() == "nt") {
        if (!path.attr("__contains__")(" ").cast<bool>()) return path;
        return py::str("\"") + path + py::str("\"");
    }
    return py::module_::import("shlex").attr("quote")(path);
}

void script(py::module_& m) {
    rel::require_source_folder(
        "tessaro", "builds the release wheels there, then deletes every *.c file below the "
                   "working folder, build/ and dist/");
    rel::define_common(m);
    py::module_ os = m.attr("os");
    py::module_ glob = m.attr("glob");
    py::module_ shutil = m.attr("shutil");
    py::object join = os.attr("path").attr("join");

    py::object save_path = join(os.attr("getcwd")(), "releases");
    m.attr("save_path") = save_path;
    if (!os.attr("path").attr("exists")(save_path).cast<bool>()) os.attr("makedirs")(save_path);

    py::str env_root = setting(os, "ORVALIS_RELEASE_ENV_ROOT", kEnvRoot);
    if (!env_root.attr("endswith")(py::make_tuple("/", "\\")).cast<bool>())
        env_root = py::str(env_root + py::str("/"));
    py::str env_python = setting(os, "ORVALIS_RELEASE_PYTHON", kEnvPython);
    py::list py_envs;
    for (py::handle name : setting(os, "ORVALIS_RELEASE_ENVS", kEnvNames).attr("split")(","))
        if (py::len(name.attr("strip")()) > 0) py_envs.append(name.attr("strip")());
    m.attr("env_root") = env_root;
    m.attr("env_python") = env_python;
    m.attr("py_envs") = py_envs;

    py::object stdout_ = py::module_::import("sys").attr("stdout");
    for (py::handle env : py_envs) {
        m.attr("env") = env;
        py::object interpreter =
            env_root + py::reinterpret_borrow<py::object>(env) + py::str("/") + env_python;
        py::object command = shell_word(os, interpreter) + py::str(" setup.py sdist bdist_wheel");
        stdout_.attr("flush")();  // our lines before the build's own output
        os.attr("system")(command);

        py::list files = glob.attr("glob")(join(os.attr("getcwd")(), "dist", "*"));
        m.attr("files") = files;
        for (py::handle file : files) {
            m.attr("file") = file;
            py::print(file);
            if (!file.attr("endswith")(".whl").cast<bool>()) continue;
            // the wheel's own name, after the last separator of either kind
            py::list pieces = file.attr("replace")("\\", "/").attr("split")("/");
            py::object whl_dst_path = join(save_path, pieces[py::len(pieces) - 1]);
            m.attr("whl_dst_path") = whl_dst_path;
            py::print(whl_dst_path);
            shutil.attr("move")(file, whl_dst_path);
            break;
        }
        rel::clean(m);
    }
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&rel::exec_script<&script>)},
                            {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tessaro",
    "Build the release wheels for each configured environment (runs when imported).",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_tessaro() { return PyModuleDef_Init(&definition); }
