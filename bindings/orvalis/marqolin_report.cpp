// obtain_model_configuration: the chosen estimator, its hyper-parameters in the estimator
// library's own names, and the task type.
#include "orvalis/marqolin.hpp"

namespace orvalis::api {

namespace {

py::object model_configuration(py::object self) {
    py::object model = self.attr("model");
    py::object model_type = model.attr("best_estimator");
    py::object params = model.attr("best_config");  // renamed in place, as the model holds it
    if (params.contains(py::str("max_leaves"))) {
        py::object leaves = params.attr("pop")("max_leaves");
        params["max_leaf_nodes"] = params.attr("get")("max_leaf_nodes", leaves);
    }
    if (params.contains(py::str("log_max_bin"))) {
        py::object log_max_bin = params.attr("pop")("log_max_bin");
        py::object shifted = py::reinterpret_steal<py::object>(
            PyNumber_Lshift(py::int_(1).ptr(), log_max_bin.ptr()));
        if (!shifted) throw py::error_already_set();
        params["max_bin"] = shifted - py::int_(1);
    }
    py::dict result;
    result["model_type"] = model_type;
    result["model_params"] = params;
    result["task"] = self.attr("task");
    return result;
}

}  // namespace

void add_report_methods(const Module&, py::dict& ns) {
    add_method(
        ns, "obtain_model_configuration", [](py::object self) { return model_configuration(self); },
        "obtain_model_configuration(self)",
        "获取模型配置: 模型类型、模型参数 (使用模型库自身的参数名) 和任务类型。\n\n"
        "返回:\n"
        "    dict: {\"model_type\": ..., \"model_params\": ..., \"task\": ...}",
        py::arg("self"));
}

}  // namespace orvalis::api
