#pragma once
// Conversion of floating-point values to unsigned integers that truncates
// towards zero and saturates: NaN and negative values give 0, values beyond
// the type's range give its largest value.

#include <cstdint>
#include <limits>
#include <type_traits>

namespace linara {

template <class Unsigned>
Unsigned saturating_cast(double value) {
    static_assert(std::is_unsigned_v<Unsigned>);
    // 2^digits is exactly representable; anything at or above it saturates.
    constexpr double limit = static_cast<double>(std::numeric_limits<Unsigned>::max() / 2 + 1) * 2.0;
    if (!(value > 0.0)) return 0;
    if (value >= limit) return std::numeric_limits<Unsigned>::max();
    return static_cast<Unsigned>(value);
}

}  // namespace linara
