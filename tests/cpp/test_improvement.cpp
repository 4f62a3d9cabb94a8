#include <gtest/gtest.h>
#include <math.h>

#include <cstring>

#include "detector/stages.hpp"

using namespace linara;

struct PolishCase {
    std::string name;
    const char* rows;  // rows 4, 5, 6: 'A' all along +x, '1' one pixel 0.3 rad off, '-' no gradient
    double start_y, start_width;
    double log_tests;  // NaN: the first score comes out at about 0
    double y, width, precision;  // of the rectangle that comes back
};

class PolishTest : public testing::TestWithParam<PolishCase> {};

// The rectangle runs from x = 2 to 12 along +x. A large log_tests keeps
// every checkpoint shut, so the result shows which trials were taken.
TEST_P(PolishTest, KeepsOnlyStrictImprovements) {
    const PolishCase& c = GetParam();
    const float threshold = 5.22625207901000976562f;
    GradientField field(16 * 12);
    for (std::size_t row = 0; row < 3; ++row)
        for (std::size_t x = 0; x < 16; ++x) {
            GradientCell& cell = field[(4 + row) * 16 + x];
            if (c.rows[row] == 'A') cell = {10.0f, 1.0f, 0.0f};
            if (c.rows[row] == '1' && x == 5 + row) cell = {10.0f, float(cos(0.3)), float(sin(0.3))};
        }
    const double lt = isnan(c.log_tests) ? log_nfa_from_counts(33, 11, 0.125, 0.0) : c.log_tests;
    LineRect rect{2, c.start_y, 12, c.start_y, c.start_width, 1, 0, kDefaultTolerance, kDefaultPrecision};
    const double best = polish_rect(rect, field, threshold, lt, 16, 12, 16);
    EXPECT_EQ(best, score_rect(rect, field, threshold, lt, 16, 12, 16));
    const LineRect want{2, c.y, 12, c.y, c.width, 1, 0,
                        c.precision == kDefaultPrecision ? kDefaultTolerance : kPi * c.precision, c.precision};
    EXPECT_EQ(std::memcmp(&rect, &want, sizeof rect), 0)
        << "y " << rect.y1 << " " << rect.y2 << " width " << rect.width << " precision " << rect.precision
        << " tolerance " << rect.tolerance;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, PolishTest,
    testing::Values(
        // Five finer precisions; the one width trial (0.5) covers no pixel; the
        // first side (towards row 6) loses, the second (towards row 5) wins;
        // five more precisions.
        PolishCase{"second_side_taken", "-A-", 5.5, 1, 1000, 5.25, 0.5, 0.125 / 1024},
        // The first side wins; at width 0.5 the second side has nothing to try.
        PolishCase{"first_side_taken", "--A", 5.5, 1, 1000, 5.75, 0.5, 0.125 / 1024},
        // Either side alone beats both rows; the first one tried is kept.
        // Finer precisions lose the pixels 0.3 rad off.
        PolishCase{"first_of_two_winning_sides", "-11", 5.5, 1, 1000, 5.75, 0.5, 0.125},
        // Above 0 after the first precision pass, before narrowing to row 5 would win.
        PolishCase{"stops_after_precision_pass", "-A-", 5, 2, NAN, 5, 2, 0.125 / 32},
        PolishCase{"above_zero_at_once", "-AA", 5.5, 1, 1, 5.5, 1, 0.125},
        // Every trial scores -log_tests, the same as the start: no change.
        PolishCase{"ties_not_taken", "---", 5.5, 1, 3, 5.5, 1, 0.125}),
    [](const auto& p) { return p.param.name; });
