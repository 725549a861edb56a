#include "brevant/brevant.hpp"

namespace orvalis::brevant {

void register_calendar(py::module_&) {}

}  // namespace orvalis::brevant
