// crossrank: the average rank of a row's value among the rows of its group. With frozen
// statistics the rank is taken among the reference's values of the group instead (see
// orvalis/core/rank_lookup.hpp): per group, its distinct values, their rows and ranks.
#include "brevant/frozen.hpp"
#include "brevant/group_tables.hpp"
#include "brevant/rank_tables.hpp"
#include "orvalis/core/grouping.hpp"

namespace orvalis::brevant::groups {

namespace {

py::object crossrank_pandas(py::object df, py::handle col1, py::handle col2) {
    foreign_code_may_run();  // pandas' group-by hashes and compares the caller's objects
    py::str name = feature_name("crossrank", {col1, col2});
    // df[name] = df.groupby(col1)[col2].transform("rank"), placed by row position
    py::object grouped = df.attr("groupby")(col1, "observed"_a = false);
    py::object ranks = grouped[col2].attr("transform")("rank");
    df[name] = ranks.attr("array");
    return df;
}

// The values of a column as the frozen ranking compares them: float64, missing values as NaN.
Floats compared_values(const py::object& df, py::handle col) {
    py::object x = floats_of(df, col);
    if (!x.is_none()) return Floats(x);
    return Floats(df[col].attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np().attr("nan")));
}

py::object crossrank_frozen(py::object df, py::handle col1, py::handle col2, const py::str& name,
                            const py::tuple& table) {
    const Floats x = compared_values(df, col2);
    const auto n = static_cast<std::size_t>(x.size());
    const std::size_t ngroups = rank_table_groups(table, name);
    std::vector<std::int64_t> groups(n, -1);
    auto key = plain_frame(df) ? key_of(df, col1) : nullptr;
    std::optional<std::vector<std::int64_t>> table_codes =
        key ? key->codes_of(table[0]) : std::nullopt;
    if (table_codes && table_codes->size() == ngroups) {
        // the table's group of each batch group, then of each row
        std::vector<std::int64_t> of_group(key->ngroups(), -1);
        for (std::size_t t = 0; t < ngroups; ++t)
            if (const std::int64_t g = (*table_codes)[t]; g >= 0)
                of_group[static_cast<std::size_t>(g)] = static_cast<std::int64_t>(t);
        const auto codes = key->codes();
        for (std::size_t i = 0; i < n; ++i)
            groups[i] = codes[i] < 0 ? -1 : of_group[static_cast<std::size_t>(codes[i])];
    } else {
        // pd.Index(table keys).get_indexer(df[col1]): -1 for a value the table lacks
        py::object index = pd().attr("Index")(table[0]);
        Ints found(index.attr("get_indexer")(df[col1]));
        for (std::size_t i = 0; i < n; ++i) groups[i] = found.data()[i];
    }
    assign_fresh_column(df, name, rank_against_table(name, table, x, groups, false));
    return df;
}

py::object crossrank_batch(py::object df, py::handle col1, py::handle col2, const py::str& name,
                           FrozenStats* capture) {
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
    if (capture) {
        std::vector<std::int64_t> all = identity(key->ngroups());
        capture->record(name, "ranks",
                        rank_table(key->values_of(all), {xs.data(), n}, key->codes(),
                                   key->ngroups(), {out.data(), n}));
    }
    return df;
}

}  // namespace

py::object crossrank(py::object df, py::handle col1, py::handle col2) {
    py::str name = feature_name("crossrank", {col1, col2});
    FrozenStats* fz = frozen_stats();
    if (fz && fz->replaying())
        return crossrank_frozen(df, col1, col2, name, fz->recorded(name, "ranks"));
    const bool native_capture =
        fz && plain_frame(df) && key_of(df, col1) && !floats_of(df, col2).is_none();
    df = crossrank_batch(df, col1, col2, name, native_capture ? fz : nullptr);
    if (fz && !native_capture) {
        // the pandas formulation ranked the rows: the table from its result
        py::tuple codes_and_keys = pd().attr("factorize")(df[col1]);
        const Ints codes(codes_and_keys[0]);
        py::object keys = codes_and_keys[1];
        const Floats x = compared_values(df, col2);
        const Floats r(
            df[name].attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np().attr("nan")));
        const auto n = static_cast<std::size_t>(x.size());
        fz->record(name, "ranks",
                   rank_table(keys.attr("to_numpy")(), {x.data(), n},
                              {codes.data(), static_cast<std::size_t>(codes.size())},
                              static_cast<std::size_t>(py::len(keys)), {r.data(), n}));
    }
    return df;
}

}  // namespace orvalis::brevant::groups
