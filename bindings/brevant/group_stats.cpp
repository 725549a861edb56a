// Group statistics: count, crosscount, aggregate, nunique, histstat, crossrank.
//
// The first four keep the per-group table they computed in the incremental record, keyed by the
// feature name. The first call for a name stores its table; later calls merge the statistic of
// the new batch into a working copy (counts added, min/max/mean/median by their own rules, var
// and distinct counts kept) and leave the stored entry as it is.
//
// What callers see is the pandas formulation (group-bys, outer joins of the per-group tables,
// left joins onto the rows, standardisation, median fill): the same values, dtypes, column order
// and fresh row index, and record entries of the same pandas types. It is computed natively: key
// columns are hashed in C++ (numbers by value, texts by their code units), the per-group
// statistics run the same arithmetic as pandas' group-by kernels with the GIL released, and the
// per-group table is looked up for every row by hashing instead of a join. Only the small
// per-group tables a record keeps are built and merged by pandas, so record entries keep their
// exact form; the working column of an incremental call is combined natively where it is not kept.
// Columns or tables of a kind not handled natively (extension dtypes, keys of mixed types, stored
// tables whose keys have another dtype) take the pandas formulation itself.
//
// A group statistic returns a new table: the caller's frame is copied once, and a table that an
// operator of the same name2feature call created (private to the call) is continued in place,
// so one feature costs the same whatever the width of the table.
//
// Missing key values: pandas' group-bys leave rows with a missing key out of every statistic, and
// a missing key matches nothing stored (key rows that are missing are dropped from the table
// before the join, so a record built elsewhere with a NaN key cannot match several rows either).
// Such rows get a missing feature, which the median fill then replaces like any other gap.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

#include "brevant/brevant.hpp"
#include "brevant/keys.hpp"
#include "orvalis/core/elementwise.hpp"
#include "orvalis/core/moments.hpp"

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
    // the pandas formulation's group-bys and joins hash and compare the caller's objects
    foreign_code_may_run();
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

// ---- the pandas formulation, for what the native path does not handle -------------------------

py::object count_pandas(py::object df, py::handle col, py::object record) {
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

py::object crosscount_pandas(py::object df, py::handle col_list, py::object record) {
    bind::py_assert(PyList_Check(col_list.ptr()));
    bind::py_assert(py::len(col_list) > 1);
    // with assertions off, anything iterable stands for the list, as in the Python form
    py::list cols = bind::snapshot_list(col_list);
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

py::object aggregate_pandas(py::object df, py::handle num_col, py::handle group_col, py::object stat_list,
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
            table = update_stat(
                py::str(stat).cast<std::string>(),
                [&](const py::str& as) { return group_stat(df, num_col, group_col, stat, as); },
                [&](const py::str& as) { return value_counts(df, group_col, as); }, group_col,
                stored, record, name);
        }
        df = left_join_feature(df, table, as_list({group_col}), name);
        standardise(df, name);
    }
    return median_fill(df);
}

py::object nunique_pandas(py::object df, py::handle id_col, py::handle group_col, py::object record) {
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

py::object histstat_pandas(py::object df, py::handle id_col, py::handle group_col, py::object stat_list) {
    foreign_code_may_run();  // pandas' group-bys hash and compare the caller's objects
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

py::object crossrank_pandas(py::object df, py::handle col1, py::handle col2) {
    foreign_code_may_run();  // pandas' group-by hashes and compares the caller's objects
    py::str name = feature_name("crossrank", {col1, col2});
    // df[name] = df.groupby(col1)[col2].transform("rank"), placed by row position
    py::object grouped = df.attr("groupby")(col1, "observed"_a = false);
    py::object ranks = grouped[col2].attr("transform")("rank");
    df[name] = ranks.attr("array");
    return df;
}

// ---- the native formulation ---------------------------------------------------------------------

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

py::module_ np() { return py::module_::import("numpy"); }

py::array_t<std::int64_t> int_array(std::span<const std::int64_t> v) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(std::int64_t));
    return out;
}

// A table whose columns are unique texts (or other plain labels), the shape the native path keeps
// exactly as a merge would.
bool plain_frame(py::handle df) {
    if (!py::isinstance(df, pd().attr("DataFrame"))) return false;
    py::object columns = df.attr("columns");
    if (py::isinstance(columns, pd().attr("MultiIndex"))) return false;
    if (!columns.attr("is_unique").cast<bool>()) return false;
    return py::str(columns.attr("dtype")).cast<std::string>() == "object";
}

// A copy of a C-contiguous object array: its references taken once each into memory that starts
// out empty (NumPy's copy first fills its new array with None, then replaces every element).
// nullopt for any other array.
std::optional<py::array> object_copy(const py::object& values) {
    if (!py::isinstance<py::array>(values)) return std::nullopt;
    py::array src = py::reinterpret_borrow<py::array>(values);
    if (src.dtype().kind() != 'O' || !(src.flags() & py::array::c_style)) return std::nullopt;
    std::vector<py::ssize_t> shape(src.shape(), src.shape() + src.ndim());
    py::array dst(src.dtype(), shape);  // NumPy zero-fills object memory: every element NULL
    if (!(dst.flags() & py::array::c_style)) return std::nullopt;
    auto* const* from = static_cast<PyObject* const*>(src.data());
    auto** to = static_cast<PyObject**>(dst.mutable_data());
    const auto n = static_cast<std::size_t>(src.size());
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = from[i];
        Py_XINCREF(o);
        to[i] = o;
    }
    return dst;
}

// Whether a copy of `bytes` bytes should bypass the cache. The copy's columns are mostly not read
// again by the operator that made it, so beyond the size of a core's own cache the stores go
// straight to memory instead of reading every destination line in only to overwrite it
// (measured: 0.5-1 ms less per 1M-row group statistic than a cached copy).
bool streamed(std::size_t bytes) { return bytes > (std::size_t{1} << 20); }

// A copy of a C-contiguous NumPy array of integers, unsigned integers or booleans (nothing that
// holds references), byte for byte; nullopt for any other array.
std::optional<py::array> plain_copy(const py::object& values) {
    if (!py::isinstance<py::array>(values)) return std::nullopt;
    py::array src = py::reinterpret_borrow<py::array>(values);
    const char kind = src.dtype().kind();
    if ((kind != 'i' && kind != 'u' && kind != 'b') || !(src.flags() & py::array::c_style))
        return std::nullopt;
    std::vector<py::ssize_t> shape(src.shape(), src.shape() + src.ndim());
    py::array dst(src.dtype(), shape);
    if (!(dst.flags() & py::array::c_style) || dst.nbytes() != src.nbytes()) return std::nullopt;
    const auto bytes = static_cast<std::size_t>(src.nbytes());
    const void* from = src.data();
    void* to = dst.mutable_data();
    {
        py::gil_scoped_release release;
        core::copy_bytes(from, to, bytes, streamed(bytes));
    }
    return dst;
}

// df.copy(), without the consolidation of its blocks that pandas' copy adds (which rebuilds every
// column of a table that grew column by column): each block copied as it is. A block of float64
// columns is copied natively, each column read once for the copy and for whether it holds a gap
// (what the median fill needs to know of it), so a wide table is read once. pandas' own copy
// where its block manager offers no such steps.
py::object deep_copy(const py::object& df, std::unordered_map<const void*, py::object>& clean) {
    py::object mgr = py::getattr(df, "_mgr", py::none());
    if (mgr.is_none() || !py::hasattr(mgr, "blocks") || !py::hasattr(df, "_constructor_from_mgr"))
        return df.attr("copy")();
    py::list blocks;
    std::vector<std::pair<const void*, py::object>> known;
    for (py::handle blk : py::tuple(mgr.attr("blocks"))) {
        py::object values = blk.attr("values");
        if (py::hasattr(blk, "make_block_same_class"))
            if (auto objects = object_copy(values)) {
                blocks.append(blk.attr("make_block_same_class")(*objects));
                continue;
            }
        if (!py::isinstance<py::array_t<double>>(values) ||
            py::reinterpret_borrow<py::array>(values).dtype().kind() != 'f' ||
            !py::hasattr(blk, "make_block_same_class")) {
            if (auto plain = plain_copy(values); plain && py::hasattr(blk, "make_block_same_class"))
                blocks.append(blk.attr("make_block_same_class")(*plain));
            else
                blocks.append(blk.attr("copy")("deep"_a = true));
            continue;
        }
        py::array src = py::reinterpret_borrow<py::array>(values);
        if (src.ndim() != 2 || !(src.flags() & py::array::c_style)) {
            blocks.append(blk.attr("copy")("deep"_a = true));
            continue;
        }
        const auto rows = static_cast<std::size_t>(src.shape(0));
        const auto n = static_cast<std::size_t>(src.shape(1));
        py::array_t<double, py::array::c_style> dst({src.shape(0), src.shape(1)});
        std::vector<std::uint8_t> gap(rows, 0);
        {
            const double* from = static_cast<const double*>(src.data());
            double* to = dst.mutable_data();
            const bool stream = streamed(rows * n * sizeof(double));
            py::gil_scoped_release release;
            for (std::size_t r = 0; r < rows; ++r)
                gap[r] = core::copy_flag_gaps({from + r * n, n}, {to + r * n, n}, stream);
        }
        for (std::size_t r = 0; r < rows; ++r)
            if (!gap[r]) known.emplace_back(dst.data() + r * n, dst);
        blocks.append(blk.attr("make_block_same_class")(dst));
    }
    py::object copied = mgr.attr("__class__")(py::tuple(blocks), mgr.attr("axes"),
                                              "verify_integrity"_a = false);
    py::object out = df.attr("_constructor_from_mgr")(copied, "axes"_a = copied.attr("axes"));
    for (auto& [row, holder] : known) clean.emplace(row, holder);
    return out;
}

// The rows of `df` as the new table an operator returns (df.merge(...) gives a fresh index
// 0..n-1, no attrs and an unnamed column index). The caller's frame is copied once; a table this
// name2feature call created is private to it and continued in place.
class NewTable {
public:
    // `owned`: a table the operator made itself (a pandas join's result).
    explicit NewTable(py::object df, bool owned = false) : df_(std::move(df)), owned_(owned) {}

    py::object& get() {
        if (ready_) return df_;
        CallContext* ctx = current_call();
        if (!owned_ && !(ctx && ctx->is_private(df_))) {
            df_ = deep_copy(df_, clean());
            if (py::len(df_.attr("attrs")) != 0) df_.attr("attrs") = py::dict();
            py::object columns = df_.attr("columns");
            if (!columns.attr("name").is_none())
                df_.attr("columns") = columns.attr("rename")(py::none());
        }
        py::object index = df_.attr("index");
        const auto n = py::len(index);
        py::object range = pd().attr("RangeIndex");
        bool fresh = py::isinstance(index, range) && index.attr("start").cast<py::ssize_t>() == 0 &&
                     index.attr("step").cast<py::ssize_t>() == 1 && index.attr("name").is_none();
        if (!fresh) df_.attr("index") = range(n);
        if (ctx) ctx->private_table = df_;
        ready_ = true;
        return df_;
    }

    // df[name] = values as the last column, dropping a stale column of that name first.
    void put_last(const py::str& name, py::object values) {
        py::object& t = get();
        if (t.attr("columns").contains(name)) t.attr("__delitem__")(name);
        assign_fresh_column(t, name, std::move(values));
    }

    // What the median fill may take as known about buffers: the call's, or this table's own for
    // an operator called directly.
    std::unordered_map<const void*, py::object>& clean() {
        CallContext* ctx = current_call();
        return ctx ? ctx->clean : clean_;
    }
    std::unordered_map<const void*, CallContext::Median>& medians() {
        CallContext* ctx = current_call();
        return ctx ? ctx->medians : medians_;
    }

private:
    std::unordered_map<const void*, py::object> clean_;
    std::unordered_map<const void*, CallContext::Median> medians_;
    py::object df_;
    bool owned_ = false;
    bool ready_ = false;
};

// (x - x.mean()) / x.std(), the mean and deviation taken by pandas on the column as the join gave
// it (int64 when every row matched an integer statistic, float64 otherwise).
void moments_of(const py::array& raw, double& mean, double& sd) {
    if (!column_moments(raw, mean, sd)) {
        py::object s = pd().attr("Series")(raw, "copy"_a = false);
        mean = py::float_(s.attr("mean")());
        sd = py::float_(s.attr("std")());
    }
}

py::array_t<double> standardised(const py::array& raw, double mean, double sd) {
    const auto n = static_cast<std::size_t>(raw.size());
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    double* o = out.mutable_data();
    if (py::isinstance<py::array_t<std::int64_t>>(raw) && raw.dtype().kind() == 'i') {
        const auto* x = static_cast<const std::int64_t*>(raw.data());
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) o[i] = (static_cast<double>(x[i]) - mean) / sd;
    } else {
        const auto* x = static_cast<const double*>(raw.data());
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) o[i] = (x[i] - mean) / sd;
    }
    return out;
}

// The feature standardised straight from per-group values, as standardised(moments_of(raw)) gives
// it for raw = gather(vals, row_of_group, codes), without that per-row column: the mean and
// deviation are read through the codes, and row i takes its group's standardised value. nullopt
// where pandas takes its own kernels, or where raw would be int64 (every row matched) with a sum
// that is not exact in a double: NumPy then sums it buffer by buffer, in another order.
std::optional<py::array> standardised_from_groups(const py::array& vals,
                                                  std::span<const std::int64_t> row_of_group,
                                                  std::span<const std::int64_t> codes,
                                                  std::span<const std::int64_t> sizes,
                                                  double& mean, double& sd) {
    if (!native_moments()) return std::nullopt;
    const std::size_t ng = row_of_group.size();
    const bool ints = vals.dtype().kind() == 'i';
    const void* data = vals.data();
    std::vector<double> value(ng + 1, kNaN);  // value[0]: rows without a group
    std::size_t present = 0, matched = 0;
    double magnitude = 0;  // sum of |value| over the rows, as a bound
    for (std::size_t g = 0; g < ng; ++g) {
        const std::int64_t r = row_of_group[g];
        if (r < 0) continue;
        const double v = ints ? static_cast<double>(static_cast<const std::int64_t*>(data)[r])
                              : static_cast<const double*>(data)[r];
        const auto rows = static_cast<std::size_t>(sizes[g]);
        value[g + 1] = v;
        matched += rows;
        if (v == v) present += rows;
        magnitude += std::fabs(v) * static_cast<double>(rows);
    }
    if (ints && matched == codes.size() && !(magnitude < 0x1p52)) return std::nullopt;
    core::Moments m{};
    {
        py::gil_scoped_release release;
        m = core::moments_by_codes(value, codes, present);
    }
    mean = m.mean;
    sd = m.sd;
    for (double& v : value) v = (v - mean) / sd;
    py::array_t<double> out(static_cast<py::ssize_t>(codes.size()));
    double* o = out.mutable_data();
    const double* z = value.data() + 1;
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < codes.size(); ++i) o[i] = z[codes[i]];
    return out;
}

// df.fillna(df.median(numeric_only=True)) on a table the operator owns: only float64 columns that
// hold a gap are computed and replaced (their median of the non-missing values, the mean of the
// two middle ones for an even count, as pandas computes it). Columns known to hold no gap are not
// read again within the call. `own`: the table is the operator's (a copy or the call's private
// table), so its columns may be filled in place. Returns false when some other numeric column
// (float32, nullable, complex) holds a gap: the caller then fills with pandas.
bool median_fill_native(py::object& df, std::unordered_map<const void*, py::object>& clean,
                        std::unordered_map<const void*, CallContext::Median>& medians, bool own) {
    // with copy-on-write, a table's blocks may be shared lazily with another frame
    if (own && py::bool_(pd().attr("get_option")("mode.copy_on_write")).cast<bool>()) own = false;
    py::tuple blocks = df.attr("_mgr").attr("blocks");
    std::vector<std::pair<py::object, py::array_t<double>>> replacements;
    std::vector<const void*> replaced;
    for (py::handle blk : blocks) {
        py::object values = blk.attr("values");
        if (!py::isinstance<py::array>(values)) {
            py::object dtype = values.attr("dtype");
            if (py::bool_(py::getattr(dtype, "_is_numeric", py::bool_(false))) &&
                py::bool_(values.attr("isna")().attr("any")()))
                return false;
            continue;
        }
        py::array arr = py::reinterpret_borrow<py::array>(values);
        const char kind = arr.dtype().kind();
        if (kind != 'f' && kind != 'c') continue;
        if (kind == 'c' || arr.dtype().itemsize() != 8 || arr.ndim() != 2) {
            if (clean.count(arr.data())) continue;
            if (py::bool_(np().attr("isnan")(arr).attr("any")())) return false;
            clean.emplace(arr.data(), arr);
            continue;
        }
        Ints locs(blk.attr("mgr_locs").attr("as_array"));
        // A private table's blocks are its own (no other frame shares them while pandas copies
        // on every operation), so their gaps are filled in place.
        const bool in_place = own && arr.writeable();
        const auto rows = static_cast<std::size_t>(arr.shape(0));
        const auto n = static_cast<std::size_t>(arr.shape(1));
        const py::ssize_t s0 = arr.strides(0), s1 = arr.strides(1);
        const char* base = static_cast<const char*>(arr.data());
        for (std::size_t r = 0; r < rows; ++r) {
            const char* row = base + static_cast<py::ssize_t>(r) * s0;
            if (clean.count(row)) continue;
            auto at = [&](std::size_t i) {
                return *reinterpret_cast<const double*>(row + static_cast<py::ssize_t>(i) * s1);
            };
            bool gap = false;
            double med = kNaN;
            if (auto known = medians.find(row); known != medians.end()) {
                gap = true;  // recorded only for a column with a gap
                med = known->second.value;
            } else {
                py::gil_scoped_release release;
                for (std::size_t i = 0; i < n && !gap; ++i) gap = std::isnan(at(i));
                if (gap && s1 == sizeof(double)) {
                    med = core::median({reinterpret_cast<const double*>(row), n});
                } else if (gap) {
                    std::vector<double> v(n);
                    for (std::size_t i = 0; i < n; ++i) v[i] = at(i);
                    med = core::median(v);
                }
            }
            if (!gap || std::isnan(med)) {
                clean.emplace(row, arr);
                continue;
            }
            replaced.push_back(row);
            if (in_place) {
                // the table's own column: its gaps filled where they are, no second buffer
                char* w = const_cast<char*>(row);
                py::gil_scoped_release release;
                if (s1 == sizeof(double)) {
                    // every value rewritten, a gap by the median: a select that vectorises,
                    // where a test per value mispredicts at every scattered gap
                    auto* x = reinterpret_cast<double*>(w);
                    for (std::size_t i = 0; i < n; ++i) x[i] = x[i] != x[i] ? med : x[i];
                } else {
                    for (std::size_t i = 0; i < n; ++i) {
                        auto* x = reinterpret_cast<double*>(w + static_cast<py::ssize_t>(i) * s1);
                        if (std::isnan(*x)) *x = med;
                    }
                }
                clean.emplace(row, arr);
                continue;
            }
            py::array_t<double> filled(static_cast<py::ssize_t>(n));
            double* f = filled.mutable_data();
            {
                py::gil_scoped_release release;
                for (std::size_t i = 0; i < n; ++i) {
                    const double x = at(i);
                    f[i] = std::isnan(x) ? med : x;
                }
            }
            replacements.emplace_back(py::int_(locs.at(static_cast<py::ssize_t>(r))), filled);
        }
    }
    for (auto& [loc, filled] : replacements) {
        if (py::hasattr(df, "_iset_item_mgr"))
            df.attr("_iset_item_mgr")(loc, filled);
        else
            df.attr("isetitem")(loc, filled);
        clean.emplace(filled.data(), filled);
    }
    // the gap columns' old buffers are no longer the table's
    CallContext* ctx = current_call();
    for (const void* row : replaced) {
        medians.erase(row);
        if (ctx) ctx->forget_buffer(row);
    }
    return true;
}

py::object finish_fill(NewTable& table) {
    py::object& df = table.get();
    CallContext* ctx = current_call();
    if (median_fill_native(df, table.clean(), table.medians(), true)) return df;
    py::object out = median_fill(df);
    if (ctx) ctx->private_table = out;
    return out;
}

// Values per row of the batch from a per-group table, as df.merge(table, on=key, how="left")
// gives the column `name`: the table is a series named `name` indexed by the key, or a frame of
// the key column and `name`. nullopt when the table is of another shape, its keys cannot be
// compared natively with the batch's, or a key occurs in it twice (the join would repeat rows).
std::optional<py::array> table_values(py::handle v) {
    py::array a = np().attr("asarray")(v);
    if (a.ndim() != 1 || a.dtype().itemsize() != 8) return std::nullopt;
    const char kind = a.dtype().kind();
    if (kind != 'i' && kind != 'f') return std::nullopt;
    return py::array(np().attr("ascontiguousarray")(a));
}

py::array gather(const py::array& vals, std::span<const std::int64_t> row_of_group,
                 std::span<const std::int64_t> codes) {
    const auto n = codes.size();
    bool all = true;
    for (std::int64_t c : codes)
        if (c < 0 || row_of_group[static_cast<std::size_t>(c)] < 0) {
            all = false;
            break;
        }
    if (vals.dtype().kind() == 'i' && all) {
        const auto* v = static_cast<const std::int64_t*>(vals.data());
        py::array_t<std::int64_t> out(static_cast<py::ssize_t>(n));
        std::int64_t* o = out.mutable_data();
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i)
            o[i] = v[row_of_group[static_cast<std::size_t>(codes[i])]];
        return out;
    }
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    double* o = out.mutable_data();
    const bool ints = vals.dtype().kind() == 'i';
    const void* data = vals.data();
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t c = codes[i];
        const std::int64_t r = c < 0 ? -1 : row_of_group[static_cast<std::size_t>(c)];
        o[i] = r < 0 ? kNaN
               : ints ? static_cast<double>(static_cast<const std::int64_t*>(data)[r])
                      : static_cast<const double*>(data)[r];
    }
    return out;
}

// The table row of every group (or -1), from the table's key codes; false on a repeated key.
bool rows_of_groups(std::span<const std::int64_t> table_codes, std::size_t ngroups,
                    std::vector<std::int64_t>& row_of_group) {
    row_of_group.assign(ngroups, -1);
    for (std::size_t t = 0; t < table_codes.size(); ++t) {
        const std::int64_t c = table_codes[t];
        if (c < 0) continue;
        auto& slot = row_of_group[static_cast<std::size_t>(c)];
        if (slot >= 0) return false;
        slot = static_cast<std::int64_t>(t);
    }
    return true;
}

// A feature taken from a per-group table: the table's values with the table row of every group,
// from which the per-row column follows, and its median without reading the rows.
struct Looked {
    py::array vals;
    std::vector<std::int64_t> row_of_group;
};

std::optional<Looked> lookup_feature(KeyColumn& key, py::handle g, py::handle table,
                                     const py::str& name) {
    py::object keys, vals;
    if (py::isinstance(table, pd().attr("Series"))) {
        py::object index = table.attr("index");
        if (!same(table.attr("name"), name) || py::isinstance(index, pd().attr("MultiIndex")) ||
            !same(index.attr("name"), g))
            return std::nullopt;
        keys = index;
        vals = py::reinterpret_borrow<py::object>(table);
    } else if (py::isinstance(table, pd().attr("DataFrame"))) {
        py::list columns(table.attr("columns"));
        py::object index = table.attr("index");
        py::list index_names(index.attr("names"));
        if (columns.size() == 2 && same(columns[0], g) && same(columns[1], name)) {
            // the key as a column (a record written by the first call of count)
            if (index_names.contains(g)) return std::nullopt;
            keys = table[g];
        } else if (columns.size() == 1 && same(columns[0], name) &&
                   !py::isinstance(index, pd().attr("MultiIndex")) && same(index.attr("name"), g)) {
            // the key as the index (an outer join of two per-group series)
            keys = index;
        } else {
            return std::nullopt;
        }
        vals = table[name];
    } else {
        return std::nullopt;
    }
    auto v = table_values(vals);
    if (!v) return std::nullopt;
    auto codes = key.codes_of(keys);
    if (!codes) return std::nullopt;
    std::vector<std::int64_t> row_of_group;
    if (!rows_of_groups(*codes, key.ngroups(), row_of_group)) return std::nullopt;
    return Looked{*v, std::move(row_of_group)};
}

// The median the fill would compute for `column`, whose rows hold the value of their group's
// table row (missing for a row without one), standardised when `scale`: from the groups' values
// weighted by their sizes, which the standardisation keeps in order (sd > 0), so that the middle
// values are the same ones. Recorded for the fill, or the column marked as having no gap;
// nothing is recorded where that reasoning does not hold (infinite values, sd not positive).
void remember_median(NewTable& out, const py::array& column, std::span<const std::int64_t> sizes,
                     const py::array& vals, std::span<const std::int64_t> row_of_group,
                     bool scale, double mean, double sd) {
    if (scale && !(std::isfinite(mean) && std::isfinite(sd) && sd > 0)) return;
    const bool ints = vals.dtype().kind() == 'i';
    const void* data = vals.data();
    std::vector<std::pair<double, std::int64_t>> weighted;
    std::int64_t present = 0;
    for (std::size_t g = 0; g < row_of_group.size(); ++g) {
        const std::int64_t r = row_of_group[g];
        if (r < 0 || sizes[g] == 0) continue;
        const double v = ints ? static_cast<double>(static_cast<const std::int64_t*>(data)[r])
                              : static_cast<const double*>(data)[r];
        if (std::isnan(v)) continue;
        if (!std::isfinite(v)) return;
        weighted.emplace_back(scale ? (v - mean) / sd : v, sizes[g]);
        present += sizes[g];
    }
    const auto n = static_cast<std::int64_t>(column.size());
    if (present == n || present == 0) {
        // no gap, or nothing a median could fill
        out.clean().emplace(column.data(), column);
        return;
    }
    std::sort(weighted.begin(), weighted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    auto at_rank = [&](std::int64_t rank) {
        std::int64_t below = 0;
        for (const auto& [value, weight] : weighted) {
            if (rank < below + weight) return value;
            below += weight;
        }
        return weighted.back().first;
    };
    const std::int64_t hi = present / 2;
    const double upper = at_rank(hi);
    const double med = present % 2 ? upper : (at_rank(hi - 1) + upper) / 2;
    out.medians()[column.data()] = CallContext::Median{column, med};
}

// Rows per group value in order of first appearance: a frame of the key and `as`, as
// df[col].value_counts(sort=False).rename_axis(col).reset_index(name=as).
py::object first_seen_counts(KeyColumn& key, py::handle col, const py::str& as) {
    const auto& sizes = key.sizes();
    std::vector<std::int64_t> all(key.ngroups());
    for (std::size_t g = 0; g < all.size(); ++g) all[g] = static_cast<std::int64_t>(g);
    py::dict columns;
    columns[col] = key.values_of(all);
    columns[as] = int_array(sizes);
    return pd().attr("DataFrame")(columns);
}

// A per-group series in group-by order: values[g] for every group g, indexed by the sorted group
// values (index named `col`), named `as`.
py::object sorted_series(KeyColumn& key, py::handle col, py::array values, const py::str& as) {
    const auto& order = key.sorted_groups();
    py::object index = pd().attr("Index")(key.values_of(order), "name"_a = col);
    py::object taken = values.attr("take")(int_array(order));
    return pd().attr("Series")(taken, "index"_a = index, "name"_a = as, "copy"_a = false);
}

enum class Stat { min, max, mean, median, var, other };

Stat stat_of(py::handle s) {
    if (!PyUnicode_CheckExact(s.ptr())) return Stat::other;
    const std::string t = py::str(s);
    if (t == "min") return Stat::min;
    if (t == "max") return Stat::max;
    if (t == "mean") return Stat::mean;
    if (t == "median") return Stat::median;
    if (t == "var") return Stat::var;
    return Stat::other;
}

// The statistic of `x` per group (group order), as pandas' group-by gives it: min/max keep an
// int64 column's dtype, the others are float64.
py::array group_statistic(Stat stat, KeyColumn& key, const py::array& x) {
    const std::size_t ng = key.ngroups();
    auto codes = key.codes();
    if (x.dtype().kind() == 'i' && (stat == Stat::min || stat == Stat::max)) {
        py::array_t<std::int64_t> out(static_cast<py::ssize_t>(ng));
        std::span<const std::int64_t> xs(static_cast<const std::int64_t*>(x.data()),
                                         static_cast<std::size_t>(x.size()));
        std::span<std::int64_t> os(out.mutable_data(), ng);
        py::gil_scoped_release release;
        stat == Stat::min ? core::group_min(xs, codes, os) : core::group_max(xs, codes, os);
        return out;
    }
    Floats xf(x.dtype().kind() == 'f' ? py::object(x)
                                       : np().attr("asarray")(x, "dtype"_a = "float64"));
    py::array_t<double> out(static_cast<py::ssize_t>(ng));
    std::span<const double> xs(xf.data(), static_cast<std::size_t>(xf.size()));
    std::span<double> os(out.mutable_data(), ng);
    std::span<const std::int64_t> sizes;
    if (stat == Stat::median) sizes = key.sizes();
    py::gil_scoped_release release;
    switch (stat) {
        case Stat::min: core::group_min(xs, codes, os); break;
        case Stat::max: core::group_max(xs, codes, os); break;
        case Stat::mean: core::group_mean(xs, codes, os); break;
        case Stat::median: core::group_median(xs, codes, os, sizes); break;
        case Stat::var: core::group_var(xs, codes, os); break;
        case Stat::other: break;
    }
    return out;
}

// The values of a numeric column as int64 (int64 columns) or float64 (float64 columns); None for
// any other dtype, whose group statistics pandas computes.
py::object stat_input(py::handle df, py::handle col) {
    py::object s = df[col];
    py::object dtype = s.attr("dtype");
    if (!py::isinstance(dtype, np().attr("dtype"))) return py::none();
    py::dtype d = py::reinterpret_borrow<py::dtype>(dtype);
    if (d.itemsize() != 8 || (d.kind() != 'i' && d.kind() != 'f')) return py::none();
    if (d.kind() == 'f') return floats_of(df, col);
    return np().attr("ascontiguousarray")(s.attr("to_numpy")());
}

// An int64 column whose values span at most a few times its rows: the values, their smallest and
// the span (largest - smallest + 1). nullopt for other columns.
struct IntRange {
    py::array_t<std::int64_t> holder;
    std::span<const std::int64_t> values;
    std::int64_t lo = 0;
    std::int64_t count = 0;
};

std::optional<IntRange> int_range(py::handle df, py::handle col) {
    py::object x = stat_input(df, col);
    if (x.is_none() || py::reinterpret_borrow<py::array>(x).dtype().kind() != 'i')
        return std::nullopt;
    IntRange r;
    r.holder = py::reinterpret_borrow<py::array_t<std::int64_t>>(x);
    r.values = {r.holder.data(), static_cast<std::size_t>(r.holder.size())};
    if (r.values.empty()) return std::nullopt;
    std::int64_t lo = r.values[0], hi = r.values[0];
    for (std::int64_t v : r.values) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    const auto span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    if (span >= std::max<std::uint64_t>(1u << 16, 2 * r.values.size())) return std::nullopt;
    r.lo = lo;
    r.count = static_cast<std::int64_t>(span + 1);
    return r;
}

// Attach the feature whose rows hold vals[row_of_group[codes[i]]] (missing for a row without a
// table row) to the new table, standardised when asked.
void attach_values(NewTable& out, std::span<const std::int64_t> codes,
                   std::span<const std::int64_t> sizes, const py::array& vals,
                   std::span<const std::int64_t> row_of_group, const py::str& name,
                   bool standardise_it) {
    double mean = 0, sd = 1;
    std::optional<py::array> column;
    if (standardise_it)
        column = standardised_from_groups(vals, row_of_group, codes, sizes, mean, sd);
    if (!column) {
        py::array raw = gather(vals, row_of_group, codes);
        column = raw;
        if (standardise_it) {
            moments_of(raw, mean, sd);
            column = standardised(raw, mean, sd);
        }
    }
    out.put_last(name, *column);
    remember_median(out, *column, sizes, vals, row_of_group, standardise_it, mean, sd);
}

// Attach the feature looked up from `table` to the new table, standardised when asked; false when
// the lookup is not native (the caller then joins with pandas).
bool attach(NewTable& out, KeyColumn& key, py::handle g, py::handle table, const py::str& name,
            bool standardise_it) {
    auto looked = lookup_feature(key, g, table, name);
    if (!looked) return false;
    attach_values(out, key.codes(), key.sizes(), looked->vals, looked->row_of_group, name,
                  standardise_it);
    return true;
}

// ---- incremental calls without the working table ----------------------------------------------
//
// An incremental call joins the stored table with the batch's (an outer join on the key) and
// derives the working column from the two, but only the values at the batch's groups reach the
// rows. Where the stored table has the shape a first call writes, those values are combined here
// per group instead. The outer join leaves a gap (turning integer columns into floats) unless
// both tables hold exactly the same keys.

enum class Rule { add, min, max, halves };

// The stored values found for the batch's groups (`row_of_group` into `vals`), and whether the
// two tables hold the same keys: every group found a row and every row a group.
struct Stored {
    Looked looked;
    bool same_keys = false;
};

Stored stored_at(Looked looked) {
    bool all = true;
    for (std::int64_t r : looked.row_of_group) all &= r >= 0;
    const bool same_keys =
        all && static_cast<std::size_t>(looked.vals.size()) == looked.row_of_group.size();
    return Stored{std::move(looked), same_keys};
}

std::vector<std::int64_t> identity(std::size_t n) {
    std::vector<std::int64_t> out(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<std::int64_t>(k);
    return out;
}

// The working column at each batch group, as the outer join and the rule's column arithmetic give
// it: `add` is fillna(0) + fillna(0), `min` / `max` the row's extreme skipping gaps, `halves`
// (a + b) / 2. `batch` holds one int64 or float64 value per group.
py::array combine_stored(Rule rule, const Stored& s, const py::array& batch) {
    const auto& row = s.looked.row_of_group;
    const std::size_t ng = row.size();
    const py::array& sv = s.looked.vals;
    const bool stored_ints = sv.dtype().kind() == 'i', batch_ints = batch.dtype().kind() == 'i';
    const void* sd = sv.data();
    const void* bd = batch.data();
    auto at = [](const void* data, bool ints, std::size_t i) {
        return ints ? static_cast<double>(static_cast<const std::int64_t*>(data)[i])
                    : static_cast<const double*>(data)[i];
    };
    if (s.same_keys && stored_ints && batch_ints) {
        const auto* a = static_cast<const std::int64_t*>(sd);
        const auto* b = static_cast<const std::int64_t*>(bd);
        auto wrapped_sum = [&](std::size_t g) {
            // int64 addition as NumPy does it: wrapping
            return static_cast<std::int64_t>(
                static_cast<std::uint64_t>(a[static_cast<std::size_t>(row[g])]) +
                static_cast<std::uint64_t>(b[g]));
        };
        if (rule == Rule::halves) {
            py::array_t<double> out(static_cast<py::ssize_t>(ng));
            double* o = out.mutable_data();
            for (std::size_t g = 0; g < ng; ++g) o[g] = static_cast<double>(wrapped_sum(g)) / 2;
            return out;
        }
        py::array_t<std::int64_t> out(static_cast<py::ssize_t>(ng));
        std::int64_t* o = out.mutable_data();
        for (std::size_t g = 0; g < ng; ++g) {
            const std::int64_t x = a[static_cast<std::size_t>(row[g])], y = b[g];
            o[g] = rule == Rule::add   ? wrapped_sum(g)
                   : rule == Rule::min ? std::min(x, y)
                                       : std::max(x, y);
        }
        return out;
    }
    py::array_t<double> out(static_cast<py::ssize_t>(ng));
    double* o = out.mutable_data();
    for (std::size_t g = 0; g < ng; ++g) {
        const double x = row[g] < 0 ? kNaN : at(sd, stored_ints, static_cast<std::size_t>(row[g]));
        const double y = at(bd, batch_ints, g);
        switch (rule) {
            case Rule::add: o[g] = (x != x ? 0.0 : x) + (y != y ? 0.0 : y); break;
            case Rule::min: o[g] = x != x ? y : y != y ? x : std::min(x, y); break;
            case Rule::max: o[g] = x != x ? y : y != y ? x : std::max(x, y); break;
            case Rule::halves: o[g] = (x + y) / 2; break;
        }
    }
    return out;
}

// Attach the working column of an incremental call (stored table combined with the batch's
// per-group values by `rule`), standardised; false when the stored table is not of the shape
// the first call writes (a frame of the key and the feature for count, a series indexed by the
// key and named like the feature for the statistics), or its keys cannot be matched natively.
bool attach_update(NewTable& out, KeyColumn& key, py::handle g, const py::object& stored,
                   const py::str& name, Rule rule, const py::array& batch) {
    const bool frame = rule == Rule::add;
    if (!py::isinstance(stored, pd().attr(frame ? "DataFrame" : "Series"))) return false;
    if (frame && py::len(stored.attr("columns")) != 2) return false;
    auto looked = lookup_feature(key, g, stored, name);
    if (!looked) return false;
    py::array vals = combine_stored(rule, stored_at(std::move(*looked)), batch);
    attach_values(out, key.codes(), key.sizes(), vals, identity(key.ngroups()), name, true);
    return true;
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
    record[suffixed(name, "_mean_count")] =
        pd().attr("DataFrame")(columns, "columns"_a = labels);
    attach_values(out, key.codes(), key.sizes(), working, identity(ng), name, true);
    return true;
}

py::object count(py::object df, py::handle col, py::object record) {
    if (!plain_frame(df) || !plain_record(record)) return count_pandas(df, col, record);
    py::str name = feature_name("count", {col});
    py::object stored = stored_entry(record, name);
    auto key = key_of(df, col);
    if (!key) return count_pandas(df, col, record);
    NewTable out(df);
    py::object table;
    if (stored.is_none()) {
        table = first_seen_counts(*key, col, name);
        record[name] = table;
    } else {
        if (attach_update(out, *key, col, stored, name, Rule::add, int_array(key->sizes())))
            return finish_fill(out);
        py::str name2 = suffixed(name, "_2");
        table = add_counts(stored, first_seen_counts(*key, col, name2), col, name, name2);
    }
    if (!attach(out, *key, col, table, name, true)) {
        df = left_join_feature(df, table, as_list({col}), name);
        standardise(df, name);
        return median_fill(df);
    }
    return finish_fill(out);
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
    py::object stored = stored_entry(record, name);
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
                if (at[number] >= 0)
                    order[k++] = {static_cast<std::int64_t>(number), at[number]};
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
                                                    "names"_a = names,
                                                    "verify_integrity"_a = false);
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
    py::object table;
    if (stored.is_none()) {
        table = pair_counts(name);
        record[name] = table;
    } else if (py::isinstance(stored, pd().attr("Series"))) {
        // the stored counts plus the batch's, per pair of the batch
        if (auto found = pair_rows(stored)) {
            py::array sums = combine_stored(Rule::add, stored_at(std::move(*found)),
                                            int_array(pair_sizes));
            looked = Looked{sums, identity(pairs.ngroups())};
        }
    }
    if (!looked && !table) {
        py::str name2 = suffixed(name, "_2");
        table = add_counts(stored, pair_counts(name2), cols, name, name2);
    }
    if (!looked) looked = pair_rows(table);
    if (!looked) {
        df = left_join_feature(df, table, cols, name);
        standardise(df, name);
        return median_fill(df);
    }
    NewTable out(df);
    attach_values(out, pairs.codes, pair_sizes, looked->vals, looked->row_of_group, name, true);
    return finish_fill(out);
}

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
    auto rest_by_pandas = [&](py::object current) {
        py::list rest;
        for (; it != py::iterator::sentinel(); ++it) rest.append(*it);
        return aggregate_pandas(std::move(current), num_col, group_col, rest, record);
    };
    for (; it != py::iterator::sentinel(); ++it) {
        py::handle stat = *it;
        py::str name = feature_name("aggregate", {stat, num_col, group_col});
        py::object stored = stored_entry(record, name);
        // every statistic reads the caller's rows; the new table holds the same values
        if (!key) {
            key = key_of(df, group_col);
            if (!key) return rest_by_pandas(df);
        }
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
        py::object table;
        const std::string stat_text = py::str(stat).cast<std::string>();
        if (stored.is_none()) {
            table = batch_stat(name);
            record[name] = table;
            if (stat_text == "mean") {
                py::dict entry;
                entry["data"] = table;
                entry["length"] = batch_counts(suffixed(py::str(group_col), "_count"));
                record[name] = entry;
            }
        } else {
            if (s == Stat::mean && !input().is_none()) {
                py::array values = py::reinterpret_borrow<py::array>(input());
                if (attach_mean_update(out, *key, df, group_col, stored, record, name,
                                       group_statistic(s, *key, values)))
                    continue;
            }
            if ((s == Stat::min || s == Stat::max || s == Stat::median) && !input().is_none()) {
                const Rule rule = s == Stat::min ? Rule::min
                                  : s == Stat::max ? Rule::max
                                                   : Rule::halves;
                py::array values = py::reinterpret_borrow<py::array>(input());
                if (attach_update(out, *key, group_col, stored, name, rule,
                                  group_statistic(s, *key, values)))
                    continue;
            }
            table = update_stat(stat_text, batch_stat, batch_counts, group_col, stored, record,
                                name);
        }
        if (!attach(out, *key, group_col, table, name, true)) {
            py::object current = out.get();
            current = left_join_feature(current, table, as_list({group_col}), name);
            standardise(current, name);
            ++it;
            return rest_by_pandas(current);
        }
    }
    return finish_fill(out);
}

py::object nunique(py::object df, py::handle id_col, py::handle group_col, py::object record) {
    if (!plain_frame(df) || !plain_record(record))
        return nunique_pandas(df, id_col, group_col, record);
    py::str name = feature_name("nunique", {id_col, group_col});
    py::object table = stored_entry(record, name);
    if (table.is_none()) {
        auto key = key_of(df, group_col);
        if (!key) return nunique_pandas(df, id_col, group_col, record);
        py::array_t<std::int64_t> distinct(static_cast<py::ssize_t>(key->ngroups()));
        std::span<std::int64_t> os(distinct.mutable_data(), key->ngroups());
        if (auto range = int_range(df, id_col)) {
            // integer ids over a small range are their own codes, less the smallest
            const auto& sizes = key->sizes();
            py::gil_scoped_release release;
            core::group_nunique(key->codes(), range->values, range->count, os, range->lo, sizes);
        } else {
            auto ids = key_of(df, id_col);
            if (!ids) return nunique_pandas(df, id_col, group_col, record);
            const auto& sizes = key->sizes();
            py::gil_scoped_release release;
            core::group_nunique(key->codes(), ids->codes(),
                                static_cast<std::int64_t>(ids->ngroups()), os, 0, sizes);
        }
        table = sorted_series(*key, group_col, distinct, name);
        record[name] = table;
        NewTable out(df);
        if (attach(out, *key, group_col, table, name, false)) return finish_fill(out);
    } else {
        auto key = key_of(df, group_col);
        if (key) {
            NewTable out(df);
            if (attach(out, *key, group_col, table, name, false)) return finish_fill(out);
        }
    }
    df = left_join_feature(df, table, as_list({group_col}), name);
    return median_fill(df);
}

py::object histstat(py::object df, py::handle id_col, py::handle group_col, py::object stat_list) {
    py::str name = feature_name("histstat", {id_col, group_col});
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

py::object crossrank(py::object df, py::handle col1, py::handle col2) {
    py::str name = feature_name("crossrank", {col1, col2});
    if (!plain_frame(df)) return crossrank_pandas(df, col1, col2);
    auto key = key_of(df, col1);
    py::object x = key ? floats_of(df, col2) : py::none();
    if (!key || x.is_none()) return crossrank_pandas(df, col1, col2);
    Floats xs(x);
    const auto n = static_cast<std::size_t>(xs.size());
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    {
        std::span<const double> xv(xs.data(), n);
        std::span<double> ov(out.mutable_data(), n);
        py::gil_scoped_release release;
        core::group_rank(xv, key->codes(), key->ngroups(), ov);
    }
    assign_fresh_column(df, name, out);
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
