#include <math.h>

#include "common/checked.hpp"
#include "common/worker_pool.hpp"
#include "detector/stages.hpp"

namespace linara {

GradientField compute_gradient_field(const double* samples, std::size_t width, std::size_t height) {
    GradientField field(width * height);
    if (width < 2 || height < 2) return field;
    const std::size_t count = width * height;
    GradientCell* cells = field.data();

    // Row y reads image rows y and y + 1 and writes only field row y; the
    // last row and column keep their zeros.
    parallel_rows(height - 1, [&](std::size_t y) {
        const double* top = samples + y * width;
        const double* bottom = top + width;
        check_range(y * width, 2 * width, count, "image");
        GradientCell* out = cells + y * width;
        check_range(y * width, width, field.size(), "gradient field");
        for (std::size_t x = 0; x + 1 < width; ++x) {
            const double a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
            const double gx = (((b + d) - a) - c) * 0.5;
            const double gy = (((c + d) - a) - b) * 0.5;
            const double m = hypot(gx, gy);
            // A zero or NaN norm leaves the zero cell: no direction there.
            if (m > 0.0) {
                out[x].magnitude = static_cast<float>(m);
                out[x].dir_x = static_cast<float>(-gy / m);
                out[x].dir_y = static_cast<float>(gx / m);
            }
        }
    });
    return field;
}

}  // namespace linara
