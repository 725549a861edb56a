// Module body of brevant: the imports, in the order the engine relies on (a missing dependency
// fails the import), then the constants and the functions of every family.
#include "brevant/brevant.hpp"

#include "common/lazy_import.hpp"
#include "common/module_init.hpp"
ORVALIS_MODULE(brevant, m) {
    namespace py = pybind11;
    py::options options;
    options.disable_function_signatures();

    m.doc() = "Feature-name engine: re-creates engineered features of a table from their names.";

    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("Counter") = py::module_::import("collections").attr("Counter");
    // scikit-learn and SciPy's statistics: importing scikit-learn alone runs SciPy's statistics
    // stack, most of a second, which only the operators that use them need. The packages must
    // be installed; their modules are imported when first used.
    orvalis::bind::require_installed("sklearn");
    py::module_::import("scipy");
    orvalis::bind::add_lazy_attributes(
        m, {{"KFold", "sklearn.model_selection", "KFold"},
            {"TruncatedSVD", "sklearn.decomposition", "TruncatedSVD"},
            {"LabelEncoder", "sklearn.preprocessing", "LabelEncoder"},
            {"stats", "scipy.stats", nullptr}});
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
