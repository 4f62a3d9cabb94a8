#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "detector/stages.hpp"

using namespace linara;

float from_bits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

struct OrderCase {
    std::string name;
    std::vector<float> magnitudes;
    PixelOrder expected;
};

class OrderingTest : public testing::TestWithParam<OrderCase> {};

TEST_P(OrderingTest, StrongestBinFirstIndexOrderWithin) {
    GradientField field(GetParam().magnitudes.size());
    for (std::size_t i = 0; i < field.size(); ++i) field[i] = {GetParam().magnitudes[i], 1.0f, 0.0f};
    EXPECT_EQ(order_pixels(field, from_bits(0x40A73D75)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, OrderingTest,
    testing::Values(
        OrderCase{"bins_511_767_1023", {6, 12, 5, 12, 9, 0}, {1, 3, 4, 0}},
        // 10.2 and 10.9 share bin 10; 11.5 is in bin 11.
        OrderCase{"shared_bin_in_index_order", {1023, 0, 0, 10.2f, 11.5f, 10.9f}, {0, 4, 3, 5}},
        OrderCase{"only_the_maximum_in_bin_1023", {1022.5f, 1023}, {1, 0}},
        OrderCase{"threshold_excluded", {from_bits(0x40A73D75), from_bits(0x40A73D76), 0}, {1}},
        OrderCase{"all_zero", {0, 0, 0, 0}, {}},
        OrderCase{"all_below_threshold", {5.0f, 5.2f, 1.0f}, {}},
        // An infinite maximum sends every pixel to bin 0.
        OrderCase{"infinite_magnitude", {6, 100, 3, HUGE_VALF, 12, 0, 7}, {0, 1, 3, 4, 6}}),
    [](const auto& p) { return p.param.name; });

// plan_seeds against a plain sequential reading of the rules, over fields
// that span several chunks and end inside a byte of the used map: the used
// bit of every pixel, and the order (strongest bin first, ascending index
// within a bin). With `infinite`, one pixel's magnitude is infinite, which
// sends every pixel to bin 0 (that pixel's own quotient being NaN).
struct ReferenceCase {
    std::size_t n;
    bool infinite;
};
class OrderingReferenceTest : public testing::TestWithParam<ReferenceCase> {};

TEST_P(OrderingReferenceTest, MatchesTheSequentialRules) {
    const std::size_t n = GetParam().n;
    const float threshold = from_bits(0x40A73D75);
    GradientField field(n);
    std::uint64_t state = 0x2545f4914f6cdd1du + n;
    for (std::size_t i = 0; i < n; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const unsigned kind = state % 16;
        // Runs of equal magnitudes and of pixels below the threshold, as in
        // smooth parts of a photo, besides NaN and scattered values.
        float m = kind < 5 ? 0.0f : kind < 9 ? 250.0f : static_cast<float>(state >> 40) / 65536.0f;
        if (kind == 9) m = std::nanf("");
        if (i % 97 < 30) m = i % 97 < 15 ? 1.0f : 99.0f;
        // Stretches where few pixels are above the threshold.
        if (i / 1000 % 3 == 0 && i % 11 != 0) m = 1.0f;
        field[i] = {m, 1.0f, 0.0f};
    }
    if (GetParam().infinite) field[n / 3] = {HUGE_VALF, 1.0f, 0.0f};
    float max = 0.0f;
    for (std::size_t i = 0; i < n; ++i)
        if (field[i].magnitude > max) max = field[i].magnitude;
    std::vector<std::vector<PixelIndex>> bins(1024);
    for (std::size_t i = 0; i < n; ++i) {
        const float m = field[i].magnitude;
        if (!(m > threshold)) continue;
        const float p = m / max * 1023.0f;
        const auto bin = static_cast<std::size_t>(std::min(p > 0.0f ? std::floor(static_cast<double>(p)) : 0.0, 1023.0));
        bins[bin].push_back(static_cast<PixelIndex>(i));
    }
    std::vector<PixelIndex> expected;
    for (std::size_t b = 1024; b-- > 0;) expected.insert(expected.end(), bins[b].begin(), bins[b].end());

    // Without the weak cells, and with them marked beforehand as the
    // gradient marks them.
    UsedMap weak(n);
    for (std::size_t i = 0; i < n; ++i) weak.set(i, !(field[i].magnitude > threshold));
    for (UsedMap* given : {static_cast<UsedMap*>(nullptr), &weak}) {
        const SeedPlan plan = given ? plan_seeds(field, threshold, std::move(*given)) : plan_seeds(field, threshold);
        EXPECT_EQ(PixelOrder(plan.order.begin(), plan.order.end()), expected);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) wrong += plan.used[i] != !(field[i].magnitude > threshold);
        EXPECT_EQ(wrong, 0u);
        for (std::size_t i = n; i < (n + 7) / 8 * 8; ++i) EXPECT_FALSE((plan.used.bits()[i / 8] >> (i % 8)) & 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OrderingReferenceTest,
                         testing::Values(ReferenceCase{1, false}, ReferenceCase{7, false}, ReferenceCase{8, false},
                                         ReferenceCase{13, false}, ReferenceCase{65536, false},
                                         ReferenceCase{65536 + 13, false}, ReferenceCase{3 * 65536 + 5, false},
                                         ReferenceCase{65536 + 13, true}, ReferenceCase{200, true}),
                         [](const auto& p) {
                             return "n" + std::to_string(p.param.n) + (p.param.infinite ? "_infinite" : "");
                         });
