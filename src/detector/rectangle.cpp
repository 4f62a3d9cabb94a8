#include <math.h>

#include "common/checked.hpp"
#include "detector/stages.hpp"

namespace linara {

void fit_line_rect(const Region& region, const GradientField& field, double region_angle,
                   double precision, std::size_t width, LineRect& rect) {
    const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");
    const IndexSplitter split(width);

    // Centre: the magnitude-weighted mean of the pixels.
    double total = 0.0, sum_x = 0.0, sum_y = 0.0;
    for (PixelIndex i : region) {
        const PixelXY xy = split(i);
        const double m = cells[i].magnitude;
        total = total + m;
        sum_x = sum_x + m * static_cast<double>(xy.x);
        sum_y = sum_y + m * static_cast<double>(xy.y);
    }
    const double cx = sum_x / total;
    const double cy = sum_y / total;

    // Second moments about the centre; n is the negated cross moment.
    double sxx = 0.0, syy = 0.0, n = 0.0;
    for (PixelIndex i : region) {
        const PixelXY xy = split(i);
        const double m = cells[i].magnitude;
        const double ex = static_cast<double>(xy.x) - cx;
        const double ey = static_cast<double>(xy.y) - cy;
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
    // an extreme.
    double l_min = 0.0, l_max = 0.0, w_min = 0.0, w_max = 0.0;
    for (PixelIndex i : region) {
        const PixelXY xy = split(i);
        const double ex = static_cast<double>(xy.x) - cx;
        const double ey = static_cast<double>(xy.y) - cy;
        const double along = axis_x * ex + axis_y * ey;
        const double across = axis_x * ey - axis_y * ex;
        if (along < l_min) l_min = along;
        if (along > l_max) l_max = along;
        if (across < w_min) w_min = across;
        if (across > w_max) w_max = across;
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
