#include <math.h>

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"
#include "common/saturate.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

// Bits 0x40A73D75: the float32 nearest to 2 / sin(pi / 8).
constexpr float kMagnitudeThreshold = 5.22625207901000976562f;
// log10(11), written out: a run-time log10 may round it one step lower.
constexpr double kLog10Of11 = 1.0413926851582251;
// log10(8) = -log10(0.125).
constexpr double kLog10Of8 = 0.9030899869919435;

// Length of a record as the output order sees it.
double record_length(const SegmentRecord& r) { return hypot(r.x2 - r.x1, r.y2 - r.y1); }

// Maps a float64 to an integer whose order is IEEE 754 totalOrder.
std::int64_t total_order_key(double value) {
    std::int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

SegmentRecord make_record(const LineRect& rect, double log_nfa, double inverse_scale) {
    return {(rect.x1 + 0.5) * inverse_scale, (rect.y1 + 0.5) * inverse_scale,
            (rect.x2 + 0.5) * inverse_scale, (rect.y2 + 0.5) * inverse_scale,
            rect.width * inverse_scale,      rect.precision,
            log_nfa};
}

// The seed loop over a finished gradient field of the working image.
std::vector<SegmentRecord> find_segments(const GradientField& field, std::size_t width,
                                         std::size_t height, const DetectionParams& params) {
    const PixelOrder order = order_pixels(field, params.magnitude_threshold);

    UsedMap used_map(field.size());
    for (std::size_t i = 0; i < field.size(); ++i)
        used_map[i] = field[i].magnitude <= params.magnitude_threshold ? 1 : 0;
    const Checked<const std::uint8_t> used(used_map.data(), used_map.size(), "used map");

    Region region;
    LineRect rect{};
    std::vector<SegmentRecord> records;
    for (PixelIndex seed : order) {
        if (used[seed] != 0) continue;
        const double angle =
            grow_aligned_region(seed, params.tolerance, field, used_map, region, width, height);
        if (region.size() < params.min_size) continue;
        fit_line_rect(region, field, angle, params.precision, width, rect);
        if (!tighten_region(region, rect, used_map, field, params.min_size, width, height))
            continue;
        const double log_nfa =
            polish_rect(rect, field, params.magnitude_threshold, params.log_tests, width, height);
        if (log_nfa <= 0.0) continue;
        records.push_back(make_record(rect, log_nfa, params.inverse_scale));
    }
    return records;
}

void sort_longest_first(std::vector<SegmentRecord>& records) {
    if (records.size() < 2) return;
    std::vector<std::pair<std::int64_t, std::size_t>> keys(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        keys[i] = {total_order_key(record_length(records[i])), i};
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<SegmentRecord> sorted;
    sorted.reserve(records.size());
    for (const auto& key : keys) sorted.push_back(records[key.second]);
    records.swap(sorted);
}

template <class T>
DetectResult detect(const T* samples, std::size_t count, std::size_t width, std::size_t height,
                    double scale) {
    std::size_t expected = 0;
    if (!checked_multiply(width, height, expected) || count != expected)
        return SizeMismatch{checked_multiply(width, height, expected) ? expected : SIZE_MAX, count};
    if (width < 3 || height < 3) return std::vector<SegmentRecord>{};
    if (!fits_pixel_index(width, height))
        throw InputTooLarge("images of 2**32 pixels or more are not supported");

    // The output size decides before any blurring whether there is anything
    // to detect; it also keeps scales of zero, below zero or too small for a
    // finite blur radius away from the blur.
    if (1.0 > scale) {
        const SubsampledSize size = subsampled_size(width, height, scale);
        if (size.width < 3 || size.height < 3) return std::vector<SegmentRecord>{};
    }

    // The working image is the input itself (its samples read through
    // sample_value) or, below scale 1, its blurred and sub-sampled copy.
    std::vector<SegmentRecord> records;
    if (1.0 > scale) {
        const WorkImage image = gaussian_subsample(samples, width, height, scale);
        const GradientField field = compute_gradient_field(image.samples.data(), image.width, image.height);
        records = find_segments(field, image.width, image.height,
                                make_detection_params(image.width, image.height, scale));
    } else {
        const GradientField field = compute_gradient_field(samples, width, height);
        records = find_segments(field, width, height, make_detection_params(width, height, scale));
    }
    sort_longest_first(records);
    return records;
}

}  // namespace

bool fits_pixel_index(std::size_t width, std::size_t height) {
    std::size_t pixels = 0;
    return checked_multiply(width, height, pixels) && pixels <= kMaxPixels;
}

DetectionParams make_detection_params(std::size_t width, std::size_t height, double scale) {
    DetectionParams params;
    params.tolerance = kDefaultTolerance;
    params.precision = kDefaultPrecision;
    params.magnitude_threshold = kMagnitudeThreshold;
    params.log_tests =
        2.5 * (log10(static_cast<double>(height)) + log10(static_cast<double>(width))) + kLog10Of11;
    params.min_size = saturating_cast<std::size_t>(ceil(params.log_tests / kLog10Of8));
    params.inverse_scale = 1.0 > scale ? 1.0 / scale : 1.0;
    return params;
}

DetectResult detect_segments(const std::uint8_t* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale) {
    return detect(samples, count, width, height, scale);
}
DetectResult detect_segments(const std::uint16_t* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale) {
    return detect(samples, count, width, height, scale);
}
DetectResult detect_segments(const float* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale) {
    return detect(samples, count, width, height, scale);
}
DetectResult detect_segments(const double* samples, std::size_t count, std::size_t width,
                             std::size_t height, double scale) {
    return detect(samples, count, width, height, scale);
}

}  // namespace linara
