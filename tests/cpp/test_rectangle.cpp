#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "detector/stages.hpp"

using namespace linara;

struct RectCase {
    std::string name;
    std::size_t width;  // of the square image
    std::vector<PixelIndex> region;
    std::vector<float> magnitudes;  // per region pixel; empty = all 10
    double angle;
    double want[7];  // x1, y1, x2, y2, width, axis_x, axis_y
};

class RectangleTest : public testing::TestWithParam<RectCase> {};

TEST_P(RectangleTest, FitsRegion) {
    const RectCase& c = GetParam();
    GradientField field(c.width * c.width);
    for (std::size_t i = 0; i < c.region.size(); ++i)
        field[c.region[i]] = {c.magnitudes.empty() ? 10.0f : c.magnitudes[i], 1.0f, 0.0f};
    LineRect rect{-1, -1, -1, -1, -1, 0, 0, 0.1, 0.5};
    fit_line_rect(make_region(c.region, field, c.width), c.angle, 0.03125, rect);
    const double got[7] = {rect.x1, rect.y1, rect.x2, rect.y2, rect.width, rect.axis_x, rect.axis_y};
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(got[i], c.want[i], 1e-12) << "field " << i;
    EXPECT_EQ(rect.tolerance, 0.39269908169872414);
    EXPECT_EQ(rect.precision, 0.03125);
}

constexpr double kHalfSqrt2 = 0.70710678118654752;

INSTANTIATE_TEST_SUITE_P(
    Regions, RectangleTest,
    testing::Values(
        RectCase{"one_pixel", 5, {12}, {}, 0.7, {2, 2, 2, 2, 1, -1, 0}},
        // Row 2, columns 1 to 5, uneven weights; the centre's y is the row exactly.
        RectCase{"row_towards_0", 8, {17, 18, 19, 20, 21}, {10, 20, 10, 30, 10}, 0.1, {1, 2, 5, 2, 1, 1, 0}},
        RectCase{"row_towards_pi", 8, {17, 18, 19, 20, 21}, {10, 20, 10, 30, 10}, 3.0, {5, 2, 1, 2, 1, -1, 0}},
        RectCase{"column_down", 6, {9, 15, 21, 27}, {}, 1.5, {3, 1, 3, 4, 1, 0, 1}},
        RectCase{"column_up", 6, {9, 15, 21, 27}, {}, -1.5, {3, 4, 3, 1, 1, 0, -1}},
        RectCase{"diagonal", 6, {7, 14, 21, 28}, {}, 0.8, {1, 1, 4, 4, 1, kHalfSqrt2, kHalfSqrt2}},
        // Columns 1 to 5 of rows 1 to 3.
        RectCase{"three_rows", 7, {8, 9, 10, 11, 12, 15, 16, 17, 18, 19, 22, 23, 24, 25, 26}, {}, -0.2,
                 {1, 2, 5, 2, 2, 1, 0}}),
    [](const auto& p) { return p.param.name; });

// The extremes along and across the axis come from every pixel wherever it
// sits in the region: in a full vector, in a partial last block, in the
// scalar tail, or in a region too small for vectors. A row with one pixel
// above and one below its middle, its pixels rotated through the region,
// has each extreme in one pixel; the fit must always reach both ends and
// the full height.
struct ExtentCase {
    std::size_t length;  // pixels along the row, at least 6
    std::size_t rotation;
};

class RectangleExtentsTest : public testing::TestWithParam<ExtentCase> {};

TEST_P(RectangleExtentsTest, EveryPixelCountsWhereverItSits) {
    const std::size_t length = GetParam().length;
    std::vector<PixelIndex> band;
    for (std::size_t x = 0; x < length; ++x) band.push_back(static_cast<PixelIndex>(length + x));
    band.push_back(static_cast<PixelIndex>(length / 2));
    band.push_back(static_cast<PixelIndex>(2 * length + length / 2));
    std::rotate(band.begin(), band.begin() + GetParam().rotation % band.size(), band.end());
    GradientField field(3 * length);
    for (PixelIndex i : band) field[i] = {10.0f, 0.0f, 1.0f};
    LineRect rect{};
    fit_line_rect(make_region(band, field, length), 0.0, 0.125, rect);
    const double got[5] = {rect.x1, rect.y1, rect.x2, rect.y2, rect.width};
    const double want[5] = {0.0, 1.0, static_cast<double>(length - 1), 1.0, 2.0};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << "field " << i;
}

INSTANTIATE_TEST_SUITE_P(Placements, RectangleExtentsTest,
                         testing::Values(ExtentCase{6, 0}, ExtentCase{6, 3}, ExtentCase{7, 1},
                                         ExtentCase{9, 4}, ExtentCase{30, 17}, ExtentCase{62, 33},
                                         ExtentCase{69, 70}, ExtentCase{254, 0},
                                         ExtentCase{254, 131}, ExtentCase{255, 5}, ExtentCase{263, 260},
                                         ExtentCase{600, 301}, ExtentCase{600, 597}));
