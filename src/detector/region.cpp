#include <math.h>

#include <algorithm>
#include <array>

#include "common/checked.hpp"
#include "detector/stages.hpp"

namespace linara {

double grow_aligned_region(PixelIndex seed, double tolerance, const GradientField& field,
                           UsedMap& used_map, Region& region, std::size_t width,
                           std::size_t height) {
    const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");
    const Checked<std::uint8_t> used(used_map.data(), used_map.size(), "used map");

    region.clear();
    region.push_back(seed);
    used[seed] = 1;

    const double ct = cos(tolerance);
    double sx = cells[seed].dir_x;
    double sy = cells[seed].dir_y;
    double threshold = ct;

    // Accepts q when its direction lies within the tolerance of the running
    // direction sum; the sum and threshold change at once on acceptance.
    auto consider = [&](PixelIndex q) {
        if (used[q] != 0) return;
        const GradientCell& cell = cells[q];
        const double mx = cell.dir_x;
        const double my = cell.dir_y;
        const double dot = sy * my + sx * mx;
        if (threshold > dot) return;
        used[q] = 1;
        region.push_back(q);
        sx = sx + mx;
        sy = sy + my;
        threshold = hypot(sx, sy) * ct;
    };

    // Neighbour offsets of an interior pixel: the row above left to right,
    // left and right, the row below left to right.
    const auto w = static_cast<std::uint32_t>(width);
    const std::array<std::uint32_t, 8> offsets = {
        0u - w - 1u, 0u - w, 0u - w + 1u, 0u - 1u, 1u, w - 1u, w, w + 1u};

    const IndexSplitter split(width);
    for (std::size_t i = 0; i < region.size(); ++i) {
        const PixelIndex p = region[i];
        const PixelXY xy = split(p);
        if (xy.x >= 1 && xy.x + 2 <= width && xy.y >= 1 && xy.y + 2 <= height) {
            for (std::uint32_t offset : offsets) consider(p + offset);
        } else {
            // Border pixel: the clipped 3x3 window in the same order; p itself
            // is already used and skipped.
            const std::uint32_t y_first = xy.y > 0 ? xy.y - 1 : 0;
            const auto y_last = static_cast<std::uint32_t>(std::min<std::size_t>(xy.y + 1u, height - 1));
            const std::uint32_t x_first = xy.x > 0 ? xy.x - 1 : 0;
            const auto x_last = static_cast<std::uint32_t>(std::min<std::size_t>(xy.x + 1u, width - 1));
            for (std::uint32_t y = y_first; y <= y_last; ++y)
                for (std::uint32_t x = x_first; x <= x_last; ++x) consider(y * w + x);
        }
    }
    return atan2(sy, sx);
}

}  // namespace linara
