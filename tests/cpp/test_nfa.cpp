#include <gtest/gtest.h>
#include <math.h>

#include <vector>

#include "detector/stages.hpp"

using namespace linara;

TEST(LnGamma, AgreesWithLibmAndSwitchesFormAtFifteen) {
    for (double x : {1.0, 2.0, 3.5, 10.0, 14.999, 15.0, 15.001, 40.0, 1e4}) {
        const double want = lgamma(x);
        EXPECT_NEAR(ln_gamma(x), want, 1e-9 * fmax(1.0, fabs(want))) << x;
        const double windschitl = 0.918938533204673 + (x - 0.5) * log(x) - x +
                                  0.5 * x * log(x * sinh(1.0 / x) + 1.0 / (810.0 * pow(x, 6.0)));
        if (x >= 15.0) {
            EXPECT_EQ(ln_gamma(x), windschitl) << x;
        }
    }
}

// -log10(P(X >= k)) - log_tests for X ~ B(n, p), summed term by term.
double exact_log_nfa(std::size_t n, std::size_t k, double p, double log_tests) {
    long double tail = 0;
    for (std::size_t i = k; i <= n; ++i)
        tail += expl(lgammal(n + 1.0L) - lgammal(i + 1.0L) - lgammal(n - i + 1.0L) + i * logl(p) +
                     (n - i) * logl(1.0L - p));
    return static_cast<double>(-log10l(tail)) - log_tests;
}

TEST(LogNfa, FromCounts) {
    const double lt = 7.5;
    EXPECT_EQ(log_nfa_from_counts(0, 0, 0.125, lt), -lt);
    EXPECT_EQ(log_nfa_from_counts(10, 0, 0.125, lt), -lt);
    EXPECT_EQ(log_nfa_from_counts(12, 12, 0.125, lt), -lt - 12.0 * log10(0.125));
    // First term underflows: below the mean the score is -log_tests, above
    // it the first term alone decides.
    EXPECT_EQ(log_nfa_from_counts(100000, 1, 0.125, lt), -lt);
    const double first = lgamma(3001.0) - lgamma(2901.0) - lgamma(101.0) + 2900 * log(0.125) + 100 * log(0.875);
    ASSERT_LT(first, -746.0);
    EXPECT_NEAR(log_nfa_from_counts(3000, 2900, 0.125, lt), -first / log(10.0) - lt, 1e-9 * -first);

    struct Case { std::size_t n, k; double p; };
    for (const Case c : {Case{100, 30, 0.125}, Case{50, 20, 0.0625}, Case{1000, 200, 0.125},
                         Case{20, 15, 0.125}, Case{30, 29, 0.125}, Case{40, 2, 0.125}}) {
        const double got = log_nfa_from_counts(c.n, c.k, c.p, 3.0), want = exact_log_nfa(c.n, c.k, c.p, 3.0);
        // The sum may stop early, leaving out less than a tenth of |score|
        // times the partial sum.
        EXPECT_GE(got, want - 1e-9 * fabs(want)) << c.n << " " << c.k;
        EXPECT_LE(got - want, log10(1.0 + 0.1 * fabs(got)) + 1e-9) << c.n << " " << c.k;
    }
}

struct ScoreCase {
    std::string name;
    LineRect rect;
    std::size_t changed;  // index of the cell to replace, if below 144
    GradientCell cell;
    std::size_t n, k;  // expected pixels inside and aligned
};

class ScoreTest : public testing::TestWithParam<ScoreCase> {};

const float kThreshold = 5.22625207901000976562f;
const float kAboveThreshold = nextafterf(kThreshold, 6.0f);

// A 12 x 12 field whose pixels all run along +x.
TEST_P(ScoreTest, CountsInsideAndAligned) {
    const ScoreCase& c = GetParam();
    GradientField field(144);
    for (std::size_t i = 0; i < 144; ++i) field[i] = {10.0f, 1.0f, 0.0f};
    if (c.changed < 144) field[c.changed] = c.cell;
    EXPECT_EQ(score_rect(c.rect, field, kThreshold, 2.75, 12, 12, 12), log_nfa_from_counts(c.n, c.k, 0.125, 2.75));
}

constexpr double kTol = 0.39269908169872414;
const LineRect kRow{2, 5, 6, 5, 1, 1, 0, kTol, 0.125};  // (2..6, 5); (4, 5) is cell 64

INSTANTIATE_TEST_SUITE_P(
    Rects, ScoreTest,
    testing::Values(
        ScoreCase{"row", kRow, 999, {}, 5, 5},
        ScoreCase{"edge_rows_inside", {2, 5, 6, 5, 2, 1, 0, kTol, 0.125}, 999, {}, 15, 15},
        ScoreCase{"magnitude_at_threshold", kRow, 64, {kThreshold, 1, 0}, 5, 4},
        ScoreCase{"magnitude_above_threshold", kRow, 64, {kAboveThreshold, 1, 0}, 5, 5},
        ScoreCase{"opposite_direction", kRow, 64, {10, -1, 0}, 5, 4},
        ScoreCase{"nan_direction", kRow, 64, {10, NAN, NAN}, 5, 4},
        ScoreCase{"perpendicular_axis", {5, 2, 5, 6, 1, 0, 1, kTol, 0.125}, 999, {}, 5, 0},
        ScoreCase{"partly_outside", {8, 5, 16, 5, 1, 1, 0, kTol, 0.125}, 999, {}, 4, 4},
        ScoreCase{"outside_right", {20, 5, 25, 5, 1, 1, 0, kTol, 0.125}, 999, {}, 0, 0},
        ScoreCase{"outside_above_left", {-10, -10, -5, -10, 1, 1, 0, kTol, 0.125}, 999, {}, 0, 0}),
    [](const auto& p) { return p.param.name; });
