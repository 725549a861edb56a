// count and crosscount: rows per value of a column, and per pair of values of two columns, added
// to the counts the record keeps from training; standardised, then the median fill.
#include <algorithm>

#include "brevant/frozen.hpp"
#include "brevant/group_tables.hpp"
#include "orvalis/core/grouping.hpp"

namespace orvalis::brevant::groups {

namespace {

// The working table of a count: the batch's counts (`batch(as)`, named `as`), which the first
// call for the feature stores in the record; later calls add them to the stored ones. With frozen
// statistics the table is captured, or replayed without counting.
template <class Batch>
py::object counts_table(const py::str& name, py::handle key, py::object record,
                        const py::object& stored, Batch batch) {
    return batch_quantity(name, "table", [&] {
        if (stored.is_none()) {
            py::object first = batch(name);
            record[name] = first;
            return first;
        }
        py::str name2 = suffixed(name, "_2");
        return add_counts(stored, batch(name2), key, name, name2);
    });
}

py::object count_pandas(py::object df, py::handle col, py::object record) {
    py::str name = feature_name("count", {col});
    py::object stored = replaying() ? py::none() : stored_entry(record, name);
    py::object table = counts_table(name, col, record, stored,
                                    [&](const py::str& as) { return value_counts(df, col, as); });
    df = left_join_feature(df, table, as_list({col}), name);
    standardise(df, name);
    return median_fill(df, name);
}

py::object crosscount_pandas(py::object df, py::handle col_list, py::object record) {
    bind::py_assert(PyList_Check(col_list.ptr()));
    bind::py_assert(py::len(col_list) > 1);
    // with assertions off, anything iterable stands for the list, as in the Python form
    py::list cols = bind::snapshot_list(col_list);
    py::str name = py::str(std::string("crosscount") + kHead + "{}" + kTail)
                       .attr("format")(py::str(kSeparator).attr("join")(cols));
    py::object stored = replaying() ? py::none() : stored_entry(record, name);

    // df.groupby(col_list)[col_list[1]].count(), named like the feature (or its batch column)
    auto pair_counts = [&](const py::str& as) {
        py::object s = df.attr("groupby")(cols, "observed"_a = false)[cols[1]].attr("count")();
        s.attr("name") = as;
        return s;
    };
    py::object table = counts_table(name, cols, record, stored, pair_counts);
    df = left_join_feature(df, table, cols, name);
    standardise(df, name);
    return median_fill(df, name);
}

}  // namespace

py::object count(py::object df, py::handle col, py::object record) {
    py::str name = feature_name("count", {col});
    if (!plain_frame(df) || !plain_record(record)) return count_pandas(df, col, record);
    py::object stored = replaying() ? py::none() : stored_entry(record, name);
    auto key = key_of(df, col);
    if (!key) return count_pandas(df, col, record);
    NewTable out(df);
    if (!stored.is_none() && !whole_tables() &&
        attach_update(out, *key, col, stored, name, Rule::add, int_array(key->sizes())))
        return finish_fill(out, name);
    py::object table = counts_table(name, col, record, stored, [&](const py::str& as) {
        return first_seen_counts(*key, col, as);
    });
    if (!attach(out, *key, col, table, name, true)) {
        df = left_join_feature(df, table, as_list({col}), name);
        standardise(df, name);
        return median_fill(df, name);
    }
    return finish_fill(out, name);
}

py::object crosscount(py::object df, py::handle col_list, py::object record) {
    bind::py_assert(PyList_Check(col_list.ptr()));
    bind::py_assert(py::len(col_list) > 1);
    if (!PyList_Check(col_list.ptr())) return crosscount_pandas(df, col_list, record);
    py::list cols = bind::snapshot_list(col_list);
    if (cols.size() != 2 || !plain_frame(df) || !plain_record(record) || same(cols[0], cols[1]))
        return crosscount_pandas(df, col_list, record);
    py::str name = py::str(std::string("crosscount") + kHead + "{}" + kTail)
                       .attr("format")(py::str(kSeparator).attr("join")(cols));
    py::object stored = replaying() ? py::none() : stored_entry(record, name);
    py::object c1 = cols[0], c2 = cols[1];
    auto k1 = key_of(df, c1);
    auto k2 = k1 ? key_of(df, c2) : nullptr;
    if (!k1 || !k2) return crosscount_pandas(df, col_list, record);
    const auto n2 = static_cast<std::int64_t>(k2->ngroups());
    core::Factorized pairs;
    std::vector<std::int64_t> pair_sizes;
    {
        py::gil_scoped_release release;
        pairs = core::factorize_pairs(k1->codes(), static_cast<std::int64_t>(k1->ngroups()),
                                      k2->codes(), n2);
        pair_sizes = pairs.sizes.size() == pairs.ngroups()
                         ? std::move(pairs.sizes)
                         : core::group_sizes(pairs.codes, pairs.ngroups());
    }
    // df.groupby(col_list)[col_list[1]].count(): rows per pair, sorted by the two values, the
    // index levels being every value of each column (as the group-by keeps them)
    auto pair_counts = [&](const py::str& as) {
        const auto& s1 = k1->sorted_groups();
        const auto& s2 = k2->sorted_groups();
        std::vector<std::int64_t> rank1(s1.size()), rank2(s2.size());
        for (std::size_t r = 0; r < s1.size(); ++r) rank1[static_cast<std::size_t>(s1[r])] = r;
        for (std::size_t r = 0; r < s2.size(); ++r) rank2[static_cast<std::size_t>(s2[r])] = r;
        const std::size_t np_ = pairs.ngroups();
        // pairs by (rank of the first value, rank of the second): distinct numbers, sorted
        const auto n2s = static_cast<std::int64_t>(s2.size());
        std::vector<std::pair<std::int64_t, std::int64_t>> order(np_);
        for (std::size_t p = 0; p < np_; ++p) {
            const auto row = static_cast<std::size_t>(pairs.first[p]);
            order[p] = {rank1[static_cast<std::size_t>(k1->codes()[row])] * n2s +
                            rank2[static_cast<std::size_t>(k2->codes()[row])],
                        static_cast<std::int64_t>(p)};
        }
        const auto span = static_cast<std::uint64_t>(s1.size()) * s2.size();
        if (span <= std::max<std::uint64_t>(std::uint64_t{1} << 16, 4 * np_)) {
            // few enough numbers for a table of them: each pair put at its own, read in order
            std::vector<std::int64_t> at(static_cast<std::size_t>(span), -1);
            for (const auto& [number, p] : order) at[static_cast<std::size_t>(number)] = p;
            std::size_t k = 0;
            for (std::size_t number = 0; number < at.size(); ++number)
                if (at[number] >= 0) order[k++] = {static_cast<std::int64_t>(number), at[number]};
        } else {
            std::sort(order.begin(), order.end());
        }
        std::vector<std::int64_t> codes1(np_), codes2(np_), counts(np_);
        for (std::size_t k = 0; k < np_; ++k) {
            codes1[k] = order[k].first / n2s;
            codes2[k] = order[k].first % n2s;
            counts[k] = pair_sizes[static_cast<std::size_t>(order[k].second)];
        }
        py::list levels, codes, names;
        levels.append(pd().attr("Index")(k1->values_of(s1)));
        levels.append(pd().attr("Index")(k2->values_of(s2)));
        codes.append(int_array(codes1));
        codes.append(int_array(codes2));
        names.append(c1);
        names.append(c2);
        py::object index = pd().attr("MultiIndex")("levels"_a = levels, "codes"_a = codes,
                                                   "names"_a = names, "verify_integrity"_a = false);
        return pd().attr("Series")(int_array(counts), "index"_a = index, "name"_a = as);
    };
    // The pairs of a per-pair table in the batch's pair numbering: its values and the table row of
    // every pair. The table is a series indexed by the two keys (a group-by's), a frame of the
    // feature indexed by them (the stored counts joined with the batch's), or a frame of the two
    // keys and the feature.
    auto pair_rows = [&](const py::object& table) -> std::optional<Looked> {
        py::object keys1, keys2, vals;
        auto indexed_by_pairs = [&](const py::object& t) {
            return py::isinstance(t.attr("index"), pd().attr("MultiIndex")) &&
                   same(py::list(t.attr("index").attr("names")), cols);
        };
        if (py::isinstance(table, pd().attr("Series")) && same(table.attr("name"), name) &&
            indexed_by_pairs(table)) {
            vals = table;
        } else if (py::isinstance(table, pd().attr("DataFrame")) &&
                   same(py::list(table.attr("columns")), as_list({name})) &&
                   indexed_by_pairs(table)) {
            vals = table[name];
        } else if (py::isinstance(table, pd().attr("DataFrame")) &&
                   same(py::list(table.attr("columns")), as_list({c1, c2, name})) &&
                   !py::list(table.attr("index").attr("names")).contains(c1) &&
                   !py::list(table.attr("index").attr("names")).contains(c2)) {
            keys1 = table[c1];
            keys2 = table[c2];
            vals = table[name];
        } else {
            return std::nullopt;
        }
        if (!keys1) {
            keys1 = table.attr("index").attr("get_level_values")(0);
            keys2 = table.attr("index").attr("get_level_values")(1);
        }
        auto v = table_values(vals);
        auto t1 = v ? k1->codes_of(keys1) : std::nullopt;
        auto t2 = t1 ? k2->codes_of(keys2) : std::nullopt;
        if (!t2) return std::nullopt;
        const std::size_t np_ = pairs.ngroups();
        std::vector<std::int64_t> batch_keys(np_), table_keys(t1->size()), pos(t1->size());
        for (std::size_t p = 0; p < np_; ++p) {
            const auto row = static_cast<std::size_t>(pairs.first[p]);
            batch_keys[p] = k1->codes()[row] * n2 + k2->codes()[row];
        }
        for (std::size_t t = 0; t < table_keys.size(); ++t)
            table_keys[t] = (*t1)[t] < 0 || (*t2)[t] < 0 ? -1 : (*t1)[t] * n2 + (*t2)[t];
        core::lookup(batch_keys, table_keys, pos);
        std::vector<std::int64_t> row_of_pair;
        if (!rows_of_groups(pos, np_, row_of_pair)) return std::nullopt;
        return Looked{*v, std::move(row_of_pair)};
    };
    std::optional<Looked> looked;
    if (!stored.is_none() && !whole_tables() && py::isinstance(stored, pd().attr("Series"))) {
        // the stored counts plus the batch's, per pair of the batch
        if (auto found = pair_rows(stored)) {
            py::array sums =
                combine_stored(Rule::add, stored_at(std::move(*found)), int_array(pair_sizes));
            looked = Looked{sums, identity(pairs.ngroups())};
        }
    }
    py::object table;
    if (!looked) {
        table = counts_table(name, cols, record, stored, pair_counts);
        looked = pair_rows(table);
    }
    if (!looked) {
        df = left_join_feature(df, table, cols, name);
        standardise(df, name);
        return median_fill(df, name);
    }
    NewTable out(df);
    attach_values(out, pairs.codes, pair_sizes, looked->vals, looked->row_of_group, name, true);
    return finish_fill(out, name);
}

}  // namespace orvalis::brevant::groups
