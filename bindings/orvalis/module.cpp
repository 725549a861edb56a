// Module body of orvalis: put the package folder on sys.path (the feature engine is the sibling
// top-level module brevant), import in order, silence warnings, define the two classes.
#include "orvalis/orvalis.hpp"
#include "orvalis/search_model.hpp"

#include "common/lazy_import.hpp"
#include "common/module_init.hpp"
ORVALIS_MODULE(orvalis, m) {
    namespace py = pybind11;
    py::options options;
    options.disable_function_signatures();

    m.doc() = "推理接口: 读取训练结果文件夹, 预处理新数据并预测.";

    py::module_ os = py::module_::import("os");
    py::module_ sys = py::module_::import("sys");
    m.attr("os") = os;
    m.attr("sys") = sys;
    sys.attr("path").attr("append")(os.attr("path").attr("dirname")(m.attr("__file__")));

    m.attr("json") = py::module_::import("json");
    m.attr("pickle") = py::module_::import("pickle");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    // pyplot sets up a drawing backend, half a second, for the charts alone: matplotlib must be
    // installed, pyplot is imported when first used
    py::module_::import("matplotlib");
    orvalis::bind::add_lazy_attributes(m, {{"plt", "matplotlib.pyplot", nullptr}});
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Union", "Optional", "Tuple"}) m.attr(name) = typing.attr(name);
    m.attr("deepcopy") = py::module_::import("copy").attr("deepcopy");
    m.attr("name2feature") = py::module_::import("brevant").attr("name2feature");
    py::module_ report = py::module_::import("module.util.report");
    for (const char* name : {"plot_confusion_matrix", "plot_regression_results", "plot_roc_curve",
                             "plot_trends", "plot_box", "plot_kde"})
        m.attr(name) = report.attr(name);
    m.attr("TaskConfig") = py::module_::import("module.common.task_config").attr("TaskConfig");
    py::module_ warnings = py::module_::import("warnings");
    m.attr("warnings") = warnings;
    warnings.attr("filterwarnings")("ignore");

    orvalis::api::register_marqolin(m);
    orvalis::api::register_catalogue(m);
    orvalis::api::register_model_input(m);
}
