#include <algorithm>
#include <array>

#include "common/saturate.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

constexpr std::uint32_t kBins = 1024;

// Bin of magnitude m relative to the largest magnitude: 1023 equal bins
// below the maximum, bin 1023 for the maximum itself. float32 arithmetic.
std::uint32_t bin_of(float m, float max) {
    const float q = m / max;
    const float p = q * 1023.0f;
    return std::min(saturating_cast<std::uint32_t>(static_cast<double>(p)), kBins - 1);
}

}  // namespace

PixelOrder order_pixels(const GradientField& field, float threshold) {
    const GradientCell* cells = field.data();
    const std::size_t count = field.size();

    float max = 0.0f;
    for (std::size_t i = 0; i < count; ++i)
        if (cells[i].magnitude > max) max = cells[i].magnitude;
    if (!(max > 0.0f)) return {};

    // A counting sort over the bins: it emits exactly the concatenation of
    // per-bin lists in ascending pixel index, strongest bin first.
    std::array<std::size_t, kBins> start{};
    for (std::size_t i = 0; i < count; ++i)
        if (cells[i].magnitude > threshold) ++start[bin_of(cells[i].magnitude, max)];
    std::size_t total = 0;
    for (std::uint32_t b = kBins; b-- > 0;) {
        std::size_t n = start[b];
        start[b] = total;
        total += n;
    }

    PixelOrder order(total);
    std::uint32_t index = 0;
    for (std::size_t i = 0; i < count; ++i, ++index)
        if (cells[i].magnitude > threshold) order[start[bin_of(cells[i].magnitude, max)]++] = index;
    return order;
}

}  // namespace linara
