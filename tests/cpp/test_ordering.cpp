#include <gtest/gtest.h>
#include <math.h>

#include <cstring>
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
