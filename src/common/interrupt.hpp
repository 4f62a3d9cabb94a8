#pragma once
// Early stopping of a long computation by the thread that started it.
//
// A caller that can be interrupted (the Python entries, on a pending
// signal) installs an InterruptCheck on its own thread for the duration of
// a computation. The computation calls poll_interrupt() wherever stopping
// is safe: on the installing thread it asks the check, at most once per
// interval, and throws Interrupted when the check says stop; on any other
// thread it does nothing. Unwinding frees whatever the computation owns,
// and the worker pool drops the bands of a loop that threw.

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
    const InterruptCheck* check = nullptr;
    std::uint64_t next_ns = 0;
};
extern thread_local InterruptState g_interrupt;
void poll_interrupt_slow();
}  // namespace detail

// Asks the calling thread's check, if it has one and its interval is up.
inline void poll_interrupt() {
    if (detail::g_interrupt.check) detail::poll_interrupt_slow();
}

// Installs `check` on the calling thread for the lifetime of this object.
class ScopedInterruptCheck {
public:
    explicit ScopedInterruptCheck(const InterruptCheck& check);
    ~ScopedInterruptCheck();
    ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
    ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

private:
    detail::InterruptState previous_;
};

}  // namespace linara
