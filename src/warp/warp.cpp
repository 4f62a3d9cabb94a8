// The warp kernel. Every output pixel maps through the inverse homography to
// a source point and gets the bilinear blend of the four pixels around it,
// or 0. The arithmetic of a pixel is fixed, operation by operation, so that
// results are bit-identical everywhere:
//
//   X = x / scale + off_x                  (per column, once per call)
//   Y = y / scale + off_y                  (per row)
//   w  = h6*X + (h7*Y + h8)
//   sx = (h0*X + (h1*Y + h2)) / w          0 unless 0 <= sx <= width-1
//   sy = (h3*X + (h4*Y + h5)) / w          0 unless 0 <= sy <= height-1
//   x0 = floor(sx), x1 = min(x0+1, width-1), fx = sx - x0 (same for y)
//   v  = ((A*(1-fx)(1-fy) + B*fx(1-fy)) + C*(1-fx)fy) + D*fx*fy + 0.5,
//        clamped to [0, max] and truncated.
//
// This file holds the set-up of a call and the portable row routine, which
// spells the rules out one pixel at a time. The vector routines for x86-64
// (warp_avx2.cpp, warp_avx512.cpp) do the same operations in the same order
// on several pixels at once; one of them is chosen at first use.

#include "warp/warp.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "common/checked.hpp"
#include "common/cpu.hpp"
#include "common/worker_pool.hpp"
#include "warp/warp_rows.hpp"

namespace linara {
namespace warp_internal {
namespace {

// Samples the source at (sx, sy) if that point lies inside it, both ends
// inclusive, and writes the three channels to `pixel`; otherwise writes 0.
// The written-out test also rejects NaN: a NaN coordinate would make every
// weight NaN and store 0. A zero divisor gives an infinite or NaN
// coordinate, so it is rejected here as well.
template <class T>
inline void sample_pixel(const WarpJob<T>& job, double sx, double sy, T* pixel) {
    if (!(sx >= 0.0 && sx <= job.max_x) || !(sy >= 0.0 && sy <= job.max_y)) {
        pixel[0] = pixel[1] = pixel[2] = 0;
        return;
    }
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

template <class T>
void warp_span(const WarpJob<T>& job, const RowTerms& row, T* out_row, std::size_t first,
               std::size_t end) {
    for (std::size_t x = first; x < end; ++x) {
        const double w = job.col_w[x] + row.aw;
        const double sx = (job.col_x[x] + row.ax) / w;
        const double sy = (job.col_y[x] + row.ay) / w;
        sample_pixel(job, sx, sy, out_row + x * 3);
    }
}

// Output rows are done in blocks of rows, and each block in strips of
// columns. The rows of a strip read source lines that the strip's previous
// rows have just read, which a whole row of a rotated image would have
// evicted by then.
constexpr std::size_t kTileRows = 32;
constexpr std::size_t kTileColumns = 1024;

// The first x in [0, n) for which `reached(x)` holds, or n if none, where
// `reached` is false up to some x and true from there on. The search
// starts at `guess` and widens in doubling steps, so a guess close to the
// answer (the previous row's) takes a few evaluations.
template <class Reached>
std::size_t first_reached(std::size_t n, std::size_t guess, Reached reached) {
    if (n == 0) return 0;
    // The answer lies in (low, high]; low = -1 and high = n stand for the
    // ends, where reached is false and true by definition.
    std::ptrdiff_t low = -1;
    auto high = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t probe = static_cast<std::ptrdiff_t>(std::min(guess, n - 1));
    const bool above = reached(static_cast<std::size_t>(probe));
    (above ? high : low) = probe;
    for (std::ptrdiff_t step = 1;; step *= 2) {
        probe = above ? high - step : low + step;
        if (probe <= low || probe >= high) break;
        if (reached(static_cast<std::size_t>(probe)) != above) {
            (above ? low : high) = probe;
            break;
        }
        (above ? high : low) = probe;
    }
    while (high - low > 1) {
        const std::ptrdiff_t middle = low + (high - low) / 2;
        (reached(static_cast<std::size_t>(middle)) ? high : low) = middle;
    }
    return static_cast<std::size_t>(high);
}

// Where the previous row's runs ended: the start of the next search.
struct RunGuess {
    std::size_t x[2];
    std::size_t y[2];
};

// Narrows [first, end) to the pixels of a row where low <= f(x) <= high,
// for an f that is monotonic in x (non-decreasing or non-increasing) and
// never NaN, so that those pixels form one run. `guess` holds the previous
// row's ends of that run and gets these.
template <class F>
void monotonic_run(std::size_t n, F f, double low, double high, std::size_t (&guess)[2],
                   std::size_t& first, std::size_t& end) {
    if (f(0) <= f(n - 1)) {
        guess[0] = first_reached(n, guess[0], [&](std::size_t x) { return f(x) >= low; });
        guess[1] = first_reached(n, guess[1], [&](std::size_t x) { return f(x) > high; });
    } else {
        guess[0] = first_reached(n, guess[0], [&](std::size_t x) { return f(x) <= high; });
        guess[1] = first_reached(n, guess[1], [&](std::size_t x) { return f(x) < low; });
    }
    first = std::max(first, guess[0]);
    end = std::min(end, guess[1]);
}

// For an affine matrix (h6 = 0) with finite h0 and h3 and finite plane
// coordinates X, every pixel of a row with finite, non-zero h7*Y + h8 has
// the same w, and its sx and sy change monotonically along the row: each
// operation that yields them (x / scale, + off_x, h0 * X, + ax, / w) is a
// correctly rounded, monotonic function of its varying operand, and none
// can give NaN. The pixels whose source point lies in the source then form
// one run, which the same arithmetic as the row routines finds in a few
// evaluations; the pixels outside it are 0 without being computed.
bool rows_have_runs(const WarpParams& params, std::size_t width) {
    const std::array<double, 9>& h = params.inverse;
    const double first_x = 0.0 / params.scale + params.off_x;
    const double last_x = static_cast<double>(width - 1) / params.scale + params.off_x;
    return h[6] == 0.0 && std::isfinite(h[0]) && std::isfinite(h[3]) && std::isfinite(first_x) &&
           std::isfinite(last_x);
}

// The run of pixels of a row whose source points lie in the source, for a
// matrix that passed rows_have_runs; true if found, false (and the whole
// row) when this row's terms do not qualify.
template <class T>
bool sampled_run(const WarpJob<T>& job, const RowTerms& row, RunGuess& guess, std::size_t& first,
                 std::size_t& end) {
    first = 0;
    end = job.width;
    if (!std::isfinite(row.ax) || !std::isfinite(row.ay) || !std::isfinite(row.aw) || row.aw == 0.0)
        return false;
    auto sx = [&](std::size_t x) { return (job.col_x[x] + row.ax) / (job.col_w[x] + row.aw); };
    auto sy = [&](std::size_t x) { return (job.col_y[x] + row.ay) / (job.col_w[x] + row.aw); };
    monotonic_run(job.width, sx, 0.0, job.max_x, guess.x, first, end);
    monotonic_run(job.width, sy, 0.0, job.max_y, guess.y, first, end);
    return true;
}

template <class T>
SpanRoutine<T> span_routine(const WarpRoutine& routine);
template <>
SpanRoutine<std::uint8_t> span_routine(const WarpRoutine& routine) {
    return routine.span8;
}
template <>
SpanRoutine<std::uint16_t> span_routine(const WarpRoutine& routine) {
    return routine.span16;
}

template <class T>
WarpResult<T> warp_rgb_impl(const WarpRoutine& routine, const T* src, std::size_t length,
                            std::size_t width, std::size_t height, const WarpParams& params) {
    std::size_t row_length = 0;
    std::size_t expected = 0;
    if (!checked_multiply(width, 3, row_length) || !checked_multiply(row_length, height, expected))
        return SizeMismatch{std::numeric_limits<std::size_t>::max(), length};
    if (length != expected) return SizeMismatch{expected, length};
    if (expected == 0) return WarpImage<T>();

    // Not zero-filled: every routine writes every element, so a fill would
    // only be written over.
    WarpImage<T> out = WarpImage<T>::uninitialised(expected);

    std::vector<double> columns(3 * width);
    double* col_x = columns.data();
    double* col_y = col_x + width;
    double* col_w = col_y + width;
    const std::array<double, 9>& h = params.inverse;
    for (std::size_t x = 0; x < width; ++x) {
        const double plane_x = static_cast<double>(x) / params.scale + params.off_x;
        col_x[x] = h[0] * plane_x;
        col_y[x] = h[3] * plane_x;
        col_w[x] = h[6] * plane_x;
    }

    const WarpJob<T> job{src,
                         length,
                         width,
                         height,
                         row_length,
                         static_cast<double>(width) + -1.0,
                         static_cast<double>(height) + -1.0,
                         col_x,
                         col_y,
                         col_w};
    const SpanRoutine<T> span =
        span_routine<T>(length <= routine.max_length ? routine : kPortableRoutine);
    T* const out_data = out.data();

    const bool runs = rows_have_runs(params, width);

    parallel_bands(height, [&](std::size_t first_row, std::size_t end_row) {
        RunGuess guess{{width / 2, width / 2}, {width / 2, width / 2}};
        for (std::size_t top = first_row; top < end_row; top += kTileRows) {
            const std::size_t bottom = std::min(end_row, top + kTileRows);
            RowTerms rows[kTileRows];
            std::size_t run_first[kTileRows];
            std::size_t run_end[kTileRows];
            for (std::size_t y = top; y < bottom; ++y) {
                const double plane_y = static_cast<double>(y) / params.scale + params.off_y;
                const std::size_t i = y - top;
                rows[i] = {h[1] * plane_y + h[2], h[4] * plane_y + h[5], h[7] * plane_y + h[8], false};
                run_first[i] = 0;
                run_end[i] = width;
                if (runs) rows[i].all_sampled = sampled_run(job, rows[i], guess, run_first[i], run_end[i]);
            }
            for (std::size_t left = 0; left < width; left += kTileColumns) {
                const std::size_t right = std::min(width, left + kTileColumns);
                for (std::size_t y = top; y < bottom; ++y) {
                    const std::size_t i = y - top;
                    check_range(y * row_length, row_length, expected, "warp output");
                    T* const out_row = out_data + y * row_length;
                    // Outside the run every pixel is 0.
                    const std::size_t first = std::min(std::max(left, run_first[i]), right);
                    const std::size_t end = std::max(std::min(right, run_end[i]), first);
                    std::fill(out_row + left * 3, out_row + first * 3, T{0});
                    std::fill(out_row + end * 3, out_row + right * 3, T{0});
                    if (first < end) span(job, rows[i], out_row, first, end);
                }
            }
        }
    });
    return out;
}

}  // namespace

void warp_span_portable(const WarpJob<std::uint8_t>& job, const RowTerms& row,
                        std::uint8_t* out_row, std::size_t first, std::size_t end) {
    warp_span(job, row, out_row, first, end);
}

void warp_span_portable(const WarpJob<std::uint16_t>& job, const RowTerms& row,
                        std::uint16_t* out_row, std::size_t first, std::size_t end) {
    warp_span(job, row, out_row, first, end);
}

const WarpRoutine kPortableRoutine = {"portable", warp_span_portable, warp_span_portable,
                                      std::numeric_limits<std::size_t>::max()};

const WarpRoutine* supported_warp_routine(const char* name) {
    if (std::strcmp(name, "portable") == 0) return &kPortableRoutine;
#ifdef LINARA_WARP_X86_ROUTINES
    const SimdLevel supported = supported_simd_level();
    const bool has_avx2 = supported >= SimdLevel::kAvx2;
    const bool has_avx512 = supported >= SimdLevel::kAvx512;
    if (std::strcmp(name, "avx2") == 0 && has_avx2) return &kAvx2Routine;
    if (std::strcmp(name, "avx512") == 0 && has_avx512) return &kAvx512Routine;
    if (std::strcmp(name, "avx512-gather") == 0 && has_avx512) return &kAvx512GatherRoutine;
#endif
    return nullptr;
}

const WarpRoutine& select_warp_routine(const char* requested) {
    if (requested) {
        if (const WarpRoutine* routine = supported_warp_routine(requested)) return *routine;
    }
    if (gathers_are_fast()) {
        if (const WarpRoutine* routine = supported_warp_routine("avx512-gather")) return *routine;
    }
    for (const char* name : {"avx512", "avx2"}) {
        if (const WarpRoutine* routine = supported_warp_routine(name)) return *routine;
    }
    return kPortableRoutine;
}

const WarpRoutine& chosen_warp_routine() {
    // At the widest level the fastest routine (with or without gathers); a
    // narrower level, asked for with LINARA_SIMD, names its own routine.
    static const WarpRoutine& chosen = simd_level() == SimdLevel::kAvx512
                                           ? select_warp_routine(nullptr)
                                           : select_warp_routine(simd_level_name(simd_level()));
    return chosen;
}

WarpResult<std::uint8_t> warp_rgb_with(const WarpRoutine& routine, const std::uint8_t* src,
                                       std::size_t length, std::size_t width, std::size_t height,
                                       const WarpParams& params) {
    return warp_rgb_impl(routine, src, length, width, height, params);
}

WarpResult<std::uint16_t> warp_rgb_with(const WarpRoutine& routine, const std::uint16_t* src,
                                        std::size_t length, std::size_t width, std::size_t height,
                                        const WarpParams& params) {
    return warp_rgb_impl(routine, src, length, width, height, params);
}

}  // namespace warp_internal

WarpResult<std::uint8_t> warp_rgb_buffer(const std::uint8_t* src, std::size_t length,
                                         std::size_t width, std::size_t height,
                                         const WarpParams& params) {
    return warp_internal::warp_rgb_with(warp_internal::chosen_warp_routine(), src, length, width,
                                        height, params);
}

WarpResult<std::uint16_t> warp_rgb_buffer(const std::uint16_t* src, std::size_t length,
                                          std::size_t width, std::size_t height,
                                          const WarpParams& params) {
    return warp_internal::warp_rgb_with(warp_internal::chosen_warp_routine(), src, length, width,
                                        height, params);
}

}  // namespace linara
