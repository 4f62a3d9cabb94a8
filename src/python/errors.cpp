#include "python/errors.hpp"

#include <new>
#include <stdexcept>

#include "common/errors.hpp"

namespace linara::python {

void note_parameter(const char* parameter) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value) {
        PyObject* result = PyObject_CallMethod(value, "add_note", "s",
                                               (std::string("while processing '") + parameter + "'").c_str());
        if (result)
            Py_DECREF(result);
        else
            PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

void set_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InputTooLarge& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const InternalError& e) {
        PyErr_Format(PyExc_SystemError, "linara internal error: %s", e.what());
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "linara internal error: %s", e.what());
    }
}

void set_size_mismatch_error() {
    PyErr_SetString(PyExc_SystemError,
                    "linara internal error: the buffer length comes from the array's own shape");
}

}  // namespace linara::python
