// Module body of brevant: the imports, in the order the engine relies on (a missing dependency
// fails the import), then the constants and the functions of every family.
#include "brevant/brevant.hpp"

#include "common/module_init.hpp"
ORVALIS_MODULE(brevant, m) {
    namespace py = pybind11;
    py::options options;
    options.disable_function_signatures();

    m.doc() = "Feature-name engine: re-creates engineered features of a table from their names.";

    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("Counter") = py::module_::import("collections").attr("Counter");
    m.attr("KFold") = py::module_::import("sklearn.model_selection").attr("KFold");
    m.attr("TruncatedSVD") = py::module_::import("sklearn.decomposition").attr("TruncatedSVD");
    m.attr("LabelEncoder") = py::module_::import("sklearn.preprocessing").attr("LabelEncoder");
    m.attr("stats") = py::module_::import("scipy").attr("stats");
    m.attr("TaskConfig") = py::module_::import("module.common.task_config").attr("TaskConfig");

    using namespace orvalis::brevant;
    register_grammar(m);
    register_table_utils(m);
    register_dispatcher(m);
    register_group_stats(m);
    register_elementwise(m);
    register_calendar(m);
    register_rolling(m);
    register_formula(m);
    register_operator_table(m);
}
