#pragma once
// Comparisons of pixel distances with a limit, without computing roots.
//
// The distance between two pixels is the library's hypot of their integer
// differences. The squared distance D is an exact integer, and the
// library's hypot lies within 2^-48 of sqrt(D), relatively (the bracket of
// hypot_bounds.hpp, checked at load time). So D decides every comparison
// except those within a relative 2^-40 of the limit, and only those call
// the library.

#include <math.h>

#include <cstdint>

#include "detector/hypot_bounds.hpp"
#include "detector/profile.hpp"

namespace linara {

class DistanceLimit {
public:
    // A zero limit is left to the library: its squares would say that a
    // zero distance is within it.
    explicit DistanceLimit(double limit)
        : limit_(limit), usable_(g_hypot_brackets_hold && limit > 0.0 && limit <= 0x1p500) {
        const double lo = limit * (1.0 - 0x1p-40), hi = limit * (1.0 + 0x1p-40);
        lo_squared_ = lo * lo;
        hi_squared_ = hi * hi;
    }

    // hypot(dx, dy) > limit, given d2 = squared(dx, dy). Callers count the
    // distances they compare for the profile, a pass at a time.
    bool exceeded_by(std::int64_t dx, std::int64_t dy, double d2) const {
        if (usable_) {
            if (d2 > hi_squared_) return true;
            if (d2 <= lo_squared_) return false;
        }
        return distance(dx, dy) > limit_;
    }
    // Whether no pixel at a squared distance of d2 or less exceeds the limit.
    bool within_for_all_up_to(double d2) const { return usable_ && d2 <= lo_squared_; }
    // limit > hypot(dx, dy). Counted by callers, as exceeded_by.
    bool exceeds(std::int64_t dx, std::int64_t dy) const {
        if (usable_) {
            const double d2 = squared(dx, dy);
            if (d2 <= lo_squared_) return true;
            if (d2 > hi_squared_) return false;
        }
        return limit_ > distance(dx, dy);
    }

    // The squared distance, exact: pixel coordinates of images under 2^32
    // pixels keep dx^2 + dy^2 below 2^64 (rounded to float64 it keeps its
    // order).
    static double squared(std::int64_t dx, std::int64_t dy) {
        const auto ux = static_cast<std::uint64_t>(dx < 0 ? -dx : dx);
        const auto uy = static_cast<std::uint64_t>(dy < 0 ? -dy : dy);
        return static_cast<double>(ux * ux + uy * uy);
    }

private:
    static double distance(std::int64_t dx, std::int64_t dy) {
        profile::count(profile::Counter::kHypotCalled);
        return hypot(static_cast<double>(dx), static_cast<double>(dy));
    }

    double limit_;
    bool usable_;
    double lo_squared_, hi_squared_;
};

}  // namespace linara
