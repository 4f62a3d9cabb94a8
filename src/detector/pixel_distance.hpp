#pragma once

#include <math.h>

#include <cstdint>

#include "detector/hypot_bounds.hpp"
#include "detector/profile.hpp"

namespace linara {

// Distance from pixel (x, y) to pixel (x0, y0), the library's hypot of the
// integer differences, held as a bracket until a comparison needs more. On
// a row or a column it is exact: hypot(d, 0) is |d|.
struct PixelDistance {
    PixelDistance(std::uint32_t x, std::uint32_t y, std::uint32_t x0, std::uint32_t y0)
        : dx(static_cast<double>(static_cast<std::int64_t>(x) - static_cast<std::int64_t>(x0))),
          dy(static_cast<double>(static_cast<std::int64_t>(y) - static_cast<std::int64_t>(y0))) {
        profile::count(profile::Counter::kHypotNeeded);
        HypotBracket bracket;
        if (dx == 0.0 || dy == 0.0) {
            lo = hi = fabs(dx) + fabs(dy);
        } else if (bracket_hypot(dx, dy, bracket)) {
            lo = bracket.lo;
            hi = bracket.hi;
        } else {
            make_exact();
        }
    }
    // Whether the distance is below `limit`: limit > distance.
    bool below(double limit) {
        if (limit > hi) return true;
        if (!(limit > lo)) return false;
        make_exact();
        return limit > lo;
    }
    // Whether the distance is above `limit`: distance > limit.
    bool above(double limit) {
        if (lo > limit) return true;
        if (!(hi > limit)) return false;
        make_exact();
        return lo > limit;
    }
    void make_exact() {
        profile::count(profile::Counter::kHypotCalled);
        lo = hi = hypot(dx, dy);
    }

    double dx, dy;
    double lo, hi;
};

}  // namespace linara
