#include <math.h>

#include <vector>

#include "common/checked.hpp"
#include "common/worker_pool.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

// Norm of (gx, gy) as the C library's hypot gives it. hypot(x, +-0) is
// fabs(x) exactly, which spares the call on flat and axis-aligned windows.
inline double norm(double gx, double gy) {
    if (gx == 0.0) return fabs(gy);
    if (gy == 0.0) return fabs(gx);
    return hypot(gx, gy);
}

// Per-band scratch rows for the gradient of one field row.
struct GradientScratch {
    explicit GradientScratch(std::size_t width) : gx(width), gy(width), m(width) {}
    std::vector<double> gx, gy, m;
};

// Field row y from image rows `top` and `bottom` (float64 samples), in three
// passes so that the differences and the divisions vectorise across pixels;
// each pixel's arithmetic is unchanged.
void gradient_row(const double* top, const double* bottom, GradientCell* out, std::size_t width,
                  GradientScratch& scratch) {
    const std::size_t n = width - 1;
    double* gx = scratch.gx.data();
    double* gy = scratch.gy.data();
    double* m = scratch.m.data();
    for (std::size_t x = 0; x < n; ++x) {
        const double a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
        gx[x] = (((b + d) - a) - c) * 0.5;
        gy[x] = (((c + d) - a) - b) * 0.5;
    }
    for (std::size_t x = 0; x < n; ++x) m[x] = norm(gx[x], gy[x]);
    for (std::size_t x = 0; x < n; ++x) {
        // A zero or NaN norm gives the zero cell: no direction there.
        const bool defined = m[x] > 0.0;
        const float magnitude = static_cast<float>(m[x]);
        const float dir_x = static_cast<float>(-gy[x] / m[x]);
        const float dir_y = static_cast<float>(gx[x] / m[x]);
        out[x].magnitude = defined ? magnitude : 0.0f;
        out[x].dir_x = defined ? dir_x : 0.0f;
        out[x].dir_y = defined ? dir_y : 0.0f;
    }
}

}  // namespace

template <class T>
GradientField compute_gradient_field(const T* samples, std::size_t width, std::size_t height) {
    GradientField field(width * height);
    if (width < 2 || height < 2) return field;
    const std::size_t count = width * height;
    GradientCell* cells = field.data();

    // Field row y reads image rows y and y + 1 and writes only field row y;
    // the last row and column keep their zeros. Samples of other types are
    // converted to float64 a row at a time into per-band scratch rows.
    parallel_bands(height - 1, [&](std::size_t first, std::size_t end) {
        GradientScratch scratch(width);
        std::vector<double> rows_f64;
        if constexpr (!std::is_same_v<T, double>) rows_f64.resize(2 * width);
        for (std::size_t y = first; y < end; ++y) {
            check_range(y * width, 2 * width, count, "image");
            check_range(y * width, width, field.size(), "gradient field");
            const T* rows = samples + y * width;
            if constexpr (std::is_same_v<T, double>) {
                gradient_row(rows, rows + width, cells + y * width, width, scratch);
            } else {
                double* top = rows_f64.data() + (y % 2) * width;
                double* bottom = rows_f64.data() + ((y + 1) % 2) * width;
                if (y == first)
                    for (std::size_t x = 0; x < width; ++x) top[x] = sample_value(rows[x]);
                for (std::size_t x = 0; x < width; ++x) bottom[x] = sample_value(rows[width + x]);
                gradient_row(top, bottom, cells + y * width, width, scratch);
            }
        }
    });
    return field;
}

template GradientField compute_gradient_field(const double*, std::size_t, std::size_t);
template GradientField compute_gradient_field(const float*, std::size_t, std::size_t);
template GradientField compute_gradient_field(const std::uint8_t*, std::size_t, std::size_t);
template GradientField compute_gradient_field(const std::uint16_t*, std::size_t, std::size_t);

}  // namespace linara
