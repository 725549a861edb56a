// Small table helpers: left_merge (look up columns of one table by key), concat (attach columns
// of several tables to the first), feature2table (feature names with their formulas).
#include "brevant/brevant.hpp"

namespace orvalis::brevant {

py::object left_merge(py::object data1, py::object data2, py::object on) {
    if (!PyList_CheckExact(on.ptr())) {
        py::list wrapped;
        wrapped.append(on);
        on = wrapped;
    }
    py::set keys(on);
    py::set data2_columns(data2.attr("columns"));
    // A key that is not a column of data2 is looked for in its row index.
    py::object data2_temp = keys.attr("__and__")(data2_columns).equal(keys)
                                ? data2.attr("copy")()
                                : data2.attr("reset_index")();
    py::list columns;
    for (py::handle c : data2.attr("columns"))
        if (!keys.contains(c)) columns.append(c);
    py::object result = data1.attr("merge")(data2_temp, "on"_a = on, "how"_a = "left");
    return result[columns];
}

py::object concat(py::handle tables) {
    py::object result = py::none();
    for (py::handle l : tables) {
        if (l.is_none()) continue;
        if (result.is_none()) {
            result = py::reinterpret_borrow<py::object>(l);
        } else {
            // result[list(l.columns)] = l: aligned on result's row index
            py::list labels(l.attr("columns"));
            result[labels] = l;
        }
    }
    return result;
}

namespace {

py::object feature2table(const py::module_& module, py::handle names) {
    bind::require_exact_list(names, "names");
    py::object name2formula = module.attr("name2formula");
    py::list rows;
    Py_ssize_t i = 0;
    for (py::handle name : names) {
        py::list row;
        row.append(py::int_(++i));
        row.append(name2formula(name));
        rows.append(row);
    }
    py::list column_names;
    column_names.append("id");
    column_names.append("latex");
    return py::module_::import("pandas").attr("DataFrame")(rows, "columns"_a = column_names);
}

}  // namespace

void register_table_utils(py::module_& m) {
    m.def("left_merge", &left_merge, py::arg("data1"), py::arg("data2"), py::arg("on"),
          sig_doc("left_merge(data1, data2, on)",
                  "data2's non-key columns looked up for every row of data1 by the keys `on` "
                  "(a label or a list of labels; keys may be index levels of data2). Returns a new "
                  "table with data1's rows in order.")
              .c_str());
    m.def("concat", &concat, py::arg("L"),
          sig_doc("concat(L)",
                  "The first non-None table of L with the columns of the later tables assigned "
                  "into it, aligned on its row index; None when L holds no table.")
              .c_str());
    py::module_ module = m;
    m.def(
        "feature2table",
        [module](py::handle names) { return feature2table(module, names); }, py::arg("names"),
        sig_doc("feature2table(names)",
                "A table with the columns 'id' (1-based position) and 'latex' (the formula of each "
                "feature name).")
            .c_str());
}

}  // namespace orvalis::brevant
