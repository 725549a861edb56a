// Rolling-window operators: lags, differences and window statistics of a column over the last d
// rows, over the whole table or within each group of the task's grouping column. The windows are
// computed natively by row position, so every value lands on its own row whatever the row labels
// (repeated labels included), and rows whose group value is missing get a missing feature.
#include <pybind11/numpy.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "brevant/brevant.hpp"
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
    std::int64_t ngroups = 0;
    Codes codes;
    if (py::isinstance<py::list>(key)) {
        // Several grouping columns: group numbers, -1 where a key is missing.
        py::object by = df.attr("groupby")(key, "sort"_a = false, "observed"_a = true);
        codes = Codes(by.attr("ngroup")().attr("to_numpy")("dtype"_a = "int64", "na_value"_a = -1));
        ngroups = by.attr("ngroups").cast<std::int64_t>();
    } else {
        // codes, uniques = pd.factorize(df[key]): -1 for a missing group value.
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

bool numeric_dtype(py::handle series) {
    const std::string kind = py::str(series.attr("dtype").attr("kind"));
    return kind == "b" || kind == "i" || kind == "u" || kind == "f";
}

// The column as contiguous float64 with NaN for missing values; a float64 column is used in
// place. Columns that hold no numbers fail as the window statistics of the table would.
Floats as_float64(py::handle series) {
    py::object dtype = series.attr("dtype");
    if (py::isinstance(dtype, np().attr("dtype")) && numeric_dtype(series))
        return Floats(np().attr("asarray")(series, "dtype"_a = "float64"));
    try {
        return Floats(
            series.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np().attr("nan")));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
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
// by position: s.groupby(keys).shift(w) / .diff(w), s.shift(w) / s - s.shift(w).
py::object shift_other(Stat stat, py::object df, py::handle key, py::object s, std::int64_t w) {
    if (key.is_none()) {
        py::object lagged = s.attr("shift")(w);
        return stat == Stat::diff ? py::object(s - lagged) : lagged;
    }
    py::object keys;
    if (py::isinstance<py::list>(key)) {
        py::list arrays;
        for (py::handle k : key) arrays.append(df[k].attr("to_numpy")());
        keys = arrays;
    } else {
        keys = df[key].attr("to_numpy")();
    }
    return s.attr("groupby")(keys).attr(stat == Stat::diff ? "diff" : "shift")(w);
}

// Lags up to this long within numeric groups run in one pass over the rows (shift_by_key).
constexpr std::int64_t kRingLag = 64;

// One-column operators: name keyword###col|||d$$$, window int(d), grouped by the task's column.
py::object single(const char* keyword, Stat stat, py::object df, py::handle col, py::handle d) {
    py::str name = feature_name(keyword, {col, d});
    py::object key = group_key();
    py::array_t<double> out;
    {
        GroupKeys keys = group_keys(df, key);
        py::object series = df[col];
        const std::int64_t w = window_length(d);
        const bool shifting = stat == Stat::shift || stat == Stat::diff;
        if (!shifting) require_rolling_window(w);
        if (shifting && !numeric_dtype(series)) {
            df[name] = shift_other(stat, df, key, series, w);
            return df;
        }
        const bool numeric_keys =
            keys.kind == GroupKeys::Kind::ints || keys.kind == GroupKeys::Kind::floats;
        bool done = false;
        if (shifting && numeric_keys && w >= -kRingLag && w <= kRingLag) {
            Floats x = as_float64(series);
            const auto n = static_cast<std::size_t>(x.size());
            out = py::array_t<double>(static_cast<py::ssize_t>(n));
            std::span<const double> xs(x.data(), n);
            std::span<double> os(out.mutable_data(), n);
            const bool diff = stat == Stat::diff;
            py::gil_scoped_release release;
            if (keys.kind == GroupKeys::Kind::ints)
                done = core::shift_by_key(xs, {keys.ints.data(), keys.size()}, w, diff, os);
            else
                done = core::shift_by_key(xs, {keys.floats.data(), keys.size()}, w, diff, os);
        }
        if (!done) {
            Grouping g = group_rows(df, key, std::move(keys));
            Floats x = as_float64(series);
            const auto n = static_cast<std::size_t>(x.size());
            if ((stat == Stat::argmax || stat == Stat::argmin) && w == 0 && g.any_series_row(n))
                throw py::value_error(stat == Stat::argmax
                                          ? "attempt to get argmax of an empty sequence"
                                          : "attempt to get argmin of an empty sequence");
            if (static_cast<std::size_t>(out.size()) != n)  // not left by a lag that gave up
                out = py::array_t<double>(static_cast<py::ssize_t>(n));
            std::span<const double> xs(x.data(), n);
            std::span<double> os(out.mutable_data(), n);
            py::gil_scoped_release release;
            run(stat, xs, g.layout(), w, os);
        }
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
        Floats x = as_float64(s1), y = as_float64(s2);
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
                return single(keyword, stat, std::move(df), col, d);
            },
            py::arg("df"), py::arg("col"), py::arg("d"), sig_doc(sig.c_str(), doc.c_str()).c_str());
    }
    m.def("decay_linear", &decay_linear, py::arg("df"), py::arg("col"), py::arg("d"),
          sig_doc("decay_linear(df, col, d)",
                  ("Sum of col over the last d rows weighted by np.linspace(0.1, 1, d), the oldest "
                   "row weighing least." +
                   common)
                      .c_str())
              .c_str());
    m.def(
        "tcorrelation",
        [](py::object df, py::handle c1, py::handle c2, py::handle d) {
            return pair("tcorrelation", true, std::move(df), c1, c2, d);
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
            return pair("tcorvariance", false, std::move(df), c1, c2, d);
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
