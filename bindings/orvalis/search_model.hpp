// The trained model when it is a FLAML search object: its input transformation applied once,
// then its trained estimator called directly, with the search object's own post-processing.
#pragma once

#include <optional>

#include "orvalis/marqolin.hpp"

namespace orvalis::api {

// The parts of a search object that its predict and predict_proba use.
struct SearchModel {
    py::object estimator;          // _trained_estimator
    py::object task;               // _state.task
    py::object transformer;        // _transformer
    py::object label_transformer;  // _label_transformer
    py::object series;             // the Series type its predict wraps the codes in
};

// `model` as a search object of a FLAML version whose predict and predict_proba this module
// reproduces, with a trained estimator; nullopt for anything else (another model type, a
// search object of an unknown shape or version, one without a trained estimator), which is
// then called through its own methods.
std::optional<SearchModel> search_model(const py::object& model);

// The search object's input transformation of `frame` (task.preprocess with its transformer).
// A datetime column that a first pass already turned into day numbers is kept as it is.
py::object transform_input(const Module& m, const SearchModel& search, const py::object& frame);

// The same transformation computed natively over the frame's columns, when the transformer's
// state and the frame's columns are of kinds it reproduces exactly; nullopt otherwise.
std::optional<py::object> native_transform(const SearchModel& search, const py::object& frame);

// search.predict(X) or search.predict_proba(X) for X in the estimator's input form, as the
// search object returns it: predictions flattened and decoded with its label transformer.
py::object search_output(const SearchModel& search, const py::object& X, bool proba);

// orvalis._model_input(model, frame): the transformation as predict applies it.
void register_model_input(py::module_& m);

}  // namespace orvalis::api
