// Key columns hashed natively, and what one name2feature call keeps about its tables.
//
// A key column is grouped once: per-row group codes in order of first occurrence, the rows that
// found each group, and the group values themselves (taken from the column, so they keep its
// dtype). Numeric columns and object columns of exact texts (with None / NaN as missing values)
// are handled here; any other column is left to pandas by the callers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <span>
#include <vector>

#include "orvalis/core/grouping.hpp"

namespace orvalis::brevant {

namespace py = pybind11;

// a == b as Python compares them.
inline bool same(py::handle a, py::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

class KeyColumn {
public:
    enum class Kind { ints, floats, texts };

    // nullptr when the column cannot be grouped natively (extension dtypes, object columns that
    // hold anything but texts and missing values, unsigned 64-bit integers, dates).
    static std::shared_ptr<KeyColumn> of(py::handle series);

    Kind kind() const { return kind_; }
    std::size_t ngroups() const { return f_.ngroups(); }
    std::size_t size() const { return f_.codes.size(); }
    std::span<const std::int64_t> codes() const { return f_.codes; }
    std::span<const std::int64_t> first() const { return f_.first; }
    // Group ids ascending by value (the order of pandas' sorted group-bys).
    const std::vector<std::int64_t>& sorted_groups();
    // Rows per group.
    const std::vector<std::int64_t>& sizes();
    // The values of the given groups, as an array of the column's dtype.
    py::array values_of(std::span<const std::int64_t> groups) const;
    // Per entry of `values`, the group holding an equal value, or -1 (absent, missing). nullopt
    // when the values cannot be compared natively with this column's (another kind of dtype).
    std::optional<std::vector<std::int64_t>> codes_of(py::handle values) const;

private:
    std::optional<std::vector<std::int64_t>> lookup_codes(py::handle values) const;

    Kind kind_ = Kind::ints;
    std::string dtype_kind_;  // numpy dtype kind of the column: b, i, u, f or O
    core::Factorized f_;
    py::array uniques_;  // one value per group, in group order, with the column's dtype
    std::vector<std::int64_t> unique_ints_;
    std::vector<double> unique_floats_;
    std::vector<core::TextKey> unique_texts_;  // point into uniques_, which holds them
    std::vector<std::int64_t> sorted_;
    bool sorted_done_ = false;
    std::vector<std::int64_t> sizes_;
    bool sizes_done_ = false;
};

// The keys of an object array as texts (kind 0 for None / NaN); false when some element is
// neither. Holds the GIL; the descriptors point into the array's objects.
bool text_keys(const py::array& objects, std::vector<core::TextKey>& out);

class FrozenStats;

// What one name2feature call knows about its tables (see dispatcher.cpp): the newest table an
// operator of the call created (private to the call, so later operators may extend it in place),
// key groupings and float64 views by column, and the columns known to hold no gap.
//
// Python code that the call does not own (a record's methods, the __eq__ / __hash__ / conversions
// of the caller's objects that pandas calls on a path the call does not take natively, an operator
// replaced from Python) may write the caller's table in place, leaving its columns' buffers where
// they were. Each time such code has run, the groupings and float views known by buffer are
// dropped (`ran_foreign_code`). What is known of buffers the call made itself (its private tables
// and their fresh columns) stays: such code is never handed them, except a replaced operator,
// after which the call forgets everything (`forget_all`).
struct CallContext {
    py::object private_table = py::none();
    // the statistics the call captures or replays (frozen.hpp), nullptr in batch mode
    FrozenStats* frozen = nullptr;

    // How often the call has dropped its groupings for code it does not own; a grouping taken
    // before a step that may run such code is current after it only while this is unchanged.
    std::uint64_t foreign_runs = 0;
    // Set while an operator runs when it handed the caller's objects (or an object of the
    // caller's, such as the record) to code the call does not own; the dispatcher counts the run
    // once the operator has returned (see foreign_code_may_run).
    bool foreign_pending = false;
    // The table's labels (or the table itself) are of kinds whose comparisons and hashing may be
    // the caller's code, which then runs at any column lookup: no grouping is kept in this call.
    bool foreign_labels = false;

    struct Cached {
        py::object label;
        py::object buffer;  // holds the column's values alive, so `data` cannot be reused
        const void* data = nullptr;
        std::shared_ptr<KeyColumn> key;
        py::object floats = py::none();
    };
    std::vector<Cached> columns;
    // buffers (column rows of blocks) known to hold no NaN, or nothing a median can fill
    std::unordered_map<const void*, py::object> clean;
    // buffers whose median is known (a feature from a per-group table), held alive beside it
    struct Median {
        py::object buffer;
        double value;
    };
    std::unordered_map<const void*, Median> medians;

    bool is_private(py::handle df) const {
        return !private_table.is_none() && private_table.ptr() == df.ptr();
    }
    // Whatever is kept about a buffer that left the table (replaced or dropped), so that it is
    // not held alive until the call ends.
    void forget_buffer(const void* data) {
        clean.erase(data);
        medians.erase(data);
        std::erase_if(columns, [data](const Cached& c) { return c.data == data; });
    }
    void ran_foreign_code() {
        ++foreign_runs;
        foreign_pending = false;
        columns.clear();
    }
    // Whether groupings and float views may be kept by buffer at all.
    bool keeps_columns() const { return !foreign_labels; }
    void forget_all() {
        ran_foreign_code();
        private_table = py::none();
        clean.clear();
        medians.clear();
    }
};

// The context of the name2feature call running a native operator on this thread, or nullptr
// (a direct call of the operator).
CallContext* current_call();

// The operator running in the current call (if any) hands objects that may be the caller's to
// code the call does not own (pandas' hashing, comparison or conversion of objects the native path
// does not read, a record that is not a plain dict): the call drops its groupings once the
// operator returns.
void foreign_code_may_run();
// The same for pandas or NumPy code that is handed `values` (a Series or array) and so calls its
// objects' methods: unless the values are numbers, dates or objects of types defined in C.
void foreign_code_may_run(py::handle values);
// Whether the object's type is defined in C (not a class written in Python, which includes
// subclasses of built-in types), or the object is a tuple of such objects: its comparisons,
// hashing and conversions run no Python code.
bool builtin_object(PyObject* o);

// Whether the record's entries are read and written by dict's own code only (an exact dict), so
// that no code of the caller's runs when an operator looks an entry up or stores one.
inline bool plain_record(py::handle record) { return PyDict_CheckExact(record.ptr()) != 0; }

// Whether the table is a plain DataFrame whose row and column labels are all of built-in kinds
// (texts, numbers, None, and tuples of those), whose comparisons and hashing run no Python code.
bool plain_labels(py::handle df);

// Sets the context for the operator called within its scope (nullptr for a foreign operator).
class CallScope {
public:
    explicit CallScope(CallContext* ctx);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    CallContext* saved_;
};

// The column's underlying buffer (an ndarray, or None for extension arrays) and its address.
std::pair<py::object, const void*> column_buffer(py::handle df, py::handle label);

// The grouping of df[label], cached in the call's context while the column keeps its values.
std::shared_ptr<KeyColumn> key_of(py::handle df, py::handle label);
// df[label] as contiguous float64 (NaN for missing), cached likewise; None when the column is
// not a plain numeric one.
py::object floats_of(py::handle df, py::handle label);

}  // namespace orvalis::brevant
