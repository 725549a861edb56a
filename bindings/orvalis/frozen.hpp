// Frozen statistics of a result folder (class frozen_statistics): every batch-level quantity that
// preprocessing of a reference table computes, captured once and replayed on any rows, with the
// window history of the rolling features; saved as plain data (arrays and a JSON header).
#pragma once

#include <pybind11/numpy.h>

#include "orvalis/marqolin.hpp"

namespace orvalis::api {

// One run of the feature engine with frozen statistics: "capture" appends to `entries`;
// "replay" reads them and starts windows from `history`; "extend" replays and fills
// `new_history` with the history that follows the rows.
struct FrozenRun {
    const char* mode;
    py::list entries;
    py::dict history;
    py::dict new_history;
};

// _process_data of marqolin with frozen statistics (marqolin_preprocess.cpp).
py::object process_frozen(const Module& m, py::object self, py::object df, FrozenRun& run);

// The rows of `data` as predict reads them (a path, a DataFrame, an array), as a frame of the
// caller's own that processing may change: a DataFrame is copied.
py::object raw_rows(const Module& m, const py::object& self, const py::object& data,
                    const char* method);

namespace frozen {

// Values of frozen statistics as JSON nodes and arrays, and back (frozen_io.cpp).
py::object encode_value(py::handle value, py::list& arrays);
py::object decode_value(py::handle node, const py::list& arrays);

// class frozen_statistics and marqolin.freeze_statistics
void register_frozen_statistics(const Module& m, py::module_& module);
void add_freeze_methods(const Module& m, py::dict& ns);

// The statistics object given as `statistics=`: a frozen_statistics of this folder (TypeError,
// or ValueError naming both folders), which an unbound one is bound to from then on.
void require_for(const Module& m, const py::object& statistics, const py::object& owner,
                 const char* method);

// The frozen statistics' parts, for a run on their rows.
FrozenRun replay_run(const py::object& statistics);

// A new frozen_statistics of the folder `owner` (a marqolin, or None for statistics read from a
// file until their first use).
py::object new_statistics(const Module& m, py::object owner, py::list entries, py::dict history,
                          py::str fingerprint, py::str folder);
// sha256 of the folder's configuration, feature list and record files, as they are on disk when
// first asked; kept on the marqolin object.
py::str fingerprint_of(const Module& m, const py::object& owner);
// The folder's absolute path.
py::str folder_of(const Module& m, const py::object& owner);

}  // namespace frozen
}  // namespace orvalis::api
