#include "brevant/brevant.hpp"

namespace orvalis::brevant {

void register_table_utils(py::module_&) {}

}  // namespace orvalis::brevant
