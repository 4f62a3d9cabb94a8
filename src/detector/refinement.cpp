#include <math.h>

#include "common/checked.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

constexpr double kMinDensity = 0.7;

// Pixels of the region per unit area of its rectangle, the area being at
// least 1 (and 1 when it is not a number).
bool dense_enough(const Region& region, const LineRect& rect) {
    const double length = hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    double area = length * rect.width;
    if (!(area >= 1.0)) area = 1.0;
    return static_cast<double>(region.size()) / area >= kMinDensity;
}

double distance(PixelXY a, PixelXY b) {
    const auto dx = static_cast<std::int64_t>(a.x) - static_cast<std::int64_t>(b.x);
    const auto dy = static_cast<std::int64_t>(a.y) - static_cast<std::int64_t>(b.y);
    return hypot(static_cast<double>(dx), static_cast<double>(dy));
}

double level_line_angle(const GradientCell& cell) {
    return atan2(static_cast<double>(cell.dir_y), static_cast<double>(cell.dir_x));
}

// Twice the standard deviation of the level-line angles, relative to the
// seed's, of the region pixels closer to the seed than the rectangle width.
double tolerance_near_seed(const Region& region, const LineRect& rect,
                           const Checked<const GradientCell>& cells, std::size_t width) {
    const PixelIndex seed = region[0];
    const IndexSplitter split(width);
    const PixelXY seed_xy = split(seed);
    const double seed_angle = level_line_angle(cells[seed]);
    double sum = 0.0, sum_squares = 0.0, count = 0.0;
    for (PixelIndex i : region) {
        if (!(rect.width > distance(split(i), seed_xy))) continue;
        double a = level_line_angle(cells[i]) - seed_angle;
        while (a <= -kPi) a = a + kTwoPi;
        while (a > kPi) a = a - kTwoPi;
        sum = sum + a;
        sum_squares = sum_squares + a * a;
        count = count + 1.0;
    }
    const double mean = sum / count;
    double variance = sum_squares / count - mean * mean;
    if (!(variance > 0.0)) variance = 0.0;
    return 2.0 * sqrt(variance);
}

}  // namespace

bool tighten_region(Region& region, LineRect& rect, UsedMap& used_map, const GradientField& field,
                    std::size_t min_size, std::size_t width, std::size_t height) {
    if (dense_enough(region, rect)) return true;

    const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");
    const Checked<std::uint8_t> used(used_map.data(), used_map.size(), "used map");
    if (region.empty()) throw InternalError("region refinement was given an empty region");
    const PixelIndex seed = region[0];
    const IndexSplitter split(width);
    const PixelXY seed_xy = split(seed);

    // First remedy: grow again from the seed with the tolerance the angles
    // near it suggest.
    const double tolerance = tolerance_near_seed(region, rect, cells, width);
    for (PixelIndex i : region) used[i] = 0;
    const double region_angle =
        grow_aligned_region(seed, tolerance, field, used_map, region, width, height);
    if (region.size() < min_size) return false;
    fit_line_rect(region, field, region_angle, rect.precision, width, rect);
    if (dense_enough(region, rect)) return true;

    // Second remedy: keep only pixels ever closer to the seed.
    const double sx = seed_xy.x, sy = seed_xy.y;
    const double d1 = hypot(sx - rect.x1, sy - rect.y1);
    const double d2 = hypot(sx - rect.x2, sy - rect.y2);
    double radius = (d2 > d1 || d1 != d1) ? d2 : d1;
    // Without a finite radius no pixel would ever be removed and the loop
    // below would not end; such a candidate has no usable geometry.
    if (!isfinite(radius)) return false;
    for (;;) {
        radius = radius * 0.75;
        for (std::size_t i = 0; i < region.size();) {
            if (distance(split(region[i]), seed_xy) > radius) {
                used[region[i]] = 0;
                region[i] = region.back();
                region.pop_back();
            } else {
                ++i;
            }
        }
        if (region.size() < min_size) return false;
        fit_line_rect(region, field, region_angle, rect.precision, width, rect);
        if (dense_enough(region, rect)) return true;
    }
}

}  // namespace linara
