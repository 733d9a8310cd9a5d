#include "tools/icontroller.h"

namespace tools {

// Out of line so that the vtable and meta-object live in this library.
IController::~IController() = default;

} // namespace tools
