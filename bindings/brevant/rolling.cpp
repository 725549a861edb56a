#include "brevant/brevant.hpp"

namespace orvalis::brevant {

void register_rolling(py::module_&) {}

}  // namespace orvalis::brevant
