// Ranks of new values against the values of a reference table, per group.
//
// A reference's ranking (pandas' average ranks, or their fraction of the count) is kept as a
// table: per group its distinct non-missing values in ascending order, the rows holding each, and
// the rank the reference gave them. A later value the group holds takes that rank; any other
// value takes the rank it would have if it were inserted among the group's values: one more than
// the number of values below it (for fractions: that over one more than the group's count).
// Missing values, and rows of a group the reference does not have, get NaN.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvalis::core {

struct RankTable {
    std::vector<std::int64_t> offsets;  // group g holds entries [offsets[g], offsets[g + 1])
    std::vector<double> values;         // distinct values, ascending within each group
    std::vector<std::int64_t> counts;   // rows holding each value
    std::vector<double> ranks;          // the rank the reference gave each value
};

struct RankTableView {
    std::span<const std::int64_t> offsets;
    std::span<const double> values;
    std::span<const std::int64_t> counts;
    std::span<const double> ranks;
};

// The table of a ranking: `ranks[i]` is what the reference gave row i, whose value is x[i] in
// group codes[i] (-1: no group). Rows without a group or a value are left out.
RankTable rank_table(std::span<const double> x, std::span<const std::int64_t> codes,
                     std::size_t ngroups, std::span<const double> ranks);

// Whether a table's parts fit together: offsets rising from 0 to the number of entries, the
// arrays of one length, values ascending within each group and counts positive. A table read
// from a file is checked before it is used.
bool valid(const RankTableView& t);

// out[i]: the rank of x[i] among the values of group groups[i] of the table (-1: none).
void rank_against(const RankTableView& t, std::span<const double> x,
                  std::span<const std::int64_t> groups, bool fraction, std::span<double> out);

}  // namespace orvalis::core
