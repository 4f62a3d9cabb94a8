// The warp kernel. Every output pixel maps through the inverse homography to
// a source point and gets the bilinear blend of the four pixels around it,
// or stays 0. The arithmetic of a pixel is fixed, operation by operation, so
// that results are bit-identical everywhere:
//
//   X = x / scale + off_x                  (per column, once per call)
//   Y = y / scale + off_y                  (per row)
//   w  = h6*X + (h7*Y + h8)
//   sx = (h0*X + (h1*Y + h2)) / w          skipped unless 0 <= sx <= width-1
//   sy = (h3*X + (h4*Y + h5)) / w          skipped unless 0 <= sy <= height-1
//   x0 = floor(sx), x1 = min(x0+1, width-1), fx = sx - x0 (same for y)
//   v  = ((A*(1-fx)(1-fy) + B*fx(1-fy)) + C*(1-fx)fy) + D*fx*fy + 0.5,
//        clamped to [0, max] and truncated.
//
// Two row routines implement it: a portable one, and one for x86-64
// processors with AVX2 that does four pixels at a time with exactly the same
// operations per pixel, chosen once per call.

#include "warp/warp.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "common/checked.hpp"
#include "common/worker_pool.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define LINARA_WARP_AVX2 1
#include <immintrin.h>
#endif

namespace linara {
namespace {

// Everything a row task reads; shared and read-only during the loop.
template <class T>
struct WarpJob {
    const T* src;
    std::size_t length;      // elements in src and in out
    std::size_t width;
    std::size_t height;
    std::size_t row_length;  // width * 3
    double max_x;
    double max_y;
    const WarpParams* params;
    // Per output column x, with X = x / scale + off_x: h0 * X, h3 * X and
    // h6 * X. They do not depend on the row, so they are computed once.
    const double* col_x;
    const double* col_y;
    const double* col_w;
    T* out;
};

// The terms of one output row: h1*Y + h2, h4*Y + h5 and h7*Y + h8.
struct RowTerms {
    double ax;
    double ay;
    double aw;
};

template <class T>
inline RowTerms row_terms(const WarpJob<T>& job, std::size_t y) {
    const std::array<double, 9>& h = job.params->inverse;
    const double plane_y = static_cast<double>(y) / job.params->scale + job.params->off_y;
    return {h[1] * plane_y + h[2], h[4] * plane_y + h[5], h[7] * plane_y + h[8]};
}

// The output row y, after checking that it lies inside the output buffer.
template <class T>
inline T* output_row(const WarpJob<T>& job, std::size_t y) {
    const std::size_t first = y * job.row_length;
    check_range(first, job.row_length, job.length, "warp output");
    return job.out + first;
}

// Samples the source at (sx, sy) if that point lies inside it, both ends
// inclusive, and writes the three channels to `pixel`; otherwise leaves the
// pixel as it is (0). The written-out test also rejects NaN: a NaN
// coordinate would make every weight NaN and store 0, which the pixel
// already holds. A zero divisor gives an infinite or NaN coordinate, so it
// is rejected here as well.
template <class T>
inline void sample_pixel(const WarpJob<T>& job, double sx, double sy, T* pixel) {
    if (!(sx >= 0.0 && sx <= job.max_x)) return;
    if (!(sy >= 0.0 && sy <= job.max_y)) return;
    constexpr double kMax = static_cast<double>(std::numeric_limits<T>::max());
    // In range, floor is truncation; max_x < width keeps the value far below
    // 2^63, so the signed conversion is exact.
    const auto x0 = static_cast<std::size_t>(static_cast<std::int64_t>(sx));
    const auto y0 = static_cast<std::size_t>(static_cast<std::int64_t>(sy));
    // Steps to the next column and row, 0 on the last one (where fx or fy
    // is 0, so the repeated sample has no weight).
    const std::size_t dx = x0 + 1 < job.width ? 3 : 0;
    const std::size_t dy = y0 + 1 < job.height ? job.row_length : 0;

    const std::size_t a = y0 * job.row_length + x0 * 3;
    // a + dy + dx is the largest of the four indices.
    check_range(a + dy + dx, 3, job.length, "warp source");
    const T* pa = job.src + a;
    const T* pb = pa + dx;
    const T* pc = pa + dy;
    const T* pd = pc + dx;

    const double fx = sx - static_cast<double>(x0);
    const double fy = sy - static_cast<double>(y0);
    const double gx = 1.0 - fx;
    const double gy = 1.0 - fy;
    const double wa = gx * gy;
    const double wb = fx * gy;
    const double wc = gx * fy;
    const double wd = fx * fy;

    for (int c = 0; c < 3; ++c) {
        double v = ((static_cast<double>(pa[c]) * wa + static_cast<double>(pb[c]) * wb) +
                    static_cast<double>(pc[c]) * wc) +
                   static_cast<double>(pd[c]) * wd;
        v = v + 0.5;
        if (v < 0.0) v = 0.0;
        if (v > kMax) v = kMax;
        pixel[c] = static_cast<T>(v);
    }
}

// Output pixels [first, end) of a row, one at a time.
template <class T>
inline void warp_pixels(const WarpJob<T>& job, const RowTerms& r, T* out_row, std::size_t first,
                        std::size_t end) {
    for (std::size_t x = first; x < end; ++x) {
        const double w = job.col_w[x] + r.aw;
        const double sx = (job.col_x[x] + r.ax) / w;
        const double sy = (job.col_y[x] + r.ay) / w;
        sample_pixel(job, sx, sy, out_row + x * 3);
    }
}

template <class T>
void warp_row(const WarpJob<T>& job, std::size_t y) {
    warp_pixels(job, row_terms(job, y), output_row(job, y), 0, job.width);
}

#ifdef LINARA_WARP_AVX2

#define LINARA_AVX2 __attribute__((target("avx2")))

template <class V, class T>
inline V load_bits(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof(V));
    return v;
}

// Loads four source pixels, one per lane, each with one element beyond its
// third channel; and converts one channel of them to float64, exactly.
struct Lanes8 {
    using Raw = __m128i;
    LINARA_AVX2 static Raw load(const std::uint8_t* src, const std::int64_t* index) {
        return _mm_setr_epi32(load_bits<std::int32_t>(src + index[0]),
                              load_bits<std::int32_t>(src + index[1]),
                              load_bits<std::int32_t>(src + index[2]),
                              load_bits<std::int32_t>(src + index[3]));
    }
    template <int C>
    LINARA_AVX2 static __m256d channel(Raw pixels) {
        // Byte C of each lane, zero-extended to 32 bits.
        const __m128i pick = _mm_setr_epi8(C, -1, -1, -1, 4 + C, -1, -1, -1, 8 + C, -1, -1, -1,
                                           12 + C, -1, -1, -1);
        return _mm256_cvtepi32_pd(_mm_shuffle_epi8(pixels, pick));
    }
};

struct Lanes16 {
    using Raw = __m256i;
    LINARA_AVX2 static Raw load(const std::uint16_t* src, const std::int64_t* index) {
        return _mm256_setr_epi64x(load_bits<long long>(src + index[0]),
                                  load_bits<long long>(src + index[1]),
                                  load_bits<long long>(src + index[2]),
                                  load_bits<long long>(src + index[3]));
    }
    template <int C>
    LINARA_AVX2 static __m256d channel(Raw pixels) {
        // Word C of each lane as the low mantissa bits of 2^52, minus 2^52.
        const __m256i bias = _mm256_set1_epi64x(0x4330000000000000);
        const __m256i shifted = C == 0 ? pixels : _mm256_srli_epi64(pixels, 16 * C);
        const __m256i biased = _mm256_blend_epi16(bias, shifted, 0x11);
        return _mm256_sub_pd(_mm256_castsi256_pd(biased), _mm256_set1_pd(4503599627370496.0));
    }
};

// Writes four consecutive pixels whose channels are the lanes of c0, c1, c2.
LINARA_AVX2 inline void store_pixels(std::uint8_t* out, __m128i c0, __m128i c1, __m128i c2) {
    __m128i packed = _mm_or_si128(c0, _mm_or_si128(_mm_slli_epi32(c1, 8), _mm_slli_epi32(c2, 16)));
    packed = _mm_shuffle_epi8(packed, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    const int last = _mm_extract_epi32(packed, 2);
    std::memcpy(out + 8, &last, 4);
}

LINARA_AVX2 inline void store_pixels(std::uint16_t* out, __m128i c0, __m128i c1, __m128i c2) {
    const __m128i low = _mm_or_si128(c0, _mm_slli_epi32(c1, 16));
    const __m128i drop = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
    const __m128i first = _mm_shuffle_epi8(_mm_unpacklo_epi32(low, c2), drop);
    const __m128i second = _mm_shuffle_epi8(_mm_unpackhi_epi32(low, c2), drop);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), first);
    int tail = _mm_extract_epi32(first, 2);
    std::memcpy(out + 4, &tail, 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), second);
    tail = _mm_extract_epi32(second, 2);
    std::memcpy(out + 10, &tail, 4);
}

// One channel of four pixels: the blend, +0.5, the clamp, 0 for skipped
// lanes, and truncation. No kept lane is NaN, so max and min with the
// bounds are the two clamp tests.
template <class L, int C>
LINARA_AVX2 inline __m128i blend_channel(typename L::Raw a, typename L::Raw b, typename L::Raw c,
                                         typename L::Raw d, const __m256d (&weight)[4],
                                         __m256d keep, __m256d top) {
    __m256d v = _mm256_add_pd(_mm256_mul_pd(L::template channel<C>(a), weight[0]),
                              _mm256_mul_pd(L::template channel<C>(b), weight[1]));
    v = _mm256_add_pd(v, _mm256_mul_pd(L::template channel<C>(c), weight[2]));
    v = _mm256_add_pd(v, _mm256_mul_pd(L::template channel<C>(d), weight[3]));
    v = _mm256_add_pd(v, _mm256_set1_pd(0.5));
    v = _mm256_min_pd(_mm256_max_pd(v, _mm256_setzero_pd()), top);
    return _mm256_cvttpd_epi32(_mm256_and_pd(v, keep));
}

// How far ahead along the row the source is prefetched, in groups of four
// pixels. Rows of a rotated or tilted image cross many source rows, which
// the hardware prefetchers do not follow.
constexpr double kPrefetchGroups = 12.0;

// The row four pixels at a time, each lane doing exactly the operations of
// sample_pixel. The last width % 4 pixels, and a group that would load past
// the end of the source, go through warp_pixels. Needs every source index
// to fit an int32 (see use_avx2).
template <class T, class L>
LINARA_AVX2 void warp_row_avx2(const WarpJob<T>& job, std::size_t y) {
    const RowTerms r = row_terms(job, y);
    T* out_row = output_row(job, y);
    constexpr double kMax = static_cast<double>(std::numeric_limits<T>::max());

    const __m256d ax = _mm256_set1_pd(r.ax), ay = _mm256_set1_pd(r.ay), aw = _mm256_set1_pd(r.aw);
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0), top = _mm256_set1_pd(kMax);
    const __m256d max_x = _mm256_set1_pd(job.max_x), max_y = _mm256_set1_pd(job.max_y);
    const __m128i last_x = _mm_set1_epi32(static_cast<int>(job.width - 1));
    const __m128i last_y = _mm_set1_epi32(static_cast<int>(job.height - 1));
    const __m128i three = _mm_set1_epi32(3);
    const __m128i row_length = _mm_set1_epi32(static_cast<int>(job.row_length));
    const __m128i last_load = _mm_set1_epi32(static_cast<int>(job.length - 4));

    const std::size_t groups_end = job.width - job.width % 4;
    double prev_x = 0.0, prev_y = 0.0;
    for (std::size_t x = 0; x < groups_end; x += 4) {
        const __m256d w = _mm256_add_pd(_mm256_loadu_pd(job.col_w + x), aw);
        __m256d sx = _mm256_div_pd(_mm256_add_pd(_mm256_loadu_pd(job.col_x + x), ax), w);
        __m256d sy = _mm256_div_pd(_mm256_add_pd(_mm256_loadu_pd(job.col_y + x), ay), w);
        {
            // Prefetch the two source rows under a pixel further along,
            // extrapolated from this group and the previous one. Only a
            // hint: it never changes a result, so it may be approximate.
            const double px = _mm256_cvtsd_f64(sx), py = _mm256_cvtsd_f64(sy);
            const double ex = px + (px - prev_x) * kPrefetchGroups;
            const double ey = py + (py - prev_y) * kPrefetchGroups;
            prev_x = px;
            prev_y = py;
            if (ex >= 0.0 && ex <= job.max_x && ey >= 0.0 && ey <= job.max_y) {
                const std::size_t ahead =
                    static_cast<std::size_t>(static_cast<std::int64_t>(ey)) * job.row_length +
                    static_cast<std::size_t>(static_cast<std::int64_t>(ex)) * 3;
                __builtin_prefetch(job.src + ahead);
                __builtin_prefetch(job.src + std::min(ahead + job.row_length, job.length - 1));
            }
        }
        // Ordered comparisons: false for NaN, as in sample_pixel.
        const __m256d keep = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(sx, zero, _CMP_GE_OQ), _mm256_cmp_pd(sx, max_x, _CMP_LE_OQ)),
            _mm256_and_pd(_mm256_cmp_pd(sy, zero, _CMP_GE_OQ), _mm256_cmp_pd(sy, max_y, _CMP_LE_OQ)));
        if (_mm256_movemask_pd(keep) == 0) continue;
        // Skipped lanes sample the point (0, 0) and are zeroed at the end.
        sx = _mm256_and_pd(sx, keep);
        sy = _mm256_and_pd(sy, keep);

        // x0 = floor(sx) (truncation, as sx >= 0), x1 - x0 = dx / 3; the
        // same for y with dy in elements.
        const __m128i x0 = _mm256_cvttpd_epi32(sx);
        const __m128i y0 = _mm256_cvttpd_epi32(sy);
        const __m128i dx = _mm_and_si128(_mm_cmpgt_epi32(last_x, x0), three);
        const __m128i dy = _mm_and_si128(_mm_cmpgt_epi32(last_y, y0), row_length);
        const __m128i ia = _mm_add_epi32(_mm_mullo_epi32(y0, row_length),
                                         _mm_add_epi32(x0, _mm_add_epi32(x0, x0)));
        const __m128i ib = _mm_add_epi32(ia, dx);
        const __m128i ic = _mm_add_epi32(ia, dy);
        const __m128i id = _mm_add_epi32(ic, dx);
        // Every lane loads four elements from each index: all indices must
        // be at most length - 4 (compared unsigned).
        const __m128i highest = _mm_max_epu32(_mm_max_epu32(ia, ib), _mm_max_epu32(ic, id));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_max_epu32(highest, last_load), last_load)) !=
            0xffff) {
            // A group that samples the last source pixel: the scalar path
            // reads exactly three elements and checks them.
            warp_pixels(job, r, out_row, x, x + 4);
            continue;
        }

        const __m256d fx = _mm256_sub_pd(sx, _mm256_cvtepi32_pd(x0));
        const __m256d fy = _mm256_sub_pd(sy, _mm256_cvtepi32_pd(y0));
        const __m256d gx = _mm256_sub_pd(one, fx);
        const __m256d gy = _mm256_sub_pd(one, fy);
        const __m256d weight[4] = {_mm256_mul_pd(gx, gy), _mm256_mul_pd(fx, gy),
                                   _mm256_mul_pd(gx, fy), _mm256_mul_pd(fx, fy)};

        alignas(32) std::int64_t index[4][4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(index[0]), _mm256_cvtepi32_epi64(ia));
        _mm256_store_si256(reinterpret_cast<__m256i*>(index[1]), _mm256_cvtepi32_epi64(ib));
        _mm256_store_si256(reinterpret_cast<__m256i*>(index[2]), _mm256_cvtepi32_epi64(ic));
        _mm256_store_si256(reinterpret_cast<__m256i*>(index[3]), _mm256_cvtepi32_epi64(id));
        const typename L::Raw a = L::load(job.src, index[0]);
        const typename L::Raw b = L::load(job.src, index[1]);
        const typename L::Raw c = L::load(job.src, index[2]);
        const typename L::Raw d = L::load(job.src, index[3]);
        store_pixels(out_row + x * 3, blend_channel<L, 0>(a, b, c, d, weight, keep, top),
                     blend_channel<L, 1>(a, b, c, d, weight, keep, top),
                     blend_channel<L, 2>(a, b, c, d, weight, keep, top));
    }
    warp_pixels(job, r, out_row, groups_end, job.width);
}

template <class T>
struct LanesFor;
template <>
struct LanesFor<std::uint8_t> {
    using type = Lanes8;
};
template <>
struct LanesFor<std::uint16_t> {
    using type = Lanes16;
};

// The four-pixel rows need AVX2, source indices that fit an int32, and room
// for one four-element load.
bool use_avx2(std::size_t length) {
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has_avx2 && length >= 4 &&
           length <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

#endif  // LINARA_WARP_AVX2

template <class T>
WarpResult<T> warp_rgb_impl(const T* src, std::size_t length, std::size_t width,
                            std::size_t height, const WarpParams& params) {
    std::size_t row_length = 0;
    std::size_t expected = 0;
    if (!checked_multiply(width, 3, row_length) || !checked_multiply(row_length, height, expected))
        return SizeMismatch{std::numeric_limits<std::size_t>::max(), length};
    if (length != expected) return SizeMismatch{expected, length};

    ZeroedArray<T> out(expected);
    if (expected == 0) return out;

    std::vector<double> columns(3 * width);
    double* col_x = columns.data();
    double* col_y = col_x + width;
    double* col_w = col_y + width;
    for (std::size_t x = 0; x < width; ++x) {
        const double plane_x = static_cast<double>(x) / params.scale + params.off_x;
        col_x[x] = params.inverse[0] * plane_x;
        col_y[x] = params.inverse[3] * plane_x;
        col_w[x] = params.inverse[6] * plane_x;
    }

    const WarpJob<T> job{src,
                         length,
                         width,
                         height,
                         row_length,
                         static_cast<double>(width) + -1.0,
                         static_cast<double>(height) + -1.0,
                         &params,
                         col_x,
                         col_y,
                         col_w,
                         out.data()};
#ifdef LINARA_WARP_AVX2
    if (use_avx2(length)) {
        parallel_rows(height, [&job](std::size_t y) {
            warp_row_avx2<T, typename LanesFor<T>::type>(job, y);
        });
        return out;
    }
#endif
    parallel_rows(height, [&job](std::size_t y) { warp_row(job, y); });
    return out;
}

}  // namespace

WarpResult<std::uint8_t> warp_rgb_buffer(const std::uint8_t* src, std::size_t length,
                                         std::size_t width, std::size_t height,
                                         const WarpParams& params) {
    return warp_rgb_impl(src, length, width, height, params);
}

WarpResult<std::uint16_t> warp_rgb_buffer(const std::uint16_t* src, std::size_t length,
                                          std::size_t width, std::size_t height,
                                          const WarpParams& params) {
    return warp_rgb_impl(src, length, width, height, params);
}

}  // namespace linara
