// The linara module: multi-phase initialisation whose execution step adds
// Segment, detect and warp_rgb, each also listed in __all__.

#define LINARA_IMPORT_NUMPY
#include "python/numpy.hpp"

#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/segment.hpp"

namespace linara::python {
namespace {

// Sets module.<name> = value and appends name to module.__all__, creating
// the list when the module has none.
int add_public(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const int status = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    return status;
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
    Py_DECREF(module_name);
    if (!function) return -1;
    const int status = add_public(module, def->ml_name, function);
    Py_DECREF(function);
    return status;
}

int exec_module(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (remember_main_thread() < 0) return -1;
    PyObject* type = segment_type();
    if (!type || add_public(module, "Segment", type) < 0) return -1;
    if (add_function(module, &detect_def) < 0) return -1;
    if (add_function(module, &warp_rgb_def) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "linara", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace linara::python

PyMODINIT_FUNC PyInit_linara(void) { return PyModuleDef_Init(&linara::python::module_def); }
