#include <math.h>

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"
#include "common/saturate.hpp"
#include "detector/profile.hpp"
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

// The field's row stride for a working image of this size: field_stride,
// unless the padded field would pass the largest pixel index.
std::size_t padded_stride(std::size_t width, std::size_t height) {
    const std::size_t stride = field_stride(width);
    return fits_pixel_index(stride, height) ? stride : width;
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
    // sample_value) or, below scale 1, its blurred and sub-sampled copy,
    // whose rows the gradient computes as it needs them.
    const std::uint64_t start = profile::g_enabled ? profile::now_ns() : 0;
    std::vector<SegmentRecord> records;
    std::size_t work_width = width, work_height = height;
    if (1.0 > scale) {
        const SubsamplePlan plan(width, height, scale);
        work_width = plan.width;
        work_height = plan.height;
        const std::size_t stride = padded_stride(work_width, work_height);
        const DetectionParams params = make_detection_params(work_width, work_height, scale);
        WeakCells weak{params.magnitude_threshold, {}};
        const GradientField field = compute_subsampled_gradient_field(samples, plan, stride, &weak);
        records = find_segments(field, work_width, work_height, stride, params, std::move(weak.map));
    } else {
        const std::size_t stride = padded_stride(width, height);
        const DetectionParams params = make_detection_params(width, height, scale);
        WeakCells weak{params.magnitude_threshold, {}};
        const GradientField field = compute_gradient_field(samples, width, height, stride, &weak);
        records = find_segments(field, width, height, stride, params, std::move(weak.map));
    }
    sort_longest_first(records);
    if (profile::g_enabled) profile::report(profile::now_ns() - start, work_width, work_height);
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
