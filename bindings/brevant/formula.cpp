#include "brevant/brevant.hpp"

namespace orvalis::brevant {

void register_formula(py::module_&) {}

}  // namespace orvalis::brevant
