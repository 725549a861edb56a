// nunique and histstat: how many distinct ids a group holds (kept from training in the record),
// and statistics per group of how often each row's id occurs in the batch.
#include <algorithm>
#include <string>

#include "brevant/frozen.hpp"
#include "brevant/group_tables.hpp"
#include "orvalis/core/grouping.hpp"

namespace orvalis::brevant::groups {

namespace {

py::object nunique_pandas(py::object df, py::handle id_col, py::handle group_col,
                          py::object record) {
    py::str name = feature_name("nunique", {id_col, group_col});
    py::object stored = replaying() ? py::none() : stored_entry(record, name);
    py::object table = batch_quantity(name, "table", [&] {
        if (!stored.is_none()) return stored;
        // df.groupby([group_col])[id_col].nunique()
        py::object first =
            df.attr("groupby")(as_list({group_col}), "observed"_a = false)[id_col].attr(
                "nunique")();
        first.attr("name") = name;
        record[name] = first;
        return first;
    });
    df = left_join_feature(df, table, as_list({group_col}), name);
    return median_fill(df, name);
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

py::object histstat_pandas(py::object df, py::handle id_col, py::handle group_col,
                           py::object stat_list) {
    foreign_code_may_run();  // pandas' group-bys hash and compare the caller's objects
    py::str name = feature_name("histstat", {id_col, group_col});
    TempCountColumn temp(df);
    try {
        // df["temp_count"] = df.groupby(id_col)[id_col].transform("count")
        py::object per_id =
            df.attr("groupby")(id_col, "observed"_a = false)[id_col].attr("transform")("count");
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
            py::object column =
                iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(k))];
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

py::object histstat_batch(py::object df, py::handle id_col, py::handle group_col,
                          py::object stat_list, const py::str& name) {
    const bool stats_ok = PyList_Check(stat_list.ptr()) || PyTuple_Check(stat_list.ptr());
    if (!stats_ok || !plain_frame(df) || same(py::str(kTempCount), id_col) ||
        same(py::str(kTempCount), group_col))
        return histstat_pandas(df, id_col, group_col, stat_list);
    py::list stats(stat_list);
    if (stats.size() == 0) return histstat_pandas(df, id_col, group_col, stat_list);
    std::vector<std::string> seen;
    for (py::handle s : stats) {
        if (stat_of(s) == Stat::other) return histstat_pandas(df, id_col, group_col, stat_list);
        std::string t = py::str(s);
        if (std::find(seen.begin(), seen.end(), t) != seen.end())
            return histstat_pandas(df, id_col, group_col, stat_list);
        seen.push_back(t);
    }
    // temp_count: rows per id value (missing for a row without one); int64 unless some id is
    // missing. Every statistic is named like the feature, so the column holds the last one.
    // Integer ids within a narrow range are counted by value, without a grouping of their own.
    std::shared_ptr<KeyColumn> ids, key;
    std::optional<IntRange> by_value = int_range(df, id_col);
    if (!by_value) ids = key_of(df, id_col);
    if (by_value || ids) key = key_of(df, group_col);
    if (!key || (by_value && by_value->values.size() != key->size()))
        return histstat_pandas(df, id_col, group_col, stat_list);
    const auto n = key->size();
    py::array temp;
    if (by_value) {
        std::vector<std::int64_t> per_value(static_cast<std::size_t>(by_value->count), 0);
        const auto values = by_value->values;
        const auto lo = static_cast<std::uint64_t>(by_value->lo);
        auto at = [&](std::size_t i) {
            return static_cast<std::size_t>(static_cast<std::uint64_t>(values[i]) - lo);
        };
        py::array_t<std::int64_t> t(static_cast<py::ssize_t>(n));
        std::int64_t* o = t.mutable_data();
        {
            py::gil_scoped_release release;
            for (std::size_t i = 0; i < n; ++i) ++per_value[at(i)];
            for (std::size_t i = 0; i < n; ++i) o[i] = per_value[at(i)];
        }
        temp = t;
    } else {
        std::vector<std::int64_t> per_id = core::group_sizes(ids->codes(), ids->ngroups());
        bool any_missing_id = false;
        for (std::int64_t c : ids->codes()) any_missing_id |= c < 0;
        if (any_missing_id) {
            py::array_t<double> t(static_cast<py::ssize_t>(n));
            double* o = t.mutable_data();
            for (std::size_t i = 0; i < n; ++i) {
                const std::int64_t c = ids->codes()[i];
                o[i] = c < 0 ? kNaN : static_cast<double>(per_id[static_cast<std::size_t>(c)]);
            }
            temp = t;
        } else {
            py::array_t<std::int64_t> t(static_cast<py::ssize_t>(n));
            std::int64_t* o = t.mutable_data();
            for (std::size_t i = 0; i < n; ++i)
                o[i] = per_id[static_cast<std::size_t>(ids->codes()[i])];
            temp = t;
        }
    }
    py::array per_group = group_statistic(stat_of(stats[stats.size() - 1]), *key, temp);
    std::vector<std::int64_t> every(key->ngroups());
    for (std::size_t g = 0; g < every.size(); ++g) every[g] = static_cast<std::int64_t>(g);
    assign_fresh_column(df, name, gather(per_group, every, key->codes()));
    return df;
}

// The feature's value per group, as the batch gave it: a series named like the feature, indexed by
// the group values (a row without a group value has none).
py::object per_group_values(const py::object& df, py::handle group_col, const py::str& name) {
    py::object column = df[name];
    py::object keys = df[group_col];
    py::object first =
        column.attr("groupby")(keys, "sort"_a = false, "dropna"_a = true).attr("first")();
    first.attr("name") = name;
    return first;
}

// The feature from its frozen per-group values: a row takes its group's value, missing for a group
// the reference did not have.
py::object histstat_frozen(py::object df, py::handle group_col, const py::str& name,
                           const py::object& table) {
    if (plain_frame(df)) {
        if (auto key = key_of(df, group_col))
            if (auto looked = lookup_feature(*key, group_col, table, name)) {
                assign_fresh_column(df, name,
                                    gather(looked->vals, looked->row_of_group, key->codes()));
                return df;
            }
    }
    // df[[group_col]].merge(table, on=group_col, how="left")[name], placed by row position
    py::object rows = df[as_list({group_col})].attr("reset_index")("drop"_a = true);
    py::object joined =
        rows.attr("merge")(table.attr("reset_index")(), "on"_a = group_col, "how"_a = "left");
    df[name] = py::object(joined[name]).attr("array");
    return df;
}

}  // namespace

py::object histstat(py::object df, py::handle id_col, py::handle group_col, py::object stat_list) {
    py::str name = feature_name("histstat", {id_col, group_col});
    FrozenStats* fz = frozen_stats();
    if (fz && fz->replaying())
        return histstat_frozen(df, group_col, name, fz->recorded(name, "groups"));
    df = histstat_batch(df, id_col, group_col, stat_list, name);
    if (fz) fz->record(name, "groups", per_group_values(df, group_col, name));
    return df;
}

py::object nunique(py::object df, py::handle id_col, py::handle group_col, py::object record) {
    if (!plain_frame(df) || !plain_record(record))
        return nunique_pandas(df, id_col, group_col, record);
    py::str name = feature_name("nunique", {id_col, group_col});
    py::object stored = replaying() ? py::none() : stored_entry(record, name);
    auto key = key_of(df, group_col);
    // The first call for the feature counts the batch's ids per group; later calls, and frozen
    // statistics replayed, use the table as it is.
    const bool first = stored.is_none() && !replaying();
    std::optional<IntRange> range;
    std::shared_ptr<KeyColumn> ids;
    if (first) {
        if (!key) return nunique_pandas(df, id_col, group_col, record);
        range = int_range(df, id_col);
        if (!range && !(ids = key_of(df, id_col)))
            return nunique_pandas(df, id_col, group_col, record);
    }
    py::object table = batch_quantity(name, "table", [&]() -> py::object {
        if (!first) return stored;
        py::array_t<std::int64_t> distinct(static_cast<py::ssize_t>(key->ngroups()));
        std::span<std::int64_t> os(distinct.mutable_data(), key->ngroups());
        const auto& sizes = key->sizes();
        if (range) {
            // integer ids over a small range are their own codes, less the smallest
            py::gil_scoped_release release;
            core::group_nunique(key->codes(), range->values, range->count, os, range->lo, sizes);
        } else {
            py::gil_scoped_release release;
            core::group_nunique(key->codes(), ids->codes(),
                                static_cast<std::int64_t>(ids->ngroups()), os, 0, sizes);
        }
        py::object counted = sorted_series(*key, group_col, distinct, name);
        record[name] = counted;
        return counted;
    });
    if (key) {
        NewTable out(df);
        if (attach(out, *key, group_col, table, name, false)) return finish_fill(out, name);
    }
    df = left_join_feature(df, table, as_list({group_col}), name);
    return median_fill(df, name);
}

}  // namespace orvalis::brevant::groups
