#include <math.h>

#include <cstddef>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/cpu.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

// Extents of a region along and across a rectangle's axis, from its centre.
// Every extreme starts at +0; NaN never replaces one, nor does -0 (which is
// not below or above +0). Each extreme is therefore the least (greatest) of
// +0 and the numbers among the values, whatever their order: the vector
// routine keeps an extreme per lane and merges the lanes at the end.
struct Extents {
    double along_min = 0.0, along_max = 0.0, across_min = 0.0, across_max = 0.0;

    void add(double along, double across) {
        along_min = along < along_min ? along : along_min;
        along_max = along > along_max ? along : along_max;
        across_min = across < across_min ? across : across_min;
        across_max = across > across_max ? across : across_max;
    }
};

void add_extents(const RegionPixel* first, const RegionPixel* end, double cx, double cy,
                 double axis_x, double axis_y, Extents& extents) {
    for (const RegionPixel* p = first; p != end; ++p) {
        const double ex = static_cast<double>(p->x) - cx;
        const double ey = static_cast<double>(p->y) - cy;
        extents.add(axis_x * ex + axis_y * ey, axis_x * ey - axis_y * ex);
    }
}

using ExtentsFunction = Extents (*)(const Region&, double, double, double, double);

Extents extents_portable(const Region& region, double cx, double cy, double axis_x, double axis_y) {
    Extents extents;
    add_extents(region.data(), region.data() + region.size(), cx, cy, axis_x, axis_y, extents);
    return extents;
}

#if defined(__x86_64__)
// Eight pixels at a time: the same operations on each pixel, in lanes.
// min_pd(a, b) is a < b ? a : b, and max_pd(a, b) is a > b ? a : b, as
// the scalar updates are written.
__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw"))) Extents extents_avx512(
    const Region& region, double cx, double cy, double axis_x, double axis_y) {
    static_assert(sizeof(RegionPixel) == 12, "eight pixels are 24 32-bit words");
    const std::size_t n = region.size(), vector_end = n - n % 8;
    // Columns (words 0, 3, .., 21) and rows (1, 4, .., 22) of eight pixels
    // from their 24 words, in three vectors a, b and c: six from a and b
    // (index 8 + k is word k of b), then two from c.
    const __m256i x_ab = _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 0, 0);
    const __m256i x_c = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 8 + 2, 8 + 5);
    const __m256i y_ab = _mm256_setr_epi32(1, 4, 7, 10, 13, 0, 0, 0);
    const __m256i y_c = _mm256_setr_epi32(0, 1, 2, 3, 4, 8 + 0, 8 + 3, 8 + 6);
    // All-lane masked forms: the unmasked ones trip a false warning of
    // GCC 12 about an undefined pass-through operand.
    constexpr __mmask8 kAll = 0xFF;
    const __m512d vcx = _mm512_set1_pd(cx), vcy = _mm512_set1_pd(cy);
    const __m512d vax = _mm512_set1_pd(axis_x), vay = _mm512_set1_pd(axis_y);
    __m512d along_min = _mm512_setzero_pd(), along_max = along_min;
    __m512d across_min = along_min, across_max = along_min;
    const auto* words = reinterpret_cast<const std::uint32_t*>(region.data());
    for (std::size_t i = 0; i < vector_end; i += 8) {
        const std::uint32_t* w = words + i * 3;
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 8));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 16));
        const __m256i xs = _mm256_permutex2var_epi32(_mm256_permutex2var_epi32(a, x_ab, b), x_c, c);
        const __m256i ys = _mm256_permutex2var_epi32(_mm256_permutex2var_epi32(a, y_ab, b), y_c, c);
        const __m512d ex = _mm512_sub_pd(_mm512_maskz_cvtepu32_pd(kAll, xs), vcx);
        const __m512d ey = _mm512_sub_pd(_mm512_maskz_cvtepu32_pd(kAll, ys), vcy);
        const __m512d along = _mm512_add_pd(_mm512_mul_pd(vax, ex), _mm512_mul_pd(vay, ey));
        const __m512d across = _mm512_sub_pd(_mm512_mul_pd(vax, ey), _mm512_mul_pd(vay, ex));
        along_min = _mm512_maskz_min_pd(kAll, along, along_min);
        along_max = _mm512_maskz_max_pd(kAll, along, along_max);
        across_min = _mm512_maskz_min_pd(kAll, across, across_min);
        across_max = _mm512_maskz_max_pd(kAll, across, across_max);
    }
    alignas(64) double lanes[4][8];
    _mm512_store_pd(lanes[0], along_min);
    _mm512_store_pd(lanes[1], along_max);
    _mm512_store_pd(lanes[2], across_min);
    _mm512_store_pd(lanes[3], across_max);
    Extents extents;
    for (int k = 0; k < 8; ++k) {
        extents.add(lanes[0][k], lanes[2][k]);
        extents.add(lanes[1][k], lanes[3][k]);
    }
    add_extents(region.data() + vector_end, region.data() + n, cx, cy, axis_x, axis_y, extents);
    return extents;
}
#endif

Extents region_extents(const Region& region, double cx, double cy, double axis_x, double axis_y) {
    static const ExtentsFunction chosen = [] {
#if defined(__x86_64__)
        if (simd_level() == SimdLevel::kAvx512) return extents_avx512;
#endif
        return extents_portable;
    }();
    return chosen(region, cx, cy, axis_x, axis_y);
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

    const Extents e = region_extents(region, cx, cy, axis_x, axis_y);
    const double l_min = e.along_min, l_max = e.along_max, w_min = e.across_min, w_max = e.across_max;

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
