// Group statistics: count, crosscount, aggregate, nunique, histstat, crossrank, one family per
// file (group_counts.cpp, group_aggregate.cpp, group_distinct.cpp, group_rank.cpp) over what they
// share (group_tables.hpp), registered here.
//
// The first four keep the per-group table they computed in the incremental record, keyed by the
// feature name. The first call for a name stores its table; later calls merge the statistic of
// the new batch into a working copy (counts added, min/max/mean/median by their own rules, var
// and distinct counts kept) and leave the stored entry as it is.
//
// A group statistic returns a new table: the caller's frame is copied once, and a table that an
// operator of the same name2feature call created (private to the call) is continued in place,
// so one feature costs the same whatever the width of the table.
//
// Missing key values: pandas' group-bys leave rows with a missing key out of every statistic, and
// a missing key matches nothing stored (key rows that are missing are dropped from the table
// before the join, so a record built elsewhere with a NaN key cannot match several rows either).
// Such rows get a missing feature, which the median fill then replaces like any other gap.
#include "brevant/group_tables.hpp"

namespace orvalis::brevant {

void register_group_stats(py::module_& m) {
    py::object stats_default = m.attr("AGGREGATE_TYPE");
    m.def("count", &groups::count, py::arg("df"), py::arg("col"),
          py::arg("lec_record_dt") = py::none(),
          sig_doc("count(df, col, lec_record_dt=None)",
                  "Count encoding of `col` (rows per value), standardised, then median fill.\n\n"
                  "The first call for the feature stores the value counts in lec_record_dt; later "
                  "calls add the counts of the batch to the stored ones. Returns a new table.")
              .c_str());
    m.def("crosscount", &groups::crosscount, py::arg("df"), py::arg("col_list"),
          py::arg("lec_record_dt") = py::none(),
          sig_doc("crosscount(df, col_list, lec_record_dt=None)",
                  "Rows per combination of the listed columns, standardised, then median fill.\n\n"
                  "col_list is a list of at least two column names. Returns a new table.")
              .c_str());
    m.def("aggregate", &groups::aggregate, py::arg("df"), py::arg("num_col"), py::arg("group_col"),
          py::arg("stat_list") = stats_default, py::arg("lec_record_dt") = py::none(),
          sig_doc("aggregate(df, num_col, group_col, stat_list=['min', 'max', 'mean', 'median', "
                  "'var'], lec_record_dt=None)",
                  "One standardised feature per statistic of num_col per group_col value, then "
                  "median fill.\n\nLater calls merge the batch statistic into the stored one: "
                  "min/max of both, mean (n1 * m1 + n2 * m2) / (n1 + n2), median the average of "
                  "both, var kept. Returns a new table.")
              .c_str());
    m.def("nunique", &groups::nunique, py::arg("df"), py::arg("id_col"), py::arg("group_col"),
          py::arg("lec_record_dt") = py::none(),
          sig_doc("nunique(df, id_col, group_col, lec_record_dt=None)",
                  "Distinct non-missing id_col values per group_col value, then median fill.\n\n"
                  "Later calls use the stored distinct counts unchanged. Returns a new table.")
              .c_str());
    m.def("histstat", &groups::histstat, py::arg("df"), py::arg("id_col"), py::arg("group_col"),
          py::arg("stat_list") = stats_default,
          sig_doc("histstat(df, id_col, group_col, stat_list=['min', 'max', 'mean', 'median', "
                  "'var'])",
                  "Statistics, per group_col value, of how often each row's id_col value "
                  "occurs.\n\n"
                  "All statistics share the feature's name and are attached in list order, so the "
                  "column holds the last one. Modifies df in place and returns it.")
              .c_str());
    m.def("crossrank", &groups::crossrank, py::arg("df"), py::arg("col1"), py::arg("col2"),
          sig_doc("crossrank(df, col1, col2)",
                  "Average rank of col2 among the rows with the same col1 value (missing values "
                  "unranked). Modifies df in place and returns it.")
              .c_str());
}

}  // namespace orvalis::brevant
