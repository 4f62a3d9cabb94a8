#include <math.h>

#include "common/checked.hpp"
#include "common/saturate.hpp"
#include "detector/stages.hpp"

namespace linara {

double ln_gamma(double x) {
    if (x >= 15.0) {
        // Windschitl's approximation.
        return 0.918938533204673 + (x - 0.5) * log(x) - x +
               0.5 * x * log(x * sinh(1.0 / x) + 1.0 / (810.0 * pow(x, 6.0)));
    }
    // Lanczos' approximation with seven coefficients.
    return log(75122.633153 + 80916.6278952 * x + 36308.2951477 * pow(x, 2.0) +
               8687.24529705 * pow(x, 3.0) + 1168.92649479 * pow(x, 4.0) +
               83.8676043424 * pow(x, 5.0) + 2.50662827511 * pow(x, 6.0)) +
           (x + 0.5) * log(x + 5.5) - (x + 5.5) - log(x) - log(x + 1.0) - log(x + 2.0) -
           log(x + 3.0) - log(x + 4.0) - log(x + 5.0) - log(x + 6.0);
}

double log_nfa_from_counts(std::size_t n, std::size_t k, double p, double log_tests) {
    if (n == 0 || k == 0) return -log_tests;
    const double dn = static_cast<double>(n);
    const double dk = static_cast<double>(k);
    if (k == n) return -log_tests - dk * log10(p);

    // First term of the binomial tail, in logarithms.
    const double lt = ln_gamma(dn + 1.0) - ln_gamma(dk + 1.0) - ln_gamma(dn - dk + 1.0) +
                      dk * log(p) + (dn - dk) * log(1.0 - p);
    double term = exp(lt);
    if (term == 0.0) {
        // Underflow: the first term alone decides.
        if (dn * p < dk) return lt / -2.302585092994046 - log_tests;
        return -log_tests;
    }

    // Sum the tail until the rest is bounded well below the result.
    double tail = term;
    const double ratio = p / (1.0 - p);
    for (std::size_t i = k + 1; i <= n; ++i) {
        const double remaining = static_cast<double>(n - i + 1);
        const double a = remaining / static_cast<double>(i);
        const double q = ratio * a;
        term = term * q;
        tail = tail + term;
        if (a < 1.0) {
            const double bound = term * ((1.0 - pow(q, remaining)) / (1.0 - q) - 1.0);
            if (0.1 * fabs(-log10(tail) - log_tests) * tail > bound) break;
        }
    }
    return -log10(tail) - log_tests;
}

namespace {

// The columns of each row that can lie inside a rectangle: an interval that
// holds every pixel the inside test accepts, with a margin for rounding, or
// the whole window when the geometry gives no reliable bound. The inside
// test still decides each pixel, so this only saves work: a thin slanted
// rectangle covers a small part of its bounding box.
//
// With fx = x - cx, the test |ax fx + ay fy| <= hl bounds fx to within
// hl / |ax| of -(ay / ax) fy, and |ax fy - ay fx| <= hw to within hw / |ay|
// of (ax / ay) fy. A coefficient below 1/1024 would blow rounding errors
// up, so its bound is not used; for a unit axis at least one is far above.
class RowSpans {
public:
    RowSpans(const LineRect& rect, double cx, double half_length, double half_width, double x_lo,
             double x_hi)
        : cx_(cx), x_lo_(x_lo), x_hi_(x_hi) {
        const double ax = rect.axis_x, ay = rect.axis_y;
        usable_ = x_hi - x_lo >= 8.0 && isfinite(ax) && isfinite(ay) && isfinite(cx) &&
                  isfinite(half_length) && isfinite(half_width);
        if (!usable_) return;
        constexpr double kMinSlope = 1.0 / 1024.0;
        along_ = fabs(ax) >= kMinSlope;
        across_ = fabs(ay) >= kMinSlope;
        if (along_) {
            along_slope_ = -ay / ax;
            along_half_ = half_length / fabs(ax);
        }
        if (across_) {
            across_slope_ = ax / ay;
            across_half_ = half_width / fabs(ay);
        }
        margin_ = 1.0 + 1e-6 * (1.0 + fabs(cx) + half_length + half_width);
    }

    // First and last column of the row at fy = y - cy, clamped to the window.
    void columns(double fy, double& first, double& last) const {
        if (!usable_ || !isfinite(fy)) {
            first = x_lo_;
            last = x_hi_;
            return;
        }
        double lo = -HUGE_VAL, hi = HUGE_VAL;
        const double margin = margin_ + 1e-6 * fabs(fy);
        if (along_) {
            const double centre = along_slope_ * fy;
            lo = centre - along_half_;
            hi = centre + along_half_;
        }
        if (across_) {
            const double centre = across_slope_ * fy;
            lo = fmax(lo, centre - across_half_);
            hi = fmin(hi, centre + across_half_);
        }
        first = fmax(x_lo_, ceil(cx_ + lo - margin));
        last = fmin(x_hi_, floor(cx_ + hi + margin));
    }

private:
    double cx_, x_lo_, x_hi_;
    bool usable_ = false, along_ = false, across_ = false;
    double along_slope_ = 0, along_half_ = 0, across_slope_ = 0, across_half_ = 0, margin_ = 0;
};

// A tall rectangle's rows lie a field row apart, where no hardware
// prefetcher looks; on a field too large for the caches each row would
// wait for memory. So the scan asks for the two ends of the row
// kPrefetchRowsAhead further down (a thin one's cells are one or two cache
// lines; the lines between the ends of a wide one follow in order). Only
// hints: no result depends on them.
constexpr std::size_t kPrefetchFieldCells = (std::size_t{64} << 20) / sizeof(GradientCell);
constexpr std::size_t kPrefetchRows = 64;
constexpr std::size_t kPrefetchRowsAhead = 8;

void prefetch_row(const RowSpans& spans, const GradientField& field, std::size_t y, double fy,
                  std::size_t stride) {
    double first, last;
    spans.columns(fy, first, last);
    if (!(first <= last)) return;
    const std::size_t row = y * stride;
    const std::size_t a = row + static_cast<std::size_t>(first);
    const std::size_t b = row + static_cast<std::size_t>(last);
    if (b < field.size()) {
        __builtin_prefetch(field.data() + a);
        __builtin_prefetch(field.data() + b);
    }
}

}  // namespace

double score_rect(const LineRect& rect, const GradientField& field, float magnitude_threshold,
                  double log_tests, std::size_t width, std::size_t height, std::size_t stride) {
    const double cx = (rect.x1 + rect.x2) * 0.5;
    const double cy = (rect.y1 + rect.y2) * 0.5;
    const double half_length = hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * 0.5;
    const double half_width = rect.width * 0.5;

    // Bounding box of the rectangle, clamped to the image.
    const double ex = half_length * fabs(rect.axis_x) + half_width * fabs(rect.axis_y);
    const double ey = half_length * fabs(rect.axis_y) + half_width * fabs(rect.axis_x);
    const std::size_t x_lo = saturating_cast<std::size_t>(floor(cx - ex));
    const std::size_t y_lo = saturating_cast<std::size_t>(floor(cy - ey));
    std::size_t x_hi = saturating_cast<std::size_t>(ceil(cx + ex));
    std::size_t y_hi = saturating_cast<std::size_t>(ceil(cy + ey));
    if (x_hi > width - 1) x_hi = width - 1;
    if (y_hi > height - 1) y_hi = height - 1;

    const float cos_tolerance = static_cast<float>(cos(rect.tolerance));
    const float axis_x = static_cast<float>(rect.axis_x);
    const float axis_y = static_cast<float>(rect.axis_y);

    std::size_t n = 0, k = 0;
    if (y_lo <= y_hi && x_lo <= x_hi) {
        const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");
        const RowSpans spans(rect, cx, half_length, half_width, static_cast<double>(x_lo),
                             static_cast<double>(x_hi));
        const bool prefetching = field.size() >= kPrefetchFieldCells && y_hi - y_lo >= kPrefetchRows;
        for (std::size_t y = y_lo; y <= y_hi; ++y) {
            const double fy = static_cast<double>(y) - cy;
            if (prefetching && y_hi - y >= kPrefetchRowsAhead)
                prefetch_row(spans, field, y + kPrefetchRowsAhead, fy + kPrefetchRowsAhead, stride);
            double first_column, last_column;
            spans.columns(fy, first_column, last_column);
            if (!(first_column <= last_column)) continue;
            const auto first = static_cast<std::size_t>(first_column);
            const auto last = static_cast<std::size_t>(last_column);
            const GradientCell* row = cells.span(y * stride + first, last - first + 1) - first;
            for (std::size_t x = first; x <= last; ++x) {
                const double fx = static_cast<double>(x) - cx;
                const double along = rect.axis_x * fx + rect.axis_y * fy;
                const double across = rect.axis_x * fy - rect.axis_y * fx;
                if (fabs(along) > half_length || fabs(across) > half_width) continue;
                ++n;
                const GradientCell& cell = row[x];
                if (cell.magnitude > magnitude_threshold &&
                    cell.dir_x * axis_x + cell.dir_y * axis_y >= cos_tolerance)
                    ++k;
            }
        }
    }
    return log_nfa_from_counts(n, k, rect.precision, log_tests);
}

}  // namespace linara
