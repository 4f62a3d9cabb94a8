#include "common/interrupt.hpp"

#include <time.h>

namespace linara {
namespace {

std::uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace

namespace detail {

thread_local InterruptState g_interrupt;

void poll_interrupt_slow() {
    InterruptState& state = g_interrupt;
    if (!state.check) {
        if (state.stopped->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    const std::uint64_t now = monotonic_ns();
    if (now < state.next_ns) return;
    state.next_ns = now + state.check->interval_ns;
    if (state.check->should_stop(state.check->context)) {
        state.stopped->store(true, std::memory_order_relaxed);
        throw Interrupted();
    }
}

}  // namespace detail

ScopedInterruptCheck::ScopedInterruptCheck(const InterruptCheck& check)
    : previous_(detail::g_interrupt) {
    detail::g_interrupt = {&check, monotonic_ns() + check.interval_ns, &stopped_};
}

ScopedInterruptCheck::~ScopedInterruptCheck() { detail::g_interrupt = previous_; }

ScopedStopWatch::ScopedStopWatch(std::atomic<bool>* stopped)
    : previous_(detail::g_interrupt), installed_(stopped != detail::g_interrupt.stopped) {
    if (installed_) detail::g_interrupt = {nullptr, 0, stopped};
}

ScopedStopWatch::~ScopedStopWatch() {
    if (installed_) detail::g_interrupt = previous_;
}

}  // namespace linara
