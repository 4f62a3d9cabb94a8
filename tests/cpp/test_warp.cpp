// The warp kernel against its worked examples and against a plain,
// pixel-by-pixel rendering of the same rules.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu.hpp"
#include "common/saturate.hpp"
#include "warp/warp.hpp"
#include "warp/warp_rows.hpp"

namespace linara {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

WarpParams affine(double h2, double h5, double scale = 1.0) {
    return {{1, 0, h2, 0, 1, h5, 0, 0, 1}, scale, 0.0, 0.0};
}

template <class T>
std::vector<T> warp(const std::vector<T>& src, std::size_t width, std::size_t height,
                    const WarpParams& p) {
    auto result = warp_rgb_buffer(src.data(), src.size(), width, height, p);
    const auto& out = std::get<WarpImage<T>>(result);
    return std::vector<T>(out.data(), out.data() + out.size());
}

// Every rule written out literally, one pixel at a time, with no shortcuts.
template <class T>
std::vector<T> reference(const std::vector<T>& src, std::size_t width, std::size_t height,
                         const WarpParams& p) {
    const auto& h = p.inverse;
    const double max_x = static_cast<double>(width) + -1.0;
    const double max_y = static_cast<double>(height) + -1.0;
    const double top = static_cast<double>(std::numeric_limits<T>::max());
    std::vector<T> out(src.size(), 0);
    for (std::size_t y = 0; y < height; ++y) {
        const double Y = static_cast<double>(y) / p.scale + p.off_y;
        const double ax = h[1] * Y + h[2], ay = h[4] * Y + h[5], aw = h[7] * Y + h[8];
        for (std::size_t x = 0; x < width; ++x) {
            const double X = static_cast<double>(x) / p.scale + p.off_x;
            const double w = h[6] * X + aw;
            if (w == 0.0) continue;
            const double sx = (h[0] * X + ax) / w;
            if (sx < 0 || sx > max_x) continue;
            const double sy = (h[3] * X + ay) / w;
            if (sy < 0 || sy > max_y) continue;
            const auto x0 = saturating_cast<std::size_t>(std::floor(sx));
            const auto y0 = saturating_cast<std::size_t>(std::floor(sy));
            const std::size_t x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
            const double fx = sx - static_cast<double>(x0), fy = sy - static_cast<double>(y0);
            const double wa = (1 - fx) * (1 - fy), wb = fx * (1 - fy), wc = (1 - fx) * fy,
                         wd = fx * fy;
            for (std::size_t c = 0; c < 3; ++c) {
                auto at = [&](std::size_t i, std::size_t j) {
                    return static_cast<double>(src[(j * width + i) * 3 + c]);
                };
                double v = ((at(x0, y0) * wa + at(x1, y0) * wb) + at(x0, y1) * wc) + at(x1, y1) * wd;
                v = v + 0.5;
                if (v < 0) v = 0;
                if (v > top) v = top;
                out[(y * width + x) * 3 + c] = saturating_cast<T>(v);
            }
        }
    }
    return out;
}

template <class T>
std::vector<T> random_image(std::size_t width, std::size_t height, std::mt19937& rng) {
    std::vector<T> image(width * height * 3);
    std::uniform_int_distribution<unsigned> value(0, std::numeric_limits<T>::max());
    for (auto& v : image) v = static_cast<T>(value(rng));
    return image;
}

template <class T>
class WarpTyped : public ::testing::Test {};
using ElementTypes = ::testing::Types<std::uint8_t, std::uint16_t>;
TYPED_TEST_SUITE(WarpTyped, ElementTypes);

TEST(Warp, WorkedExampleTwoByTwo) {
    std::vector<std::uint8_t> src(12, 0);
    src[0] = 10, src[3] = 20, src[6] = 30, src[9] = 40;
    auto out = warp(src, 2, 2, affine(0.25, 0.5));
    EXPECT_EQ(out, (std::vector<std::uint8_t>{23, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Warp, WorkedProjectiveExample) {
    std::vector<std::uint8_t> src(12, 0);
    src[3] = 255;
    auto out = warp(src, 4, 1, {{1, 0, 0, 0, 1, 0, 0.5, 0, 1}, 1.0, 0.0, 0.0});
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 0, 0, 170, 0, 0, 255, 0, 0, 204, 0, 0}));
}

// Widths of 36 and 37 put the last column in a four-pixel group and alone.
TYPED_TEST(WarpTyped, IdentityCopiesAndSaturatesAtTheMaximum) {
    constexpr TypeParam kTop = std::numeric_limits<TypeParam>::max();
    std::mt19937 rng(1);
    for (std::size_t width : {36, 37}) {
        auto src = random_image<TypeParam>(width, 5, rng);
        EXPECT_EQ(warp(src, width, 5, affine(0, 0)), src);
        // All-maximum stays at the maximum, also where the weights are fractional.
        std::vector<TypeParam> full(src.size(), kTop);
        EXPECT_EQ(warp(full, width, 5, affine(0, 0)), full);
        auto shifted = warp(full, width, 5, affine(0.3, 0.7));
        for (std::size_t y = 0; y < 4; ++y)
            for (std::size_t i = 0; i < (width - 1) * 3; ++i) ASSERT_EQ(shifted[y * width * 3 + i], kTop);
    }
}

// Affine matrices (h6 = 0), whose rows are only computed where their source
// points lie in the source: mirrored, rotated, sheared, constant along a
// row (h0 = 0), with w other than 1 (h7, h8), huge, and with edges exactly
// on the last column and row.
TYPED_TEST(WarpTyped, AffineMatricesMatchTheLiteralRules) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t width = 1 + rng() % 70, height = 1 + rng() % 50;
        auto src = random_image<TypeParam>(width, height, rng);
        const double angle = 3.2 * u(rng), zoom = 0.3 + std::abs(u(rng)) * 2;
        WarpParams p{{std::cos(angle) * zoom, -std::sin(angle) * zoom, 30 * u(rng),
                      std::sin(angle) * zoom, std::cos(angle) * zoom, 30 * u(rng), 0,
                      trial % 3 == 0 ? 0.01 * u(rng) : 0.0, trial % 4 == 0 ? 1 + 0.5 * u(rng) : 1.0},
                     trial % 5 == 0 ? -1.0 : 0.5 + std::abs(u(rng)), 10 * u(rng), 10 * u(rng)};
        if (trial % 7 == 1) p.inverse[0] = 0.0;
        if (trial % 7 == 2) p.inverse[4] = -0.0;
        if (trial % 7 == 3) p.inverse[0] = 1e300;
        if (trial % 7 == 4) {
            // Each row's last pixel maps exactly onto the last column.
            p.inverse = {static_cast<double>(width - 1) / static_cast<double>(std::max<std::size_t>(width - 1, 1)),
                         0, 0, 0, 1, 0, 0, 0, 1};
            p.scale = 1.0;
            p.off_x = p.off_y = 0.0;
        }
        ASSERT_EQ(warp(src, width, height, p), reference(src, width, height, p))
            << width << "x" << height << " trial " << trial;
    }
}

TYPED_TEST(WarpTyped, HalfPixelTranslationsRoundTheMeanAndBlankOneEdge) {
    const std::size_t width = 200, height = 3;
    std::mt19937 rng(2);
    auto src = random_image<TypeParam>(width, height, rng);
    auto right = warp(src, width, height, affine(0.5, 0));
    auto left = warp(src, width, height, affine(-0.5, 0));
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < 3; ++c) {
                auto at = [&](std::size_t i) { return src[(y * width + i) * 3 + c]; };
                const std::size_t k = (y * width + x) * 3 + c;
                auto mean = [&](std::size_t i) {
                    return static_cast<TypeParam>((unsigned(at(i)) + at(i + 1) + 1) / 2);
                };
                EXPECT_EQ(right[k], x + 1 < width ? mean(x) : 0) << x;
                EXPECT_EQ(left[k], x > 0 ? mean(x - 1) : 0) << x;
            }
}

TYPED_TEST(WarpTyped, ScaleTwoEnlargesTheTopLeftQuarter) {
    const std::size_t width = 10, height = 8;
    std::mt19937 rng(3);
    auto src = random_image<TypeParam>(width, height, rng);
    auto out = warp(src, width, height, affine(0, 0, 2.0));
    for (std::size_t y = 0; y < height; y += 2)
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < 3; ++c) {
                auto at = [&](std::size_t i) { return unsigned(src[((y / 2) * width + i) * 3 + c]); };
                const unsigned expected = x % 2 == 0 ? at(x / 2) : (at(x / 2) + at(x / 2 + 1) + 1) / 2;
                EXPECT_EQ(out[(y * width + x) * 3 + c], expected);
            }
}

TYPED_TEST(WarpTyped, OneByOneSamplesOnlyItsOwnPoint) {
    std::vector<TypeParam> src{7, 8, 9};
    EXPECT_EQ(warp(src, 1, 1, affine(0, 0)), src);
    EXPECT_EQ(warp(src, 1, 1, affine(1e-9, 0)), (std::vector<TypeParam>{0, 0, 0}));
    EXPECT_EQ(warp(src, 1, 1, affine(0, -1e-9)), (std::vector<TypeParam>{0, 0, 0}));
}

// Random images through random near-identity homographies, with scales and
// offsets, at widths around the kernel's internal block sizes.
TYPED_TEST(WarpTyped, MatchesTheLiteralRulesOnRandomHomographies) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t width : {1, 2, 3, 5, 7, 8, 9, 63, 127, 128, 129, 300}) {
        for (int trial = 0; trial < 6; ++trial) {
            const std::size_t height = 1 + rng() % 40;
            auto src = random_image<TypeParam>(width, height, rng);
            WarpParams p{{1 + 0.1 * u(rng), 0.1 * u(rng), 3 * u(rng), 0.1 * u(rng),
                          1 + 0.1 * u(rng), 3 * u(rng), 0.002 * u(rng), 0.002 * u(rng),
                          1 + 0.05 * u(rng)},
                         trial % 2 ? 1.0 : 0.5 + u(rng) * 0.4, 2 * u(rng), 2 * u(rng)};
            if (trial == 4) {
                // Undoes the scale: whether x / scale * scale stays inside
                // the image decides the last column and row.
                p.inverse = {p.scale, 0, 0, 0, p.scale, 0, 0, 0, 1};
                p.off_x = p.off_y = 0.0;
            }
            if (trial == 5)
                for (auto& v : p.inverse) v = -v;
            ASSERT_EQ(warp(src, width, height, p), reference(src, width, height, p))
                << width << "x" << height << " trial " << trial;
        }
    }
}

TEST(Warp, AMatrixAndItsNegationAgree) {
    std::mt19937 rng(5);
    auto src = random_image<std::uint8_t>(50, 40, rng);
    WarpParams p{{0.9, 0.1, 3, -0.05, 1.1, 2, 0.001, -0.002, 1.0}, 1.0, 0.0, 0.0};
    WarpParams n = p;
    for (auto& v : n.inverse) v = -v;
    auto out = warp(src, 50, 40, p);
    EXPECT_EQ(out, warp(src, 50, 40, n));
    EXPECT_NE(out, std::vector<std::uint8_t>(out.size(), 0));
}

// Parameters that leave every pixel skipped: a zero divisor row, or a NaN
// anywhere that reaches the divisor or a coordinate.
class WarpBlank : public ::testing::TestWithParam<WarpParams> {};

TEST_P(WarpBlank, GivesAnAllZeroImage) {
    std::mt19937 rng(6);
    auto src = random_image<std::uint16_t>(20, 9, rng);
    EXPECT_EQ(warp(src, 20, 9, GetParam()), std::vector<std::uint16_t>(src.size(), 0));
    EXPECT_EQ(reference(src, 20, 9, GetParam()), std::vector<std::uint16_t>(src.size(), 0));
}

std::vector<WarpParams> blank_params() {
    std::vector<WarpParams> params{{{1, 0, 0, 0, 1, 0, 0, 0, 0}, 1.0, 0.0, 0.0},
                                   {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, kNaN, 0.0},
                                   {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, 0.0, kNaN},
                                   {{1, 0, 0, 0, 1, 0, 0, 0, 1}, kNaN, 0.0, 0.0},
                                   {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, kInf, 0.0}};
    for (std::size_t i = 0; i < 9; ++i) {
        WarpParams p{{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, 0.0, 0.0};
        p.inverse[i] = kNaN;
        params.push_back(p);
    }
    return params;
}
INSTANTIATE_TEST_SUITE_P(DegenerateParameters, WarpBlank, ::testing::ValuesIn(blank_params()));

TEST(Warp, RejectsALengthThatDisagreesWithTheDimensions) {
    std::vector<std::uint8_t> src(12);
    auto short_by_one = warp_rgb_buffer(src.data(), 11, 2, 2, affine(0, 0));
    ASSERT_TRUE(std::holds_alternative<SizeMismatch>(short_by_one));
    EXPECT_EQ(std::get<SizeMismatch>(short_by_one).expected, 12u);
    EXPECT_EQ(std::get<SizeMismatch>(short_by_one).got, 11u);
    // width * 3 * height wraps to 12 in machine words; it must not pass.
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 3 + 1;
    auto wrapped = warp_rgb_buffer(src.data(), 12, huge, 4, affine(0, 0));
    ASSERT_TRUE(std::holds_alternative<SizeMismatch>(wrapped));
    EXPECT_EQ(std::get<SizeMismatch>(wrapped).expected, std::numeric_limits<std::size_t>::max());
}

TEST(Warp, EmptyImagesGiveEmptyOutputs) {
    for (auto [width, height] : {std::pair<std::size_t, std::size_t>{0, 0}, {5, 0}, {0, 5}}) {
        auto result = warp_rgb_buffer(static_cast<const std::uint16_t*>(nullptr), 0, width, height,
                                      affine(0, 0));
        ASSERT_TRUE(std::holds_alternative<WarpImage<std::uint16_t>>(result));
        EXPECT_EQ(std::get<WarpImage<std::uint16_t>>(result).size(), 0u);
    }
}


// ------------------------------------------------ the vector row routines

using warp_internal::WarpRoutine;

// A copy of an image that ends where an inaccessible page begins, so that a
// read past its end faults.
template <class T>
class GuardedCopy {
public:
    explicit GuardedCopy(const std::vector<T>& image) : size_(image.size()) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t bytes = size_ * sizeof(T);
        mapped_ = (bytes + page - 1) / page * page + page;
        base_ = static_cast<char*>(
            mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) throw std::bad_alloc();
        mprotect(base_ + mapped_ - page, page, PROT_NONE);
        data_ = reinterpret_cast<T*>(base_ + mapped_ - page - bytes);
        std::memcpy(data_, image.data(), bytes);
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    ~GuardedCopy() { munmap(base_, mapped_); }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::size_t mapped_;
    char* base_;
    T* data_;
};

template <class T>
std::vector<T> warp_with(const WarpRoutine& routine, const GuardedCopy<T>& src, std::size_t width,
                         std::size_t height, const WarpParams& p) {
    auto result = warp_internal::warp_rgb_with(routine, src.data(), src.size(), width, height, p);
    const auto& out = std::get<WarpImage<T>>(result);
    return std::vector<T>(out.data(), out.data() + out.size());
}

// Matrices that put sample points on every kind of lane: inside, outside,
// exactly on the last row and column, at infinity (a zero divisor), NaN,
// w exactly 1 in some lanes only, and mirrored (negative w).
std::vector<WarpParams> hard_params(std::size_t width, std::size_t height, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double last_x = static_cast<double>(width - 1), last_y = static_cast<double>(height - 1);
    const double angle = 0.5 + u(rng), c = std::cos(angle) / 0.7, s = std::sin(angle) / 0.7;
    std::vector<WarpParams> params{
        {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, 0.0, 0.0},
        {{c, -s, last_x / 2, s, c, 0, 0, 0, 1}, 1.0, -last_x / 2, 0.0},
        {{1 + 0.1 * u(rng), 0.05 * u(rng), 3 * u(rng), 0.05 * u(rng), 1 + 0.1 * u(rng), 3 * u(rng),
          0.003 * u(rng), 0.003 * u(rng), 1},
         0.6 + 0.3 * u(rng), u(rng), u(rng)},
        // Maps the output onto [0, last] exactly: the last column and row
        // are sampled on the source's last column and row.
        {{last_x / static_cast<double>(width), 0, 0, 0, last_y / static_cast<double>(height), 0, 0,
          0, 1},
         1.0, 0.0, 0.0},
        {{1, 0, 0, 0, 1, 0, 0, 0, 1}, static_cast<double>(width) / last_x, 0.0, 0.0},
        // w = X - 5 is zero at column 5 (infinite or NaN point) and
        // negative to its left.
        {{1, 0, 0, 0, 1, 0, 1, 0, -5}, 1.0, 0.0, 0.0},
        {{0, 0, 0, 0, 0, 0, 1, 0, -5}, 1.0, 0.0, 0.0},
        // w is 1 exactly at x = 8 and close to 1 around it.
        {{1, 0, 0, 0, 1, 0, 1.0 / 64, 0, 1 - 8.0 / 64}, 1.0, 0.0, 0.0},
        {{1, 0, 0, 0, 1, 0, 0, 0, 0}, 1.0, 0.0, 0.0},
        {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 0.0, 0.0, 0.0},
        {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, kNaN, 0.0},
        {{1, kNaN, 0, 0, 1, 0, 0, 0, 1}, 1.0, 0.0, 0.0},
        {{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1.0, -kInf, 0.0},
        {{-1, 0, 0, 0, -1, 0, 0, 0, -1}, 1.0, 0.0, 0.0},
        {{-1, 0, last_x, 0, -1, last_y, 0, 0, 1}, 1.0, 0.0, 0.0},
    };
    return params;
}

template <class T>
void expect_routines_agree(const char* name) {
    const WarpRoutine* routine = warp_internal::supported_warp_routine(name);
    if (!routine) GTEST_SKIP() << name << " is not supported by this processor";
    std::mt19937 rng(8);
    // Widths with every remainder modulo 8 and 4, around the chunks of 32 and 128
    // pixels and the strip of 1024 columns; heights around the 32-row
    // blocks.
    const std::pair<std::size_t, std::size_t> sizes[] = {
        {1, 1},  {2, 2},  {3, 1},    {4, 3},    {5, 4},   {6, 2},   {7, 7},    {8, 5},
        {9, 3},  {10, 6}, {11, 2},   {12, 9},   {13, 4},  {14, 3},  {15, 8},   {16, 2},
        {17, 5}, {23, 1}, {127, 34}, {129, 33}, {136, 3}, {255, 2}, {1025, 2}, {1031, 3}};
    for (auto [width, height] : sizes) {
        const GuardedCopy<T> src(random_image<T>(width, height, rng));
        const auto params = hard_params(width, height, rng);
        for (std::size_t i = 0; i < params.size(); ++i) {
            ASSERT_EQ(warp_with(*routine, src, width, height, params[i]),
                      warp_with(warp_internal::kPortableRoutine, src, width, height, params[i]))
                << name << " " << width << "x" << height << " case " << i;
        }
    }
}

class WarpRoutines : public ::testing::TestWithParam<const char*> {};

TEST_P(WarpRoutines, AgreeWithThePortableRoutineOnUint8) { expect_routines_agree<std::uint8_t>(GetParam()); }
TEST_P(WarpRoutines, AgreeWithThePortableRoutineOnUint16) { expect_routines_agree<std::uint16_t>(GetParam()); }
INSTANTIATE_TEST_SUITE_P(VectorRoutines, WarpRoutines,
                         ::testing::Values("avx2", "avx512", "avx512-gather"));

TEST(Warp, RoutineSelection) {
    const WarpRoutine& best = warp_internal::select_warp_routine(nullptr);
    EXPECT_EQ(&warp_internal::select_warp_routine("portable"), &warp_internal::kPortableRoutine);
    EXPECT_EQ(&warp_internal::select_warp_routine("no-such-routine"), &best);
    for (const char* name : {"avx2", "avx512", "avx512-gather"}) {
        const WarpRoutine* supported = warp_internal::supported_warp_routine(name);
        EXPECT_EQ(&warp_internal::select_warp_routine(name), supported ? supported : &best) << name;
    }
    if (warp_internal::supported_warp_routine("avx512")) {
        EXPECT_STREQ(best.name, gathers_are_fast() ? "avx512-gather" : "avx512");
    }
}

}  // namespace
}  // namespace linara
