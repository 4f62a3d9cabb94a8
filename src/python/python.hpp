#pragma once
// The one way the binding includes the interpreter's headers.

#ifndef Py_LIMITED_API
#error "linara is built against the stable ABI: Py_LIMITED_API must be defined"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
