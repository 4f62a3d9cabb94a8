#pragma once
// Early stopping of a long computation by the thread that started it.
//
// A caller that can be interrupted (the Python entries, on a pending
// signal) installs an InterruptCheck on its own thread for the duration of
// a computation. The computation calls poll_interrupt() wherever stopping
// is safe: on the installing thread it asks the check, at most once per
// interval, and throws Interrupted when the check says stop. Pool threads
// running bands for that computation watch its stop flag instead, which the
// installing thread raises as it stops, so that a band in progress ends at
// its next poll rather than running to its end while the caller waits.
// Unwinding frees whatever the computation owns, and the worker pool drops
// the bands of a loop that threw.

#include <atomic>
#include <cstdint>
#include <exception>

namespace linara {

class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "computation interrupted"; }
};

struct InterruptCheck {
    bool (*should_stop)(void* context);  // true to stop
    void* context;
    std::uint64_t interval_ns;
};

namespace detail {
struct InterruptState {
    const InterruptCheck* check = nullptr;  // on the installing thread only
    std::uint64_t next_ns = 0;
    std::atomic<bool>* stopped = nullptr;  // the computation's stop flag
};
extern thread_local InterruptState g_interrupt;
void poll_interrupt_slow();
}  // namespace detail

// Asks the calling thread's check, if it has one and its interval is up, or
// on a pool thread looks at the stop flag of the computation it works for.
inline void poll_interrupt() {
    if (detail::g_interrupt.stopped) detail::poll_interrupt_slow();
}

// The stop flag of the computation the calling thread works for, or null.
inline std::atomic<bool>* current_stop_flag() { return detail::g_interrupt.stopped; }

// Makes a pool thread watch `stopped` for the lifetime of this object, while
// it runs a band for another thread. Nothing changes on a thread that
// already watches that flag (the caller running its own bands).
class ScopedStopWatch {
public:
    explicit ScopedStopWatch(std::atomic<bool>* stopped);
    ~ScopedStopWatch();
    ScopedStopWatch(const ScopedStopWatch&) = delete;
    ScopedStopWatch& operator=(const ScopedStopWatch&) = delete;

private:
    detail::InterruptState previous_;
    bool installed_;
};

// Installs `check` on the calling thread for the lifetime of this object.
class ScopedInterruptCheck {
public:
    explicit ScopedInterruptCheck(const InterruptCheck& check);
    ~ScopedInterruptCheck();
    ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
    ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

private:
    detail::InterruptState previous_;
    std::atomic<bool> stopped_{false};
};

}  // namespace linara
