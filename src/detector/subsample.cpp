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

// out[x] = sum over k of w[k] * row[clamp(x + k - r)], accumulated per pixel
// in increasing k. Each tap is one contiguous multiply-add over the columns
// whose source lies inside the row, plus one product per clamped column.
void blur_row(const double* row, double* out, std::size_t width, const std::vector<double>& w,
              std::size_t radius) {
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

}  // namespace

SubsampledSize subsampled_size(std::size_t width, std::size_t height, double scale) {
    return {reduced(width, scale), reduced(height, scale)};
}

WorkImage gaussian_subsample(const double* samples, std::size_t width, std::size_t height,
                             double scale) {
    const SubsampledSize size = subsampled_size(width, height, scale);
    const GaussianKernel kernel = gaussian_kernel(scale);
    const std::vector<double>& weights = kernel.weights;
    const std::size_t radius = kernel.radius;
    const std::size_t count = width * height;

    ZeroedArray<double> horizontal(count);
    parallel_rows(height, [&](std::size_t y) {
        check_range(y * width, width, count, "image");
        blur_row(samples + y * width, horizontal.data() + y * width, width, weights, radius);
    });

    ZeroedArray<double> vertical(count);
    parallel_rows(height, [&](std::size_t y) {
        double* out = vertical.data() + y * width;
        check_range(y * width, width, count, "blurred image");
        for (std::size_t k = 0; k < weights.size(); ++k) {
            // Source row clamp(y + k - radius, 0, height - 1).
            std::size_t source = y + k < radius ? 0 : std::min(y + k - radius, height - 1);
            const double wk = weights[k];
            const double* in = horizontal.data() + source * width;
            for (std::size_t x = 0; x < width; ++x) out[x] = out[x] + wk * in[x];
        }
    });

    std::vector<std::size_t> columns(size.width);
    for (std::size_t i = 0; i < size.width; ++i) columns[i] = subsample_source_index(i, scale, width);

    WorkImage result;
    result.width = size.width;
    result.height = size.height;
    result.storage = ZeroedArray<double>(size.width * size.height);
    result.samples = result.storage.data();
    double* out = result.storage.data();
    parallel_rows(size.height, [&](std::size_t j) {
        const std::size_t source = subsample_source_index(j, scale, height);
        const Checked<const double> in(vertical.data(), count, "blurred image");
        double* row = out + j * size.width;
        for (std::size_t i = 0; i < size.width; ++i) row[i] = in[source * width + columns[i]];
    });
    return result;
}

}  // namespace linara
