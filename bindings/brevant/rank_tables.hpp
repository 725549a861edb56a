// Rankings of frozen statistics as Python values (percentile, crossrank): a tuple of the group
// keys (None for one group over the whole column), then per group its offsets into the distinct
// values, the values, their rows and the ranks the reference gave them (see
// orvalis/core/rank_lookup.hpp).
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <span>

namespace orvalis::brevant {

namespace py = pybind11;

// The table of what the batch gave each row: row i holds x[i] in group codes[i] (-1: none) and
// was ranked ranks[i].
py::tuple rank_table(py::object keys, std::span<const double> x,
                     std::span<const std::int64_t> codes, std::size_t ngroups,
                     std::span<const double> ranks);

// The number of groups of a recorded table, which is checked to be whole (ValueError otherwise).
std::size_t rank_table_groups(const py::tuple& table, const py::str& name);

// Ranks of x against a recorded table, row i in the table's group groups[i] (-1: none); as
// fractions (percentile) or ranks (crossrank).
py::array_t<double> rank_against_table(const py::str& name, const py::tuple& table,
                                       const py::array_t<double>& x,
                                       std::span<const std::int64_t> groups, bool fraction);

}  // namespace orvalis::brevant
