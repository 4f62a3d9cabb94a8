// The warp's row routine for x86-64 processors with AVX2, compiled with
// -mavx2 and run only where the processor has it. Four pixels per step, one
// per lane, and each lane does exactly the operations of sample_pixel in
// warp.cpp, in the same order. The last width % 4 pixels of a span, and a
// step that would load past the end of the source, go through the portable
// routine.

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "warp/warp_rows.hpp"

namespace linara::warp_internal {
namespace {

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
    static Raw load(const std::uint8_t* src, const std::int64_t* index) {
        return _mm_setr_epi32(load_bits<std::int32_t>(src + index[0]),
                              load_bits<std::int32_t>(src + index[1]),
                              load_bits<std::int32_t>(src + index[2]),
                              load_bits<std::int32_t>(src + index[3]));
    }
    template <int C>
    static __m256d channel(Raw pixels) {
        // Byte C of each lane, zero-extended to 32 bits.
        const __m128i pick = _mm_setr_epi8(C, -1, -1, -1, 4 + C, -1, -1, -1, 8 + C, -1, -1, -1,
                                           12 + C, -1, -1, -1);
        return _mm256_cvtepi32_pd(_mm_shuffle_epi8(pixels, pick));
    }
};

struct Lanes16 {
    using Raw = __m256i;
    static Raw load(const std::uint16_t* src, const std::int64_t* index) {
        return _mm256_setr_epi64x(load_bits<long long>(src + index[0]),
                                  load_bits<long long>(src + index[1]),
                                  load_bits<long long>(src + index[2]),
                                  load_bits<long long>(src + index[3]));
    }
    template <int C>
    static __m256d channel(Raw pixels) {
        // Word C of each lane as the low mantissa bits of 2^52, minus 2^52.
        const __m256i bias = _mm256_set1_epi64x(0x4330000000000000);
        const __m256i shifted = C == 0 ? pixels : _mm256_srli_epi64(pixels, 16 * C);
        const __m256i biased = _mm256_blend_epi16(bias, shifted, 0x11);
        return _mm256_sub_pd(_mm256_castsi256_pd(biased), _mm256_set1_pd(4503599627370496.0));
    }
};

// Writes four consecutive pixels whose channels are the lanes of c0, c1, c2.
inline void store_pixels(std::uint8_t* out, __m128i c0, __m128i c1, __m128i c2) {
    __m128i packed = _mm_or_si128(c0, _mm_or_si128(_mm_slli_epi32(c1, 8), _mm_slli_epi32(c2, 16)));
    packed = _mm_shuffle_epi8(packed, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    const int last = _mm_extract_epi32(packed, 2);
    std::memcpy(out + 8, &last, 4);
}

inline void store_pixels(std::uint16_t* out, __m128i c0, __m128i c1, __m128i c2) {
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

// Four pixels of 0.
template <class T>
inline void store_zeros(T* out) {
    std::memset(out, 0, 12 * sizeof(T));
}

// One channel of four pixels: the blend, +0.5, the clamp, 0 for skipped
// lanes, and truncation. No kept lane is NaN, so max and min with the
// bounds are the two clamp tests.
template <class L, int C>
inline __m128i blend_channel(typename L::Raw a, typename L::Raw b, typename L::Raw c,
                             typename L::Raw d, const __m256d (&weight)[4], __m256d keep,
                             __m256d top) {
    __m256d v = _mm256_add_pd(_mm256_mul_pd(L::template channel<C>(a), weight[0]),
                              _mm256_mul_pd(L::template channel<C>(b), weight[1]));
    v = _mm256_add_pd(v, _mm256_mul_pd(L::template channel<C>(c), weight[2]));
    v = _mm256_add_pd(v, _mm256_mul_pd(L::template channel<C>(d), weight[3]));
    v = _mm256_add_pd(v, _mm256_set1_pd(0.5));
    v = _mm256_min_pd(_mm256_max_pd(v, _mm256_setzero_pd()), top);
    return _mm256_cvttpd_epi32(_mm256_and_pd(v, keep));
}

// How far ahead along the row the source is prefetched, in steps of four
// pixels. Rows of a rotated or tilted image cross many source rows, which
// the hardware prefetchers do not follow.
constexpr double kPrefetchSteps = 12.0;

template <class T, class L>
void warp_span_avx2(const WarpJob<T>& job, const RowTerms& r, T* out_row, std::size_t first,
                    std::size_t end) {
    constexpr double kMax = static_cast<double>(std::numeric_limits<T>::max());
    // Too small for one four-element load.
    if (job.length < 4) return warp_span_portable(job, r, out_row, first, end);

    const __m256d ax = _mm256_set1_pd(r.ax), ay = _mm256_set1_pd(r.ay), aw = _mm256_set1_pd(r.aw);
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0), top = _mm256_set1_pd(kMax);
    const __m256d max_x = _mm256_set1_pd(job.max_x), max_y = _mm256_set1_pd(job.max_y);
    const __m128i last_x = _mm_set1_epi32(static_cast<int>(job.width - 1));
    const __m128i last_y = _mm_set1_epi32(static_cast<int>(job.height - 1));
    const __m128i three = _mm_set1_epi32(3);
    const __m128i row_length = _mm_set1_epi32(static_cast<int>(job.row_length));
    const __m128i last_load = _mm_set1_epi32(static_cast<int>(job.length - 4));

    const std::size_t groups_end = first + (end - first) / 4 * 4;
    double prev_x = 0.0, prev_y = 0.0;
    for (std::size_t x = first; x < groups_end; x += 4) {
        T* const out = out_row + x * 3;
        const __m256d w = _mm256_add_pd(_mm256_loadu_pd(job.col_w + x), aw);
        __m256d sx = _mm256_div_pd(_mm256_add_pd(_mm256_loadu_pd(job.col_x + x), ax), w);
        __m256d sy = _mm256_div_pd(_mm256_add_pd(_mm256_loadu_pd(job.col_y + x), ay), w);
        {
            // Prefetch the two source rows under a pixel further along,
            // extrapolated from this step and the previous one. Only a
            // hint: it never changes a result, so it may be approximate.
            const double px = _mm256_cvtsd_f64(sx), py = _mm256_cvtsd_f64(sy);
            const double ex = px + (px - prev_x) * kPrefetchSteps;
            const double ey = py + (py - prev_y) * kPrefetchSteps;
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
        if (_mm256_movemask_pd(keep) == 0) {
            store_zeros(out);
            continue;
        }
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
        // Every lane loads four elements from each index, and id is the
        // largest: it must be at most length - 4.
        if (_mm_movemask_epi8(_mm_cmpgt_epi32(id, last_load)) != 0) {
            // A step that samples the last source pixel: the portable
            // routine reads exactly three elements and checks them.
            warp_span_portable(job, r, out_row, x, x + 4);
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
        store_pixels(out, blend_channel<L, 0>(a, b, c, d, weight, keep, top),
                     blend_channel<L, 1>(a, b, c, d, weight, keep, top),
                     blend_channel<L, 2>(a, b, c, d, weight, keep, top));
    }
    warp_span_portable(job, r, out_row, groups_end, end);
}

void span8_avx2(const WarpJob<std::uint8_t>& job, const RowTerms& row, std::uint8_t* out_row,
                std::size_t first, std::size_t end) {
    warp_span_avx2<std::uint8_t, Lanes8>(job, row, out_row, first, end);
}

void span16_avx2(const WarpJob<std::uint16_t>& job, const RowTerms& row, std::uint16_t* out_row,
                 std::size_t first, std::size_t end) {
    warp_span_avx2<std::uint16_t, Lanes16>(job, row, out_row, first, end);
}

}  // namespace

// Source indices are int32 lanes, and a lane loads four elements.
const WarpRoutine kAvx2Routine = {"avx2", span8_avx2, span16_avx2,
                                  static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())};

}  // namespace linara::warp_internal
