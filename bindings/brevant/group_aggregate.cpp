// aggregate: a statistic of a numeric column per group (min, max, mean, median, var), merged
// with the record's training statistic by the statistic's own rule; standardised, then the
// median fill after the last statistic.
#include <functional>

#include "brevant/frozen.hpp"
#include "brevant/group_tables.hpp"

namespace orvalis::brevant::groups {

namespace {

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
using Factory = std::function<py::object(const py::str&)>;

// `batch_stat(as)`: the statistic of the batch per group, a series named `as`; `batch_counts(as)`:
// the batch's rows per group value, a frame of the group column and `as`.
py::object update_stat(const std::string& stat, const Factory& batch_stat,
                       const Factory& batch_counts, py::handle group_col, const py::object& stored,
                       py::object record, const py::str& name) {
    py::str name2 = suffixed(name, "_2");
    if (stat == "var") return stored;  // the training variance is kept as it is
    py::object batch = batch_stat(name2);

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
        py::object lengths = outer_join(stored["length"], batch_counts(g_count2), group_col);
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

// The fill after the statistics of one aggregate call takes its key from the last of them.
py::str fill_key(py::handle num_col, py::handle group_col, const py::object& last_name) {
    if (!last_name.is_none()) return last_name;
    return feature_name("aggregate", {num_col, group_col});
}

// `last`: the feature of the statistic before the first of `stat_list`, when the native form
// computed it.
py::object aggregate_pandas(py::object df, py::handle num_col, py::handle group_col,
                            py::object stat_list, py::object record, py::object last = py::none()) {
    for (py::handle stat : stat_list) {
        py::str name = feature_name("aggregate", {stat, num_col, group_col});
        last = name;
        py::object stored = replaying() ? py::none() : stored_entry(record, name);
        py::object table = batch_quantity(name, "table", [&] {
            if (!stored.is_none())
                return update_stat(
                    py::str(stat).cast<std::string>(),
                    [&](const py::str& as) { return group_stat(df, num_col, group_col, stat, as); },
                    [&](const py::str& as) { return value_counts(df, group_col, as); }, group_col,
                    stored, record, name);
            py::object first = group_stat(df, num_col, group_col, stat, name);
            record[name] = first;
            if (py::str(stat).cast<std::string>() == "mean") {
                py::dict entry;
                entry["data"] = first;
                py::str g_count = suffixed(py::str(group_col), "_count");
                entry["length"] = value_counts(df, group_col, g_count);
                record[name] = entry;
            }
            return first;
        });
        df = left_join_feature(df, table, as_list({group_col}), name);
        standardise(df, name);
    }
    return median_fill(df, fill_key(num_col, group_col, last));
}

// The incremental mean without its three outer joins, where the stored entry is a first call's
// ({"data": the per-group means, a float64 series indexed by the key, "length": a frame of the key
// and its rows}) over exactly the batch's keys, sorted and unique, of the batch key's own dtype.
// The joins then match every key once, keep the stored keys' order and leave no gap, so the kept
// entry `…_mean_count` (the joined frame, means of all-gap groups as 0) and the working column
// (n2 * m2 + n1 * m1) / (n2 + n1) are built per group here. false for any other entry, which the
// caller joins with pandas.
bool attach_mean_update(NewTable& out, KeyColumn& key, const py::object& df, py::handle g,
                        const py::object& stored, py::object record, const py::str& name,
                        const py::array& batch_means) {
    if (!PyDict_Check(stored.ptr())) return false;
    py::dict entry = py::reinterpret_borrow<py::dict>(stored);
    if (!entry.contains("data") || !entry.contains("length")) return false;
    py::object data = entry["data"], length = entry["length"];
    if (!py::isinstance(data, pd().attr("Series")) ||
        !py::isinstance(length, pd().attr("DataFrame")))
        return false;
    const py::str g_count = suffixed(py::str(g), "_count");
    const py::str g_count2 = suffixed(py::str(g), "_count_2");
    const py::str name2 = suffixed(name, "_2");
    py::list labels = as_list({g, name, name2, g_count, g_count2});
    if (!pd().attr("Index")(labels).attr("is_unique").cast<bool>()) return false;
    py::object index = data.attr("index");
    py::object key_dtype = df[g].attr("dtype");
    auto plain_dtype = [&](py::handle dtype) {
        if (!py::isinstance<py::dtype>(dtype)) return false;
        const char kind = py::reinterpret_borrow<py::dtype>(dtype).kind();
        return kind == 'O' || kind == 'i' || kind == 'u' || kind == 'f';
    };
    if (!plain_dtype(key_dtype) || !py::object(index.attr("dtype")).equal(key_dtype) ||
        py::isinstance(index, pd().attr("MultiIndex")) ||
        py::str(data.attr("dtype")).cast<std::string>() != "float64" ||
        !same(py::list(length.attr("columns")), as_list({g, g_count})) ||
        !py::object(length[g].attr("dtype")).equal(key_dtype) ||
        py::str(length[g_count].attr("dtype")).cast<std::string>() != "int64" ||
        index.attr("hasnans").cast<bool>() || !index.attr("is_unique").cast<bool>() ||
        !index.attr("is_monotonic_increasing").cast<bool>())
        return false;
    auto means = lookup_feature(key, g, data, name);
    if (!means) return false;
    auto counts = lookup_feature(key, g, length, g_count);
    if (!counts) return false;
    const std::size_t ng = key.ngroups();
    if (!stored_at(*means).same_keys || !stored_at(*counts).same_keys) return false;

    // the joined frame's rows are the stored means' rows, in their order
    std::vector<std::int64_t> group_of_row(ng);
    for (std::size_t b = 0; b < ng; ++b)
        group_of_row[static_cast<std::size_t>(means->row_of_group[b])] =
            static_cast<std::int64_t>(b);
    const auto* m1 = static_cast<const double*>(means->vals.data());
    const auto* n1 = static_cast<const std::int64_t*>(counts->vals.data());
    const auto* m2 = static_cast<const double*>(batch_means.data());
    const auto n2 = key.sizes();
    auto filled = [](double v) { return v != v ? 0.0 : v; };
    py::array_t<double> c_m1(static_cast<py::ssize_t>(ng)), c_m2(static_cast<py::ssize_t>(ng));
    py::array_t<std::int64_t> c_n1(static_cast<py::ssize_t>(ng)),
        c_n2(static_cast<py::ssize_t>(ng));
    py::array_t<double> working(static_cast<py::ssize_t>(ng));
    double *o_m1 = c_m1.mutable_data(), *o_m2 = c_m2.mutable_data(), *w = working.mutable_data();
    std::int64_t *o_n1 = c_n1.mutable_data(), *o_n2 = c_n2.mutable_data();
    for (std::size_t r = 0; r < ng; ++r) {
        const auto b = static_cast<std::size_t>(group_of_row[r]);
        o_m1[r] = filled(m1[r]);
        o_m2[r] = filled(m2[b]);
        o_n1[r] = n1[static_cast<std::size_t>(counts->row_of_group[b])];
        o_n2[r] = n2[b];
    }
    for (std::size_t b = 0; b < ng; ++b) {
        const auto r = static_cast<std::size_t>(means->row_of_group[b]);
        const double a = static_cast<double>(o_n2[r]) * o_m2[r];
        const double c = static_cast<double>(o_n1[r]) * o_m1[r];
        // int64 addition as NumPy does it: wrapping
        const auto total = static_cast<std::int64_t>(static_cast<std::uint64_t>(o_n2[r]) +
                                                     static_cast<std::uint64_t>(o_n1[r]));
        w[b] = (a + c) / static_cast<double>(total);
    }
    py::dict columns;
    columns[g] = index.attr("to_numpy")("copy"_a = true);
    columns[name] = c_m1;
    columns[name2] = c_m2;
    columns[g_count] = c_n1;
    columns[g_count2] = c_n2;
    record[suffixed(name, "_mean_count")] = pd().attr("DataFrame")(columns, "columns"_a = labels);
    attach_values(out, key.codes(), key.sizes(), working, identity(ng), name, true);
    return true;
}

}  // namespace

py::object aggregate(py::object df, py::handle num_col, py::handle group_col, py::object stat_list,
                     py::object record) {
    if (!plain_frame(df) || !plain_record(record))
        return aggregate_pandas(df, num_col, group_col, stat_list, record);
    NewTable out(df);
    std::shared_ptr<KeyColumn> key;
    std::optional<py::object> x;
    // the values of num_col as the native statistics read them, or None
    auto input = [&]() -> const py::object& {
        if (!x) x = stat_input(df, num_col);
        return *x;
    };
    py::iterator it = py::iter(stat_list);
    // The statistics from `it` on by the pandas formulation, on the table as it stands: once a
    // join was pandas', the table's rows may no longer be the caller's.
    py::object last = py::none();
    auto rest_by_pandas = [&](py::object current) {
        py::list rest;
        for (; it != py::iterator::sentinel(); ++it) rest.append(*it);
        return aggregate_pandas(std::move(current), num_col, group_col, rest, record, last);
    };
    for (; it != py::iterator::sentinel(); ++it) {
        py::handle stat = *it;
        py::str name = feature_name("aggregate", {stat, num_col, group_col});
        py::object stored = replaying() ? py::none() : stored_entry(record, name);
        // every statistic reads the caller's rows; the new table holds the same values
        if (!key) {
            key = key_of(df, group_col);
            if (!key) return rest_by_pandas(df);
        }
        last = name;
        const Stat s = stat_of(stat);
        auto batch_stat = [&](const py::str& as) {
            if (s != Stat::other && !input().is_none()) {
                py::array values = py::reinterpret_borrow<py::array>(input());
                return sorted_series(*key, group_col, group_statistic(s, *key, values), as);
            }
            return group_stat(df, num_col, group_col, stat, as);
        };
        auto batch_counts = [&](const py::str& as) {
            return first_seen_counts(*key, group_col, as);
        };
        const std::string stat_text = py::str(stat).cast<std::string>();
        if (!stored.is_none() && !whole_tables()) {
            if (s == Stat::mean && !input().is_none()) {
                py::array values = py::reinterpret_borrow<py::array>(input());
                if (attach_mean_update(out, *key, df, group_col, stored, record, name,
                                       group_statistic(s, *key, values)))
                    continue;
            }
            if ((s == Stat::min || s == Stat::max || s == Stat::median) && !input().is_none()) {
                const Rule rule = s == Stat::min   ? Rule::min
                                  : s == Stat::max ? Rule::max
                                                   : Rule::halves;
                py::array values = py::reinterpret_borrow<py::array>(input());
                if (attach_update(out, *key, group_col, stored, name, rule,
                                  group_statistic(s, *key, values)))
                    continue;
            }
        }
        py::object table = batch_quantity(name, "table", [&] {
            if (!stored.is_none())
                return update_stat(stat_text, batch_stat, batch_counts, group_col, stored, record,
                                   name);
            py::object first = batch_stat(name);
            record[name] = first;
            if (stat_text == "mean") {
                py::dict entry;
                entry["data"] = first;
                entry["length"] = batch_counts(suffixed(py::str(group_col), "_count"));
                record[name] = entry;
            }
            return first;
        });
        if (!attach(out, *key, group_col, table, name, true)) {
            py::object current = out.get();
            current = left_join_feature(current, table, as_list({group_col}), name);
            standardise(current, name);
            ++it;
            return rest_by_pandas(current);
        }
    }
    return finish_fill(out, fill_key(num_col, group_col, last));
}

}  // namespace orvalis::brevant::groups
