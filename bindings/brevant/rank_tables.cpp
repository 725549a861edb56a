#include "brevant/rank_tables.hpp"

#include <algorithm>
#include <vector>

#include "orvalis/core/rank_lookup.hpp"

namespace orvalis::brevant {

namespace {

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;

template <class T>
py::array_t<T> to_array(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// The parts of a recorded table, checked to fit together.
struct TableParts {
    Ints offsets, counts;
    Floats values, ranks;

    core::RankTableView view() const {
        auto span = [](const auto& a) {
            return std::span(a.data(), static_cast<std::size_t>(a.size()));
        };
        return {span(offsets), span(values), span(counts), span(ranks)};
    }
};

TableParts table_parts(const py::tuple& table, const py::str& name) {
    auto damaged = [&] {
        PyErr_Format(PyExc_ValueError, "frozen statistics: the ranking of %R is damaged",
                     name.ptr());
        throw py::error_already_set();
    };
    if (table.size() != 5) damaged();
    TableParts p{Ints(table[1]), Ints(table[3]), Floats(table[2]), Floats(table[4])};
    if (p.offsets.ndim() != 1 || p.counts.ndim() != 1 || p.values.ndim() != 1 ||
        p.ranks.ndim() != 1 || !core::valid(p.view()))
        damaged();
    return p;
}

}  // namespace

py::tuple rank_table(py::object keys, std::span<const double> x,
                     std::span<const std::int64_t> codes, std::size_t ngroups,
                     std::span<const double> ranks) {
    core::RankTable t;
    {
        py::gil_scoped_release release;
        t = core::rank_table(x, codes, ngroups, ranks);
    }
    return py::make_tuple(std::move(keys), to_array(t.offsets), to_array(t.values),
                          to_array(t.counts), to_array(t.ranks));
}

std::size_t rank_table_groups(const py::tuple& table, const py::str& name) {
    return static_cast<std::size_t>(table_parts(table, name).offsets.size()) - 1;
}

py::array_t<double> rank_against_table(const py::str& name, const py::tuple& table,
                                       const py::array_t<double>& x,
                                       std::span<const std::int64_t> groups, bool fraction) {
    const TableParts p = table_parts(table, name);
    const Floats xs(x);
    const auto n = static_cast<std::size_t>(xs.size());
    if (groups.size() != n) throw py::value_error("rank_against_table: one group per row");
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    std::span<const double> values(xs.data(), n);
    std::span<double> os(out.mutable_data(), n);
    const core::RankTableView view = p.view();
    py::gil_scoped_release release;
    core::rank_against(view, values, groups, fraction, os);
    return out;
}

}  // namespace orvalis::brevant
