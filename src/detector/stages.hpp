#pragma once
// The stages of the detector, in the order a run calls them. Each lives in
// its own file, named for what it does.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/saturate.hpp"
#include "detector/detector.hpp"

namespace linara {

// pi and 2 pi as the nearest float64 values.
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
// pi / 8, the angle tolerance of region growing and of a fresh rectangle.
constexpr double kDefaultTolerance = 0.39269908169872414;
constexpr double kDefaultPrecision = 0.125;

// A sample as the detector works on it: float64, uint16 scaled to 0..255
// by a true division by 257.
inline double sample_value(double v) { return v; }
inline double sample_value(float v) { return static_cast<double>(v); }
inline double sample_value(std::uint8_t v) { return static_cast<double>(v); }
inline double sample_value(std::uint16_t v) { return static_cast<double>(v) / 257.0; }

// ---- subsample.cpp: Gaussian blur and point sampling for a scale below 1.

struct SubsampledSize {
    std::size_t width;
    std::size_t height;
};
SubsampledSize subsampled_size(std::size_t width, std::size_t height, double scale);
// Weights w[0..2r] of the blur, normalised to sum 1.
struct GaussianKernel {
    std::vector<double> weights;
    std::size_t radius = 0;
};
GaussianKernel gaussian_kernel(double scale);
// Full-size column (or row) that sub-sampled column (or row) i reads.
std::size_t subsample_source_index(std::size_t i, double scale, std::size_t size);

// Everything a sub-sampling of one image size and scale needs (0 < scale < 1).
struct SubsamplePlan {
    SubsamplePlan(std::size_t input_width, std::size_t input_height, double scale);
    std::size_t input_width, input_height;
    std::size_t width, height;  // of the result
    double scale;
    GaussianKernel kernel;
    std::vector<std::size_t> columns;  // source column of each result column
};

// Rows of the blurred, sub-sampled image, one at a time and in any order.
// It blurs only the input rows that a requested row reads (at the sampled
// columns only) and keeps the most recent ones, so a run of ascending rows
// blurs each input row once. One instance per thread.
template <class T>
class SubsampledRows {
public:
    SubsampledRows(const SubsamplePlan& plan, const T* samples);
    // Writes result row j (plan.width values) to out.
    void row(std::size_t j, double* out);

private:
    const double* blurred_row(std::size_t y);

    const SubsamplePlan& plan_;
    const T* samples_;
    std::vector<double> input_row_, full_row_;
    std::vector<double> ring_;           // horizontally blurred rows, plan.width each
    std::vector<std::size_t> ring_rows_;  // input row held by each ring slot
    std::vector<const double*> rows_;     // the ring rows one result row reads
};

// The whole blurred, sub-sampled image, computed on the worker pool.
template <class T>
WorkImage gaussian_subsample(const T* samples, std::size_t width, std::size_t height, double scale);

// ---- gradient.cpp

// The cells of a field whose magnitude is not above `threshold`, one bit
// each in the layout of the used map: the seed ordering's starting map,
// which the gradient can mark while each row is in cache.
struct WeakCells {
    float threshold;
    UsedMap map;
};

// The row stride, in cells, of the gradient field of an image `width`
// wide: the least multiple of 16 at or above the width whose quotient by 16
// is odd. A row of 12-byte cells then spans an odd number of 64-byte cache
// lines, so a walk down a column visits every cache set. With a row of a
// power of two times a few lines, as images 1024 or 2560 wide give at the
// common scales, such a walk would keep to a few sets, and a long region
// or rectangle running down the image would evict its own cells. The
// cells past the image's last column are zero cells like the column
// itself, weak and so used from the start: no region enters them. The
// used map has the same layout.
inline std::size_t field_stride(std::size_t width) {
    std::size_t stride = (width + 15) / 16 * 16;
    if (stride / 16 % 2 == 0) stride += 16;
    return stride;
}

// Gradient field of the image itself, its samples read through sample_value,
// its rows `stride` cells apart (stride >= width). With `weak`, its map
// becomes the field's weak cells for its threshold, in the same layout.
template <class T>
GradientField compute_gradient_field(const T* samples, std::size_t width, std::size_t height,
                                     std::size_t stride, WeakCells* weak = nullptr);
// Gradient field of the sub-sampled image, whose rows are made as the
// gradient needs them and never stored whole.
template <class T>
GradientField compute_subsampled_gradient_field(const T* samples, const SubsamplePlan& plan,
                                                std::size_t stride, WeakCells* weak = nullptr);

// The largest magnitude among n cells, 0 when none is positive. A magnitude
// replaces the maximum only when it is larger (never NaN, never -0 over
// +0), so the value does not depend on the order the cells are visited in;
// four running maxima, merged at the end, avoid one long chain of
// comparisons.
inline float largest_magnitude(const GradientCell* cells, std::size_t n) {
    float max[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t k = 0; k < 4; ++k)
            if (cells[i + k].magnitude > max[k]) max[k] = cells[i + k].magnitude;
    }
    for (; i < n; ++i)
        if (cells[i].magnitude > max[0]) max[0] = cells[i].magnitude;
    for (std::size_t k = 1; k < 4; ++k)
        if (max[k] > max[0]) max[0] = max[k];
    return max[0];
}

// ---- ordering.cpp

// The seeds of a run and the used map it starts from.
struct SeedPlan {
    CachedArray<PixelIndex> order;  // pixels above the threshold, strongest magnitude bin first
    UsedMap used;      // used where the magnitude is not above the threshold
    float max_magnitude = 0.0f;
};
// The bin of magnitude m in the order, m > 0 and max the largest magnitude;
// a higher bin comes first, and pixels of one bin in ascending index.
// 1023 equal bins below the maximum, bin 1023 for the maximum itself, in
// float32 arithmetic. Inline: speculative runs ask for it at every pixel
// they take.
constexpr std::uint32_t kSeedBins = 1024;
inline std::uint32_t seed_bin(float m, float max) {
    const float q = m / max;
    const float p = q * 1023.0f;
    return std::min(saturating_cast<std::uint32_t>(static_cast<double>(p)), kSeedBins - 1);
}
// Whether pixel a comes before pixel b in the order of a field whose
// largest magnitude is `max`: the higher bin first, then the lower index.
// Bins grow with the magnitude, so most pairs need no bin: a pixel at least
// as strong as the other and before it comes first, one at most as strong
// and after it does not. b_bin() gives b's bin when it is needed.
template <class BinOfB>
inline bool precedes_in_order(float a_magnitude, std::size_t a, float b_magnitude, std::size_t b,
                              float max, BinOfB&& b_bin) {
    if (a_magnitude >= b_magnitude && a < b) return true;
    if (a_magnitude <= b_magnitude && a > b) return false;
    const std::uint32_t bin_a = seed_bin(a_magnitude, max);
    const std::uint32_t bin_b = b_bin();
    return bin_a > bin_b || (bin_a == bin_b && a < b);
}
// `weak`, when not empty, is the field's weak cells for `threshold`
// (WeakCells), which become the plan's used map.
SeedPlan plan_seeds(const GradientField& field, float threshold, UsedMap weak = {});
PixelOrder order_pixels(const GradientField& field, float threshold);

// ---- region.cpp

// One pixel of a region, with what the rectangle fit needs of it.
struct RegionPixel {
    std::uint32_t x;
    std::uint32_t y;
    float magnitude;
    PixelIndex index(std::size_t width) const {
        return y * static_cast<PixelIndex>(width) + x;
    }
};
// Pixels of one grown region, seed first.
using Region = std::vector<RegionPixel>;

// A region of the given pixels, their coordinates and magnitudes filled in.
Region make_region(const std::vector<PixelIndex>& indices, const GradientField& field,
                   std::size_t width);
std::vector<PixelIndex> region_indices(const Region& region, std::size_t width);

// The sum of a region's level-line vectors; its angle is the region angle.
struct DirectionSum {
    double x, y;
    double angle() const;  // atan2(y, x)
};

// Grows a region of aligned pixels from `seed`, marks its pixels used and
// returns their direction sum. `cos_tolerance` is cos(tolerance), which
// callers with a fixed tolerance compute once. `Used` is one of the
// used-map views of used_access.hpp.
template <class Used>
DirectionSum grow_region(PixelIndex seed, double cos_tolerance, const GradientField& field, Used& used,
                         Region& region, std::size_t width, std::size_t height);
// The same from the tolerance, returning the region angle.
double grow_aligned_region(PixelIndex seed, double tolerance, const GradientField& field,
                           UsedMap& used, Region& region, std::size_t width, std::size_t height);

// ---- rectangle.cpp

// The first pass of a fit: the weights and weighted coordinates, summed in
// region order.
struct CentreSums {
    double total = 0.0;
    double sum_x = 0.0;
    double sum_y = 0.0;
    void add(const RegionPixel& p) {
        const double m = p.magnitude;
        total = total + m;
        sum_x = sum_x + m * static_cast<double>(p.x);
        sum_y = sum_y + m * static_cast<double>(p.y);
    }
};
void fit_line_rect(const Region& region, double region_angle, double precision, LineRect& rect);
// The same fit from the sums of its first pass over `region`.
void fit_line_rect(const Region& region, const CentreSums& sums, double region_angle,
                   double precision, LineRect& rect);

// ---- refinement.cpp

// False when the candidate is dropped.
template <class Used>
bool tighten_region(Region& region, LineRect& rect, Used& used, const GradientField& field,
                    std::size_t min_size, std::size_t width, std::size_t height);
// The same on a used map that no other thread reads.
bool tighten_region(Region& region, LineRect& rect, UsedMap& used, const GradientField& field,
                    std::size_t min_size, std::size_t width, std::size_t height);

// ---- nfa.cpp

double ln_gamma(double x);
// The field's rows lie `stride` cells apart; the rectangle is clipped to
// the width x height image.
double score_rect(const LineRect& rect, const GradientField& field, float magnitude_threshold,
                  double log_tests, std::size_t width, std::size_t height, std::size_t stride);
// -log10 of NT times the binomial tail P(X >= k), X ~ B(n, p).
double log_nfa_from_counts(std::size_t n, std::size_t k, double p, double log_tests);

// ---- improvement.cpp: returns the best score; rect becomes the best rectangle.

double polish_rect(LineRect& rect, const GradientField& field, float magnitude_threshold,
                   double log_tests, std::size_t width, std::size_t height, std::size_t stride);

// ---- seed_loop.cpp: every seed of the pixel order, in order; the records
// of the validated candidates in the order their seeds came.

// The field is the gradient of a width x height image, its rows `stride`
// cells apart (compute_gradient_field), and `weak` its weak cells.
std::vector<SegmentRecord> find_segments(const GradientField& field, std::size_t width,
                                         std::size_t height, std::size_t stride,
                                         const DetectionParams& params, UsedMap weak = {});

// Column and row of a pixel index.
struct PixelXY {
    std::uint32_t x;
    std::uint32_t y;
};

// Splits pixel indices of an image `width` pixels wide into column and row.
// The division by the width is a multiplication by a 64-bit reciprocal
// rounded up, which is exact for every 32-bit index and width of at least 2.
class IndexSplitter {
public:
    explicit IndexSplitter(std::size_t width)
        : width_(static_cast<std::uint32_t>(width)),
          reciprocal_(width_ > 1 ? UINT64_MAX / width_ + 1 : 0) {}

    PixelXY operator()(PixelIndex i) const {
        if (width_ <= 1) return {0, i};
        __extension__ using u128 = unsigned __int128;
        const auto y = static_cast<std::uint32_t>((static_cast<u128>(reciprocal_) * i) >> 64);
        return {i - y * width_, y};
    }

private:
    std::uint32_t width_;
    std::uint64_t reciprocal_;
};

}  // namespace linara
