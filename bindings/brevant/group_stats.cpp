// Group statistics: count, crosscount, aggregate, nunique, histstat, crossrank.
//
// The first four keep the per-group table they computed in the incremental record, keyed by the
// feature name. The first call for a name stores its table; later calls merge the statistic of
// the new batch into a working copy (counts added, min/max/mean/median by their own rules, var
// and distinct counts kept) and leave the stored entry as it is. Joins and group-bys are pandas
// calls, because their row order and dtypes are what callers see.
//
// Missing key values: pandas' group-bys leave rows with a missing key out of every statistic, and
// a missing key matches nothing stored (key rows that are missing are dropped from the table
// before the join, so a record built elsewhere with a NaN key cannot match several rows either).
// Such rows get a missing feature, which the median fill then replaces like any other gap.
#include "brevant/brevant.hpp"

namespace orvalis::brevant {

py::object left_merge(py::object data1, py::object data2, py::object on);

namespace {

py::module_ pd() { return py::module_::import("pandas"); }

py::list as_list(std::initializer_list<py::handle> items) {
    py::list out;
    for (py::handle h : items) out.append(h);
    return out;
}

py::str suffixed(const py::str& name, const char* suffix) {
    return py::str(name + py::str(suffix));
}

// lec_record_dt.get(name): a record that is not a mapping fails here, before any work.
py::object stored_entry(const py::object& record, const py::str& name) {
    return record.attr("get")(name);
}

// Rows per distinct value of df[col], in order of first appearance, missing values left out:
// a table with the columns col and `count_name`.
py::object value_counts(const py::object& df, py::handle col, const py::str& count_name) {
    py::object counts = df[col].attr("value_counts")("sort"_a = false, "dropna"_a = true);
    return counts.attr("rename_axis")(col).attr("reset_index")("name"_a = count_name);
}

// table.assign(**{name: values}): a working table with one column set, without writing into a
// table whose columns other objects may still share.
py::object with_column(const py::object& table, const py::str& name, const py::object& values) {
    py::dict column;
    column[name] = values;
    return table.attr("assign")(**column);
}

// pd.merge(a, b, left_on=key, right_on=key, how="outer"), the key a column or an index level.
py::object outer_join(const py::object& a, const py::object& b, py::handle key) {
    return pd().attr("merge")(a, b, "left_on"_a = key, "right_on"_a = key, "how"_a = "outer");
}

// The table's rows whose key values are all present; keys are columns or index levels.
py::object without_missing_keys(py::object table, const py::list& keys) {
    py::module_ np = py::module_::import("numpy");
    const bool is_frame = py::isinstance(table, pd().attr("DataFrame"));
    py::object missing = py::none();
    for (py::handle key : keys) {
        py::object values = is_frame && table.attr("columns").contains(key)
                                ? py::object(table[key])
                                : table.attr("index").attr("get_level_values")(key);
        py::object na = np.attr("asarray")(pd().attr("isna")(values), "dtype"_a = "bool");
        missing = missing.is_none() ? na : np.attr("logical_or")(missing, na);
    }
    if (missing.is_none() || !py::bool_(missing.attr("any")())) return table;
    return table[np.attr("logical_not")(missing)];
}

// df.merge(table, on=keys, how="left"), after dropping a stale column named like the feature
// (from an earlier computation of the same name), so that the fresh column comes last and is not
// split into two suffixed copies.
py::object left_join_feature(py::object df, py::object table, const py::list& keys,
                             const py::str& name) {
    if (df.attr("columns").contains(name)) df = df.attr("drop")("columns"_a = as_list({name}));
    table = without_missing_keys(table, keys);
    py::object on = keys.size() == 1 ? py::object(keys[0]) : py::object(keys);
    return df.attr("merge")(table, "on"_a = on, "how"_a = "left");
}

// Working table = stored + batch, the two count columns added with missing as 0; the batch column
// is dropped again.
py::object add_counts(const py::object& stored, const py::object& batch, py::handle key,
                      const py::str& name, const py::str& name2) {
    py::object t = outer_join(stored, batch, key);
    py::object left = py::object(t[name]).attr("fillna")(0);
    py::object right = py::object(t[name2]).attr("fillna")(0);
    t = with_column(t, name, left + right);
    return t.attr("drop")("columns"_a = as_list({name2}));
}

py::object count(py::object df, py::handle col, py::object record) {
    py::str name = feature_name("count", {col});
    py::object stored = stored_entry(record, name);
    py::object table;
    if (stored.is_none()) {
        table = value_counts(df, col, name);
        record[name] = table;
    } else {
        py::str name2 = suffixed(name, "_2");
        table = add_counts(stored, value_counts(df, col, name2), col, name, name2);
    }
    df = left_join_feature(df, table, as_list({col}), name);
    standardise(df, name);
    return median_fill(df);
}

py::object crosscount(py::object df, py::handle col_list, py::object record) {
    bind::py_assert(PyList_Check(col_list.ptr()));
    bind::py_assert(PyList_GET_SIZE(col_list.ptr()) > 1);
    py::list cols = py::reinterpret_borrow<py::list>(col_list);
    py::str name = py::str(std::string("crosscount") + kHead + "{}" + kTail)
                       .attr("format")(py::str(kSeparator).attr("join")(cols));
    py::object stored = stored_entry(record, name);

    // df.groupby(col_list)[col_list[1]].count(), named like the feature (or its batch column)
    auto pair_counts = [&](const py::str& as) {
        py::object s = df.attr("groupby")(cols, "observed"_a = false)[cols[1]].attr("count")();
        s.attr("name") = as;
        return s;
    };
    py::object table;
    if (stored.is_none()) {
        table = pair_counts(name);
        record[name] = table;
    } else {
        py::str name2 = suffixed(name, "_2");
        table = add_counts(stored, pair_counts(name2), cols, name, name2);
    }
    df = left_join_feature(df, table, cols, name);
    standardise(df, name);
    return median_fill(df);
}

// df.groupby([group_col])[num_col].agg(stat), as a series named `as`.
py::object group_stat(const py::object& df, py::handle num_col, py::handle group_col,
                      py::handle stat, const py::str& as) {
    py::object s =
        df.attr("groupby")(as_list({group_col}), "observed"_a = false)[num_col].attr("agg")(stat);
    s.attr("name") = as;
    return s;
}

// Merges the batch statistic into the stored one by the statistic's rule; returns the table to
// join (a series or a frame holding the column `name`).
py::object update_stat(const std::string& stat, const py::object& df, py::handle num_col,
                       py::handle group_col, const py::object& stored, py::object record,
                       const py::str& name) {
    py::str name2 = suffixed(name, "_2");
    if (stat == "var") return stored;  // the training variance is kept as it is
    py::object batch = group_stat(df, num_col, group_col, py::str(stat), name2);

    if (stat == "min" || stat == "max") {
        py::object a = outer_join(stored, batch, group_col);
        py::object both = a[as_list({name, name2})];
        a = with_column(a, name, both.attr(stat.c_str())("axis"_a = 1));
        return a.attr("drop")("columns"_a = as_list({name2}));
    }
    if (stat == "median") {
        py::object a = outer_join(stored, batch, group_col);
        a = with_column(a, name, (py::object(a[name]) + py::object(a[name2])) / py::int_(2));
        return a.attr("drop")("columns"_a = as_list({name2}));
    }
    if (stat == "mean") {
        // (n2 * m2 + n1 * m1) / (n1 + n2), n1, m1 the stored row count and mean, n2, m2 the batch's
        py::str g_count = suffixed(py::str(group_col), "_count");
        py::str g_count2 = suffixed(py::str(group_col), "_count_2");
        py::object a = outer_join(stored["data"], batch, group_col);
        py::object lengths = outer_join(stored["length"], value_counts(df, group_col, g_count2),
                                        group_col);
        py::object w = outer_join(a, lengths, group_col).attr("fillna")(0);
        record[suffixed(name, "_mean_count")] = w.attr("copy")();
        py::object n1 = w[g_count], n2 = w[g_count2];
        py::object m1 = w[name], m2 = w[name2];
        w = with_column(w, name, (n2 * m2 + n1 * m1) / (n2 + n1));
        return w.attr("drop")("columns"_a = as_list({name2, g_count2, g_count}));
    }
    // No update rule: the batch statistic is joined under its own column name, and the caller's
    // standardisation then reports the missing feature column.
    return batch;
}

py::object aggregate(py::object df, py::handle num_col, py::handle group_col, py::object stat_list,
                     py::object record) {
    for (py::handle stat : stat_list) {
        py::str name = feature_name("aggregate", {stat, num_col, group_col});
        py::object stored = stored_entry(record, name);
        py::object table;
        if (stored.is_none()) {
            table = group_stat(df, num_col, group_col, stat, name);
            record[name] = table;
            if (py::str(stat).cast<std::string>() == "mean") {
                py::dict entry;
                entry["data"] = table;
                py::str g_count = suffixed(py::str(group_col), "_count");
                entry["length"] = value_counts(df, group_col, g_count);
                record[name] = entry;
            }
        } else {
            table = update_stat(py::str(stat).cast<std::string>(), df, num_col, group_col, stored,
                                record, name);
        }
        df = left_join_feature(df, table, as_list({group_col}), name);
        standardise(df, name);
    }
    return median_fill(df);
}

py::object nunique(py::object df, py::handle id_col, py::handle group_col, py::object record) {
    py::str name = feature_name("nunique", {id_col, group_col});
    py::object table = stored_entry(record, name);
    if (table.is_none()) {
        // df.groupby([group_col])[id_col].nunique()
        table = df.attr("groupby")(as_list({group_col}), "observed"_a = false)[id_col].attr(
            "nunique")();
        table.attr("name") = name;
        record[name] = table;
    }
    df = left_join_feature(df, table, as_list({group_col}), name);
    return median_fill(df);
}

constexpr const char* kTempCount = "temp_count";

// The auxiliary column of histstat: "temp_count" exists on the caller's table only while the
// operator runs. A column of that name that the caller already had is put back where it was.
class TempCountColumn {
public:
    explicit TempCountColumn(py::object df) : df_(std::move(df)) {
        py::object columns = df_.attr("columns");
        if (columns.contains(kTempCount)) {
            py::object loc = columns.attr("get_loc")(kTempCount);
            if (PyLong_Check(loc.ptr())) {
                saved_ = df_[kTempCount];
                loc_ = loc;
            }
        }
    }

    void remove() {
        if (df_.attr("columns").contains(kTempCount)) df_.attr("__delitem__")(kTempCount);
        if (!saved_.is_none()) df_.attr("insert")(loc_, kTempCount, saved_);
    }

private:
    py::object df_;
    py::object saved_ = py::none();
    py::object loc_ = py::none();
};

py::object histstat(py::object df, py::handle id_col, py::handle group_col, py::object stat_list) {
    py::str name = feature_name("histstat", {id_col, group_col});
    TempCountColumn temp(df);
    try {
        // df["temp_count"] = df.groupby(id_col)[id_col].transform("count")
        py::object per_id = df.attr("groupby")(id_col, "observed"_a = false)[id_col].attr(
            "transform")("count");
        df[kTempCount] = per_id.attr("array");
        // S = df.groupby([group_col])["temp_count"].agg(stat_list): one column per statistic
        py::object grouped = df.attr("groupby")(as_list({group_col}), "observed"_a = false);
        py::object stats = grouped[kTempCount].attr("agg")(stat_list);
        if (py::isinstance(stats, pd().attr("Series"))) stats = stats.attr("to_frame")();
        py::list key = as_list({group_col});
        py::object rows = left_merge(df[key], stats, key);
        // Every statistic is named like the feature: attach them in list order, by row position,
        // so the column ends up holding the last one.
        const auto n_stats = py::len(rows.attr("columns"));
        py::object iloc = rows.attr("iloc");
        for (std::size_t k = 0; k < n_stats; ++k) {
            py::object column = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                    py::int_(k))];
            df[name] = column.attr("array");
        }
    } catch (...) {
        try {
            temp.remove();
        } catch (py::error_already_set&) {
            // keep the original error; the cleanup failure adds nothing the caller can use
        }
        throw;
    }
    temp.remove();
    return df;
}

py::object crossrank(py::object df, py::handle col1, py::handle col2) {
    py::str name = feature_name("crossrank", {col1, col2});
    // df[name] = df.groupby(col1)[col2].transform("rank"), placed by row position
    py::object grouped = df.attr("groupby")(col1, "observed"_a = false);
    py::object ranks = grouped[col2].attr("transform")("rank");
    df[name] = ranks.attr("array");
    return df;
}

}  // namespace

void register_group_stats(py::module_& m) {
    py::object stats_default = m.attr("AGGREGATE_TYPE");
    m.def("count", &count, py::arg("df"), py::arg("col"), py::arg("lec_record_dt") = py::none(),
          sig_doc("count(df, col, lec_record_dt=None)",
                  "Count encoding of `col` (rows per value), standardised, then median fill.\n\n"
                  "The first call for the feature stores the value counts in lec_record_dt; later "
                  "calls add the counts of the batch to the stored ones. Returns a new table.")
              .c_str());
    m.def("crosscount", &crosscount, py::arg("df"), py::arg("col_list"),
          py::arg("lec_record_dt") = py::none(),
          sig_doc("crosscount(df, col_list, lec_record_dt=None)",
                  "Rows per combination of the listed columns, standardised, then median fill.\n\n"
                  "col_list is a list of at least two column names. Returns a new table.")
              .c_str());
    m.def("aggregate", &aggregate, py::arg("df"), py::arg("num_col"), py::arg("group_col"),
          py::arg("stat_list") = stats_default, py::arg("lec_record_dt") = py::none(),
          sig_doc("aggregate(df, num_col, group_col, stat_list=['min', 'max', 'mean', 'median', "
                  "'var'], lec_record_dt=None)",
                  "One standardised feature per statistic of num_col per group_col value, then "
                  "median fill.\n\nLater calls merge the batch statistic into the stored one: "
                  "min/max of both, mean (n1 * m1 + n2 * m2) / (n1 + n2), median the average of "
                  "both, var kept. Returns a new table.")
              .c_str());
    m.def("nunique", &nunique, py::arg("df"), py::arg("id_col"), py::arg("group_col"),
          py::arg("lec_record_dt") = py::none(),
          sig_doc("nunique(df, id_col, group_col, lec_record_dt=None)",
                  "Distinct non-missing id_col values per group_col value, then median fill.\n\n"
                  "Later calls use the stored distinct counts unchanged. Returns a new table.")
              .c_str());
    m.def("histstat", &histstat, py::arg("df"), py::arg("id_col"), py::arg("group_col"),
          py::arg("stat_list") = stats_default,
          sig_doc("histstat(df, id_col, group_col, stat_list=['min', 'max', 'mean', 'median', "
                  "'var'])",
                  "Statistics, per group_col value, of how often each row's id_col value "
                  "occurs.\n\n"
                  "All statistics share the feature's name and are attached in list order, so the "
                  "column holds the last one. Modifies df in place and returns it.")
              .c_str());
    m.def("crossrank", &crossrank, py::arg("df"), py::arg("col1"), py::arg("col2"),
          sig_doc("crossrank(df, col1, col2)",
                  "Average rank of col2 among the rows with the same col1 value (missing values "
                  "unranked). Modifies df in place and returns it.")
              .c_str());
}

}  // namespace orvalis::brevant
