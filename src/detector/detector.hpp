#pragma once
// The line segment detector: finds validated straight segments in a
// grayscale image held in a plain row-major buffer. Nothing here depends on
// Python or NumPy.

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "common/errors.hpp"
#include "common/block_cache.hpp"
#include "common/heap_array.hpp"

namespace linara {

// Row-major index y * width + x of a working-image pixel.
using PixelIndex = std::uint32_t;

// Largest pixel count a working image may have: indices are 32-bit.
constexpr std::size_t kMaxPixels = 0xFFFFFFFFu;

// True when a width x height image fits the 32-bit pixel index.
bool fits_pixel_index(std::size_t width, std::size_t height);

// A sub-sampled working image: row-major float64 samples and dimensions.
// (At scale 1 and above the detector works on the input buffer itself.)
struct WorkImage {
    HeapArray<double> samples;
    std::size_t width = 0;
    std::size_t height = 0;
};

// Gradient of the 2x2 window whose top-left pixel is this cell: the norm and
// the unit level-line direction (the gradient turned a quarter turn). Cells
// without a defined gradient, and the last row and column, are all zero.
struct GradientCell {
    float magnitude;
    float dir_x;
    float dir_y;
};
// The cells, row-major; zero-filled when constructed with a size alone.
// `max_magnitude` is the largest magnitude of the cells when the code that
// filled them has recorded it on the way, and negative otherwise.
class GradientField : public CachedArray<GradientCell> {
public:
    GradientField() = default;
    using CachedArray<GradientCell>::CachedArray;

    float max_magnitude = -1.0f;
};

// One bit per pixel: clear = free to seed or join a region, set = used. A
// bit, not a byte, so that the map of a large image stays in cache.
class UsedMap {
public:
    UsedMap() = default;
    explicit UsedMap(std::size_t pixels) : bits_((pixels + 7) / 8, Fill::kZero), size_(pixels) {}

    std::size_t size() const { return size_; }
    bool operator[](std::size_t i) const { return (bits_[i >> 3] >> (i & 7)) & 1u; }
    void set(std::size_t i, bool used) {
        const auto bit = static_cast<std::uint8_t>(1u << (i & 7));
        bits_[i >> 3] = static_cast<std::uint8_t>(used ? bits_[i >> 3] | bit : bits_[i >> 3] & ~bit);
    }
    // Bit i % 8 of byte i / 8 is pixel i.
    std::uint8_t* bits() const { return bits_.data(); }

private:
    CachedArray<std::uint8_t> bits_;
    std::size_t size_ = 0;
};

// Pixel indices in the order the seed loop visits them.
using PixelOrder = std::vector<PixelIndex>;

// A rectangle around a centre line from (x1, y1) to (x2, y2) in working-image
// pixels, along the unit direction (axis_x, axis_y).
struct LineRect {
    double x1, y1, x2, y2;
    double width;
    double axis_x, axis_y;
    double tolerance;  // angle within which a pixel counts as aligned
    double precision;  // probability that a pixel is aligned by chance
};

// One detected segment in input-image coordinates.
struct SegmentRecord {
    double x1, y1, x2, y2;
    double width;
    double precision;
    double log_nfa;  // -log10 of the number of false alarms
};

// The fixed values of one detection run.
struct DetectionParams {
    double tolerance;
    double precision;
    float magnitude_threshold;
    double log_tests;
    std::size_t min_size;
    double inverse_scale;
};

DetectionParams make_detection_params(std::size_t width, std::size_t height, double scale);

using DetectResult = std::variant<std::vector<SegmentRecord>, SizeMismatch>;

// Finds the validated segments of a width x height row-major image of
// `count` samples, longest first. A `scale` below 1 sub-samples the image
// first; 1 or more, or NaN, does not. uint16 samples are divided by 257.
// Throws InputTooLarge for images of 2^32 pixels or more.
DetectResult detect_segments(const std::uint8_t* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale);
DetectResult detect_segments(const std::uint16_t* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale);
DetectResult detect_segments(const float* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale);
DetectResult detect_segments(const double* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale);

}  // namespace linara
