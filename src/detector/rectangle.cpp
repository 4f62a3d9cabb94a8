#include <math.h>

#include "detector/stages.hpp"

namespace linara {

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

    // Extents along and across the axis, from the centre. NaN never replaces
    // an extreme, and as every extreme starts at +0 and -0 never replaces
    // it, the result does not depend on the order of the pixels.
    double l_min = 0.0, l_max = 0.0, w_min = 0.0, w_max = 0.0;
    for (const RegionPixel& p : region) {
        const double ex = static_cast<double>(p.x) - cx;
        const double ey = static_cast<double>(p.y) - cy;
        const double along = axis_x * ex + axis_y * ey;
        const double across = axis_x * ey - axis_y * ex;
        l_min = along < l_min ? along : l_min;
        l_max = along > l_max ? along : l_max;
        w_min = across < w_min ? across : w_min;
        w_max = across > w_max ? across : w_max;
    }

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
