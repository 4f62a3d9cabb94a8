#pragma once

#include <math.h>

#include "detector/hypot_bounds.hpp"
#include "detector/profile.hpp"

namespace linara {

// The acceptance threshold T = hypot(sx, sy) * cos(tolerance) of the
// direction sum (sx, sy), which turns a neighbour away when T > dot.
//
// Growing a region updates the sum after every pixel it takes, and the next
// test waits for the new threshold, so the threshold is not computed at
// all: the test compares squares. For ct = cos(tolerance) > 0, T is not
// negative, so a negative dot is always turned away; for a positive dot,
// T^2 lies within a relative 2^-46 of (sx^2 + sy^2) * ct^2 (the library's
// hypot is within 2^-48 of the exact norm, hypot_bounds.hpp), so squares
// that differ by more than 2^-36 decide. Otherwise, and outside the range
// the bound covers, T is computed exactly. That range keeps T^2 at 2^-1000
// or more: a subnormal square would be rounded far more coarsely than the
// margin allows for.
class GrowthThreshold {
public:
    explicit GrowthThreshold(double ct)
        : ct_(ct), ct_squared_(ct * ct), squares_(g_hypot_brackets_hold && ct >= 0x1p-200 && ct <= 1.0),
          exact_(true), threshold_(ct) {}

    // Each call needs a threshold; growing counts them for the profile when
    // it ends.
    void update(double sx, double sy) {
        const double ax = fabs(sx), ay = fabs(sy);
        const double big = ax > ay ? ax : ay;
        if (squares_ && ax <= 0x1p500 && ay <= 0x1p500 && big >= 0x1p-300) {
            norm_squared_ = sx * sx + sy * sy;
            exact_ = false;
        } else {
            set_exact(sx, sy);
        }
    }

    // Whether T > dot.
    bool rejects(double dot, double sx, double sy) {
        if (exact_) return threshold_ > dot;
        if (dot > 0.0) {
            const double t2 = norm_squared_ * ct_squared_;
            const double d2 = dot * dot;
            if (t2 > d2 * (1.0 + 0x1p-36)) return true;
            if (t2 < d2 * (1.0 - 0x1p-36)) return false;
        } else if (!(dot == 0.0)) {
            return dot < 0.0;  // T >= 0 > dot, or a NaN dot, which passes
        }
        // A zero dot (T > 0 here) or squares too close to tell: exactly.
        set_exact(sx, sy);
        return threshold_ > dot;
    }

private:
    void set_exact(double sx, double sy) {
        profile::count(profile::Counter::kHypotCalled);
        threshold_ = hypot(sx, sy) * ct_;
        exact_ = true;
    }

    double ct_, ct_squared_;
    bool squares_;  // whether ct allows the comparison of squares
    bool exact_;
    double threshold_;     // T, when exact_
    double norm_squared_ = 0.0;  // sx^2 + sy^2, when not
};

}  // namespace linara
