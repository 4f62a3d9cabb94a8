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
    const std::uint64_t now = monotonic_ns();
    if (now < state.next_ns) return;
    state.next_ns = now + state.check->interval_ns;
    if (state.check->should_stop(state.check->context)) throw Interrupted();
}

}  // namespace detail

ScopedInterruptCheck::ScopedInterruptCheck(const InterruptCheck& check)
    : previous_(detail::g_interrupt) {
    detail::g_interrupt = {&check, monotonic_ns() + check.interval_ns};
}

ScopedInterruptCheck::~ScopedInterruptCheck() { detail::g_interrupt = previous_; }

}  // namespace linara
