// Calendar features: keyword@@@date_column names, each adding the year, month, weekday or day of
// the year of a date column, which is converted to datetime in place on the way.
#include <array>
#include <string>

#include "brevant/brevant.hpp"

namespace orvalis::brevant {
namespace {

struct CalendarField {
    const char* keyword;
    const char* accessor;  // the Series.dt attribute
};

constexpr std::array<CalendarField, 4> kFields = {{{"day_of_year", "dayofyear"},
                                                   {"day_of_week", "dayofweek"},
                                                   {"month", "month"},
                                                   {"year", "year"}}};

// The shared body: convert df[tim_col] with pd.to_datetime, then
// df[keyword + "@@@" + tim_col] = df[tim_col].dt.<accessor>.
py::object calendar_feature(const CalendarField& field, py::object df, py::handle tim_col,
                            bool missing_column_is_error) {
    if (!df.attr("columns").contains(tim_col)) {
        if (!missing_column_is_error) return df;
        py::object column = py::reinterpret_borrow<py::object>(tim_col);
        py::object message = column + py::str(" not in the columns");
        PyErr_SetObject(PyExc_KeyError, message.ptr());
        throw py::error_already_set();
    }
    try {
        df[tim_col] = py::module_::import("pandas").attr("to_datetime")(df[tim_col]);
    } catch (py::error_already_set& e) {
        // A column pandas cannot read as dates adds nothing; interrupts still propagate.
        if (!e.matches(PyExc_Exception)) throw;
        return df;
    }
    py::object series = py::object(df[tim_col]).attr("dt").attr(field.accessor);
    py::object column = py::reinterpret_borrow<py::object>(tim_col);
    py::object feature = py::str(field.keyword) + py::str("@@@") + column;
    df[feature] = series;
    return df;
}

py::object name2timefeature(const py::module_& module, py::object df, py::handle names) {
    bind::py_assert(PyList_Check(names.ptr()));
    for (py::handle key : bind::snapshot_list(names)) {
        py::list temp = key.attr("split")("@@@");
        py::object op_name = temp[0];
        const CalendarField* field = nullptr;
        for (const auto& f : kFields)
            if (!field && op_name.equal(py::str(f.keyword))) field = &f;
        if (!field) {
            py::object message = py::str("Do not support this timefeature OP:") +
                                 py::reinterpret_borrow<py::object>(key);
            PyErr_SetObject(PyExc_RuntimeError, message.ptr());
            throw py::error_already_set();
        }
        if (temp.size() < 2) throw py::index_error("list index out of range");
        df = module.attr(field->keyword)(df, temp[1]);
    }
    return df;
}

}  // namespace

void register_calendar(py::module_& m) {
    py::module_ module = m;
    m.def(
        "name2timefeature",
        [module](py::object df, py::handle time_candidate_feature) {
            return name2timefeature(module, std::move(df), time_candidate_feature);
        },
        py::arg("df"), py::arg("time_candidate_feature"),
        sig_doc("name2timefeature(df, time_candidate_feature)",
                "Add every calendar feature named keyword@@@column (year, month, day_of_week, "
                "day_of_year) to df and return it.")
            .c_str());

    const char* docs[] = {
        "df[\"day_of_year@@@\" + tim_col] = day of the year (1-366); the date column is "
        "converted to datetime in place. A missing column leaves df unchanged.",
        "df[\"day_of_week@@@\" + tim_col] = weekday, Monday 0 to Sunday 6; the date column is "
        "converted to datetime in place.",
        "df[\"month@@@\" + tim_col] = month (1-12); the date column is converted to datetime in "
        "place.",
        "df[\"year@@@\" + tim_col] = calendar year; the date column is converted to datetime in "
        "place.",
    };
    for (std::size_t k = 0; k < kFields.size(); ++k) {
        const CalendarField& field = kFields[k];
        const bool strict = std::string(field.keyword) != "day_of_year";
        const std::string signature = std::string(field.keyword) + "(df, tim_col)";
        m.def(
            field.keyword,
            [&field, strict](py::object df, py::handle tim_col) {
                return calendar_feature(field, std::move(df), tim_col, strict);
            },
            py::arg("df"), py::arg("tim_col"), sig_doc(signature.c_str(), docs[k]).c_str());
    }
}

}  // namespace orvalis::brevant
