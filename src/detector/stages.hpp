#pragma once
// The stages of the detector, in the order a run calls them. Each lives in
// its own file, named for what it does.

#include <cstddef>
#include <cstdint>
#include <vector>

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

// subsample.cpp: output size of the sub-sampled image for a scale below 1.
struct SubsampledSize {
    std::size_t width;
    std::size_t height;
};
SubsampledSize subsampled_size(std::size_t width, std::size_t height, double scale);
// Weights w[0..2r] of the blur for a scale below 1, normalised to sum 1.
struct GaussianKernel {
    std::vector<double> weights;
    std::size_t radius = 0;
};
GaussianKernel gaussian_kernel(double scale);
// Full-size column (or row) that sub-sampled column (or row) i reads.
std::size_t subsample_source_index(std::size_t i, double scale, std::size_t size);
// Gaussian blur and point sampling to the size above (0 < scale < 1), of
// samples of any input type (uint8, uint16, float, double).
template <class T>
WorkImage gaussian_subsample(const T* samples, std::size_t width, std::size_t height, double scale);

// gradient.cpp: of samples of any input type, read through sample_value.
template <class T>
GradientField compute_gradient_field(const T* samples, std::size_t width, std::size_t height);

// ordering.cpp: pixels above the threshold, strongest magnitude bin first.
PixelOrder order_pixels(const GradientField& field, float threshold);

// region.cpp: grows a region of aligned pixels from `seed`, marks them used
// and returns the region angle.
double grow_aligned_region(PixelIndex seed, double tolerance, const GradientField& field,
                           UsedMap& used, Region& region, std::size_t width, std::size_t height);

// rectangle.cpp
void fit_line_rect(const Region& region, const GradientField& field, double region_angle,
                   double precision, std::size_t width, LineRect& rect);

// refinement.cpp: false when the candidate is dropped.
bool tighten_region(Region& region, LineRect& rect, UsedMap& used, const GradientField& field,
                    std::size_t min_size, std::size_t width, std::size_t height);

// nfa.cpp
double ln_gamma(double x);
double score_rect(const LineRect& rect, const GradientField& field, float magnitude_threshold,
                  double log_tests, std::size_t width, std::size_t height);
// -log10 of NT times the binomial tail P(X >= k), X ~ B(n, p).
double log_nfa_from_counts(std::size_t n, std::size_t k, double p, double log_tests);

// improvement.cpp: returns the best score; rect becomes the best rectangle.
double polish_rect(LineRect& rect, const GradientField& field, float magnitude_threshold,
                   double log_tests, std::size_t width, std::size_t height);

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
