#include "orvalis/orvalis.hpp"

namespace orvalis::api {

void register_marqolin(py::module_&) {}

}  // namespace orvalis::api
