#pragma once
// Cheap, guaranteed brackets of the C library's hypot.
//
// hypot(x, y) costs a call of several nanoseconds and is not
// sqrt(x * x + y * y): the two differ in the last bits. Almost every use in
// the detector only compares the norm with a bound or rounds it to float32,
// so an estimate with a proven error bound decides the result, and the
// library function is called only when the bracket straddles the decision.
//
// The bracket is r * (1 -+ 2^-49) around r = sqrt(x * x + y * y). With both
// squares clear of overflow and of harmful underflow, r lies within 2 ulp of
// the exact norm (two rounded squares, a rounded sum, a rounded root); a
// hypot accurate to 1 ulp then lies at least 5 ulp inside either end. At
// load time a self-test checks the library against the bracket on a few
// thousand inputs of every kind; if any falls outside, no bracket is given
// out and every caller uses the library function.

#include <math.h>

namespace linara {

// True when the library's hypot passed the self-test.
extern const bool g_hypot_brackets_hold;

// The bracket's factors, for vectorised callers that inline the same
// arithmetic.
constexpr double kHypotBracketLow = 1.0 - 0x1p-49;
constexpr double kHypotBracketHigh = 1.0 + 0x1p-49;

struct HypotBracket {
    double lo;
    double hi;
};

// The bracket of hypot(x, y) when max(|x|, |y|) lies in [2^-500, 2^500],
// so that neither is infinite or NaN and no square overflows; otherwise
// false. Whether the library honours it is for g_hypot_brackets_hold to say.
inline bool bracket_hypot_unverified(double x, double y, HypotBracket& bracket) {
    const double ax = fabs(x), ay = fabs(y);
    const double big = ax > ay ? ax : ay;
    // Written so that a NaN on either side fails.
    if (!(ax <= 0x1p500) || !(ay <= 0x1p500) || !(big >= 0x1p-500)) return false;
    const double r = sqrt(x * x + y * y);
    bracket.lo = r * kHypotBracketLow;
    bracket.hi = r * kHypotBracketHigh;
    return true;
}

// A bracket that holds the library's hypot(x, y), or false when there is
// none (out of range, or the library failed its self-test).
inline bool bracket_hypot(double x, double y, HypotBracket& bracket) {
    return g_hypot_brackets_hold && bracket_hypot_unverified(x, y, bracket);
}

}  // namespace linara
