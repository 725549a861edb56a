// Rolling-window operators: lags, differences and window statistics of a column over the last d
// rows, over the whole table or within each group of the task's grouping column. The windows are
// computed natively by row position, so every value lands on its own row whatever the row labels
// (repeated labels included), and rows whose group value is missing get a missing feature.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "brevant/brevant.hpp"
#include "brevant/frozen.hpp"
#include "brevant/keys.hpp"
#include "orvalis/core/rolling.hpp"

namespace orvalis::brevant {
namespace {

namespace core = orvalis::core;
using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

py::module_ pd() { return py::module_::import("pandas"); }
py::module_ np() { return py::module_::import("numpy"); }

// The grouping column of the active task: TaskConfig().cfg["Feature"].get("GroupIndex", None);
// None means the table is one series.
py::object group_key() {
    py::object task_config = py::module_::import("module.common.task_config").attr("TaskConfig");
    py::object key = task_config().attr("cfg")["Feature"].attr("get")("GroupIndex", py::none());
    if (key.is_none()) return key;
    return task_config().attr("cfg")["Feature"]["GroupIndex"];
}

// Rows of the table split by group: a stable order by group code, then one run per group; rows
// whose group value is missing come last and belong to no run. Empty when ungrouped.
struct Grouping {
    std::vector<std::int64_t> order;
    std::vector<std::int64_t> bounds;
    bool grouped = false;

    core::SeriesLayout layout() const { return {order, bounds}; }
    bool any_series_row(std::size_t n) const { return grouped ? bounds.back() > 0 : n > 0; }
};

// The group values of the table. One numeric column is hashed natively (no code per row is
// kept); other group columns get codes from pandas.
struct GroupKeys {
    enum class Kind { none, ints, floats, other } kind = Kind::none;
    Codes ints;
    Floats floats;

    std::size_t size() const {
        return static_cast<std::size_t>(kind == Kind::ints ? ints.size() : floats.size());
    }
};

GroupKeys group_keys(py::object df, py::handle key) {
    GroupKeys k;
    if (key.is_none()) return k;
    k.kind = GroupKeys::Kind::other;
    if (py::isinstance<py::list>(key)) return k;
    py::object column = df[key];
    py::object dtype = column.attr("dtype");
    if (!py::isinstance(dtype, np().attr("dtype"))) return k;
    const std::string kind = py::str(dtype.attr("kind"));
    const auto itemsize = dtype.attr("itemsize").cast<std::int64_t>();
    if (kind == "f") {
        k.kind = GroupKeys::Kind::floats;
        k.floats = Floats(np().attr("asarray")(column, "dtype"_a = "float64"));
    } else if ((kind == "i" || kind == "u") && itemsize == 8) {
        k.kind = GroupKeys::Kind::ints;
        k.ints = Codes(np().attr("asarray")(column).attr("view")("int64"));
    } else if (kind == "i" || kind == "u" || kind == "b") {
        k.kind = GroupKeys::Kind::ints;
        k.ints = Codes(np().attr("asarray")(column, "dtype"_a = "int64"));
    }
    return k;
}

Grouping group_rows(py::object df, py::handle key, GroupKeys keys) {
    Grouping g;
    if (keys.kind == GroupKeys::Kind::none) return g;
    g.grouped = true;
    if (keys.kind != GroupKeys::Kind::other) {
        g.order.resize(keys.size());
        py::gil_scoped_release release;
        if (keys.kind == GroupKeys::Kind::ints)
            core::group_layout_by_key(std::span<const std::int64_t>(keys.ints.data(), keys.size()),
                                      g.order, g.bounds);
        else
            core::group_layout_by_key(std::span<const double>(keys.floats.data(), keys.size()),
                                      g.order, g.bounds);
        return g;
    }
    if (!py::isinstance<py::list>(key)) {
        // One grouping column of texts: hashed natively, once per name2feature call.
        if (auto k = key_of(df, key)) {
            const std::size_t n = k->size();
            g.order.resize(n);
            g.bounds.resize(k->ngroups() + 1);
            py::gil_scoped_release release;
            core::group_layout(k->codes(), static_cast<std::int64_t>(k->ngroups()), g.order,
                               g.bounds);
            return g;
        }
    }
    std::int64_t ngroups = 0;
    Codes codes;
    // pandas' grouping below hashes and compares the key columns' objects
    if (py::isinstance<py::list>(key)) {
        // Several grouping columns: group numbers, -1 where a key is missing.
        for (py::handle k : key) foreign_code_may_run(df[k]);
        py::object by = df.attr("groupby")(key, "sort"_a = false, "observed"_a = true);
        codes = Codes(by.attr("ngroup")().attr("to_numpy")("dtype"_a = "int64", "na_value"_a = -1));
        ngroups = by.attr("ngroups").cast<std::int64_t>();
    } else {
        // codes, uniques = pd.factorize(df[key]): -1 for a missing group value.
        foreign_code_may_run(df[key]);
        py::tuple factorized = pd().attr("factorize")(df[key]);
        codes = Codes(factorized[0]);
        ngroups = static_cast<std::int64_t>(py::len(factorized[1]));
    }
    const auto n = static_cast<std::size_t>(codes.size());
    g.order.resize(n);
    g.bounds.resize(static_cast<std::size_t>(ngroups) + 1);
    std::span<const std::int64_t> c(codes.data(), n);
    py::gil_scoped_release release;
    core::group_layout(c, ngroups, g.order, g.bounds);
    return g;
}

Grouping group_rows(py::object df, py::handle key) {
    return group_rows(df, key, group_keys(df, key));
}

// int(d): the window length as written in the name.
std::int64_t window_length(py::handle d) {
    py::object v = py::reinterpret_steal<py::object>(PyNumber_Long(d.ptr()));
    if (!v) throw py::error_already_set();
    const long w = PyLong_AsLong(v.ptr());
    if (w == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(w);
}

void require_rolling_window(std::int64_t w) {
    if (w < 0) throw py::value_error("window must be an integer 0 or greater");
}

// A NumPy bool, integer or float dtype that float64 holds without loss of range (the kernels'
// own type); extension dtypes (nullable, categorical, ...) and long doubles are not.
bool plain_numeric(py::handle dtype) {
    if (!py::isinstance(dtype, np().attr("dtype"))) return false;
    const std::string kind = py::str(dtype.attr("kind"));
    if (kind == "f") return dtype.attr("itemsize").cast<int>() <= 8;
    return kind == "b" || kind == "i" || kind == "u";
}

// Types stored as 64-bit integers behind a time meaning (datetime64, timedelta64, tz-aware
// datetimes, periods), which pandas' window functions refuse rather than compute on.
bool time_like(py::handle dtype) {
    if (py::isinstance(dtype, np().attr("dtype"))) {
        const std::string kind = py::str(dtype.attr("kind"));
        return kind == "M" || kind == "m";
    }
    return py::isinstance(dtype, pd().attr("DatetimeTZDtype")) ||
           py::isinstance(dtype, pd().attr("PeriodDtype"));
}

// The values of a column as pandas' window functions take them: float64 with NaN for missing
// values, time types refused (NotImplementedError), other columns converted as pandas converts
// them (extension arrays by to_numpy(float64, na_value=nan), NumPy arrays by astype(float64)),
// and a failed conversion reported as TypeError("cannot handle this type -> <dtype>").
// `window` names the window object in the message: Rolling, or RollingGroupby when grouped.
Floats window_values(py::handle series, const char* window) {
    py::object dtype = series.attr("dtype");
    if (time_like(dtype)) {
        PyErr_Format(PyExc_NotImplementedError, "ops for %s for this dtype %S are not implemented",
                     window, dtype.ptr());
        throw py::error_already_set();
    }
    if (plain_numeric(dtype)) return Floats(np().attr("asarray")(series, "dtype"_a = "float64"));
    foreign_code_may_run(series);  // the conversion calls the objects' own
    try {
        if (!py::isinstance(dtype, np().attr("dtype")))
            return Floats(series.attr("array").attr("to_numpy")("dtype"_a = "float64",
                                                                "na_value"_a = np().attr("nan")));
        return Floats(series.attr("to_numpy")().attr("astype")("float64", "copy"_a = false));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    }
    PyErr_Format(PyExc_TypeError, "cannot handle this type -> %S", dtype.ptr());
    throw py::error_already_set();
}

// The column as the window statistics read it; a column they cannot read fails as pandas'
// rolling statistics do, with DataError("No numeric types to aggregate").
Floats as_float64(py::handle series) {
    try {
        return window_values(series, "Rolling");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_NotImplementedError)) throw;
    }
    py::object data_error = py::module_::import("pandas.errors").attr("DataError");
    PyErr_SetString(data_error.ptr(), "No numeric types to aggregate");
    throw py::error_already_set();
}

// df[name] = Series(values, index=df.index), handing over the fresh buffer without a copy.
void assign(py::object df, py::handle name, py::array_t<double> values) {
    assign_fresh_column(df, name, values);
}

enum class Stat { shift, diff, sum, mean, max, min, std, rank, prod, argmax, argmin };

void run(Stat stat, std::span<const double> x, const core::SeriesLayout& layout, std::int64_t w,
         std::span<double> out) {
    switch (stat) {
        case Stat::shift: return core::shift(x, layout, w, out);
        case Stat::diff: return core::diff(x, layout, w, out);
        case Stat::sum: return core::roll_sum(x, layout, w, out);
        case Stat::mean: return core::roll_mean(x, layout, w, out);
        case Stat::max: return core::roll_max(x, layout, w, out);
        case Stat::min: return core::roll_min(x, layout, w, out);
        case Stat::std: return core::roll_std(x, layout, w, out);
        case Stat::rank: return core::roll_rank(x, layout, w, out);
        case Stat::prod: return core::roll_prod(x, layout, w, out);
        case Stat::argmax: return core::roll_argmax(x, layout, w, out);
        case Stat::argmin: return core::roll_argmin(x, layout, w, out);
    }
}

// Lags and differences of a column that holds no numbers (dates, texts) stay with pandas, grouped
// by position: s.groupby(keys).shift(w) / .diff(w), s.shift(w) / s - s.shift(w). ts_o's grouped
// form shifts each group's own series (pandas pads an object series with None there):
// s.groupby(keys).apply(lambda part: part.shift(w)), its values put back by row position.
py::object shift_other(Stat stat, bool each_group, py::object df, py::handle key, py::object s,
                       std::int64_t w) {
    foreign_code_may_run(s);
    if (key.is_none()) {
        py::object lagged = s.attr("shift")(w);
        return stat == Stat::diff ? py::object(s - lagged) : lagged;
    }
    py::object keys;
    py::list levels;
    if (py::isinstance<py::list>(key)) {
        py::list arrays;
        for (py::handle k : key) {
            levels.append(py::len(arrays));
            py::object values = df[k].attr("to_numpy")();
            foreign_code_may_run(values);
            arrays.append(values);
        }
        keys = arrays;
    } else {
        levels.append(0);
        keys = df[key].attr("to_numpy")();
        foreign_code_may_run(keys);
    }
    if (!each_group) return s.attr("groupby")(keys).attr(stat == Stat::diff ? "diff" : "shift")(w);
    py::cpp_function shift_part([w](py::object part) { return part.attr("shift")(w); });
    py::object by_position = s.attr("reset_index")("drop"_a = true);
    py::object r = by_position.attr("groupby")(keys).attr("apply")(shift_part);
    r = r.attr("reset_index")(levels, "drop"_a = true)
            .attr("reindex")(pd().attr("RangeIndex")(py::len(s)));
    r.attr("index") = s.attr("index");
    return r;
}

// Lags up to this long within numeric groups run in one pass over the rows (shift_by_key).
constexpr std::int64_t kRingLag = 64;

// values.where(has a group value): rows that belong to no group get a missing value, in the type
// pandas gives a column that must hold one (integers become float64, bools object).
py::object missing_without_group(py::object values, const Grouping& g) {
    const auto n = static_cast<std::size_t>(py::len(values));
    if (!g.grouped || static_cast<std::size_t>(g.bounds.back()) == n) return values;
    py::array_t<bool> has_group(static_cast<py::ssize_t>(n));
    bool* mask = has_group.mutable_data();
    std::fill(mask, mask + n, true);
    for (std::size_t i = static_cast<std::size_t>(g.bounds.back()); i < n; ++i)
        mask[static_cast<std::size_t>(g.order[i])] = false;
    if (py::isinstance(values, pd().attr("Series"))) return values.attr("where")(has_group);
    py::object kept = pd().attr("Series")(values, "copy"_a = false).attr("where")(has_group);
    return kept.attr("to_numpy")();
}

// A lag of 0, or any lag of an empty grouped table: pandas keeps the column's own type, a copy of
// the values (shift) or values - values (diff; a bool column fails there as NumPy's bool
// subtraction does), except that a grouped diff gives int8 and int16 columns as float32.
py::object unshifted(Stat stat, py::object series, bool grouped) {
    py::object values = series.attr("to_numpy")();
    py::object dtype = values.attr("dtype");
    py::object r;
    if (stat == Stat::diff) {
        // Under np.errstate(all="ignore"), as pandas' own arithmetic runs (inf - inf is NaN).
        py::object quiet = np().attr("errstate")("all"_a = "ignore");
        quiet.attr("__enter__")();
        try {
            r = values - values;
        } catch (...) {
            quiet.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
    } else {
        r = values.attr("copy")();
    }
    const std::string kind = py::str(dtype.attr("kind"));
    if (grouped && stat == Stat::diff && kind == "i" && dtype.attr("itemsize").cast<int>() <= 2)
        r = r.attr("astype")("float32");
    return r;
}

// A column of Python objects: NaN stays the float nan, other values become True / False (a
// shifted bool column) or the integers -1, 0, 1 (a bool column minus its shifted self).
py::object bool_lag_objects(const py::array_t<double>& out, bool diff) {
    const auto n = static_cast<std::size_t>(out.size());
    py::array objects = np().attr("full")(n, np().attr("nan"), "dtype"_a = "object");
    auto* slots = static_cast<PyObject**>(objects.mutable_data());
    const double* v = out.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (v[i] != v[i]) continue;
        PyObject* o = diff ? PyLong_FromLong(static_cast<long>(v[i])) : PyBool_FromLong(v[i] != 0);
        if (!o) throw py::error_already_set();
        Py_SETREF(slots[i], o);
    }
    return objects;
}

// The float64 lag of a bool, integer or float column in the type the pandas form gives: floats
// keep theirs (float32 stays float32), integers become float64 (float32 for int8 / int16 under a
// grouped diff), bools become objects.
py::object lag_in_pandas_type(py::array_t<double> out, py::handle dtype, Stat stat, bool grouped) {
    const std::string kind = py::str(dtype.attr("kind"));
    const int itemsize = dtype.attr("itemsize").cast<int>();
    if (kind == "b") return bool_lag_objects(out, stat == Stat::diff);
    if (kind == "f" && itemsize != 8) return out.attr("astype")(dtype);
    if (kind == "i" && grouped && stat == Stat::diff && itemsize <= 2)
        return out.attr("astype")("float32");
    return out;
}

// Runs kernel(values, codes, ngroups, out) over the grouping of a text key column that this
// name2feature call keeps, the values as float64, with the GIL released; false when the key is
// not one such column or the kernel declines (it writes nothing then).
template <class Kernel>
bool by_text_codes(py::handle df, py::handle key, const GroupKeys& keys, py::handle series,
                   py::array_t<double>& out, const Kernel& kernel) {
    if (keys.kind != GroupKeys::Kind::other || py::isinstance<py::list>(key)) return false;
    auto k = key_of(df, key);
    if (!k) return false;
    Floats x = as_float64(py::reinterpret_borrow<py::object>(series));
    const auto n = static_cast<std::size_t>(x.size());
    out = py::array_t<double>(static_cast<py::ssize_t>(n));
    std::span<const double> xs(x.data(), n);
    std::span<double> os(out.mutable_data(), n);
    py::gil_scoped_release release;
    return kernel(xs, k->codes(), static_cast<std::int64_t>(k->ngroups()), os);
}

// delay / delta / ts_o: the lag (or difference) of col by w rows within the series, in the type
// the pandas form gives.
py::object lag(Stat stat, bool each_group, py::object df, py::handle name, py::handle key,
               GroupKeys keys, py::object series, std::int64_t w) {
    const bool grouped = !key.is_none();
    if (!plain_numeric(series.attr("dtype"))) {
        // Dates, texts, nullable and categorical columns: the pandas form itself.
        py::object r = shift_other(stat, each_group, df, key, series, w);
        if (grouped && w == 0) r = missing_without_group(r, group_rows(df, key, std::move(keys)));
        df[name] = r;
        return df;
    }
    py::object dtype = series.attr("dtype");
    if (w == 0 || (grouped && py::len(series) == 0)) {
        py::object r = unshifted(stat, series, grouped);
        if (grouped) r = missing_without_group(r, group_rows(df, key, std::move(keys)));
        assign_fresh_column(df, name, r);
        return df;
    }
    const bool diff = stat == Stat::diff;
    const bool numeric_keys =
        keys.kind == GroupKeys::Kind::ints || keys.kind == GroupKeys::Kind::floats;
    py::array_t<double> out;
    bool done = false;
    if (numeric_keys && w >= -kRingLag && w <= kRingLag) {
        Floats x = as_float64(series);
        const auto n = static_cast<std::size_t>(x.size());
        out = py::array_t<double>(static_cast<py::ssize_t>(n));
        std::span<const double> xs(x.data(), n);
        std::span<double> os(out.mutable_data(), n);
        py::gil_scoped_release release;
        if (keys.kind == GroupKeys::Kind::ints)
            done = core::shift_by_key(xs, {keys.ints.data(), keys.size()}, w, diff, os);
        else
            done = core::shift_by_key(xs, {keys.floats.data(), keys.size()}, w, diff, os);
    }
    if (!done)  // one column of texts: one ring per group
        done = by_text_codes(df, key, keys, series, out, [&](auto xs, auto codes, auto ng, auto os) {
            return core::shift_by_codes(xs, codes, ng, w, diff, os);
        });
    if (!done) {
        Grouping g = group_rows(df, key, std::move(keys));
        Floats x = as_float64(series);
        const auto n = static_cast<std::size_t>(x.size());
        if (static_cast<std::size_t>(out.size()) != n)  // not left by a lag that gave up
            out = py::array_t<double>(static_cast<py::ssize_t>(n));
        std::span<const double> xs(x.data(), n);
        std::span<double> os(out.mutable_data(), n);
        py::gil_scoped_release release;
        run(stat, xs, g.layout(), w, os);
    }
    assign_fresh_column(df, name, lag_in_pandas_type(std::move(out), dtype, stat, grouped));
    return df;
}

// One-column operators: name keyword###col|||d$$$, window int(d), grouped by the task's column.
py::object single(const char* keyword, Stat stat, py::object df, py::handle col, py::handle d) {
    py::str name = feature_name(keyword, {col, d});
    py::object key = group_key();
    py::array_t<double> out;
    {
        GroupKeys keys = group_keys(df, key);
        py::object series = df[col];
        const std::int64_t w = window_length(d);
        if (stat == Stat::shift || stat == Stat::diff)
            return lag(stat, std::string(keyword) == "ts_o", std::move(df), name, key,
                       std::move(keys), std::move(series), w);
        require_rolling_window(w);
        // short windows over one column of texts, in table order
        if (stat == Stat::rank &&
            by_text_codes(df, key, keys, series, out, [&](auto xs, auto codes, auto ng, auto os) {
                return core::roll_rank_by_codes(xs, codes, ng, w, os);
            })) {
            assign(df, name, out);
            return df;
        }
        Grouping g = group_rows(df, key, std::move(keys));
        Floats x = as_float64(series);
        const auto n = static_cast<std::size_t>(x.size());
        if ((stat == Stat::argmax || stat == Stat::argmin) && w == 0 && g.any_series_row(n))
            throw py::value_error(stat == Stat::argmax
                                      ? "attempt to get argmax of an empty sequence"
                                      : "attempt to get argmin of an empty sequence");
        out = py::array_t<double>(static_cast<py::ssize_t>(n));
        std::span<const double> xs(x.data(), n);
        std::span<double> os(out.mutable_data(), n);
        py::gil_scoped_release release;
        run(stat, xs, g.layout(), w, os);
    }
    assign(df, name, out);
    return df;
}

// decay_linear: window sum weighted by np.linspace(0.1, 1, w), the oldest row weighing least.
py::object decay_linear(py::object df, py::handle col, py::handle d) {
    py::str name = feature_name("decay_linear", {col, d});
    Floats weights(np().attr("linspace")(0.1, 1, py::int_(py::reinterpret_borrow<py::object>(d))));
    py::object key = group_key();
    py::array_t<double> out;
    {
        Grouping g = group_rows(df, key);
        Floats x = as_float64(df[col]);
        const auto n = static_cast<std::size_t>(x.size());
        out = py::array_t<double>(static_cast<py::ssize_t>(n));
        std::span<const double> xs(x.data(), n);
        std::span<const double> ws(weights.data(), static_cast<std::size_t>(weights.size()));
        std::span<double> os(out.mutable_data(), n);
        py::gil_scoped_release release;
        core::roll_weighted_sum(xs, g.layout(), ws, os);
    }
    assign(df, name, out);
    return df;
}

// tcorrelation / tcorvariance: name keyword###col1|||col2|||d$$$; each row pairs its own col1 and
// col2 values, within the row's group when grouped.
py::object pair(const char* keyword, bool corr, py::object df, py::handle c1, py::handle c2,
                py::handle d) {
    py::str name = feature_name(keyword, {c1, c2, d});
    py::object key = group_key();
    py::array_t<double> out;
    {
        Grouping g = group_rows(df, key);
        py::object s1 = df[c1];
        const std::int64_t w = window_length(d);
        require_rolling_window(w);
        py::object s2 = df[c2];
        if (!plain_numeric(s1.attr("dtype")) || !plain_numeric(s2.attr("dtype"))) {
            // The pandas form pairs the columns as s1 + 0 * s2 and s2 + 0 * s1 before its window
            // sees them; other types fail (or convert) there as they do in pandas.
            foreign_code_may_run(s1);
            foreign_code_may_run(s2);
            py::object zero = py::int_(0);
            py::object paired1 = s1 + zero * s2;
            py::object paired2 = s2 + zero * s1;
            s1 = std::move(paired1);
            s2 = std::move(paired2);
        }
        const char* window = key.is_none() ? "Rolling" : "RollingGroupby";
        Floats x = window_values(s1, window), y = window_values(s2, window);
        const auto n = static_cast<std::size_t>(x.size());
        out = py::array_t<double>(static_cast<py::ssize_t>(n));
        std::span<const double> xs(x.data(), n), ys(y.data(), static_cast<std::size_t>(y.size()));
        std::span<double> os(out.mutable_data(), n);
        py::gil_scoped_release release;
        if (corr)
            core::roll_corr(xs, ys, g.layout(), w, os);
        else
            core::roll_cov(xs, ys, g.layout(), w, os);
    }
    assign(df, name, out);
    return df;
}

// ---- window history of frozen statistics --------------------------------------------------------

// The last `keep` rows of every group of `rows` (of the whole table when ungrouped), in their order;
// rows without a group value belong to none.
py::object last_rows(const py::object& rows, const py::object& key, std::int64_t keep) {
    if (keep <= 0) return rows.attr("iloc")[py::slice(0, 0, 1)];
    py::object tail = key.is_none()
                          ? rows.attr("tail")(keep)
                          : rows.attr("groupby")(key, "sort"_a = false, "dropna"_a = true)
                                .attr("tail")(keep);
    return tail.attr("reset_index")("drop"_a = true);
}

// Runs the operator `op` on the table. With frozen statistics, the rows that the statistics keep
// as the feature's history come first: the operator then sees, for each row, its group's history,
// the earlier rows of its group in the batch and the row, and the batch's rows keep their values.
// When extending, the history that follows the batch is kept: for every group the last `keep`
// rows of its grouping and input columns. `cols`: the operator's input columns.
template <class Op>
py::object windowed(py::object df, const char* keyword, std::initializer_list<py::handle> args,
                    std::initializer_list<py::handle> cols, std::int64_t keep, Op op) {
    FrozenStats* fz = frozen_stats();
    if (!fz || !fz->replaying()) return op(std::move(df));
    py::str name = feature_name(keyword, args);
    py::object history = fz->history(name);
    const bool extending = fz->mode() == FrozenStats::Mode::extend;
    if (history.is_none() && !extending) return op(std::move(df));
    py::object key = group_key();
    py::list used;  // the grouping columns, then the operator's, each once
    auto use = [&](py::handle c) {
        if (!used.contains(c)) used.append(c);
    };
    if (py::isinstance<py::list>(key))
        for (py::handle k : key) use(k);
    else if (!key.is_none())
        use(key);
    for (py::handle c : cols) use(c);
    py::object rows = df[used];
    py::object all = history.is_none()
                         ? rows
                         : pd().attr("concat")(py::make_tuple(history, rows),
                                               "ignore_index"_a = true);
    if (extending) fz->keep_history(name, last_rows(all, key, keep));
    if (history.is_none()) return op(std::move(df));
    const auto before = static_cast<py::ssize_t>(py::len(history));
    py::object scored;
    {
        // a table of this operator's own, unknown to the call's caches
        CallScope outside(nullptr);
        scored = op(all);
    }
    py::object values = py::object(scored[name])
                            .attr("iloc")[py::slice(py::int_(before), py::none(), py::none())];
    py::object raw = values.attr("_values");
    if (py::isinstance<py::array>(raw))
        assign_fresh_column(df, name, np().attr("array")(raw, "copy"_a = true));
    else
        df[name] = pd().attr("Series")(values.attr("array"), "index"_a = df.attr("index"));
    return df;
}

// Rows of history a window of int(d) rows needs before the batch: d - 1 (d for a lag).
std::int64_t history_rows(py::handle d, bool lag) {
    const std::int64_t w = window_length(d);
    return lag ? std::max<std::int64_t>(w, 0) : std::max<std::int64_t>(w - 1, 0);
}

}  // namespace

void register_rolling(py::module_& m) {
    struct One {
        const char* name;
        Stat stat;
        const char* doc;
    };
    static constexpr One ones[] = {
        {"delay", Stat::shift, "col of the row d rows earlier in the series (later when d < 0)."},
        {"delta", Stat::diff, "col minus col of the row d rows earlier in the series."},
        {"ts_o", Stat::shift, "col of the row d rows earlier in the series, as delay."},
        {"tsum", Stat::sum, "Sum of col over the last d rows."},
        {"ts_mean", Stat::mean, "Mean of col over the last d rows."},
        {"ts_max", Stat::max, "Maximum of col over the last d rows."},
        {"ts_min", Stat::min, "Minimum of col over the last d rows."},
        {"stddev", Stat::std,
         "Sample standard deviation (divisor d - 1) of col over the last d rows."},
        {"ts_rank", Stat::rank,
         "Rank of the row's value among the last d rows: ascending from 1, ties averaged."},
        {"product", Stat::prod, "Product of col over the last d rows."},
        {"ts_argmax", Stat::argmax,
         "Position of the first maximum among the last d rows, 0 for the oldest row."},
        {"ts_argmin", Stat::argmin,
         "Position of the first minimum among the last d rows, 0 for the oldest row."},
    };
    const std::string common =
        "\n\nThe window is int(d) rows ending at the row, within the row's group when the task "
        "configures a grouping column (Feature/GroupIndex); a statistic exists only when all of "
        "them hold a value. Adds the column keyword###col|||d$$$ and returns df.";
    for (const One& op : ones) {
        const std::string sig = std::string(op.name) + "(df, col, d)";
        const std::string doc = std::string(op.doc) + common;
        const Stat stat = op.stat;
        const char* keyword = op.name;
        m.def(
            op.name,
            [keyword, stat](py::object df, py::handle col, py::handle d) {
                const bool lag = stat == Stat::shift || stat == Stat::diff;
                return windowed(std::move(df), keyword, {col, d}, {col},
                                frozen_stats() ? history_rows(d, lag) : 0,
                                [&](py::object t) { return single(keyword, stat, t, col, d); });
            },
            py::arg("df"), py::arg("col"), py::arg("d"), sig_doc(sig.c_str(), doc.c_str()).c_str());
    }
    m.def(
        "decay_linear",
        [](py::object df, py::handle col, py::handle d) {
            return windowed(std::move(df), "decay_linear", {col, d}, {col},
                            frozen_stats() ? history_rows(d, false) : 0,
                            [&](py::object t) { return decay_linear(t, col, d); });
        },
        py::arg("df"), py::arg("col"), py::arg("d"),
          sig_doc("decay_linear(df, col, d)",
                  ("Sum of col over the last d rows weighted by np.linspace(0.1, 1, d), the oldest "
                   "row weighing least." +
                   common)
                      .c_str())
              .c_str());
    m.def(
        "tcorrelation",
        [](py::object df, py::handle c1, py::handle c2, py::handle d) {
            return windowed(std::move(df), "tcorrelation", {c1, c2, d}, {c1, c2},
                            frozen_stats() ? history_rows(d, false) : 0,
                            [&](py::object t) { return pair("tcorrelation", true, t, c1, c2, d); });
        },
        py::arg("df"), py::arg("col1"), py::arg("col2"), py::arg("d"),
        sig_doc("tcorrelation(df, col1, col2, d)",
                "Pearson correlation of col1 and col2 over the last d rows, each row pairing its "
                "own two values; within the row's group when the task configures one. Adds "
                "tcorrelation###col1|||col2|||d$$$ and returns df.")
            .c_str());
    m.def(
        "tcorvariance",
        [](py::object df, py::handle c1, py::handle c2, py::handle d) {
            return windowed(std::move(df), "tcorvariance", {c1, c2, d}, {c1, c2},
                            frozen_stats() ? history_rows(d, false) : 0,
                            [&](py::object t) { return pair("tcorvariance", false, t, c1, c2, d); });
        },
        py::arg("df"), py::arg("col1"), py::arg("col2"), py::arg("d"),
        sig_doc("tcorvariance(df, col1, col2, d)",
                "Sample covariance (divisor d - 1) of col1 and col2 over the last d rows, each row "
                "pairing its own two values; within the row's group when the task configures one. "
                "Adds tcorvariance###col1|||col2|||d$$$ and returns df.")
            .c_str());
    m.def(
        "indneutralize", [](py::object df, py::handle, py::handle) { return df; }, py::arg("df"),
        py::arg("col"), py::arg("d"),
        sig_doc("indneutralize(df, col, d)", "Returns df unchanged; adds no column.").c_str());
}

}  // namespace orvalis::brevant
