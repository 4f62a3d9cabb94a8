#include <math.h>

#include <algorithm>
#include <vector>

#include "common/checked.hpp"
#include "common/saturate.hpp"
#include "common/worker_pool.hpp"
#include "detector/stages.hpp"

namespace linara {

GaussianKernel gaussian_kernel(double scale) {
    GaussianKernel kernel;
    const double sigma = 0.6 / scale;
    // At 3.7169221888498383 sigma the Gaussian has fallen to 1/1000.
    kernel.radius = saturating_cast<std::size_t>(ceil(sigma * 3.7169221888498383));
    const double r = static_cast<double>(kernel.radius);
    kernel.weights.resize(2 * kernel.radius + 1);
    for (std::size_t k = 0; k < kernel.weights.size(); ++k) {
        const double d = (static_cast<double>(k) - r) / sigma;
        kernel.weights[k] = exp(d * d * -0.5);
    }
    double sum = 0.0;
    for (double w : kernel.weights) sum = sum + w;
    for (double& w : kernel.weights) w = w / sum;
    return kernel;
}

std::size_t subsample_source_index(std::size_t i, double scale, std::size_t size) {
    return std::min(size - 1, saturating_cast<std::size_t>(trunc(static_cast<double>(i) / scale)));
}

namespace {

std::size_t reduced(std::size_t size, double scale) {
    return std::max<std::size_t>(
        saturating_cast<std::size_t>(floor(static_cast<double>(size) * scale)), 2);
}

// out[x] = sum over k of w[k] * row[clamp(x + k - r)] for every column,
// accumulated per pixel from 0 in increasing k. Each tap is one contiguous
// multiply-add over the columns whose source lies inside the row (it
// vectorises), plus one product per clamped column.
void blur_full_row(const double* row, double* out, std::size_t width,
                   const std::vector<double>& w, std::size_t radius) {
    std::fill(out, out + width, 0.0);
    const double first = row[0];
    const double last = row[width - 1];
    for (std::size_t k = 0; k < w.size(); ++k) {
        const double wk = w[k];
        // Source column x + k - radius lies inside [0, width) for x in [lo, hi).
        const std::size_t lo = std::min(width, radius > k ? radius - k : 0);
        const std::size_t shift = k > radius ? k - radius : 0;
        const std::size_t hi = std::max(lo, shift < width ? width - shift : 0);
        const double left = wk * first;
        for (std::size_t x = 0; x < lo; ++x) out[x] = out[x] + left;
        if (lo < hi) {
            const double* src = row + (k + lo - radius);
            for (std::size_t x = lo; x < hi; ++x) out[x] = out[x] + wk * src[x - lo];
        }
        const double right = wk * last;
        for (std::size_t x = hi; x < width; ++x) out[x] = out[x] + right;
    }
}

// The same sum at column c only.
double blur_at(const double* row, std::size_t c, std::size_t width, const std::vector<double>& w,
               std::size_t radius) {
    double sum = 0.0;
    for (std::size_t k = 0; k < w.size(); ++k) {
        // Source column clamp(c + k - radius, 0, width - 1).
        const std::size_t x = c + k < radius ? 0 : std::min(c + k - radius, width - 1);
        sum = sum + w[k] * row[x];
    }
    return sum;
}

}  // namespace

SubsampledSize subsampled_size(std::size_t width, std::size_t height, double scale) {
    return {reduced(width, scale), reduced(height, scale)};
}

// The result is the blurred image sampled at the columns col(i) and rows
// row(j). Blurred values are computed only where they are sampled: the
// horizontal pass at the sampled columns of every row, the vertical pass at
// the sampled rows of those columns. Each value is still the full sum
// w[0] * s[0] + ... + w[2r] * s[2r] over clamped taps, accumulated from 0 in
// increasing k, so it equals the value a full-size blur would hold there.
template <class T>
WorkImage gaussian_subsample(const T* samples, std::size_t width, std::size_t height,
                             double scale) {
    const SubsampledSize size = subsampled_size(width, height, scale);
    const GaussianKernel kernel = gaussian_kernel(scale);
    const std::vector<double>& weights = kernel.weights;
    const std::size_t radius = kernel.radius;
    const std::size_t count = width * height;

    std::vector<std::size_t> columns(size.width);
    for (std::size_t i = 0; i < size.width; ++i) columns[i] = subsample_source_index(i, scale, width);

    // Horizontal pass: height rows of size.width blurred samples. When most
    // columns are sampled, blurring the whole row (vectorised) is cheaper
    // than blurring the sampled columns one by one.
    const bool whole_rows = 2 * size.width >= width;
    ZeroedArray<double> horizontal(height * size.width);
    parallel_bands(height, [&](std::size_t first, std::size_t end) {
        std::vector<double> row(width);
        std::vector<double> blurred(whole_rows ? width : 0);
        for (std::size_t y = first; y < end; ++y) {
            const T* in = samples + y * width;
            check_range(y * width, width, count, "image");
            for (std::size_t x = 0; x < width; ++x) row[x] = sample_value(in[x]);
            double* out = horizontal.data() + y * size.width;
            if (whole_rows) {
                blur_full_row(row.data(), blurred.data(), width, weights, radius);
                for (std::size_t i = 0; i < size.width; ++i) out[i] = blurred[columns[i]];
            } else {
                for (std::size_t i = 0; i < size.width; ++i)
                    out[i] = blur_at(row.data(), columns[i], width, weights, radius);
            }
        }
    });

    // Vertical pass at the sampled rows, straight into the result.
    WorkImage result;
    result.width = size.width;
    result.height = size.height;
    result.samples = ZeroedArray<double>(size.width * size.height);
    double* out = result.samples.data();
    parallel_rows(size.height, [&](std::size_t j) {
        const std::size_t source = subsample_source_index(j, scale, height);
        double* row = out + j * size.width;
        for (std::size_t k = 0; k < weights.size(); ++k) {
            // Source row clamp(source + k - radius, 0, height - 1).
            const std::size_t y =
                source + k < radius ? 0 : std::min(source + k - radius, height - 1);
            const double wk = weights[k];
            const double* in = horizontal.data() + y * size.width;
            check_range(y * size.width, size.width, horizontal.size(), "blurred image");
            for (std::size_t i = 0; i < size.width; ++i) row[i] = row[i] + wk * in[i];
        }
    });
    return result;
}

template WorkImage gaussian_subsample(const double*, std::size_t, std::size_t, double);
template WorkImage gaussian_subsample(const float*, std::size_t, std::size_t, double);
template WorkImage gaussian_subsample(const std::uint8_t*, std::size_t, std::size_t, double);
template WorkImage gaussian_subsample(const std::uint16_t*, std::size_t, std::size_t, double);

}  // namespace linara
