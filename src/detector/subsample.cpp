#include <math.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/checked.hpp"
#include "common/cpu.hpp"
#include "common/interrupt.hpp"
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

// Eight float64 lanes; each operation acts lane by lane exactly as its
// scalar form does (and, with -ffp-contract=off, a product and a sum stay
// two roundings).
typedef double Lanes __attribute__((vector_size(64)));

// acc = acc + wk * p[0..8), lane by lane.
[[gnu::always_inline]] inline void add_product(Lanes& acc, double wk, const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    acc = acc + wk * v;
}

// out[x] = w[0] * tap(0)[x] + ... + w[taps-1] * tap(taps-1)[x] for x in
// [first, end), accumulated per pixel from 0 in increasing k, where
// tap(k) points at the values of tap k (indexed by x). Every tap of a
// block of columns is summed in registers and the block stored once;
// four blocks at a time keep four independent chains of additions going.
template <class Tap>
[[gnu::always_inline]] inline void weighted_sums(double* out, std::size_t first, std::size_t end,
                                                 const double* w, std::size_t taps, Tap tap) {
    constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(double);
    std::size_t x = first;
    for (; x + 4 * kLanes <= end; x += 4 * kLanes) {
        Lanes a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double* p = tap(k) + x;
            add_product(a0, w[k], p);
            add_product(a1, w[k], p + kLanes);
            add_product(a2, w[k], p + 2 * kLanes);
            add_product(a3, w[k], p + 3 * kLanes);
        }
        std::memcpy(out + x, &a0, sizeof a0);
        std::memcpy(out + x + kLanes, &a1, sizeof a1);
        std::memcpy(out + x + 2 * kLanes, &a2, sizeof a2);
        std::memcpy(out + x + 3 * kLanes, &a3, sizeof a3);
    }
    for (; x + kLanes <= end; x += kLanes) {
        Lanes a = {};
        for (std::size_t k = 0; k < taps; ++k) add_product(a, w[k], tap(k) + x);
        std::memcpy(out + x, &a, sizeof a);
    }
    for (; x < end; ++x) {
        double sum = 0.0;
        for (std::size_t k = 0; k < taps; ++k) sum = sum + w[k] * tap(k)[x];
        out[x] = sum;
    }
}

// The horizontal blur at column c only: sum over k of w[k] *
// row[clamp(c + k - r, 0, width - 1)], from 0 in increasing k.
double blur_at(const double* row, std::size_t c, std::size_t width, const double* w,
               std::size_t taps, std::size_t radius) {
    double sum = 0.0;
    for (std::size_t k = 0; k < taps; ++k) {
        const std::size_t x = c + k < radius ? 0 : std::min(c + k - radius, width - 1);
        sum = sum + w[k] * row[x];
    }
    return sum;
}

// out[x] = sum over k of w[k] * row[clamp(x + k - r)] for every column,
// accumulated per pixel from 0 in increasing k. Columns whose taps all lie
// inside the row are summed in vectors; the r columns at each end, whose
// taps are clamped, one by one.
[[gnu::always_inline]] inline void blur_full_row_body(const double* row, double* out, std::size_t width,
                                                      const double* w, std::size_t taps,
                                                      std::size_t radius) {
    auto clamped = [&](std::size_t x) { out[x] = blur_at(row, x, width, w, taps, radius); };
    if (width <= 2 * radius) {
        for (std::size_t x = 0; x < width; ++x) clamped(x);
        return;
    }
    for (std::size_t x = 0; x < radius; ++x) clamped(x);
    // Column radius + i (i < width - 2 * radius) reads row[i + k].
    weighted_sums(out + radius, 0, width - 2 * radius, w, taps,
                  [&](std::size_t k) { return row + k; });
    for (std::size_t x = width - radius; x < width; ++x) clamped(x);
}

// out[x] = sum over k of w[k] * rows[k][x]: the vertical blur of n columns.
[[gnu::always_inline]] inline void blur_rows_body(double* out, const double* const* rows,
                                                  const double* w, std::size_t taps, std::size_t n) {
    weighted_sums(out, 0, n, w, taps, [&](std::size_t k) { return rows[k]; });
}

struct BlurRoutines {
    void (*blur_full_row)(const double*, double*, std::size_t, const double*, std::size_t, std::size_t);
    void (*blur_rows)(double*, const double* const*, const double*, std::size_t, std::size_t);
};

void blur_full_row_portable(const double* row, double* out, std::size_t width, const double* w,
                            std::size_t taps, std::size_t radius) {
    blur_full_row_body(row, out, width, w, taps, radius);
}
void blur_rows_portable(double* out, const double* const* rows, const double* w, std::size_t taps,
                        std::size_t n) {
    blur_rows_body(out, rows, w, taps, n);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void blur_full_row_avx2(const double* row, double* out,
                                                       std::size_t width, const double* w,
                                                       std::size_t taps, std::size_t radius) {
    blur_full_row_body(row, out, width, w, taps, radius);
}
__attribute__((target("avx2"))) void blur_rows_avx2(double* out, const double* const* rows,
                                                   const double* w, std::size_t taps, std::size_t n) {
    blur_rows_body(out, rows, w, taps, n);
}
__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw"))) void blur_full_row_avx512(
    const double* row, double* out, std::size_t width, const double* w, std::size_t taps,
    std::size_t radius) {
    blur_full_row_body(row, out, width, w, taps, radius);
}
__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw"))) void blur_rows_avx512(
    double* out, const double* const* rows, const double* w, std::size_t taps, std::size_t n) {
    blur_rows_body(out, rows, w, taps, n);
}
#endif

const BlurRoutines& blur_routines() {
    static const BlurRoutines chosen = [] {
#if defined(__x86_64__)
        switch (simd_level()) {
            case SimdLevel::kAvx512: return BlurRoutines{blur_full_row_avx512, blur_rows_avx512};
            case SimdLevel::kAvx2: return BlurRoutines{blur_full_row_avx2, blur_rows_avx2};
            case SimdLevel::kPortable: break;
        }
#endif
        return BlurRoutines{blur_full_row_portable, blur_rows_portable};
    }();
    return chosen;
}

}  // namespace

SubsampledSize subsampled_size(std::size_t width, std::size_t height, double scale) {
    return {reduced(width, scale), reduced(height, scale)};
}

SubsamplePlan::SubsamplePlan(std::size_t in_width, std::size_t in_height, double s)
    : input_width(in_width), input_height(in_height), scale(s), kernel(gaussian_kernel(s)) {
    const SubsampledSize size = subsampled_size(in_width, in_height, s);
    width = size.width;
    height = size.height;
    columns.resize(width);
    for (std::size_t i = 0; i < width; ++i) columns[i] = subsample_source_index(i, s, in_width);
}

template <class T>
SubsampledRows<T>::SubsampledRows(const SubsamplePlan& plan, const T* samples)
    : plan_(plan), samples_(samples), input_row_(plan.input_width),
      // When most columns are sampled, blurring the whole row (vectorised)
      // is cheaper than blurring the sampled columns one by one.
      full_row_(2 * plan.width >= plan.input_width ? plan.input_width : 0),
      ring_((2 * plan.kernel.radius + 1) * plan.width),
      ring_rows_(2 * plan.kernel.radius + 1, SIZE_MAX) {}

// Input row y blurred horizontally at the sampled columns. The ring holds
// 2r + 1 rows, as many as one result row reads, keyed by y modulo its size.
template <class T>
const double* SubsampledRows<T>::blurred_row(std::size_t y) {
    const std::size_t slot = y % ring_rows_.size();
    double* out = ring_.data() + slot * plan_.width;
    if (ring_rows_[slot] == y) return out;
    const std::size_t width = plan_.input_width;
    check_range(y * width, width, width * plan_.input_height, "image");
    const T* in = samples_ + y * width;
    for (std::size_t x = 0; x < width; ++x) input_row_[x] = sample_value(in[x]);
    const std::vector<double>& weights = plan_.kernel.weights;
    const std::size_t radius = plan_.kernel.radius;
    if (!full_row_.empty()) {
        blur_routines().blur_full_row(input_row_.data(), full_row_.data(), width, weights.data(),
                                      weights.size(), radius);
        for (std::size_t i = 0; i < plan_.width; ++i) out[i] = full_row_[plan_.columns[i]];
    } else {
        for (std::size_t i = 0; i < plan_.width; ++i)
            out[i] = blur_at(input_row_.data(), plan_.columns[i], width, weights.data(),
                             weights.size(), radius);
    }
    ring_rows_[slot] = y;
    return out;
}

// Result row j: the vertical blur at source row trunc(j / scale) of the
// horizontally blurred rows, accumulated from 0 in increasing k.
template <class T>
void SubsampledRows<T>::row(std::size_t j, double* out) {
    const std::size_t height = plan_.input_height;
    const std::size_t source = subsample_source_index(j, plan_.scale, height);
    const std::vector<double>& weights = plan_.kernel.weights;
    const std::size_t radius = plan_.kernel.radius;
    // Every row this one reads first: the ring holds them all at once.
    rows_.resize(weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k) {
        // Source row clamp(source + k - radius, 0, height - 1).
        const std::size_t y = source + k < radius ? 0 : std::min(source + k - radius, height - 1);
        rows_[k] = blurred_row(y);
    }
    blur_routines().blur_rows(out, rows_.data(), weights.data(), weights.size(), plan_.width);
}

// Blurred values are computed only where they are sampled: the horizontal
// pass at the sampled columns of the rows read, the vertical pass at the
// sampled rows. Each value is still the full sum w[0] * s[0] + ... +
// w[2r] * s[2r] over clamped taps, accumulated from 0 in increasing k, so it
// equals the value a full-size blur would hold there.
template <class T>
WorkImage gaussian_subsample(const T* samples, std::size_t width, std::size_t height,
                             double scale) {
    const SubsamplePlan plan(width, height, scale);
    WorkImage result;
    result.width = plan.width;
    result.height = plan.height;
    result.samples = HeapArray<double>::zeroed(plan.width * plan.height);
    double* out = result.samples.data();
    parallel_bands(plan.height, [&](std::size_t first, std::size_t end) {
        SubsampledRows<T> rows(plan, samples);
        for (std::size_t j = first; j < end; ++j) {
            poll_interrupt();
            rows.row(j, out + j * plan.width);
        }
    });
    return result;
}

template class SubsampledRows<double>;
template class SubsampledRows<float>;
template class SubsampledRows<std::uint8_t>;
template class SubsampledRows<std::uint16_t>;

template WorkImage gaussian_subsample(const double*, std::size_t, std::size_t, double);
template WorkImage gaussian_subsample(const float*, std::size_t, std::size_t, double);
template WorkImage gaussian_subsample(const std::uint8_t*, std::size_t, std::size_t, double);
template WorkImage gaussian_subsample(const std::uint16_t*, std::size_t, std::size_t, double);

}  // namespace linara
