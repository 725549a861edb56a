// The feature-name engine module: one registration function per family of functions, mounted in
// order by module.cpp, and the small helpers the families share.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "common/pyutil.hpp"

namespace orvalis::brevant {

namespace py = pybind11;
using namespace pybind11::literals;
using bind::sig_doc;

// Keywords, delimiters and constant lists (classes Const, FeatureType, TimeFeatureType).
void register_grammar(py::module_& m);
// name2feature: parse, build missing arguments, call the operator by keyword, drop intermediates.
void register_dispatcher(py::module_& m);
// add, subtract, ..., combine, sigmoid, softmax: one or two columns, no grouping, no time order.
void register_elementwise(py::module_& m);
// count, crosscount, aggregate, nunique, histstat, crossrank and the incremental record.
void register_group_stats(py::module_& m);
// delay, delta, tsum, ts_mean, ..., tcorrelation: windows over rows, optionally per group.
void register_rolling(py::module_& m);
// name2timefeature, year, month, day_of_week, day_of_year.
void register_calendar(py::module_& m);
// name2formula: LaTeX rendering of feature names.
void register_formula(py::module_& m);
// left_merge, concat, feature2table.
void register_table_utils(py::module_& m);
// The table of the module's own operators by keyword, read by name2feature; registered last.
void register_operator_table(py::module_& m);

inline constexpr const char* kHead = "###";
inline constexpr const char* kSeparator = "|||";
inline constexpr const char* kTail = "$$$";

// keyword###a|||b$$$, joining the labels with str.join so that non-text labels fail exactly as
// they do in the reference ("sequence item 0: expected str instance, int found").
inline py::str feature_name(const char* keyword, std::initializer_list<py::handle> args) {
    py::list items;
    for (py::handle a : args) items.append(a);
    py::str joined = py::str(kSeparator).attr("join")(items);
    return py::str(std::string(keyword) + kHead + "{}" + kTail).attr("format")(joined);
}

// keyword###col$$$ with the label inserted by str.format, which accepts any label.
inline py::str feature_name1(const char* keyword, py::handle col) {
    return py::str(std::string(keyword) + kHead + "{}" + kTail).attr("format")(col);
}

// df[name] = (df[name] - df[name].mean()) / df[name].std()
void standardise(py::object df, py::handle name);

// The mean and std() of a 1-D int64 or float64 array as pandas' Series gives them; false for
// anything else (pandas then computes them).
bool column_moments(py::handle values, double& mean, double& sd);
// Whether pandas computes means and deviations as the native moments do (not with bottleneck).
bool native_moments();

// df[name] = values, for a fresh 1-D NumPy array of len(df) that nothing else references. Where
// the columns are plain and unique the array is handed to the frame as it is (what
// `df[name] = ...` ends with after its defensive copy, which a fresh array does not need);
// otherwise it goes through the ordinary assignment, aligned on the table's own index.
inline void assign_fresh_column(py::object df, py::handle name, py::object values) {
    py::object columns = df.attr("columns");
    const bool plain = columns.attr("is_unique").cast<bool>() &&
                       !py::isinstance(columns, py::module_::import("pandas").attr("MultiIndex")) &&
                       py::hasattr(df, "_set_item_mgr") &&
                       py::len(values) == py::len(df.attr("index"));
    if (plain) {
        df.attr("_set_item_mgr")(name, values);
    } else {
        df[name] = py::module_::import("pandas").attr("Series")(
            values, "index"_a = df.attr("index"), "copy"_a = false);
    }
}

}  // namespace orvalis::brevant
