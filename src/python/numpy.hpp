#pragma once
// The one way the binding includes NumPy's C API. Built against NumPy 2
// headers but limited to the 1.23 API, so the module runs under NumPy 1.26
// and 2.x alike. module.cpp defines LINARA_IMPORT_NUMPY and owns the table.

#include "python/python.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL linara_ARRAY_API
#ifndef LINARA_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
