#include "detector/hypot_bounds.hpp"

#include <cstdint>
#include <cstring>

namespace linara {
namespace {

double from_bits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

bool holds(double x, double y) {
    HypotBracket b;
    if (!bracket_hypot_unverified(x, y, b)) return true;
    const double h = hypot(x, y);
    return b.lo <= h && h <= b.hi;
}

// Random doubles across the covered exponents, integer pairs, nearly equal
// pairs and pairs of very different size.
bool library_within_brackets() {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t exponent = 1023 - 500 + next() % 1000;
        const std::uint64_t spread = next() % 64;
        const double x = from_bits(exponent << 52 | (next() & 0x000FFFFFFFFFFFFFu));
        const double y = from_bits((exponent - spread) << 52 | (next() & 0x000FFFFFFFFFFFFFu));
        const double ix = static_cast<double>(next() % 4096);
        const double iy = static_cast<double>(next() % 4096);
        if (!holds(x, y) || !holds(-y, x) || !holds(ix, iy) || !holds(x, x * (1.0 + 0x1p-52)))
            return false;
    }
    return true;
}

}  // namespace

const bool g_hypot_brackets_hold = library_within_brackets();

}  // namespace linara
