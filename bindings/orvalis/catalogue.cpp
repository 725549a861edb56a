#include "orvalis/orvalis.hpp"

namespace orvalis::api {

void register_catalogue(py::module_&) {}

}  // namespace orvalis::api
