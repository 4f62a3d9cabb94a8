#pragma once
// Error plumbing between the core's C++ exceptions and the interpreter.

#include <exception>
#include <optional>
#include <utility>

#include "common/interrupt.hpp"
#include "python/python.hpp"

namespace linara::python {

// Adds `text` as a note to the pending exception through its add_note
// method. A failure to add it is discarded; the exception itself is kept.
void add_note(const char* text);

// Adds the note "while processing '<parameter>'" to the pending exception.
void note_parameter(const char* parameter);

// Sets the Python exception that corresponds to a caught C++ exception:
// MemoryError for allocation failure, ValueError for input too large,
// SystemError for a broken internal invariant. Needs the interpreter lock.
void set_error(const std::exception_ptr& error);

// Notes the interpreter's main thread, the only one that runs signal
// handlers. Called once, at module initialisation.
int remember_main_thread();

// Lets a computation on the main thread be interrupted by a signal (see
// run_unlocked). Off the main thread it does nothing: no handler would run
// there, and a thread that took the lock back during interpreter shutdown
// would be ended in the middle of the computation.
class SignalWatch {
public:
    explicit SignalWatch(PyThreadState* state);
    const InterruptCheck* check() const { return on_main_thread_ ? &check_ : nullptr; }

private:
    static bool handler_raised(void* state);
    bool on_main_thread_;
    InterruptCheck check_;
};

// Runs `work` with the interpreter lock released. On the main thread, the
// work asks every 50 ms whether a signal is pending, taking the lock back
// briefly to run its handler; when the handler raises (KeyboardInterrupt
// for Ctrl-C), the work stops early, frees what it holds, and this returns
// nothing with that exception set. Any std::exception the work throws is
// turned into a Python exception once the lock is held again, also
// returning nothing. Otherwise returns what the work returned.
template <class Work>
auto run_unlocked(Work&& work) -> std::optional<decltype(work())> {
    std::optional<decltype(work())> result;
    std::exception_ptr error;
    PyThreadState* state = PyEval_SaveThread();
    {
        const SignalWatch watch(state);
        std::optional<ScopedInterruptCheck> scope;
        if (watch.check()) scope.emplace(*watch.check());
        try {
            result.emplace(std::forward<Work>(work)());
        } catch (const Interrupted&) {
            // The handler's exception is already set on this thread.
        } catch (const std::exception&) {
            error = std::current_exception();
        }
    }
    PyEval_RestoreThread(state);
    if (error) set_error(error);
    return result;
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
