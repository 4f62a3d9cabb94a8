#pragma once
// Error plumbing between the core's C++ exceptions and the interpreter.

#include <exception>
#include <utility>

#include "python/python.hpp"

namespace linara::python {

// Adds the note "while processing '<parameter>'" to the pending exception.
// A failure to add it is discarded; the exception itself is kept.
void note_parameter(const char* parameter);

// Sets the Python exception that corresponds to a caught C++ exception:
// MemoryError for allocation failure, ValueError for input too large,
// SystemError for a broken internal invariant. Needs the interpreter lock.
void set_error(const std::exception_ptr& error);

// Runs `work` with the interpreter lock released. Any std::exception it
// throws is caught and turned into a Python exception once the lock is held again;
// returns false in that case.
template <class Work>
bool run_unlocked(Work&& work) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        std::forward<Work>(work)();
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) {
        set_error(error);
        return false;
    }
    return true;
}

// Runs an entry's body and turns any C++ exception into a Python exception
// (returning null). Only std::exception is caught (the core throws nothing
// else): the forced unwind with which the interpreter ends a daemon thread at
// shutdown is no std::exception and must pass through.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception&) {
        set_error(std::current_exception());
        return nullptr;
    }
}

// Reports a buffer length that disagrees with the array shape it came from.
void set_size_mismatch_error();

}  // namespace linara::python
