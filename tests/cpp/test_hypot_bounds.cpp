#include <gtest/gtest.h>
#include <math.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "detector/distance_limit.hpp"
#include "detector/growth_threshold.hpp"
#include "detector/hypot_bounds.hpp"
#include "recorded_libm.hpp"

using namespace linara;

namespace {

// Millions of inputs per unit; fewer under the sanitizers, which are slow.
#ifdef LINARA_SANITIZED
constexpr int kScale = 200000;
#else
constexpr int kScale = 1000000;
#endif

struct Random {
    std::uint64_t state = 0x2545F4914F6CDD1Du;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double sign() { return next() & 1 ? -1.0 : 1.0; }
};

double from_bits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Distance of a from b in units in the last place of b.
double ulps(double a, double b) { return fabs(a - b) / (nextafter(b, INFINITY) - b); }

struct Tally {
    std::uint64_t checked = 0, outside = 0;
    double worst_ulps = 0;  // of the library from the estimate at the bracket's centre
    void check(double x, double y) {
        HypotBracket b;
        if (!bracket_hypot_unverified(x, y, b)) return;
        const double h = hypot(x, y);
        ++checked;
        if (!(b.lo <= h && h <= b.hi)) {
            if (++outside <= 5) ADD_FAILURE() << "hypot(" << x << ", " << y << ") = " << h << " outside [" << b.lo << ", " << b.hi << "]";
        }
        const double estimate = sqrt(x * x + y * y);
        worst_ulps = fmax(worst_ulps, ulps(h, estimate));
    }
};

}  // namespace

// The library's hypot lies in the bracket for tens of millions of inputs of
// the kinds the detector meets and of kinds chosen to be hard. With the C
// library the figures were recorded with, its hypot must pass the load-time
// self-test and lie within 3 ulp of the estimate. Another library may fail
// the self-test, which turns the brackets off; when it passes, every value
// must still lie in its bracket, since the detector then relies on that.
TEST(HypotBracket, HoldsTheLibraryValue) {
    const bool recorded = libm_as_recorded();
    if (!g_hypot_brackets_hold) {
        HypotBracket b;
        EXPECT_FALSE(bracket_hypot(3.0, 4.0, b)) << "brackets given out after a failed self-test";
        if (!recorded) GTEST_SKIP() << "this C library's hypot failed the self-test; callers use it directly";
    }
    EXPECT_TRUE(g_hypot_brackets_hold) << "the load-time self-test rejected " << kLibmRecordedWith
                                       << "'s hypot";
    Random rng;
    struct Kind {
        const char* name;
        int count;
        std::function<void(Tally&)> sample;
    };
    const Kind kinds[] = {
        {"random doubles, every covered exponent", 8 * kScale,
         [&](Tally& t) {
             const std::uint64_t e = 1023 - 500 + rng.next() % 1001;
             const std::uint64_t f = 1023 - 560 + rng.next() % 1121;
             t.check(rng.sign() * from_bits(e << 52 | (rng.next() >> 12)),
                     rng.sign() * from_bits(f << 52 | (rng.next() >> 12)));
         }},
        {"integer pairs", 3 * kScale,
         [&](Tally& t) {
             t.check(static_cast<double>(rng.next() % (1u << 20)), static_cast<double>(rng.next() % (1u << 20)));
         }},
        {"gradients of 8-bit images: halves up to 255", 3 * kScale,
         [&](Tally& t) {
             t.check(0.5 * static_cast<double>(static_cast<int>(rng.next() % 1021) - 510),
                     0.5 * static_cast<double>(static_cast<int>(rng.next() % 1021) - 510));
         }},
        {"gradients of 16-bit images", 2 * kScale,
         [&](Tally& t) {
             const auto v = [&] { return static_cast<double>(rng.next() % 65536) / 257.0; };
             t.check((((v() + v()) - v()) - v()) * 0.5, (((v() + v()) - v()) - v()) * 0.5);
         }},
        {"sums of float32 unit vectors", kScale / 4,
         [&](Tally& t) {
             double sx = 0, sy = 0;
             const int n = 1 + static_cast<int>(rng.next() % 200);
             const double base = rng.uniform() * 6.283185307179586;
             for (int i = 0; i < n; ++i) {
                 const double a = base + (rng.uniform() - 0.5) * 0.8;
                 sx = sx + static_cast<double>(static_cast<float>(cos(a)));
                 sy = sy + static_cast<double>(static_cast<float>(sin(a)));
             }
             t.check(sx, sy);
         }},
        {"nearly equal, very unequal and power-of-two neighbours", 4 * kScale,
         [&](Tally& t) {
             const double x = rng.sign() * from_bits((1023 - 400 + rng.next() % 800) << 52 | (rng.next() >> 12));
             switch (rng.next() % 4) {
                 case 0: t.check(x, x * (1.0 + static_cast<double>(rng.next() % 16) * 0x1p-52)); break;
                 case 1: t.check(x, x * ldexp(1.0 + rng.uniform(), -static_cast<int>(rng.next() % 60))); break;
                 case 2: t.check(ldexp(1.0, static_cast<int>(rng.next() % 200) - 100) * (1.0 - 0x1p-53),
                                 x * 0x1p-30);
                         break;
                 default: t.check(ldexp(1.0 + rng.uniform(), 499), ldexp(1.0 + rng.uniform(), 499)); break;
             }
         }},
    };
    for (const Kind& kind : kinds) {
        Tally tally;
        for (int i = 0; i < kind.count; ++i) kind.sample(tally);
        EXPECT_EQ(tally.outside, 0u) << kind.name;
        EXPECT_GT(tally.checked, static_cast<std::uint64_t>(kind.count) * 9 / 10) << kind.name;
        // The bracket allows more than 5 ulp on either side.
        if (recorded) {
            EXPECT_LE(tally.worst_ulps, 3.0) << kind.name;
        }
        std::printf("%-55s %9llu inputs, library within %.1f ulp of the estimate\n", kind.name,
                    static_cast<unsigned long long>(tally.checked), tally.worst_ulps);
    }
}

// Inputs outside the covered range get no bracket, so callers use the library.
TEST(HypotBracket, NoneOutsideTheCoveredRange) {
    HypotBracket b;
    for (auto [x, y] : {std::pair{0.0, 0.0}, {INFINITY, 1.0}, {NAN, 1.0}, {1.0, NAN}, {0x1p501, 1.0},
                        {0x1p-501, 0.0}, {-0x1p600, 0x1p600}})
        EXPECT_FALSE(bracket_hypot_unverified(x, y, b)) << x << ", " << y;
    EXPECT_TRUE(bracket_hypot_unverified(0x1p-500, 0.0, b));
    EXPECT_TRUE(bracket_hypot_unverified(3.0, 0.0, b));
    EXPECT_TRUE(b.lo <= 3.0 && 3.0 <= b.hi);
}

// Region growing's test "hypot(sx, sy) * ct > dot", decided from squares,
// agrees with the library on dot products at, just beside and far from the
// threshold, for sums of every size and several tolerances.
TEST(GrowthThreshold, AgreesWithTheLibrary) {
    Random rng;
    std::uint64_t checked = 0;
    for (double tolerance : {0.39269908169872414, 0.05, 0.0, 1.2, 1.5707963267948966, 2.0}) {
        const double ct = cos(tolerance);
        for (int i = 0; i < 200000; ++i) {
            const double scale = ldexp(1.0, static_cast<int>(rng.next() % 40) - 20);
            const double sx = rng.sign() * rng.uniform() * scale, sy = rng.sign() * rng.uniform() * scale;
            GrowthThreshold threshold(ct);
            threshold.update(sx, sy);
            const double exact = hypot(sx, sy) * ct;
            double dot;
            switch (rng.next() % 4) {
                case 0: dot = exact; break;
                case 1: dot = nextafter(exact, (rng.next() & 1) ? INFINITY : -INFINITY); break;
                case 2: dot = exact * (1.0 + rng.sign() * static_cast<double>(rng.next() % 64) * 0x1p-52); break;
                default: dot = exact * (rng.uniform() * 2.0 - 0.5); break;
            }
            ASSERT_EQ(threshold.rejects(dot, sx, sy), exact > dot)
                << "sum (" << sx << ", " << sy << "), ct " << ct << ", dot " << dot;
            ++checked;
        }
    }
    // Sums so small that their squared norm times ct^2 is subnormal: a dot
    // equal to T whose square rounds to a neighbour of that product's.
    for (double sx : {0x1.106635d19ee43p-500, 0x1.4b850cab64449p-500, 0x1.57a47092d35bfp-500}) {
        GrowthThreshold tiny(0x1p-20);
        tiny.update(sx, 0.0);
        const double exact = hypot(sx, 0.0) * 0x1p-20;
        EXPECT_FALSE(tiny.rejects(exact, sx, 0.0)) << "sum (" << sx << ", 0)";
    }
    // A zero or NaN dot, and a zero sum.
    GrowthThreshold threshold(cos(0.39269908169872414));
    threshold.update(0.3, -0.4);
    EXPECT_TRUE(threshold.rejects(0.0, 0.3, -0.4));
    EXPECT_FALSE(threshold.rejects(NAN, 0.3, -0.4));
    threshold.update(0.0, 0.0);
    EXPECT_FALSE(threshold.rejects(0.0, 0.0, 0.0));
    EXPECT_TRUE(threshold.rejects(-1e-300, 0.0, 0.0));
    EXPECT_GT(checked, 1000000u);
}

// The distance tests of region refinement, decided from exact squared
// distances, agree with the library for limits at, just beside and between
// pixel distances, zero and tiny limits among them.
TEST(DistanceLimit, AgreesWithTheLibrary) {
    Random rng;
    std::vector<double> limits = {0.0, 0x1p-1074, 0x1p-600, 0.5, 1.0, sqrt(2.0), 5.0, 1e6};
    for (int i = 0; i < 2000; ++i) {
        const double at = hypot(static_cast<double>(rng.next() % 3000), static_cast<double>(rng.next() % 3000));
        limits.insert(limits.end(), {at, nextafter(at, 0.0), nextafter(at, INFINITY), rng.uniform() * 3000.0});
    }
    for (double limit : limits) {
        const DistanceLimit disc(limit);
        for (int k = 0; k < 200; ++k) {
            // Offsets near the limit's own distance, and anywhere.
            const auto reach = static_cast<std::int64_t>(limit < 3000.0 ? limit : 3000.0) + 2;
            const std::int64_t dx = static_cast<std::int64_t>(rng.next() % (2 * reach + 1)) - reach;
            const std::int64_t dy = k % 2 ? static_cast<std::int64_t>(rng.next() % (2 * reach + 1)) - reach
                                          : static_cast<std::int64_t>(sqrt(fmax(0.0, limit * limit - static_cast<double>(dx * dx))));
            const double distance = hypot(static_cast<double>(dx), static_cast<double>(dy));
            const double squared = DistanceLimit::squared(dx, dy);
            ASSERT_EQ(disc.exceeded_by(dx, dy, squared), distance > limit) << dx << ", " << dy << " against " << limit;
            ASSERT_EQ(disc.exceeds(dx, dy), limit > distance) << dx << ", " << dy << " against " << limit;
            if (disc.within_for_all_up_to(squared)) {
                ASSERT_FALSE(distance > limit) << dx << ", " << dy << " against " << limit;
            }
        }
        EXPECT_EQ(disc.exceeds(0, 0), limit > 0.0) << limit;
    }
}
