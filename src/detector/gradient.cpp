#include <math.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/checked.hpp"
#include "common/cpu.hpp"
#include "common/huge_pages.hpp"
#include "common/interrupt.hpp"
#include "common/worker_pool.hpp"
#include "detector/hypot_bounds.hpp"
#include "detector/profile.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

// Cells of one field row from image rows `top` and `bottom`: for x < n =
// width - 1, gx and gy of the 2x2 window, m = hypot(gx, gy), and the cell
// (m, -gy / m, gx / m) rounded to float32, or zeros when m is not positive.
//
// m comes from a bracket [lo, hi] of the library's hypot (hypot_bounds.hpp),
// or is exact on an axis (hypot(d, 0) is |d|). The cell is computed from lo;
// it is m's cell when every float32 result is the same for any m in the
// bracket. For the magnitude that is float32(hi) = float32(lo). For a
// direction component q = g / lo (g being -gy or gx), g / m lies within a
// relative 2^-48 of q for every m in the bracket (hi / lo < 1 + 2^-48), so
// q (1 -+ 2^-47) enclose every rounded g / m, and rounding is monotonic:
// two products stand in for a second division. q itself is g times the
// rounded 1 / lo, within a relative 2^-52 of g / lo, which the margin
// of 2^-47 still covers (on an axis too, where m is lo). In the range
// tested, 1 / lo is a normal number, so that bound holds. Only the other
// pixels, marked pending, call the library. Every loop but the last runs across
// pixels and vectorises; each pixel's arithmetic is the one written.
// weak[x] becomes 1 where the cell's magnitude is not above `threshold`, 0
// elsewhere. Returns the number of library calls.
[[gnu::always_inline]] inline std::size_t gradient_row_body(const double* top, const double* bottom,
                                                           GradientCell* out, std::size_t width,
                                                           double* gx, double* gy,
                                                           std::uint8_t* pending, float threshold,
                                                           std::uint8_t* weak) {
    const std::size_t n = width - 1;
    for (std::size_t x = 0; x < n; ++x) {
        const double a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
        gx[x] = (((b + d) - a) - c) * 0.5;
        gy[x] = (((c + d) - a) - b) * 0.5;
    }
    // Branch-free (bitwise & and |) so that the loop vectorises.
    const bool brackets = g_hypot_brackets_hold;
    for (std::size_t x = 0; x < n; ++x) {
        const double a = gx[x], b = gy[x];
        const double ax = fabs(a), ay = fabs(b);
        const double big = ax > ay ? ax : ay;
        const bool axis = (a == 0.0) | (b == 0.0);
        const double r = sqrt(a * a + b * b);
        const double lo = axis ? ax + ay : r * kHypotBracketLow;
        const double hi = axis ? ax + ay : r * kHypotBracketHigh;
        const float magnitude = static_cast<float>(lo);
        const double inverse = 1.0 / lo;
        const double qx = -b * inverse, qy = a * inverse;
        const float dir_x = static_cast<float>(qx);
        const float dir_y = static_cast<float>(qy);
        const bool zero = axis & !(lo > 0.0);
        const bool in_range = (big >= 0x1p-500) & (ax <= 0x1p500) & (ay <= 0x1p500);
        constexpr double kDown = 1.0 - 0x1p-47, kUp = 1.0 + 0x1p-47;
        const bool same = (magnitude == static_cast<float>(hi)) &
                          (dir_x == static_cast<float>(qx * kDown)) & (dir_x == static_cast<float>(qx * kUp)) &
                          (dir_y == static_cast<float>(qy * kDown)) & (dir_y == static_cast<float>(qy * kUp));
        const bool decided = zero | (in_range & (axis | brackets) & same);
        const float kept = zero ? 0.0f : magnitude;
        out[x].magnitude = kept;
        out[x].dir_x = zero ? 0.0f : dir_x;
        out[x].dir_y = zero ? 0.0f : dir_y;
        pending[x] = !decided;
        weak[x] = kept > threshold ? 0 : 1;
    }
    std::size_t calls = 0;
    for (std::size_t x = 0; x < n; ++x) {
        // Pending pixels are rare: eight flags are looked at together.
        if (x % 8 == 0 && n - x >= 8) {
            std::uint64_t eight;
            std::memcpy(&eight, pending + x, sizeof eight);
            if (eight == 0) {
                x += 7;
                continue;
            }
        }
        if (!pending[x]) continue;
        ++calls;
        const double a = gx[x], b = gy[x];
        const double m = hypot(a, b);
        // A zero or NaN norm gives the zero cell: no direction there.
        if (m > 0.0)
            out[x] = {static_cast<float>(m), static_cast<float>(-b / m), static_cast<float>(a / m)};
        else
            out[x] = {0.0f, 0.0f, 0.0f};
        weak[x] = out[x].magnitude > threshold ? 0 : 1;
    }
    return calls;
}

using RowFunction = std::size_t (*)(const double*, const double*, GradientCell*, std::size_t,
                                    double*, double*, std::uint8_t*, float, std::uint8_t*);

std::size_t gradient_row_portable(const double* top, const double* bottom, GradientCell* out,
                                  std::size_t width, double* gx, double* gy, std::uint8_t* pending,
                                  float threshold, std::uint8_t* weak) {
    return gradient_row_body(top, bottom, out, width, gx, gy, pending, threshold, weak);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::size_t gradient_row_avx2(const double* top, const double* bottom,
                                                              GradientCell* out, std::size_t width,
                                                              double* gx, double* gy,
                                                              std::uint8_t* pending, float threshold,
                                                              std::uint8_t* weak) {
    return gradient_row_body(top, bottom, out, width, gx, gy, pending, threshold, weak);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw"))) std::size_t gradient_row_avx512(
    const double* top, const double* bottom, GradientCell* out, std::size_t width, double* gx,
    double* gy, std::uint8_t* pending, float threshold, std::uint8_t* weak) {
    return gradient_row_body(top, bottom, out, width, gx, gy, pending, threshold, weak);
}
#endif

RowFunction gradient_row_function() {
#if defined(__x86_64__)
    static const RowFunction chosen = routine_for_level(gradient_row_portable, gradient_row_avx2, gradient_row_avx512);
#else
    static const RowFunction chosen = gradient_row_portable;
#endif
    return chosen;
}

// Marks the weak cells of one field row, whose first cell is pixel `first`
// of the map: bit first + x for weak[x] = 1. Bytes that hold bits of the
// row alone are stored; the one or two it shares with the rows beside it,
// which other threads may be marking, take its bits by an atomic OR (the
// map starts clear).
void mark_weak_row(const std::uint8_t* weak, std::size_t n, std::uint8_t* bytes, std::size_t first) {
    auto share = [&](std::size_t byte, unsigned bits) {
        if (bits != 0) __atomic_fetch_or(bytes + byte, static_cast<std::uint8_t>(bits), __ATOMIC_RELAXED);
    };
    std::size_t x = 0;
    if (first % 8 != 0) {
        unsigned bits = 0;
        for (; x < n && (first + x) % 8 != 0; ++x) bits |= static_cast<unsigned>(weak[x]) << ((first + x) % 8);
        share(first / 8, bits);
    }
    // Eight flags of one byte each (0 or 1) packed into the bits of one.
    for (; n - x >= 8; x += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, weak + x, sizeof eight);
        bytes[(first + x) / 8] = static_cast<std::uint8_t>((eight * 0x0102040810204080u) >> 56);
    }
    if (x < n) {
        unsigned bits = 0;
        for (std::size_t k = 0; x + k < n; ++k) bits |= static_cast<unsigned>(weak[x + k]) << k;
        share((first + x) / 8, bits);
    }
}

// The field of a height x width image whose float64 rows come from
// `make_source()`, one source per band: source(y, buffer) returns row y,
// either in place or written into `buffer`. Field row y reads image rows
// y and y + 1 and writes only field row y; the last row and column keep
// their zeros. Rows lie `stride` cells apart; the cells from the image's
// last column to the stride are zero cells like it.
template <class MakeSource>
GradientField gradient_field(std::size_t width, std::size_t height, std::size_t stride,
                             WeakCells* weak, const MakeSource& make_source) {
    profile::Timer timer(profile::Stage::kGradient);
    if (stride < width) throw InternalError("a gradient field row is shorter than the image row");
    if (width < 2 || height < 2) {
        GradientField zeros(stride * height);
        zeros.max_magnitude = 0.0f;
        return zeros;
    }
    // Every cell is written below, the last row and columns with zeros.
    GradientField field(stride * height, Fill::kNone);
    GradientCell* cells = field.data();
    // The seed loop reads the field at scattered places, so a large field
    // on 4 KiB pages costs a TLB miss on nearly every seed. On huge pages
    // those misses go. The bands write the field a row at a time and poll
    // for an interrupt between rows, so the slower fault of a fresh huge
    // page never keeps an interrupt waiting for long.
    advise_huge_pages(cells, field.size() * sizeof(GradientCell));
    std::fill(cells + (height - 1) * stride, cells + height * stride, GradientCell{0.0f, 0.0f, 0.0f});
    const RowFunction row_function = gradient_row_function();
    // Each row's largest magnitude, taken while the row is still in cache,
    // saves the seed ordering a pass over the whole field.
    std::vector<float> row_max(height - 1, 0.0f);
    // The last row, and each row from the image's last column on, hold
    // zero cells, weak unless the threshold is below 0.
    std::uint8_t* weak_bytes = nullptr;
    const float threshold = weak ? weak->threshold : 0.0f;
    const std::uint8_t zero_is_weak = 0.0f > threshold ? 0 : 1;
    if (weak) {
        weak->map = UsedMap(stride * height);
        weak_bytes = weak->map.bits();
        const std::vector<std::uint8_t> last_row(stride, zero_is_weak);
        mark_weak_row(last_row.data(), stride, weak_bytes, (height - 1) * stride);
    }
    parallel_bands(height - 1, [&](std::size_t first, std::size_t end) {
        auto source = make_source();
        std::vector<double> rows(2 * width), gx(width), gy(width);
        // The row function sets the flags of the first width - 1 cells; the
        // zero cells after them keep the flag they start with.
        std::vector<std::uint8_t> pending(width), weak_flags(stride, zero_is_weak);
        double* top_buffer = rows.data();
        double* bottom_buffer = rows.data() + width;
        const double* top = source(first, top_buffer);
        std::size_t calls = 0;
        for (std::size_t y = first; y < end; ++y) {
            poll_interrupt();
            const double* bottom = source(y + 1, bottom_buffer);
            GradientCell* const row = cells + y * stride;
            check_range(y * stride, stride, field.size(), "gradient field");
            calls += row_function(top, bottom, row, width, gx.data(), gy.data(), pending.data(),
                                  threshold, weak_flags.data());
            std::fill(row + width - 1, row + stride, GradientCell{0.0f, 0.0f, 0.0f});
            row_max[y] = largest_magnitude(row, width - 1);
            if (weak_bytes) mark_weak_row(weak_flags.data(), stride, weak_bytes, y * stride);
            top = bottom;
            std::swap(top_buffer, bottom_buffer);
        }
        if (profile::g_enabled) {
            std::size_t needed = 0;
            for (std::size_t y = first; y < end; ++y)
                for (std::size_t x = 0; x + 1 < width; ++x) needed += cells[y * stride + x].magnitude > 0.0f;
            profile::add(profile::Counter::kHypotNeeded, needed);
            profile::add(profile::Counter::kHypotCalled, calls);
        }
    });
    float max = 0.0f;
    for (float m : row_max)
        if (m > max) max = m;
    field.max_magnitude = max;
    return field;
}

}  // namespace

template <class T>
GradientField compute_gradient_field(const T* samples, std::size_t width, std::size_t height,
                                     std::size_t stride, WeakCells* weak) {
    const std::size_t count = width * height;
    return gradient_field(width, height, stride, weak, [&] {
        return [&](std::size_t y, double* buffer) -> const double* {
            check_range(y * width, width, count, "image");
            const T* row = samples + y * width;
            if constexpr (std::is_same_v<T, double>) {
                return row;
            } else {
                for (std::size_t x = 0; x < width; ++x) buffer[x] = sample_value(row[x]);
                return buffer;
            }
        };
    });
}

template <class T>
GradientField compute_subsampled_gradient_field(const T* samples, const SubsamplePlan& plan,
                                                std::size_t stride, WeakCells* weak) {
    return gradient_field(plan.width, plan.height, stride, weak, [&] {
        return [rows = SubsampledRows<T>(plan, samples)](std::size_t y, double* buffer) mutable {
            rows.row(y, buffer);
            return static_cast<const double*>(buffer);
        };
    });
}

template GradientField compute_gradient_field(const double*, std::size_t, std::size_t, std::size_t,
                                              WeakCells*);
template GradientField compute_gradient_field(const float*, std::size_t, std::size_t, std::size_t,
                                              WeakCells*);
template GradientField compute_gradient_field(const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                                              WeakCells*);
template GradientField compute_gradient_field(const std::uint16_t*, std::size_t, std::size_t, std::size_t,
                                              WeakCells*);
template GradientField compute_subsampled_gradient_field(const double*, const SubsamplePlan&, std::size_t,
                                                         WeakCells*);
template GradientField compute_subsampled_gradient_field(const float*, const SubsamplePlan&, std::size_t,
                                                         WeakCells*);
template GradientField compute_subsampled_gradient_field(const std::uint8_t*, const SubsamplePlan&, std::size_t,
                                                         WeakCells*);
template GradientField compute_subsampled_gradient_field(const std::uint16_t*, const SubsamplePlan&, std::size_t,
                                                         WeakCells*);

}  // namespace linara
