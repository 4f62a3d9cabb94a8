#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "detector/stages.hpp"

using namespace linara;

struct GradientCase {
    std::string name;
    std::size_t width, height;
    std::vector<double> samples;
    std::vector<std::pair<std::size_t, GradientCell>> cells;  // all others must be (+0, +0, +0)
};

class GradientTest : public testing::TestWithParam<GradientCase> {};

TEST_P(GradientTest, CellsMatch) {
    const GradientCase& c = GetParam();
    const GradientField field = compute_gradient_field(c.samples.data(), c.width, c.height, c.width);
    ASSERT_EQ(field.size(), c.width * c.height);
    std::vector<GradientCell> want(field.size(), GradientCell{0, 0, 0});
    for (const auto& [i, cell] : c.cells) want[i] = cell;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const float got[3] = {field[i].magnitude, field[i].dir_x, field[i].dir_y};
        const float expected[3] = {want[i].magnitude, want[i].dir_x, want[i].dir_y};
        for (int j = 0; j < 3; ++j) {
            std::uint32_t got_bits, expected_bits;  // tells -0 from +0
            std::memcpy(&got_bits, &got[j], 4);
            std::memcpy(&expected_bits, &expected[j], 4);
            if (isnan(expected[j]))
                EXPECT_TRUE(isnan(got[j])) << "cell " << i << " component " << j;
            else
                EXPECT_EQ(got_bits, expected_bits) << "cell " << i << " component " << j << ": " << got[j];
        }
    }
    // The largest magnitude recorded for the seed ordering: NaN never wins.
    float max = 0.0f;
    for (const GradientCell& cell : want)
        if (cell.magnitude > max) max = cell.magnitude;
    EXPECT_EQ(field.max_magnitude, max);
}

const float kDiagMag = static_cast<float>(hypot(5.0, 5.0));  // 7.07106781
const float kDiag = static_cast<float>(5.0 / hypot(5.0, 5.0));  // 0.707106769
const float kHugeDir = static_cast<float>(0.5e300 / hypot(0.5e300, 0.5e300));
const float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();
const GradientCell kRight{10.0f, -0.0f, 1.0f};  // intensity rising to the right

std::vector<double> ramp_with_nan() {  // columns 0, 10, 20, 30 with a NaN at (1, 1)
    std::vector<double> s(16);
    for (std::size_t i = 0; i < 16; ++i) s[i] = 10.0 * static_cast<double>(i % 4);
    s[5] = std::numeric_limits<double>::quiet_NaN();
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Images, GradientTest,
    testing::Values(
        GradientCase{"constant", 4, 3, std::vector<double>(12, 7.25), {}},
        GradientCase{"one_row", 4, 1, {0, 10, 0, 10}, {}},
        GradientCase{"one_column", 1, 3, {0, 10, 0}, {}},
        GradientCase{"vertical_edge", 3, 3, {0, 10, 10, 0, 10, 10, 0, 10, 10}, {{0, kRight}, {3, kRight}}},
        GradientCase{"horizontal_edge", 3, 3, {0, 0, 0, 10, 10, 10, 10, 10, 10}, {{0, {10, -1, 0}}, {1, {10, -1, 0}}}},
        GradientCase{"single_pixel", 3, 3, {0, 0, 0, 0, 10, 0, 0, 0, 0},
                     {{0, {kDiagMag, -kDiag, kDiag}}, {1, {kDiagMag, -kDiag, -kDiag}},
                      {3, {kDiagMag, kDiag, kDiag}}, {4, {kDiagMag, kDiag, -kDiag}}}},
        GradientCase{"nan_sample", 4, 4, ramp_with_nan(),
                     {{2, kRight}, {6, kRight}, {8, kRight}, {9, kRight}, {10, kRight}}},
        GradientCase{"beyond_float32", 3, 3, {0, 1e300, 0, 0, 0, 0, 0, 0, 0},
                     {{0, {kInf, kHugeDir, kHugeDir}}, {1, {kInf, kHugeDir, -kHugeDir}}}},
        GradientCase{"infinite_sample", 3, 3, {0, HUGE_VAL, 0, 0, 0, 0, 0, 0, 0},
                     {{0, {kInf, kNaN, kNaN}}, {1, {kInf, kNaN, kNaN}}}}),
    [](const auto& p) { return p.param.name; });

// Enough rows for several bands, each converting its own rows to float64.
TEST(Gradient, EveryElementTypeGivesTheFieldOfItsFloat64Values) {
    const std::size_t w = 37, h = 301;
    std::vector<std::uint8_t> u8(w * h);
    std::vector<std::uint16_t> u16(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        u8[i] = static_cast<std::uint8_t>((i * 7919) % 251);
        u16[i] = static_cast<std::uint16_t>(u8[i] * 257 + i % 200);
    }
    const auto same = [](const GradientField& a, const GradientField& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(GradientCell)) == 0;
    };
    std::vector<double> u16_values(u16.size()), f64(u8.begin(), u8.end());
    std::transform(u16.begin(), u16.end(), u16_values.begin(), [](std::uint16_t v) { return v / 257.0; });
    const GradientField want = compute_gradient_field(f64.data(), w, h, w);
    // Every band's rows count towards the recorded largest magnitude.
    EXPECT_EQ(want.max_magnitude, largest_magnitude(want.data(), want.size()));
    EXPECT_TRUE(same(compute_gradient_field(u8.data(), w, h, w), want));
    EXPECT_TRUE(same(compute_gradient_field(std::vector<float>(u8.begin(), u8.end()).data(), w, h, w), want));
    EXPECT_TRUE(same(compute_gradient_field(u16.data(), w, h, w), compute_gradient_field(u16_values.data(), w, h, w)));
}

// Each cell against the formula it stands for, (hypot(gx, gy), -gy / m,
// gx / m) rounded to float32, over many windows of each kind of sample:
// the shortcuts behind the vectorised row must never change a bit.
enum class Samples { kBytes, kWideExponents, kAxisExtremes };

class GradientFormulaTest : public testing::TestWithParam<Samples> {};

TEST_P(GradientFormulaTest, EveryCellIsTheLibraryFormula) {
    const std::size_t w = 4001, h = 64;
    std::vector<double> s(w * h);
    std::uint64_t state = 0x9e3779b97f4a7c15u + static_cast<std::uint64_t>(GetParam());
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const std::uint64_t r = next();
        switch (GetParam()) {
            case Samples::kBytes: s[i] = static_cast<double>(r % 256); break;
            case Samples::kWideExponents:
                s[i] = ldexp(static_cast<double>(r % 1000003), static_cast<int>((r >> 32) % 1200) - 620);
                break;
            case Samples::kAxisExtremes: {
                // Rows of equal values, so that gy is 0 and gx spans every
                // exponent, subnormal and near the ends of the range.
                const std::size_t x = i % w;
                const double exponents[] = {-1074, -1060, -1022, -1000, -501, -500, -499, 0, 499, 500, 501, 1000, 1020};
                s[i] = x % 2 ? 0.0 : ldexp(1.0 + static_cast<double>(r % 1024) / 1024.0,
                                           static_cast<int>(exponents[(x / 2) % 13]));
                if (i >= w) s[i] = s[i % w];
                break;
            }
        }
    }
    const GradientField field = compute_gradient_field(s.data(), w, h, w);
    std::size_t mismatches = 0;
    for (std::size_t y = 0; y + 1 < h; ++y) {
        for (std::size_t x = 0; x + 1 < w; ++x) {
            const double a = s[y * w + x], b = s[y * w + x + 1], c = s[(y + 1) * w + x], d = s[(y + 1) * w + x + 1];
            const double gx = (((b + d) - a) - c) * 0.5, gy = (((c + d) - a) - b) * 0.5;
            const double m = hypot(gx, gy);
            const GradientCell want = m > 0.0 ? GradientCell{static_cast<float>(m), static_cast<float>(-gy / m),
                                                             static_cast<float>(gx / m)}
                                              : GradientCell{0.0f, 0.0f, 0.0f};
            const GradientCell& got = field[y * w + x];
            if (std::memcmp(&got, &want, sizeof want) != 0 && ++mismatches <= 5)
                ADD_FAILURE() << "cell (" << x << ", " << y << "): gx " << gx << " gy " << gy;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Windows, GradientFormulaTest,
                         testing::Values(Samples::kBytes, Samples::kWideExponents, Samples::kAxisExtremes));

// The weak cells the gradient marks for the seed ordering: exactly those
// whose magnitude is not above the threshold, for rows that start anywhere
// in a byte of the map and bands of rows that share bytes, with cells
// computed in the vectorised pass or by the library (NaN samples), and the
// zero cells of the last row and column, which a threshold below 0 keeps
// strong. With rows longer than the image's (a stride), the image's cells
// are those of the unpadded field and the cells past them are zero cells.
struct WeakCase {
    std::size_t width;
    float threshold;
    std::size_t padding;  // stride - width
};

class WeakCellsTest : public testing::TestWithParam<WeakCase> {};

TEST_P(WeakCellsTest, AreTheCellsNotAboveTheThreshold) {
    const std::size_t w = GetParam().width, h = 301, stride = w + GetParam().padding;
    std::vector<double> s(w * h);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<double>((i * 7919 + i / w * 13) % 23);
    for (std::size_t i = 0; i < s.size(); i += 97) s[i] = std::numeric_limits<double>::quiet_NaN();
    WeakCells weak{GetParam().threshold, {}};
    const GradientField field = compute_gradient_field(s.data(), w, h, stride, &weak);
    ASSERT_EQ(field.size(), stride * h);
    ASSERT_EQ(weak.map.size(), field.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < field.size(); ++i)
        wrong += weak.map[i] != !(field[i].magnitude > GetParam().threshold);
    EXPECT_EQ(wrong, 0u);
    for (std::size_t i = field.size(); i % 8 != 0; ++i) EXPECT_FALSE((weak.map.bits()[i / 8] >> (i % 8)) & 1u);
    // The image's cells are those of the field made without marking and
    // without padding; the padding holds zero cells.
    const GradientField plain = compute_gradient_field(s.data(), w, h, w);
    std::size_t differ = 0, nonzero = 0;
    for (std::size_t y = 0; y < h; ++y) {
        differ += std::memcmp(plain.data() + y * w, field.data() + y * stride, w * sizeof(GradientCell)) != 0;
        for (std::size_t x = w; x < stride; ++x) {
            const GradientCell& c = field[y * stride + x];
            nonzero += c.magnitude != 0.0f || c.dir_x != 0.0f || c.dir_y != 0.0f;
        }
    }
    EXPECT_EQ(differ, 0u);
    EXPECT_EQ(nonzero, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, WeakCellsTest,
                         testing::Values(WeakCase{13, 5.22625207901000976562f, 0}, WeakCase{64, 5.22625207901000976562f, 0},
                                         WeakCase{67, 3.0f, 0}, WeakCase{3, 0.0f, 0}, WeakCase{21, -1.0f, 0},
                                         WeakCase{29, std::numeric_limits<float>::quiet_NaN(), 0},
                                         WeakCase{64, 5.22625207901000976562f, 16}, WeakCase{67, 3.0f, 13},
                                         WeakCase{21, -1.0f, 5}),
                         [](const auto& p) { return "width" + std::to_string(p.param.width) + "_" + std::to_string(p.index); });
