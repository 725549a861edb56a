// What the group statistics share (group_counts.cpp, group_aggregate.cpp, group_distinct.cpp,
// group_rank.cpp): the per-group tables and their joins in pandas, the new table an operator
// returns, the native lookup of a per-group table for every row, standardisation and the median
// fill, and the incremental rules computed per group.
//
// What callers see is the pandas formulation (group-bys, outer joins of the per-group tables,
// left joins onto the rows, standardisation, median fill): the same values, dtypes, column order
// and fresh row index, and record entries of the same pandas types. It is computed natively: key
// columns are hashed in C++ (numbers by value, texts by their code units), the per-group
// statistics run the same arithmetic as pandas' group-by kernels with the GIL released, and the
// per-group table is looked up for every row by hashing instead of a join. Only the small
// per-group tables a record keeps are built and merged by pandas, so record entries keep their
// exact form. Columns or tables of a kind not handled natively (extension dtypes, keys of mixed
// types, stored tables whose keys have another dtype) take the pandas formulation itself.
//
// With frozen statistics (frozen.hpp) the working table of a feature (the per-group table that
// is joined onto the rows), the mean and deviation of its standardisation and the medians of the
// fill that follows are the quantities captured and replayed.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "brevant/brevant.hpp"
#include "brevant/keys.hpp"

namespace orvalis::brevant {
// table_utils.cpp
py::object left_merge(py::object data1, py::object data2, py::object on);
}  // namespace orvalis::brevant

namespace orvalis::brevant::groups {

using Ints = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<double, py::array::c_style | py::array::forcecast>;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

py::module_ pd();
py::module_ np();

// ---- per-group tables in pandas ---------------------------------------------------------------

py::list as_list(std::initializer_list<py::handle> items);
py::str suffixed(const py::str& name, const char* suffix);
// lec_record_dt.get(name): a record that is not a mapping fails here, before any work.
py::object stored_entry(const py::object& record, const py::str& name);
// Rows per distinct value of df[col], in order of first appearance, missing values left out:
// a table with the columns col and `count_name`.
py::object value_counts(const py::object& df, py::handle col, const py::str& count_name);
// table.assign(**{name: values}): a working table with one column set, without writing into a
// table whose columns other objects may still share.
py::object with_column(const py::object& table, const py::str& name, const py::object& values);
// pd.merge(a, b, left_on=key, right_on=key, how="outer"), the key a column or an index level.
py::object outer_join(const py::object& a, const py::object& b, py::handle key);
// df.merge(table, on=keys, how="left"), after dropping a stale column named like the feature
// (from an earlier computation of the same name), so that the fresh column comes last and is not
// split into two suffixed copies. Key rows that are missing are dropped from the table first.
py::object left_join_feature(py::object df, py::object table, const py::list& keys,
                             const py::str& name);
// Working table = stored + batch, the two count columns added with missing as 0; the batch column
// is dropped again.
py::object add_counts(const py::object& stored, const py::object& batch, py::handle key,
                      const py::str& name, const py::str& name2);

// df.fillna(df.median(numeric_only=True)), the fill after `feature`; with frozen statistics the
// medians are recorded or replayed.
py::object median_fill(py::object df, py::handle feature);

// ---- the native formulation -------------------------------------------------------------------

py::array_t<std::int64_t> int_array(std::span<const std::int64_t> v);
std::vector<std::int64_t> identity(std::size_t n);

// A table whose columns are unique texts (or other plain labels), the shape the native path keeps
// exactly as a merge would.
bool plain_frame(py::handle df);

// The rows of `df` as the new table an operator returns (df.merge(...) gives a fresh index
// 0..n-1, no attrs and an unnamed column index). The caller's frame is copied once; a table this
// name2feature call created is private to it and continued in place.
class NewTable {
  public:
    // `owned`: a table the operator made itself (a pandas join's result).
    explicit NewTable(py::object df, bool owned = false) : df_(std::move(df)), owned_(owned) {}

    py::object& get();

    // df[name] = values as the last column, dropping a stale column of that name first.
    void put_last(const py::str& name, py::object values);

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

// The fill after `feature` on the table the operator returns.
py::object finish_fill(NewTable& table, py::handle feature);

// A feature taken from a per-group table: the table's values with the table row of every group,
// from which the per-row column follows.
struct Looked {
    py::array vals;
    std::vector<std::int64_t> row_of_group;
};

// Values per row of the batch from a per-group table, as df.merge(table, on=key, how="left")
// gives the column `name`: the table is a series named `name` indexed by the key, or a frame of
// the key column and `name`. nullopt when the table is of another shape, its keys cannot be
// compared natively with the batch's, or a key occurs in it twice (the join would repeat rows).
std::optional<Looked> lookup_feature(KeyColumn& key, py::handle g, py::handle table,
                                     const py::str& name);
// The values of a per-group table column as int64 or float64; nullopt for other dtypes.
std::optional<py::array> table_values(py::handle v);
// vals[row_of_group[codes[i]]] per row, missing for a row without a table row: int64 when every
// row found an int64 value, float64 otherwise.
py::array gather(const py::array& vals, std::span<const std::int64_t> row_of_group,
                 std::span<const std::int64_t> codes);
// The table row of every group (or -1), from the table's key codes; false on a repeated key.
bool rows_of_groups(std::span<const std::int64_t> table_codes, std::size_t ngroups,
                    std::vector<std::int64_t>& row_of_group);

// Rows per group value in order of first appearance: a frame of the key and `as`, as
// df[col].value_counts(sort=False).rename_axis(col).reset_index(name=as).
py::object first_seen_counts(KeyColumn& key, py::handle col, const py::str& as);
// A per-group series in group-by order: values[g] for every group g, indexed by the sorted group
// values (index named `col`), named `as`.
py::object sorted_series(KeyColumn& key, py::handle col, py::array values, const py::str& as);

enum class Stat { min, max, mean, median, var, other };
Stat stat_of(py::handle s);
// The statistic of `x` per group (group order), as pandas' group-by gives it: min/max keep an
// int64 column's dtype, the others are float64.
py::array group_statistic(Stat stat, KeyColumn& key, const py::array& x);
// The values of a numeric column as int64 (int64 columns) or float64 (float64 columns); None for
// any other dtype, whose group statistics pandas computes.
py::object stat_input(py::handle df, py::handle col);

// An int64 column whose values span at most a few times its rows: the values, their smallest and
// the span (largest - smallest + 1).
struct IntRange {
    py::array_t<std::int64_t> holder;
    std::span<const std::int64_t> values;
    std::int64_t lo = 0;
    std::int64_t count = 0;
};
std::optional<IntRange> int_range(py::handle df, py::handle col);

// Attach the feature whose rows hold vals[row_of_group[codes[i]]] (missing for a row without a
// table row) to the new table, standardised when asked.
void attach_values(NewTable& out, std::span<const std::int64_t> codes,
                   std::span<const std::int64_t> sizes, const py::array& vals,
                   std::span<const std::int64_t> row_of_group, const py::str& name,
                   bool standardise_it);
// Attach the feature looked up from `table` to the new table, standardised when asked; false when
// the lookup is not native (the caller then joins with pandas).
bool attach(NewTable& out, KeyColumn& key, py::handle g, py::handle table, const py::str& name,
            bool standardise_it);

// ---- incremental calls without the working table ----------------------------------------------
//
// An incremental call joins the stored table with the batch's (an outer join on the key) and
// derives the working column from the two, but only the values at the batch's groups reach the
// rows. Where the stored table has the shape a first call writes, those values are combined here
// per group instead. The outer join leaves a gap (turning integer columns into floats) unless
// both tables hold exactly the same keys. Frozen statistics need the whole working table, so
// these shortcuts serve batch calls only (see whole_tables()).

enum class Rule { add, min, max, halves };

// The stored values found for the batch's groups (`row_of_group` into `vals`), and whether the
// two tables hold the same keys: every group found a row and every row a group.
struct Stored {
    Looked looked;
    bool same_keys = false;
};
Stored stored_at(Looked looked);

// The working column at each batch group, as the outer join and the rule's column arithmetic give
// it: `add` is fillna(0) + fillna(0), `min` / `max` the row's extreme skipping gaps, `halves`
// (a + b) / 2. `batch` holds one int64 or float64 value per group.
py::array combine_stored(Rule rule, const Stored& s, const py::array& batch);

// Attach the working column of an incremental call (stored table combined with the batch's
// per-group values by `rule`), standardised; false when the stored table is not of the shape
// the first call writes (a frame of the key and the feature for count, a series indexed by the
// key and named like the feature for the statistics), or its keys cannot be matched natively.
bool attach_update(NewTable& out, KeyColumn& key, py::handle g, const py::object& stored,
                   const py::str& name, Rule rule, const py::array& batch);

// Whether the running call needs each feature's whole working table (frozen statistics capture
// or replay it), so that the per-group shortcuts above do not apply.
bool whole_tables();

// ---- the operators ----------------------------------------------------------------------------

py::object count(py::object df, py::handle col, py::object record);
py::object crosscount(py::object df, py::handle col_list, py::object record);
py::object aggregate(py::object df, py::handle num_col, py::handle group_col, py::object stat_list,
                     py::object record);
py::object nunique(py::object df, py::handle id_col, py::handle group_col, py::object record);
py::object histstat(py::object df, py::handle id_col, py::handle group_col, py::object stat_list);
py::object crossrank(py::object df, py::handle col1, py::handle col2);

}  // namespace orvalis::brevant::groups
