#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "detector/stages.hpp"

using namespace linara;

constexpr std::size_t kW = 14, kH = 10;
constexpr double kTol = 0.39269908169872414;

using Indices = std::vector<PixelIndex>;

Indices row5(std::uint32_t first, std::uint32_t last) {  // pixels (first..last, 5)
    Indices r;
    for (std::uint32_t x = first; x <= last; ++x) r.push_back(5 * kW + x);
    return r;
}

// The used map, a byte per pixel: everything used but `free_pixels`.
std::vector<std::uint8_t> all_used_but(const Indices& free_pixels) {
    std::vector<std::uint8_t> bytes(kW * kH, 1);
    for (PixelIndex i : free_pixels) bytes[i] = 0;
    return bytes;
}

struct Candidate {
    Indices region;
    LineRect rect;
    UsedMap used{kW * kH};
    bool run(const GradientField& field, const Indices& free_pixels = {}) {
        const std::vector<std::uint8_t> bytes = all_used_but(free_pixels);
        for (std::size_t i = 0; i < bytes.size(); ++i) used.set(i, bytes[i] != 0);
        Region pixels = make_region(region, field, kW);
        const bool kept = tighten_region(pixels, rect, used, field, 4, kW, kH);
        region = region_indices(pixels, kW);
        return kept;
    }
    std::vector<std::uint8_t> used_bytes() const {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < used.size(); ++i) bytes.push_back(used[i]);
        return bytes;
    }
};

TEST(Refinement, DensityAtLeast0_7PassesUntouched) {
    const GradientField no_gradient(kW * kH);  // a failing candidate regrows to the seed alone
    struct Case { std::uint32_t pixels; LineRect rect; bool dense; };
    for (const Case& c : {Case{7, {0, 0, 10, 0, 1, 1, 0, kTol, 0.125}, true},
                          Case{7, {0, 0, 3, 4, 2, 0.6, 0.8, kTol, 0.125}, true},  // 5 x 2
                          Case{6, {0, 0, 10, 0, 1, 1, 0, kTol, 0.125}, false},
                          Case{1, {0, 0, 0.5, 0, 1, 1, 0, kTol, 0.125}, true},  // area below 1
                          Case{1, {NAN, 0, 0.5, 0, 1, 1, 0, kTol, 0.125}, true}}) {  // area NaN
        Candidate cand{row5(1, c.pixels), c.rect};
        SCOPED_TRACE(testing::Message() << c.pixels << " pixels, x1 " << c.rect.x1);
        EXPECT_EQ(cand.run(no_gradient), c.dense);
        EXPECT_EQ(cand.region, c.dense ? row5(1, c.pixels) : row5(1, 1));
        if (c.dense) {
            EXPECT_EQ(std::memcmp(&cand.rect, &c.rect, sizeof(LineRect)), 0);
        }
    }
}

// A sparse candidate seeded at (1, 5): its rectangle is 10 pixels wide.
const LineRect kSparse{1, 5, 11, 5, 10, 1, 0, kTol, 0.0625};

GradientCell at_angle(double a) { return {10.0f, static_cast<float>(cos(a)), static_cast<float>(sin(a))}; }

TEST(Refinement, SparseCandidateRegrowsWithTheSpreadNearTheSeed) {
    // Row 5 (x 1..10) runs along +x, row 8 (x 1..10) 0.3 rad off: twice the
    // spread near the seed is 0.3 rad. (11, 5), 1 rad off, lies exactly at
    // the disc's radius and does not count. Of the free pixels (10, 4) at 0.2
    // rad joins the new region, (2, 4) at 0.4 rad does not.
    GradientField field(kW * kH);
    for (PixelIndex i : row5(1, 10)) field[i] = at_angle(0.0);
    for (PixelIndex i : row5(1, 10)) field[i + 3 * kW] = at_angle(0.3);
    field[5 * kW + 11] = at_angle(1.0);
    field[4 * kW + 10] = at_angle(0.2);
    field[4 * kW + 2] = at_angle(0.4);
    Candidate cand{row5(1, 11), kSparse};
    for (PixelIndex i : row5(1, 10)) cand.region.push_back(i + 3 * kW);
    ASSERT_TRUE(cand.run(field, {4 * kW + 10, 4 * kW + 2}));
    Indices want = row5(1, 10), got = cand.region;
    want.push_back(4 * kW + 10);
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(cand.rect.tolerance, kTol);
    EXPECT_EQ(cand.rect.precision, 0.0625);
    Indices released = row5(11, 11);
    for (PixelIndex i : row5(1, 10)) released.push_back(i + 3 * kW);
    released.push_back(4 * kW + 2);
    EXPECT_EQ(cand.used_bytes(), all_used_but(released));
}

TEST(Refinement, TooSmallAfterRegrowingFreesTheRest) {
    // The seed runs along +x, its neighbours 0.2 rad off: the spread near the
    // seed allows about 0.15 rad and the seed stays alone.
    GradientField field(kW * kH);
    field[5 * kW + 1] = at_angle(0.0);
    for (PixelIndex i : row5(2, 6)) field[i] = at_angle(0.2);
    Candidate cand{row5(1, 6), kSparse};
    EXPECT_FALSE(cand.run(field));
    EXPECT_EQ(cand.region, row5(1, 1));
    EXPECT_EQ(cand.used_bytes(), all_used_but(row5(2, 6)));
}
