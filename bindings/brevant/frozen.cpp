// The store behind frozen statistics: recorded quantities by feature and role, and window
// histories by rolling feature, each in the order the call computes them.
#include "brevant/frozen.hpp"

#include "brevant/keys.hpp"

namespace orvalis::brevant {

namespace {

constexpr const char* kHistoryRole = "history";

std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char* data =
        PyUnicode_Check(text.ptr()) ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
    if (data) return std::string(data, static_cast<std::size_t>(size));
    PyErr_Clear();  // not a text, or lone surrogates: its repr names it as well
    return std::string(py::str(py::repr(text)));
}

}  // namespace

std::string FrozenStats::key_of(py::handle feature, const char* role) {
    return std::string(role) + '\n' + utf8(feature);
}

FrozenStats::FrozenStats(Mode mode, py::list entries, py::dict history, py::dict new_history)
    : mode_(mode),
      entries_(std::move(entries)),
      history_(std::move(history)),
      new_history_(std::move(new_history)) {
    if (!replaying()) return;
    for (py::handle entry : entries_) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(entry);
        if (!PyTuple_Check(entry.ptr()) || t.size() != 3)
            throw py::value_error(
                "frozen statistics: an entry is not a (feature, role, value) tuple");
        replay_[key_of(t[0], std::string(py::str(t[1])).c_str())].push_back(t[2]);
    }
}

py::object FrozenStats::recorded(py::handle feature, const char* role) {
    const std::string key = key_of(feature, role);
    auto found = replay_.find(key);
    const std::size_t k = used_[key]++;
    if (found == replay_.end() || k >= found->second.size()) {
        PyErr_Format(PyExc_ValueError,
                     "the frozen statistics hold no '%s' for computation %zu of the feature %R: "
                     "they were frozen with another feature list, or from a table with other "
                     "columns",
                     role, k + 1, feature.ptr());
        throw py::error_already_set();
    }
    return found->second[k];
}

void FrozenStats::record(py::handle feature, const char* role, py::object value) {
    entries_.append(py::make_tuple(feature, py::str(role), std::move(value)));
}

py::object FrozenStats::history(py::handle feature) {
    const std::size_t k = used_[key_of(feature, kHistoryRole)]++;
    if (mode_ == Mode::capture || !history_.contains(feature)) return py::none();
    py::list frames = history_[feature];
    return k < frames.size() ? py::object(frames[k]) : py::none();
}

void FrozenStats::keep_history(py::handle feature, py::object frame) {
    if (mode_ != Mode::extend) return;
    if (!new_history_.contains(feature)) new_history_[feature] = py::list();
    py::list(new_history_[feature]).append(std::move(frame));
}

FrozenStats* frozen_stats() {
    CallContext* ctx = current_call();
    return ctx ? ctx->frozen : nullptr;
}

}  // namespace orvalis::brevant
