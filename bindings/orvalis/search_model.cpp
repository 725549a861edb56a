// The search object's predict without its second pass of the input transformation: the frame
// that preprocess transformed goes to the trained estimator, and the estimator's output is
// post-processed as the search object's own predict does it.
#include "orvalis/search_model.hpp"

#include <string>
#include <utility>

namespace orvalis::api {

namespace {

// (major, minor) of the installed FLAML, or (0, 0) when it cannot be read.
std::pair<int, int> flaml_version(const py::handle flaml) {
    try {
        std::string text = py::str(flaml.attr("__version__"));
        const auto dot = text.find('.');
        if (dot == std::string::npos) return {0, 0};
        return {std::stoi(text.substr(0, dot)), std::stoi(text.substr(dot + 1))};
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
    } catch (const std::exception&) {
    }
    return {0, 0};
}

// getattr(obj, name) or nullopt when the attribute is missing.
std::optional<py::object> member(const py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
}

// The class attribute `name` of `cls` is `expected` and the instance does not shadow it.
bool own_method(const py::handle obj, const py::handle cls, const py::handle base,
                const char* name) {
    std::optional<py::object> dict = member(obj, "__dict__");
    if (dict && PyDict_Check(dict->ptr()) && py::reinterpret_borrow<py::dict>(*dict).contains(name))
        return false;
    return cls.attr(name).is(base.attr(name));
}

}  // namespace

std::optional<SearchModel> search_model(const py::object& model) {
    py::dict modules = py::module_::import("sys").attr("modules");
    // the class of a search object is loaded whenever one has been unpickled
    if (!modules.contains("flaml.automl.automl") || !modules.contains("flaml")) return std::nullopt;
    py::object automl = modules["flaml.automl.automl"];
    std::optional<py::object> base = member(automl, "AutoML");
    if (!base || !py::isinstance(model, *base)) return std::nullopt;
    // predict and predict_proba as written in FLAML 2.1 up to 2.8
    const auto [major, minor] = flaml_version(modules["flaml"]);
    if (major != 2 || minor < 1 || minor > 8) return std::nullopt;
    py::handle cls = reinterpret_cast<PyObject*>(Py_TYPE(model.ptr()));
    if (!own_method(model, cls, *base, "predict") ||
        !own_method(model, cls, *base, "predict_proba"))
        return std::nullopt;

    std::optional<py::object> estimator = member(model, "_trained_estimator");
    std::optional<py::object> state = member(model, "_state");
    std::optional<py::object> transformer = member(model, "_transformer");
    std::optional<py::object> labels = member(model, "_label_transformer");
    std::optional<py::object> series = member(automl, "Series");
    if (!estimator || estimator->is_none() || !state || !transformer || !labels || !series)
        return std::nullopt;
    std::optional<py::object> task = member(*state, "task");
    if (!task || !member(*task, "preprocess")) return std::nullopt;
    return SearchModel{*estimator, *task, *transformer, *labels, *series};
}

py::object transform_input(const Module& m, const SearchModel& search, const py::object& frame) {
    py::object transformer = search.transformer;
    if (py::bool_(transformer)) {
        std::optional<py::object> native = native_transform(search, frame);
        if (native) return *native;
    }
    // A datetime column that already holds numbers is the day numbers of a first pass (a frame
    // that preprocess returned): its calendar columns are there too, and a second pass, which
    // would read it as dates, fails. The pass leaves such a column as the number it is.
    if (py::bool_(transformer) && py::isinstance(frame, m["pd"].attr("DataFrame"))) {
        py::object dates = py::getattr(transformer, "_datetime_columns", py::none());
        if (PyList_Check(dates.ptr()) && py::len(dates) > 0) {
            py::object columns = frame.attr("columns");
            py::object is_numeric = m["pd"].attr("api").attr("types").attr("is_numeric_dtype");
            py::object is_bool = m["pd"].attr("api").attr("types").attr("is_bool_dtype");
            py::list kept;
            for (py::handle col : py::list(dates)) {
                bool numbers = false;
                if (columns.contains(col) && columns.attr("is_unique").cast<bool>()) {
                    py::object dtype = frame[col].attr("dtype");
                    numbers = is_numeric(dtype).cast<bool>() && !is_bool(dtype).cast<bool>();
                }
                if (!numbers) kept.append(col);
            }
            if (py::len(kept) != py::len(dates)) {
                transformer = py::module_::import("copy").attr("copy")(transformer);
                transformer.attr("_datetime_columns") = kept;
            }
        }
    }
    return search.task.attr("preprocess")(frame, transformer);
}

py::object search_output(const SearchModel& search, const py::object& X, bool proba) {
    if (proba) return search.estimator.attr("predict_proba")(X);
    py::object y = search.estimator.attr("predict")(X);
    py::module_ np = py::module_::import("numpy");
    if (py::isinstance(y, np.attr("ndarray")) && y.attr("ndim").cast<int>() > 1)
        y = y.attr("flatten")();
    if (py::bool_(search.label_transformer)) {
        py::handle int_type(reinterpret_cast<PyObject*>(&PyLong_Type));
        return search.label_transformer.attr("inverse_transform")(
            search.series(y.attr("astype")(int_type)));
    }
    return y;
}

void register_model_input(py::module_& m) {
    Module mod(m);
    m.def(
        "_model_input",
        [mod](py::object model, py::object frame) {
            std::optional<SearchModel> search = search_model(model);
            if (!search)
                return model.attr("_state").attr("task").attr("preprocess")(
                    frame, model.attr("_transformer"));
            return transform_input(mod, *search, frame);
        },
        py::arg("model"), py::arg("frame"),
        sig_doc("_model_input(model, frame)",
                "模型搜索对象的输入变换 (predict 所用的同一变换): 其 task.preprocess(frame, "
                "transformer)。")
            .c_str());
}

}  // namespace orvalis::api
