#include "python/errors.hpp"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "common/errors.hpp"

namespace linara::python {

void add_note(const char* text) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value) {
        PyObject* result = PyObject_CallMethod(value, "add_note", "s", text);
        if (result)
            Py_DECREF(result);
        else
            PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

void note_parameter(const char* parameter) {
    add_note((std::string("while processing '") + parameter + "'").c_str());
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

namespace {

// Poll interval of a computation on the main thread.
constexpr std::uint64_t kSignalPollNs = 50'000'000;

unsigned long g_main_thread = 0;

}  // namespace

int remember_main_thread() {
    PyObject* threading = PyImport_ImportModule("threading");
    if (!threading) return -1;
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DECREF(threading);
    if (!main) return -1;
    PyObject* ident = PyObject_GetAttrString(main, "ident");
    Py_DECREF(main);
    if (!ident) return -1;
    g_main_thread = PyLong_AsUnsignedLong(ident);
    Py_DECREF(ident);
    return PyErr_Occurred() ? -1 : 0;
}

SignalWatch::SignalWatch(PyThreadState* state)
    : on_main_thread_(PyThread_get_thread_ident() == g_main_thread),
      check_{&SignalWatch::handler_raised, state, kSignalPollNs} {}

// Takes the lock back, runs the handlers of pending signals, and releases
// the lock again; a handler's exception stays set on the thread.
bool SignalWatch::handler_raised(void* state) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
    const bool raised = PyErr_CheckSignals() != 0;
    PyEval_SaveThread();
    return raised;
}

void set_size_mismatch_error() {
    PyErr_SetString(PyExc_SystemError,
                    "linara internal error: the buffer length comes from the array's own shape");
}

}  // namespace linara::python
