#pragma once
// The module's functions, as static method definitions.

#include "python/python.hpp"

namespace linara::python {

extern PyMethodDef detect_def;
extern PyMethodDef warp_rgb_def;

}  // namespace linara::python
