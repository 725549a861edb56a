#include "brevant/brevant.hpp"

namespace orvalis::brevant {

void register_group_stats(py::module_&) {}

}  // namespace orvalis::brevant
