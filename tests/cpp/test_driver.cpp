#include <gtest/gtest.h>
#include <math.h>

#include <cstring>
#include <limits>
#include <vector>

#include "detector/stages.hpp"

using namespace linara;

TEST(DetectionParams, FromTheWorkingSize) {
    struct Case { std::size_t w, h; double log_tests; std::size_t min_size; };
    for (const Case& c : {Case{3, 3, 3.42699895875654, 4}, Case{4, 3, 3.73934580027729, 5},
                          Case{3, 4, 3.73934580027729, 5}, Case{100, 100, 11.0413926851582, 13},
                          Case{640, 480, 14.7599457135569, 17}, Case{1920, 1080, 16.8332051456345, 19}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const DetectionParams p = make_detection_params(c.w, c.h, 1.0);
        EXPECT_NEAR(p.log_tests, c.log_tests, 1e-12);
        // log10(11) enters as its nearest float64, not as a run-time log10.
        EXPECT_EQ(p.log_tests, 2.5 * (log10(double(c.h)) + log10(double(c.w))) + 1.0413926851582251);
        EXPECT_EQ(p.min_size, c.min_size);
        std::uint32_t threshold;
        std::uint64_t tolerance;
        std::memcpy(&threshold, &p.magnitude_threshold, 4);
        std::memcpy(&tolerance, &p.tolerance, 8);
        EXPECT_EQ(threshold, 0x40A73D75u);
        EXPECT_EQ(tolerance, 0x3FD921FB54442D18u);
        EXPECT_EQ(p.precision, 0.125);
    }
    for (auto [scale, inverse] : {std::pair{0.5, 2.0}, {0.8, 1.0 / 0.8}, {1.0, 1.0}, {2.0, 1.0}, {NAN, 1.0}})
        EXPECT_EQ(make_detection_params(10, 10, scale).inverse_scale, inverse) << scale;
}

template <class T>
std::vector<SegmentRecord> records(const std::vector<T>& image, std::size_t w, std::size_t h, double scale) {
    DetectResult result = detect_segments(image.data(), image.size(), w, h, scale);
    if (auto* found = std::get_if<std::vector<SegmentRecord>>(&result)) return *found;
    ADD_FAILURE() << "unexpected size mismatch";
    return {};
}

bool same(const std::vector<SegmentRecord>& a, const std::vector<SegmentRecord>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(SegmentRecord)) == 0;
}

// Columns 16 to 47 of rows 20 to 43 bright: edges at x = 16 and 48, y = 20 and 44.
std::vector<std::uint8_t> box_image() {
    std::vector<std::uint8_t> image(64 * 64, 0);
    for (std::size_t y = 20; y < 44; ++y) std::memset(&image[y * 64 + 16], 200, 32);
    return image;
}

TEST(Detect, SizeChecks) {
    const std::uint8_t buffer[16] = {};
    const DetectResult r = detect_segments(buffer, 15, 4, 4, 1.0);
    ASSERT_TRUE(std::holds_alternative<SizeMismatch>(r));
    EXPECT_EQ(std::get<SizeMismatch>(r).expected, 16u);
    EXPECT_EQ(std::get<SizeMismatch>(r).got, 15u);
    const DetectResult overflow = detect_segments(buffer, 16, SIZE_MAX / 2 + 1, 4, 1.0);
    ASSERT_TRUE(std::holds_alternative<SizeMismatch>(overflow));
    EXPECT_EQ(std::get<SizeMismatch>(overflow).got, 16u);
    EXPECT_THROW(detect_segments(buffer, std::size_t{1} << 32, 65536, 65536, 1.0), InputTooLarge);

    const std::vector<std::uint8_t> box = box_image();
    EXPECT_TRUE(records(std::vector<double>{}, 0, 0, 1.0).empty());
    EXPECT_TRUE(records(std::vector<float>{}, 2, 0, 1.0).empty());
    EXPECT_TRUE(records(std::vector<std::uint8_t>(box.begin(), box.begin() + 128), 2, 64, 1.0).empty());
    EXPECT_TRUE(records(std::vector<std::uint16_t>(128, 65535), 64, 2, 1.0).empty());
    EXPECT_TRUE(records(std::vector<std::uint8_t>{0, 0, 255, 0, 0, 255, 0, 0, 255}, 3, 3, 0.9).empty());
    ASSERT_FALSE(records(box, 64, 64, 1.0).empty());
    for (double scale : {0.0, -0.0, -1.0, 1e-300, -HUGE_VAL})
        EXPECT_TRUE(records(box, 64, 64, scale).empty()) << scale;
}

TEST(Detect, FindsTheEdgesOfABox) {
    for (auto [scale, slack] : {std::pair{1.0, 1.0}, {0.5, 2.0}}) {
        const std::vector<SegmentRecord> found = records(box_image(), 64, 64, scale);
        EXPECT_GE(found.size(), 4u);
        for (std::size_t i = 0; i < found.size(); ++i) {
            const SegmentRecord& s = found[i];
            SCOPED_TRACE(testing::Message() << "scale " << scale << ": (" << s.x1 << ", " << s.y1 << ") - ("
                                            << s.x2 << ", " << s.y2 << ")");
            const auto on = [&](double a, double b, double edge) {
                return fabs(a - edge) <= slack && fabs(b - edge) <= slack;
            };
            EXPECT_TRUE(on(s.x1, s.x2, 16) || on(s.x1, s.x2, 48) || on(s.y1, s.y2, 20) || on(s.y1, s.y2, 44));
            EXPECT_GT(s.log_nfa, 0.0);
            EXPECT_LE(s.precision, 0.125);
            EXPECT_EQ(exp2(round(log2(s.precision))), s.precision) << "a power-of-two fraction of 0.125";
            if (i > 0) {
                const SegmentRecord& prev = found[i - 1];
                EXPECT_GE(hypot(prev.x2 - prev.x1, prev.y2 - prev.y1), hypot(s.x2 - s.x1, s.y2 - s.y1));
            }
        }
    }
}

// Smooth waves: many candidates there score at or below 0.
TEST(Detect, ElementTypesAgree) {
    std::vector<std::uint8_t> u8(64 * 64);
    for (std::size_t i = 0; i < u8.size(); ++i)
        u8[i] = static_cast<std::uint8_t>(lround(128 + 100 * sin(0.3 * double(i % 64)) * cos(0.2 * double(i / 64))));
    std::vector<std::uint16_t> u16(u8.begin(), u8.end());
    for (std::uint16_t& v : u16) v = static_cast<std::uint16_t>(v * 257);
    for (double scale : {1.0, 0.8}) {
        const std::vector<SegmentRecord> base = records(u8, 64, 64, scale);
        EXPECT_FALSE(base.empty());
        for (const SegmentRecord& r : base) EXPECT_GT(r.log_nfa, 0.0) << "candidates at or below 0 are dropped";
        EXPECT_TRUE(same(base, records(u16, 64, 64, scale))) << scale;
        EXPECT_TRUE(same(base, records(std::vector<float>(u8.begin(), u8.end()), 64, 64, scale))) << scale;
        EXPECT_TRUE(same(base, records(std::vector<double>(u8.begin(), u8.end()), 64, 64, scale))) << scale;
    }
}

TEST(Detect, ScaleMapsBackToTheInput) {
    const std::vector<std::uint8_t> u8 = box_image();
    const std::vector<double> box(u8.begin(), u8.end());
    const std::vector<SegmentRecord> unit = records(box, 64, 64, 1.0);
    for (double scale : {2.0, double(NAN), HUGE_VAL}) EXPECT_TRUE(same(unit, records(box, 64, 64, scale))) << scale;

    // At scale 0.5 every record is that of the sub-sampled image, doubled.
    const WorkImage half = gaussian_subsample(box.data(), 64, 64, 0.5);
    const std::vector<SegmentRecord> working = records(std::vector<double>(half.samples.data(), half.samples.data() + 1024), 32, 32, 1.0);
    const std::vector<SegmentRecord> scaled = records(box, 64, 64, 0.5);
    ASSERT_EQ(scaled.size(), working.size());
    ASSERT_FALSE(scaled.empty());
    for (std::size_t i = 0; i < scaled.size(); ++i) {
        const SegmentRecord& b = working[i];
        const SegmentRecord doubled{2 * b.x1, 2 * b.y1, 2 * b.x2, 2 * b.y2, 2 * b.width, b.precision, b.log_nfa};
        EXPECT_EQ(std::memcmp(&scaled[i], &doubled, sizeof doubled), 0) << "record " << i;
    }
}
