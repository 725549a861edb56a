// Batch-level quantities as data.
//
// Many operators compute something over the whole batch before they can give a row its value: a
// standardised feature's mean and deviation, a column's minimum, the per-group table of a group
// statistic, the medians of the median fill, the earlier rows of a window. By default they come
// from the rows being processed. A name2feature call run with frozen statistics captures each
// such quantity from a reference table instead, or replays the captured value on any rows, so
// that a row's answer no longer depends on its neighbours.
//
// Operators obtain every such quantity here, under the feature's name and the quantity's role
// ("moments", "table", "fill", ...): computed from the batch (no frozen statistics), computed and
// recorded (capture), or the recorded value without looking at the batch (replay). A feature
// computed twice in one call has one recorded value per computation, replayed in their order.
// Operators called directly, outside a name2feature call, always compute from their own table.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvalis::brevant {

namespace py = pybind11;

class FrozenStats {
  public:
    enum class Mode {
        capture,  // compute from the batch and record
        replay,   // use what was recorded; windows start from the recorded history
        extend,   // replay, and keep the history that follows the rows given
    };

    // `entries`: a list of (feature, role, value) tuples, appended to when capturing and read
    // when replaying. `history`: feature -> list of frames, the rows that precede the batch in
    // each computation of a rolling feature. `new_history`: filled when extending.
    FrozenStats(Mode mode, py::list entries, py::dict history, py::dict new_history);

    Mode mode() const { return mode_; }
    bool replaying() const { return mode_ != Mode::capture; }

    // The recorded value of `role` for the next computation of `feature`.
    py::object recorded(py::handle feature, const char* role);
    void record(py::handle feature, const char* role, py::object value);

    // compute() recorded, or the recorded value.
    template <class F>
    py::object quantity(py::handle feature, const char* role, F&& compute) {
        if (replaying()) return recorded(feature, role);
        py::object value = compute();
        record(feature, role, value);
        return value;
    }

    // The rows that precede the batch in the next computation of the rolling feature (None
    // when there are none), and, when extending, the rows that follow it (its new history).
    py::object history(py::handle feature);
    void keep_history(py::handle feature, py::object frame);

    // Medians of numeric columns while capturing, by column buffer (held alive beside them).
    struct Median {
        py::object buffer;
        double value;
    };
    std::unordered_map<const void*, Median> medians;

  private:
    static std::string key_of(py::handle feature, const char* role);

    Mode mode_;
    py::list entries_;
    py::dict history_;
    py::dict new_history_;
    std::unordered_map<std::string, std::vector<py::object>> replay_;  // key -> values in order
    std::unordered_map<std::string, std::size_t> used_;                // key -> values consumed
};

// The frozen statistics of the running name2feature call, or nullptr (batch mode, or an operator
// called directly).
FrozenStats* frozen_stats();

// The batch-level quantity `role` of `feature`: compute() in batch mode, else through the call's
// frozen statistics.
template <class F>
py::object batch_quantity(py::handle feature, const char* role, F&& compute) {
    FrozenStats* fz = frozen_stats();
    return fz ? fz->quantity(feature, role, std::forward<F>(compute)) : compute();
}

// True while the running call replays frozen statistics.
inline bool replaying() {
    FrozenStats* fz = frozen_stats();
    return fz && fz->replaying();
}

}  // namespace orvalis::brevant
