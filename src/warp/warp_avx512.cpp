// The warp's row routine for x86-64 processors with AVX-512 (F, BW, DQ and
// VL), compiled with those extensions and run only where the processor has
// them. Eight pixels per step, one per lane of a float64 vector, and each
// lane does exactly the operations of sample_pixel in warp.cpp, in the same
// order. A span is done in chunks of pixels (see kChunk), in two passes: the
// first computes the source points, indices and weights of every step of
// the chunk, the second loads the samples and blends them. Split this way,
// the loads of one step are issued while the previous step is blended
// instead of waiting behind the divisions. The first pass of the next
// chunk runs a step at a time inside the second pass of this one, so that
// its divisions overlap this chunk's loads and blends. The last width % 8
// pixels of a span run as a masked step.

// GCC 12's AVX-512 headers initialise their "undefined" vectors from
// themselves, which -Wmaybe-uninitialized reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "warp/warp_rows.hpp"

namespace linara::warp_internal {
namespace {

constexpr std::size_t kLanes = 8;
// Pixels per chunk. Where pass one divides, long chunks let the loads and
// blends of pass two run beside the divisions still in flight. Where it
// does not (every w is 1, as for any rotation or other affine matrix with
// h8 = 1), pass one is quick, and shorter chunks measure faster.
constexpr std::size_t kChunk = 128;
constexpr std::size_t kChunkWithoutDivision = 32;
constexpr int kFloor = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;

// Samples become float64 in two instructions: a shuffle puts one sample,
// zero-extended, in each 64-bit lane, and a conversion from int64 (exact
// below 2^53) makes it a float64.

struct alignas(64) ByteTable {
    std::int8_t bytes[64];
};

struct alignas(64) WordTable {
    std::int16_t words[32];
};

// A shuffle that puts bytes `first` to `first + count - 1` of each 64-bit
// lane at the bottom of that lane and zeros above them: `count` bytes of
// little-endian unsigned sample, zero-extended to 64 bits.
constexpr ByteTable zero_extend(int first, int count) {
    ByteTable table{};
    for (int i = 0; i < 64; ++i) {
        const int lane = i - i % 8;
        const int in_lane = i % 8;
        table.bytes[i] = static_cast<std::int8_t>(in_lane < count ? lane % 16 + first + in_lane : -1);
    }
    return table;
}

// Where the steps of a chunk keep their source points between the passes.
struct alignas(64) Step {
    __m512d weight[4];         // wA, wB, wC, wD
    std::int32_t top[kLanes];  // index of A (row y0)
    std::int32_t low[kLanes];  // index of C (row y1)
    __mmask8 keep;             // lanes whose source point lies in the source
    __mmask8 next_column;      // lanes whose x1 is x0 + 1 (else x1 = x0)
    bool portable;             // loads would pass the end of the source
};

// The channels of the four samples of eight pixels, one channel at a time.
struct Quad {
    __m512d a, b, c, d;
};

// uint8: per lane one 8-byte load per source row, at A (and at C): the
// pixel and the one after it, so B (and D) come from the same load. With
// kGather, the eight loads of a row are one gather instruction; otherwise
// they are scalar loads inserted into the vector. Which is faster depends
// on the processor (see gathers_are_fast).
template <bool kGather>
struct Samples8 {
    static constexpr std::size_t kLoadElements = 8;
    struct Rows {
        __m512i top;     // A, B
        __m512i bottom;  // C, D
        __m512i step;    // 3 in the low byte of each next_column lane
    };

    static __m512i load_row(const std::uint8_t* src, const std::int32_t (&at)[kLanes]) {
        __m512i lanes;
        if (kGather) {
            const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(at));
            lanes = _mm512_i32gather_epi64(index, src, 1);
        } else {
            auto pair = [&](int k) {
                std::uint64_t first;
                std::uint64_t second;
                std::memcpy(&first, src + at[k], 8);
                std::memcpy(&second, src + at[k + 1], 8);
                return _mm_set_epi64x(static_cast<long long>(second),
                                      static_cast<long long>(first));
            };
            const __m256i low =
                _mm256_inserti128_si256(_mm256_castsi128_si256(pair(0)), pair(2), 1);
            const __m256i high =
                _mm256_inserti128_si256(_mm256_castsi128_si256(pair(4)), pair(6), 1);
            lanes = _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
        }
        return lanes;
    }

    static Rows load(const std::uint8_t* src, const Step& step) {
        return {load_row(src, step.top), load_row(src, step.low),
                _mm512_maskz_mov_epi64(step.next_column, _mm512_set1_epi64(3))};
    }

    // Byte C of the lane, then zeros.
    static constexpr ByteTable pick(int c) { return zero_extend(c, 1); }

    template <int C>
    static Quad channel(const Rows& rows) {
        static constexpr ByteTable kPick = pick(C);
        const __m512i first = _mm512_load_si512(kPick.bytes);
        const __m512i second = _mm512_add_epi8(first, rows.step);
        return {_mm512_cvtepi64_pd(_mm512_shuffle_epi8(rows.top, first)),
                _mm512_cvtepi64_pd(_mm512_shuffle_epi8(rows.top, second)),
                _mm512_cvtepi64_pd(_mm512_shuffle_epi8(rows.bottom, first)),
                _mm512_cvtepi64_pd(_mm512_shuffle_epi8(rows.bottom, second))};
    }
};

// uint16: per lane one 16-byte load per source row, at A (and at C): the
// pixel, the one after it and two more elements, so B (and D) come from
// the same load. Lanes 0-3 of a row go to one vector and lanes 4-7 to
// another.
struct Samples16 {
    static constexpr std::size_t kLoadElements = 8;
    struct Rows {
        __m512i top[2];     // A, B of lanes 0-3 and 4-7
        __m512i bottom[2];  // C, D
        __m512i step;       // 3 in the low word of each next_column lane
    };

    static __m512i load_four(const std::uint16_t* src, const std::int32_t* at) {
        auto part = [&](int k) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at[k]));
        };
        const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(part(0)), part(1), 1);
        const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(part(2)), part(3), 1);
        return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
    }

    static Rows load(const std::uint16_t* src, const Step& step) {
        return {{load_four(src, step.top), load_four(src, step.top + 4)},
                {load_four(src, step.low), load_four(src, step.low + 4)},
                _mm512_maskz_mov_epi64(step.next_column, _mm512_set1_epi64(3))};
    }

    // For lane j: element C of part j of the pair of vectors, in the
    // lane's low word (the permutation zeroes the other three).
    static constexpr WordTable pick(int c) {
        WordTable table{};
        for (int j = 0; j < 8; ++j)
            table.words[4 * j] = static_cast<std::int16_t>((j < 4 ? 0 : 32) + 8 * (j % 4) + c);
        return table;
    }

    static __m512d element(__m512i low, __m512i select, __m512i high) {
        constexpr __mmask32 kLowWords = 0x11111111;
        return _mm512_cvtepi64_pd(_mm512_maskz_permutex2var_epi16(kLowWords, low, select, high));
    }

    template <int C>
    static Quad channel(const Rows& rows) {
        static constexpr WordTable kPick = pick(C);
        const __m512i first = _mm512_load_si512(kPick.words);
        const __m512i second = _mm512_add_epi16(first, rows.step);
        return {element(rows.top[0], first, rows.top[1]), element(rows.top[0], second, rows.top[1]),
                element(rows.bottom[0], first, rows.bottom[1]),
                element(rows.bottom[0], second, rows.bottom[1])};
    }
};

// uint16 with gathers: per lane one 8-byte gather from each of A, B, C
// and D: the pixel's three elements and one more. Channel C of a lane is
// its 16 bits at 16 * C, which a shuffle moves to the bottom; unlike the
// two-source word permutation of Samples16, it is a single micro-op.
struct Samples16Gather {
    static constexpr std::size_t kLoadElements = 7;  // B lies 3 past A
    struct Rows {
        __m512i a, b, c, d;
    };

    static __m512i gather(__m256i index, const std::uint16_t* src) {
        return _mm512_i32gather_epi64(index, src, 2);
    }

    static Rows load(const std::uint16_t* src, const Step& step) {
        const __m256i top = _mm256_load_si256(reinterpret_cast<const __m256i*>(step.top));
        const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(step.low));
        const __m256i three = _mm256_set1_epi32(3);
        return {gather(top, src), gather(_mm256_mask_add_epi32(top, step.next_column, top, three), src),
                gather(low, src), gather(_mm256_mask_add_epi32(low, step.next_column, low, three), src)};
    }

    // Bytes 2C and 2C + 1 of each 64-bit lane, then zeros.
    static constexpr ByteTable pick(int c) { return zero_extend(2 * c, 2); }

    template <int C>
    static __m512d element(__m512i lanes) {
        static constexpr ByteTable kPick = pick(C);
        return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(lanes, _mm512_load_si512(kPick.bytes)));
    }

    template <int C>
    static Quad channel(const Rows& rows) {
        return {element<C>(rows.a), element<C>(rows.b), element<C>(rows.c), element<C>(rows.d)};
    }
};

// The blend of one channel of eight pixels, +0.5, truncated; 0 for lanes
// outside `keep`. The clamp to [0, max] follows in store_pixels.
inline __m256i blend_channel(const Quad& s, const __m512d (&weight)[4], __mmask8 keep) {
    __m512d v = _mm512_add_pd(_mm512_mul_pd(s.a, weight[0]), _mm512_mul_pd(s.b, weight[1]));
    v = _mm512_add_pd(v, _mm512_mul_pd(s.c, weight[2]));
    v = _mm512_add_pd(v, _mm512_mul_pd(s.d, weight[3]));
    v = _mm512_add_pd(v, _mm512_set1_pd(0.5));
    return _mm512_maskz_cvttpd_epi32(keep, v);
}

// store_pixels writes `elements` (3 per pixel) of eight interleaved pixels
// whose channels are the int32 lanes of c0, c1 and c2. It clamps the values
// to [0, max] with saturating packs: truncation and a clamp to integer
// bounds commute, so this equals clamping v before truncating it (|v| is
// far below 2^31).
constexpr WordTable interleave16() {
    // After the packs: words 0-3 c0 of pixels 0-3, 4-7 c1 of 0-3, 8-11 c0
    // of 4-7, 12-15 c1 of 4-7, 16-19 c2 of 0-3, 24-27 c2 of 4-7.
    WordTable table{};
    for (int i = 0; i < 8; ++i) {
        const int half = i < 4 ? 0 : 8;
        table.words[3 * i] = static_cast<std::int16_t>(half + i % 4);
        table.words[3 * i + 1] = static_cast<std::int16_t>(half + 4 + i % 4);
        table.words[3 * i + 2] = static_cast<std::int16_t>(16 + half + i % 4);
    }
    return table;
}

inline void store_pixels(std::uint16_t* out, __mmask32 elements, __m256i c0, __m256i c1,
                         __m256i c2) {
    static constexpr WordTable kOrder = interleave16();
    const __m256i first = _mm256_packus_epi32(c0, c1);   // clamps to [0, 65535]
    const __m256i second = _mm256_packus_epi32(c2, c2);
    const __m512i words = _mm512_inserti64x4(_mm512_castsi256_si512(first), second, 1);
    _mm512_mask_storeu_epi16(out, elements,
                             _mm512_permutexvar_epi16(_mm512_load_si512(kOrder.words), words));
}

constexpr ByteTable interleave8() {
    // After the packs, each 16-byte half: bytes 0-3 c0, 4-7 c1, 8-11 c2 of
    // its four pixels. The shuffle writes them as 12 interleaved bytes.
    ByteTable table{};
    for (int half = 0; half < 2; ++half) {
        for (int i = 0; i < 16; ++i) {
            const int pixel = i / 3;
            table.bytes[16 * half + i] =
                static_cast<std::int8_t>(i < 12 ? 4 * (i % 3) + pixel : -1);
        }
    }
    return table;
}

inline void store_pixels(std::uint8_t* out, __mmask32 elements, __m256i c0, __m256i c1,
                         __m256i c2) {
    static constexpr ByteTable kOrder = interleave8();
    // Signed packs to int16, then to uint8: together a clamp to [0, 255].
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(c0, c1), _mm256_packs_epi32(c2, c2));
    const __m256i halves = _mm256_shuffle_epi8(
        bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(kOrder.bytes)));
    // 12 bytes from each half, side by side.
    const __m256i joined = _mm256_permutevar8x32_epi32(halves, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm256_mask_storeu_epi8(out, elements, joined);
}

inline void store_zeros(std::uint8_t* out, __mmask32 elements) {
    _mm256_mask_storeu_epi8(out, elements, _mm256_setzero_si256());
}

inline void store_zeros(std::uint16_t* out, __mmask32 elements) {
    _mm512_mask_storeu_epi16(out, elements, _mm512_setzero_si512());
}

// Pass one over a chunk: the source point, its indices and its weights for
// every step, as in sample_pixel. With kAllSampled (RowTerms::all_sampled),
// w is aw throughout and every point lies in the source, so neither is
// computed again. Inlined into its one caller, a span routine, like every
// other helper here.
template <class T, class S, bool kAllSampled>
__attribute__((always_inline)) inline void locate_avx512(const WarpJob<T>& job, const RowTerms& r,
                                                         std::size_t first, std::size_t end,
                                                         Step* steps) {
    const __m512d ax = _mm512_set1_pd(r.ax), ay = _mm512_set1_pd(r.ay), aw = _mm512_set1_pd(r.aw);
    const __m512d zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0);
    const __m512d max_x = _mm512_set1_pd(job.max_x), max_y = _mm512_set1_pd(job.max_y);
    const __m512d three = _mm512_set1_pd(3.0);
    const __m512d row_elements = _mm512_set1_pd(static_cast<double>(job.row_length));
    const __m256i row_length = _mm256_set1_epi32(static_cast<int>(job.row_length));
    const __m256i last_load = _mm256_set1_epi32(static_cast<int>(job.length - S::kLoadElements));
    // x / 1.0 is x, exactly.
    const bool unit_w = r.aw == 1.0;

    for (std::size_t x = first; x < end; x += kLanes, ++steps) {
        const std::size_t count = end - x < kLanes ? end - x : kLanes;
        const auto lanes = static_cast<__mmask8>((1u << count) - 1);
        Step& step = *steps;

        __m512d sx = _mm512_add_pd(_mm512_maskz_loadu_pd(lanes, job.col_x + x), ax);
        __m512d sy = _mm512_add_pd(_mm512_maskz_loadu_pd(lanes, job.col_y + x), ay);
        __mmask8 keep = lanes;
        if (kAllSampled) {
            if (!unit_w) {
                sx = _mm512_div_pd(sx, aw);
                sy = _mm512_div_pd(sy, aw);
            }
        } else {
            const __m512d w = _mm512_add_pd(_mm512_maskz_loadu_pd(lanes, job.col_w + x), aw);
            // A division by exactly 1 returns its dividend unchanged (NaN
            // included), so an affine matrix, whose w is 1 everywhere,
            // skips it.
            if (_mm512_cmp_pd_mask(w, one, _CMP_EQ_OQ) != 0xff) {
                sx = _mm512_div_pd(sx, w);
                sy = _mm512_div_pd(sy, w);
            }
            // Ordered comparisons: false for NaN, as in sample_pixel.
            keep = _mm512_mask_cmp_pd_mask(keep, sx, zero, _CMP_GE_OQ);
            keep = _mm512_mask_cmp_pd_mask(keep, sx, max_x, _CMP_LE_OQ);
            keep = _mm512_mask_cmp_pd_mask(keep, sy, zero, _CMP_GE_OQ);
            keep = _mm512_mask_cmp_pd_mask(keep, sy, max_y, _CMP_LE_OQ);
        }
        step.keep = keep;
        if (keep == 0) continue;

        // x0 = floor(sx) as float64; the max turns the -0 of sx = -0 into
        // the +0 that float64(x0) is. x1 is x0 + 1 unless x0 is the last
        // column, y1 likewise. The index of A, y0 * row_length + x0 * 3, is
        // an integer below 2^31, so float64 holds it exactly. Skipped lanes
        // get index 0 in both rows.
        const __m512d x0 = _mm512_max_pd(_mm512_roundscale_pd(sx, kFloor), zero);
        const __m512d y0 = _mm512_max_pd(_mm512_roundscale_pd(sy, kFloor), zero);
        step.next_column = _mm512_mask_cmp_pd_mask(keep, x0, max_x, _CMP_LT_OQ);
        const __mmask8 next_row = _mm512_mask_cmp_pd_mask(keep, y0, max_y, _CMP_LT_OQ);
        const __m256i top = _mm512_maskz_cvttpd_epi32(
            keep, _mm512_add_pd(_mm512_mul_pd(y0, row_elements), _mm512_mul_pd(x0, three)));
        const __m256i low = _mm256_mask_add_epi32(top, next_row, top, row_length);
        _mm256_store_si256(reinterpret_cast<__m256i*>(step.top), top);
        _mm256_store_si256(reinterpret_cast<__m256i*>(step.low), low);
        // Each lane loads kLoadElements elements from each index, and low
        // is the larger one: it must be at most length - kLoadElements.
        step.portable = _mm256_mask_cmpgt_epu32_mask(keep, low, last_load) != 0;
        // Asks for the source lines under the step's last kept lane now,
        // while the rest of the chunk is located, so that the second pass
        // finds them in the cache. Rows of a tilted or rotated image cross
        // source rows too often for the hardware prefetchers to follow.
        // Only a hint: it cannot fault and changes no result. (The index is
        // taken from the register: a load of the stored one would wait for
        // the store.)
        const int last_kept = 31 - __builtin_clz(static_cast<unsigned>(keep));
        const auto ahead = static_cast<std::size_t>(_mm256_cvtsi256_si32(
            _mm256_permutevar8x32_epi32(top, _mm256_set1_epi32(last_kept))));
        __builtin_prefetch(job.src + ahead);
        __builtin_prefetch(job.src + std::min(ahead + job.row_length, job.length - 1));

        const __m512d fx = _mm512_sub_pd(sx, x0);
        const __m512d fy = _mm512_sub_pd(sy, y0);
        const __m512d gx = _mm512_sub_pd(one, fx);
        const __m512d gy = _mm512_sub_pd(one, fy);
        step.weight[0] = _mm512_mul_pd(gx, gy);
        step.weight[1] = _mm512_mul_pd(fx, gy);
        step.weight[2] = _mm512_mul_pd(gx, fy);
        step.weight[3] = _mm512_mul_pd(fx, fy);
    }
}

template <class T, class S, bool kAllSampled>
__attribute__((always_inline)) inline void warp_span_body(const WarpJob<T>& job, const RowTerms& r,
                                                          T* out_row, std::size_t first,
                                                          std::size_t end) {
    Step buffers[2][kChunk / kLanes];
    Step* steps = buffers[0];
    Step* next_steps = buffers[1];
    const std::size_t chunk_length = r.all_sampled && r.aw == 1.0 ? kChunkWithoutDivision : kChunk;
    auto end_from = [&](std::size_t start) {
        return end - start < chunk_length ? end : start + chunk_length;
    };
    std::size_t chunk = first;
    std::size_t chunk_end = end_from(chunk);
    locate_avx512<T, S, kAllSampled>(job, r, chunk, chunk_end, steps);
    auto loadable = [](const Step& s) { return s.keep != 0 && !s.portable; };
    while (chunk < end) {
        const std::size_t next = chunk_end;
        const std::size_t next_end = end_from(next);
        // Pass two of this chunk, with pass one of the next woven in a step
        // at a time, so that its divisions run beside this chunk's blends.
        // The samples of each step are loaded one step ahead.
        const Step* step = steps;
        typename S::Rows ahead{};
        if (loadable(*step)) ahead = S::load(job.src, *step);
        // The next chunk has no more steps than this one.
        for (std::size_t x = chunk, k = 0; x < chunk_end; x += kLanes, ++step, ++k) {
            const std::size_t at = next + k * kLanes;
            if (at < next_end) {
                const std::size_t to = std::min(at + kLanes, next_end);
                locate_avx512<T, S, kAllSampled>(job, r, at, to, next_steps + k);
            }
            const std::size_t count = chunk_end - x < kLanes ? chunk_end - x : kLanes;
            const auto elements = static_cast<__mmask32>((1u << (3 * count)) - 1);
            T* const out = out_row + x * 3;
            const typename S::Rows rows = ahead;
            if (x + kLanes < chunk_end && loadable(step[1])) ahead = S::load(job.src, step[1]);

            if (step->keep == 0) {
                store_zeros(out, elements);
            } else if (step->portable) {
                // The portable routine reads exactly three elements a sample.
                warp_span_portable(job, r, out_row, x, x + count);
            } else {
                store_pixels(out, elements,
                             blend_channel(S::template channel<0>(rows), step->weight, step->keep),
                             blend_channel(S::template channel<1>(rows), step->weight, step->keep),
                             blend_channel(S::template channel<2>(rows), step->weight, step->keep));
            }
        }
        std::swap(steps, next_steps);
        chunk = next;
        chunk_end = next_end;
    }
}

template <class T, class S>
void warp_span_avx512(const WarpJob<T>& job, const RowTerms& r, T* out_row, std::size_t first,
                      std::size_t end) {
    // Too small for one load of each lane.
    if (job.length < S::kLoadElements) return warp_span_portable(job, r, out_row, first, end);
    if (first >= end) return;
    if (r.all_sampled) {
        warp_span_body<T, S, true>(job, r, out_row, first, end);
    } else {
        warp_span_body<T, S, false>(job, r, out_row, first, end);
    }
}

void span8_avx512(const WarpJob<std::uint8_t>& job, const RowTerms& row, std::uint8_t* out_row,
                  std::size_t first, std::size_t end) {
    warp_span_avx512<std::uint8_t, Samples8<false>>(job, row, out_row, first, end);
}

void span8_avx512_gather(const WarpJob<std::uint8_t>& job, const RowTerms& row,
                         std::uint8_t* out_row, std::size_t first, std::size_t end) {
    warp_span_avx512<std::uint8_t, Samples8<true>>(job, row, out_row, first, end);
}

void span16_avx512(const WarpJob<std::uint16_t>& job, const RowTerms& row, std::uint16_t* out_row,
                   std::size_t first, std::size_t end) {
    warp_span_avx512<std::uint16_t, Samples16>(job, row, out_row, first, end);
}

void span16_avx512_gather(const WarpJob<std::uint16_t>& job, const RowTerms& row,
                          std::uint16_t* out_row, std::size_t first, std::size_t end) {
    warp_span_avx512<std::uint16_t, Samples16Gather>(job, row, out_row, first, end);
}

}  // namespace

// Source indices are int32 lanes.
const WarpRoutine kAvx512Routine = {"avx512", span8_avx512, span16_avx512,
                                    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())};
const WarpRoutine kAvx512GatherRoutine = {
    "avx512-gather", span8_avx512_gather, span16_avx512_gather,
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())};

}  // namespace linara::warp_internal
