// The inference API module: class marqolin (result folder -> preprocessing, prediction, codec,
// data, report, charts) and class load_dataset (the sample-dataset catalogue client).
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyutil.hpp"

namespace orvalis::api {

namespace py = pybind11;
using namespace pybind11::literals;
using bind::sig_doc;

// class marqolin
void register_marqolin(py::module_& m);
// class load_dataset
void register_catalogue(py::module_& m);

}  // namespace orvalis::api
