#include <math.h>

#include <algorithm>
#include <cstring>

#include "common/cpu.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

// The extremes of the pixels' offsets from the centre, along the axis and
// across it. A value replaces an extreme only when strictly beyond it, so
// NaN never does and, as every extreme starts at +0, neither does -0: the
// extremes are the same whatever order the pixels come in. That lets each
// lane of a vector keep extremes of its own, merged at the end.
struct Extents {
    double l_min = 0.0, l_max = 0.0, w_min = 0.0, w_max = 0.0;
    void add(double along, double across) {
        l_min = along < l_min ? along : l_min;
        l_max = along > l_max ? along : l_max;
        w_min = across < w_min ? across : w_min;
        w_max = across > w_max ? across : w_max;
    }
};

// Adds the pixel's offsets from the centre (cx, cy) along and across the axis.
[[gnu::always_inline]] inline void add_offsets(Extents& e, const RegionPixel& p, double cx, double cy,
                                               double axis_x, double axis_y) {
    const double ex = static_cast<double>(p.x) - cx;
    const double ey = static_cast<double>(p.y) - cy;
    e.add(axis_x * ex + axis_y * ey, axis_x * ey - axis_y * ex);
}

// Eight float64 lanes; each operation acts lane by lane exactly as its
// scalar form does.
typedef double Lanes __attribute__((vector_size(64)));
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(double);
// Pixels whose coordinates are converted to float64 at a time, on the stack.
constexpr std::size_t kBlock = 256;

[[gnu::always_inline]] inline Extents extents_body(const RegionPixel* pixels, std::size_t count,
                                                   double cx, double cy, double axis_x,
                                                   double axis_y) {
    Lanes l_min = {}, l_max = {}, w_min = {}, w_max = {};
    alignas(64) double xs[kBlock], ys[kBlock];
    std::size_t i = 0;
    while (count - i >= kLanes) {
        const std::size_t n = std::min(kBlock, (count - i) / kLanes * kLanes);
        for (std::size_t k = 0; k < n; ++k) {
            xs[k] = static_cast<double>(pixels[i + k].x);
            ys[k] = static_cast<double>(pixels[i + k].y);
        }
        for (std::size_t k = 0; k < n; k += kLanes) {
            Lanes x, y;
            std::memcpy(&x, xs + k, sizeof x);
            std::memcpy(&y, ys + k, sizeof y);
            const Lanes ex = x - cx;
            const Lanes ey = y - cy;
            const Lanes along = axis_x * ex + axis_y * ey;
            const Lanes across = axis_x * ey - axis_y * ex;
            l_min = along < l_min ? along : l_min;
            l_max = along > l_max ? along : l_max;
            w_min = across < w_min ? across : w_min;
            w_max = across > w_max ? across : w_max;
        }
        i += n;
    }
    Extents e;
    for (std::size_t k = 0; k < kLanes; ++k) {
        e.l_min = l_min[k] < e.l_min ? l_min[k] : e.l_min;
        e.l_max = l_max[k] > e.l_max ? l_max[k] : e.l_max;
        e.w_min = w_min[k] < e.w_min ? w_min[k] : e.w_min;
        e.w_max = w_max[k] > e.w_max ? w_max[k] : e.w_max;
    }
    for (; i < count; ++i) add_offsets(e, pixels[i], cx, cy, axis_x, axis_y);
    return e;
}

using ExtentsRoutine = Extents (*)(const RegionPixel*, std::size_t, double, double, double, double);

Extents extents_portable(const RegionPixel* pixels, std::size_t count, double cx, double cy,
                         double axis_x, double axis_y) {
    return extents_body(pixels, count, cx, cy, axis_x, axis_y);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) Extents extents_avx2(const RegionPixel* pixels, std::size_t count,
                                                     double cx, double cy, double axis_x,
                                                     double axis_y) {
    return extents_body(pixels, count, cx, cy, axis_x, axis_y);
}
__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw"))) Extents extents_avx512(
    const RegionPixel* pixels, std::size_t count, double cx, double cy, double axis_x,
    double axis_y) {
    return extents_body(pixels, count, cx, cy, axis_x, axis_y);
}
#endif

ExtentsRoutine extents_routine() {
#if defined(__x86_64__)
    static const ExtentsRoutine chosen = routine_for_level(extents_portable, extents_avx2, extents_avx512);
#else
    static const ExtentsRoutine chosen = extents_portable;
#endif
    return chosen;
}

// Below this many pixels the lanes' set-up and final merge cost more than
// they save: most regions are that small, and a plain loop serves them.
constexpr std::size_t kLanesFrom = 64;

Extents region_extents(const Region& region, double cx, double cy, double axis_x, double axis_y) {
    if (region.size() >= kLanesFrom)
        return extents_routine()(region.data(), region.size(), cx, cy, axis_x, axis_y);
    Extents e;
    for (const RegionPixel& p : region) add_offsets(e, p, cx, cy, axis_x, axis_y);
    return e;
}

}  // namespace

void fit_line_rect(const Region& region, double region_angle, double precision, LineRect& rect) {
    CentreSums sums;
    for (const RegionPixel& p : region) sums.add(p);
    fit_line_rect(region, sums, region_angle, precision, rect);
}

void fit_line_rect(const Region& region, const CentreSums& sums, double region_angle,
                   double precision, LineRect& rect) {
    // Centre: the magnitude-weighted mean of the pixels.
    const double cx = sums.sum_x / sums.total;
    const double cy = sums.sum_y / sums.total;

    // Second moments about the centre; n is the negated cross moment.
    double sxx = 0.0, syy = 0.0, n = 0.0;
    for (const RegionPixel& p : region) {
        const double m = p.magnitude;
        const double ex = static_cast<double>(p.x) - cx;
        const double ey = static_cast<double>(p.y) - cy;
        sxx = sxx + m * ex * ex;
        syy = syy + m * ey * ey;
        n = n - m * ex * ey;
    }

    // Smaller eigenvalue and its eigenvector, taken from the matrix row whose
    // diagonal lies farther from it.
    const double lambda = (sxx + syy - sqrt(4.0 * (n * n) + (syy - sxx) * (syy - sxx))) * 0.5;
    double theta = fabs(syy - lambda) > fabs(sxx - lambda) ? atan2(lambda - syy, n)
                                                            : atan2(n, lambda - sxx);

    // Point the axis the way the region's level lines run.
    double d = theta - region_angle;
    while (d <= -kPi) d = d + kTwoPi;
    while (d > kPi) d = d - kTwoPi;
    if (fabs(d) > kDefaultTolerance) theta = theta + kPi;

    const double axis_x = cos(theta);
    const double axis_y = sin(theta);

    // Extents along and across the axis, from the centre.
    const Extents e = region_extents(region, cx, cy, axis_x, axis_y);
    const double l_min = e.l_min, l_max = e.l_max, w_min = e.w_min, w_max = e.w_max;

    const double spread = w_max - w_min;
    rect.width = spread > 1.0 ? spread : 1.0;
    rect.x1 = cx + l_min * axis_x;
    rect.y1 = cy + l_min * axis_y;
    rect.x2 = cx + l_max * axis_x;
    rect.y2 = cy + l_max * axis_y;
    rect.axis_x = axis_x;
    rect.axis_y = axis_y;
    rect.tolerance = kDefaultTolerance;
    rect.precision = precision;
}

}  // namespace linara
