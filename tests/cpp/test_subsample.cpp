#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <vector>

#include "detector/stages.hpp"

using namespace linara;

TEST(Subsample, KernelAndGeometry) {
    struct Case { double scale; std::size_t radius; std::vector<double> head; };
    for (const Case& c : {Case{0.5, 5, {5.6469e-05, 0.0012852, 0.014607, 0.082898, 0.23493, 0.33245}},
                          Case{0.8, 3, {}}, Case{0.3, 8, {}}}) {
        const GaussianKernel k = gaussian_kernel(c.scale);
        ASSERT_EQ(k.radius, c.radius) << c.scale;
        ASSERT_EQ(k.weights.size(), 2 * c.radius + 1) << c.scale;
        // exp(-d^2 / 2) at d = (k - r) / sigma, each divided by their sum.
        std::vector<double> raw;
        double sum = 0;
        for (std::size_t i = 0; i < k.weights.size(); ++i) {
            const double d = (static_cast<double>(i) - static_cast<double>(c.radius)) / (0.6 / c.scale);
            raw.push_back(exp(d * d * -0.5));
            sum = sum + raw.back();
        }
        for (std::size_t i = 0; i < k.weights.size(); ++i) {
            EXPECT_EQ(k.weights[i], raw[i] / sum) << c.scale << " weight " << i;
            EXPECT_EQ(k.weights[i], k.weights[2 * c.radius - i]) << c.scale << " weight " << i;
            if (i < c.head.size()) {
                EXPECT_NEAR(k.weights[i], c.head[i], 5e-5 * c.head[i]) << i;
            }
        }
    }
    std::vector<std::size_t> columns;
    for (std::size_t i = 0; i < 6; ++i) columns.push_back(subsample_source_index(i, 0.75, 8));
    EXPECT_EQ(columns, (std::vector<std::size_t>{0, 1, 2, 4, 5, 6}));
    EXPECT_EQ(subsample_source_index(5, 0.6, 8), 7u) << "clamped to the last column";
    struct Size { std::size_t w, h; double scale; std::size_t new_w, new_h; };
    for (const Size& c : {Size{8, 8, 0.75, 6, 6}, Size{3, 3, 0.9, 2, 2}, Size{3, 100, 0.5, 2, 50},
                          Size{640, 480, 0.8, 512, 384}}) {
        const SubsampledSize s = subsampled_size(c.w, c.h, c.scale);
        EXPECT_EQ(std::pair(s.width, s.height), std::pair(c.new_w, c.new_h)) << c.w << "x" << c.h << " at " << c.scale;
    }
}

struct BlurCase { std::size_t width, height; double scale; bool constant; };

class BlurTest : public testing::TestWithParam<BlurCase> {};

// Every output sample equals the blur written out tap by tap (clamped
// sources, increasing k, accumulation from 0; rows, then columns) at the
// sampled position.
TEST_P(BlurTest, MatchesTheFormulaBitForBit) {
    const auto [w, h, scale, constant] = GetParam();
    std::vector<double> image(w * h, 7.3);
    if (!constant)
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<double>((i * 7919) % 257) * 0.37;
    const GaussianKernel k = gaussian_kernel(scale);
    const auto tap = [&](std::size_t at, std::size_t j, std::size_t size) {
        const long long s = static_cast<long long>(at + j) - static_cast<long long>(k.radius);
        return static_cast<std::size_t>(std::clamp<long long>(s, 0, static_cast<long long>(size) - 1));
    };
    std::vector<double> horizontal(w * h, 0.0), vertical(w * h, 0.0);
    for (std::size_t i = 0; i < w * h; ++i)
        for (std::size_t j = 0; j < k.weights.size(); ++j)
            horizontal[i] = horizontal[i] + k.weights[j] * image[i - i % w + tap(i % w, j, w)];
    for (std::size_t i = 0; i < w * h; ++i)
        for (std::size_t j = 0; j < k.weights.size(); ++j)
            vertical[i] = vertical[i] + k.weights[j] * horizontal[tap(i / w, j, h) * w + i % w];

    const WorkImage out = gaussian_subsample(image.data(), w, h, scale);
    const SubsampledSize size = subsampled_size(w, h, scale);
    ASSERT_EQ(out.width, size.width);
    ASSERT_EQ(out.height, size.height);
    for (std::size_t j = 0; j < out.height; ++j)
        for (std::size_t i = 0; i < out.width; ++i) {
            const double v = out.samples[j * out.width + i];
            ASSERT_EQ(v, vertical[subsample_source_index(j, scale, h) * w + subsample_source_index(i, scale, w)])
                << "output (" << i << ", " << j << ")";
            if (constant) {
                ASSERT_NEAR(v, 7.3, 1e-13);
            }
        }
}

// 3 wide at scale 0.5: the radius (5) is wider than the row.
INSTANTIATE_TEST_SUITE_P(Sizes, BlurTest,
                         testing::Values(BlurCase{3, 8, 0.5, false}, BlurCase{3, 9, 0.5, true},
                                         BlurCase{16, 11, 0.8, false}, BlurCase{20, 15, 0.5, true},
                                         BlurCase{40, 30, 0.3, false}, BlurCase{257, 130, 0.75, false}));

TEST(Subsample, EveryElementTypeGivesTheImageOfItsFloat64Values) {
    const std::size_t w = 41, h = 67;
    std::vector<std::uint16_t> u16(w * h);
    std::vector<double> values(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        u16[i] = static_cast<std::uint16_t>((i * 7919) % 65536);
        values[i] = u16[i] / 257.0;
        ASSERT_EQ(sample_value(u16[i]), values[i]) << "a true division by 257";
    }
    const auto same = [](const WorkImage& a, const WorkImage& b) {
        return a.width == b.width && a.height == b.height &&
               std::equal(a.samples.data(), a.samples.data() + a.width * a.height, b.samples.data());
    };
    EXPECT_TRUE(same(gaussian_subsample(u16.data(), w, h, 0.6), gaussian_subsample(values.data(), w, h, 0.6)));
    const std::vector<float> f32(values.begin(), values.end());
    const std::vector<double> widened(f32.begin(), f32.end());
    EXPECT_TRUE(same(gaussian_subsample(f32.data(), w, h, 0.6), gaussian_subsample(widened.data(), w, h, 0.6)));
}
