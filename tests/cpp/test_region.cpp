#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "detector/stages.hpp"
#include "detector/used_access.hpp"

using namespace linara;

namespace linara {
bool operator==(const RegionPixel& a, const RegionPixel& b) {
    return a.x == b.x && a.y == b.y && a.magnitude == b.magnitude;
}
}  // namespace linara

GradientField uniform_field(std::size_t count, float dx, float dy) {
    GradientField field(count);
    for (std::size_t i = 0; i < count; ++i) field[i] = {10.0f, dx, dy};
    return field;
}

std::vector<std::uint8_t> bytes(const UsedMap& used) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < used.size(); ++i) out.push_back(used[i]);
    return out;
}

using Indices = std::vector<PixelIndex>;

struct BinCase {
    std::size_t width, height;
    PixelIndex seed;
    Indices prefix;
};

class RegionOrderTest : public testing::TestWithParam<BinCase> {};

// In a field of one direction a neighbour is accepted as soon as it is
// tested, so the region lists pixels in visiting order.
TEST_P(RegionOrderTest, NeighboursInFixedOrder) {
    const auto& [width, height, seed, prefix] = GetParam();
    const GradientField field = uniform_field(width * height, 1.0f, 0.0f);
    UsedMap used(width * height);
    Region region{{9, 9, 1.0f}};  // stale content must go
    EXPECT_EQ(grow_aligned_region(seed, kDefaultTolerance, field, used, region, width, height), 0.0);
    ASSERT_EQ(region.size(), width * height);
    const Indices grown = region_indices(region, width);
    EXPECT_EQ(Indices(grown.begin(), grown.begin() + static_cast<long>(prefix.size())), prefix);
    // Each pixel carries its own column, row and magnitude.
    EXPECT_EQ(region, make_region(grown, field, width));
    EXPECT_EQ(bytes(used), std::vector<std::uint8_t>(width * height, 1));
}

INSTANTIATE_TEST_SUITE_P(Seeds, RegionOrderTest,
                         testing::Values(BinCase{3, 3, 0, {0, 1, 3, 4, 2, 5, 6, 7, 8}},
                                         BinCase{3, 3, 8, {8, 4, 5, 7, 0, 1, 2, 3, 6}},
                                         BinCase{3, 3, 4, {4, 0, 1, 2, 3, 5, 6, 7, 8}},
                                         BinCase{3, 5, 13, {13, 9, 10, 11, 12, 14, 6, 7, 8, 3, 4, 5, 0, 1, 2}},
                                         BinCase{4, 3, 0, {0, 1, 4, 5, 2, 6, 8, 9, 10}},
                                         BinCase{4, 3, 11, {11, 6, 7, 10, 1, 2, 3, 5, 9}}));

TEST(Region, LoneSeedKeepsItsOwnAngle) {
    GradientField field = uniform_field(25, 0.0f, 1.0f);
    const float dx = static_cast<float>(cos(0.3)), dy = static_cast<float>(sin(0.3));
    field[12] = {10.0f, dx, dy};
    UsedMap used(25);
    Region region;
    EXPECT_EQ(grow_aligned_region(12, kDefaultTolerance, field, used, region, 5, 5),
              atan2(static_cast<double>(dy), static_cast<double>(dx)));
    EXPECT_EQ(region_indices(region, 5), Indices{12});
    std::vector<std::uint8_t> expected(25, 0);
    expected[12] = 1;
    EXPECT_EQ(bytes(used), expected);
}

TEST(Region, MarksOnlyItsOwnPixelsAndSkipsUsedOnes) {
    // Row 2 of a 6 x 5 field runs along +x; (4, 2) is taken, which cuts off (5, 2).
    GradientField field = uniform_field(30, 0.0f, 1.0f);
    for (PixelIndex i = 12; i < 18; ++i) field[i] = {10.0f, 1.0f, 0.0f};
    field[20] = {0.0f, 0.0f, 0.0f};  // no gradient: never accepted
    UsedMap used(30);
    used.set(16, true);
    Region region;
    EXPECT_EQ(grow_aligned_region(13, kDefaultTolerance, field, used, region, 6, 5), 0.0);
    EXPECT_EQ(region_indices(region, 6), (Indices{13, 12, 14, 15}));
    std::vector<std::uint8_t> expected(30, 0);
    for (PixelIndex i : {12, 13, 14, 15, 16}) expected[i] = 1;
    EXPECT_EQ(bytes(used), expected);
}

TEST(Region, NanDirectionTakesEveryReachablePixel) {
    GradientField field = uniform_field(16, 0.0f, 1.0f);
    field[0] = {10.0f, 1.0f, 0.0f};
    UsedMap used(16), fresh(16);
    Region region;
    grow_aligned_region(0, kDefaultTolerance, field, used, region, 4, 4);
    EXPECT_EQ(region_indices(region, 4), Indices{0}) << "perpendicular neighbours are rejected";
    field[1] = {HUGE_VALF, NAN, NAN};
    EXPECT_TRUE(isnan(grow_aligned_region(0, kDefaultTolerance, field, fresh, region, 4, 4)));
    EXPECT_EQ(region.size(), 16u);
    const Indices grown = region_indices(region, 4);
    EXPECT_EQ(Indices(grown.begin(), grown.begin() + 4), (Indices{0, 1, 4, 5}));
}

// A helper's view of `shared` with a run started on it, as the seed loop
// sets one up.
struct SpeculativeRun {
    explicit SpeculativeRun(const UsedMap& shared) : used(shared, stop) { used.start(log, state, 1); }
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> state{1};
    SpeculativeUsed used;
    SpeculationLog log;
};

// Whether the committing thread could commit the whole log as it is: no
// step left to it, and every logged read holding.
bool log_holds(const SpeculationLog& log, const UsedMap& used) {
    for (std::size_t step = 0; step < log.steps(); ++step)
        if (log.is_direct(step)) return false;
    for (const UsedEntry& e : log.reads)
        if (used[e.index] != e.value) return false;
    return true;
}

// An 8 x 3 field whose row 1 runs one way and rows 0 and 2 across it.
GradientField crossed_rows(float magnitude) {
    GradientField field(8 * 3);
    for (std::size_t i = 0; i < field.size(); ++i)
        field[i] = i / 8 == 1 ? GradientCell{magnitude, 1.0f, 0.0f} : GradientCell{magnitude, 0.0f, 1.0f};
    return field;
}

// On a field too large for the cache, a long thin region is grown by a copy
// of the loop that asks for cells ahead along its direction. It must grow
// exactly the region the plain loop grows on a smaller field holding the
// same cells.
TEST(RegionGrowth, LargeFieldGrowsTheSameThinRegion) {
    constexpr std::size_t width = 2048;
    auto slanted_band = [](std::size_t height) {
        GradientField field(width * height);
        std::uint32_t state = 12345;
        for (std::size_t t = 0; t < 1200; ++t) {
            const std::size_t y = 20 + t, x = 300 + t * 2 / 5;
            for (std::size_t dx = 0; dx < 3; ++dx) {
                state = state * 1664525u + 1013904223u;
                // Directions near the band's own; one in nine far enough off to
                // be turned away.
                const double angle = atan2(1.0, 0.4) + ((state >> 8) / 16777216.0 - 0.5) * 0.4 +
                                     (state % 9 == 0 ? 0.8 : 0.0);
                field[y * width + x + dx] = {5.0f + static_cast<float>(state % 7),
                                             static_cast<float>(cos(angle)), static_cast<float>(sin(angle))};
            }
        }
        return field;
    };
    // 68.8 MB of cells, and 34.4 MB.
    const std::size_t large = 2800, small = 1400;
    const GradientField large_field = slanted_band(large), small_field = slanted_band(small);
    const PixelIndex seed = static_cast<PixelIndex>(20 * width + 300);
    UsedMap large_used(width * large), small_used(width * small);
    Region large_region, small_region;
    const double large_angle =
        grow_aligned_region(seed, kDefaultTolerance, large_field, large_used, large_region, width, large);
    const double small_angle =
        grow_aligned_region(seed, kDefaultTolerance, small_field, small_used, small_region, width, small);
    ASSERT_GT(small_region.size(), 1000u);
    EXPECT_EQ(large_region, small_region);
    EXPECT_EQ(large_angle, small_angle);
}

// A speculative run logs the used bits its result depends on: a used pixel
// it passed over, a free pixel it took. A free pixel it turned away on its
// angle would have been passed over when used, so its bit is not logged,
// and an earlier region taking it leaves the run valid.
struct SpeculationCase {
    PixelIndex taken_meanwhile;  // by an earlier region, after the run read the map
    bool still_valid;
};

class SpeculativeRegionTest : public testing::TestWithParam<SpeculationCase> {};

TEST_P(SpeculativeRegionTest, LogDecidesValidity) {
    constexpr std::size_t width = 8, height = 3;
    // Pixel 0 was used from the start, pixel 8 taken by an earlier region.
    const GradientField field = crossed_rows(10.0f);
    UsedMap used(width * height);
    used.set(0, true);
    SpeculativeRun run(used);
    SpeculativeUsed& speculative = run.used;
    SpeculationLog& log = run.log;
    used.set(8, true);

    Region region;
    ASSERT_EQ(speculative.get(11), 0);
    grow_region(11, cos(kDefaultTolerance), field, speculative, region, width, height);
    speculative.end_step();
    speculative.finish();
    ASSERT_EQ(region_indices(region, width), (Indices{11, 10, 12, 9, 13, 14, 15}));

    // Logged: the free pixels taken and the used pixel 8 passed over, not
    // pixel 0 (used from the start) nor the rows turned away.
    std::vector<PixelIndex> reads;
    for (const UsedEntry& e : log.reads) reads.push_back(e.index);
    std::sort(reads.begin(), reads.end());
    EXPECT_EQ(reads, (Indices{8, 9, 10, 11, 12, 13, 14, 15}));
    for (const UsedEntry& e : log.writes) EXPECT_EQ(e.value, 1);
    EXPECT_EQ(log.writes.size(), 7u);
    EXPECT_EQ(used[11], 0);  // the shared map is left alone

    used.set(GetParam().taken_meanwhile, true);
    EXPECT_EQ(log_holds(log, used), GetParam().still_valid);
}

INSTANTIATE_TEST_SUITE_P(Meanwhile, SpeculativeRegionTest,
                         testing::Values(SpeculationCase{3, true},    // above the region
                                         SpeculationCase{20, true},   // below it
                                         SpeculationCase{14, false},  // a pixel it took
                                         SpeculationCase{11, false}));  // its seed

// A step that frees pixels it took (as refinement does) logs writes only for
// the pixels it leaves used, once each however often it took them; its
// reads of the freed pixels still decide whether it holds, and committing
// it sets exactly what running it live would.
struct FreedPixelCase {
    PixelIndex taken_meanwhile;
    bool still_valid;
};

class FreedPixelsTest : public testing::TestWithParam<FreedPixelCase> {};

TEST_P(FreedPixelsTest, OnlyPixelsLeftUsedAreWritten) {
    UsedMap used(64);
    SpeculativeRun run(used);
    SpeculativeUsed& speculative = run.used;
    SpeculationLog& log = run.log;
    for (PixelIndex i : {10u, 11u, 12u, 13u}) {
        ASSERT_EQ(speculative.get(i), 0);
        speculative.set(i, 1);
    }
    speculative.set(11, 0);
    speculative.set(13, 0);
    speculative.set(11, 1);  // taken again, then freed again
    speculative.set(11, 0);
    ASSERT_EQ(speculative.get(14), 0);
    speculative.set(14, 1);  // taken, freed and taken again: left used
    speculative.set(14, 0);
    speculative.set(14, 1);
    speculative.end_step();
    speculative.finish();

    std::vector<PixelIndex> written;
    for (const UsedEntry& e : log.writes) {
        EXPECT_EQ(e.value, 1);
        written.push_back(e.index);
    }
    EXPECT_EQ(written, (Indices{10, 12, 14}));
    std::vector<PixelIndex> read;
    for (const UsedEntry& e : log.reads) read.push_back(e.index);
    std::sort(read.begin(), read.end());
    EXPECT_EQ(read, (Indices{10, 11, 12, 13, 14}));

    used.set(GetParam().taken_meanwhile, true);
    ASSERT_EQ(log_holds(log, used), GetParam().still_valid);
    if (!GetParam().still_valid) return;
    for (const UsedEntry& e : log.writes) used.set(e.index, e.value);
    for (PixelIndex i = 0; i < 64; ++i)
        EXPECT_EQ(used[i], i == 10 || i == 12 || i == 14 || i == GetParam().taken_meanwhile) << i;
}

INSTANTIATE_TEST_SUITE_P(Meanwhile, FreedPixelsTest,
                         testing::Values(FreedPixelCase{40, true},    // elsewhere
                                         FreedPixelCase{11, false},   // a pixel it freed
                                         FreedPixelCase{13, false},   // another
                                         FreedPixelCase{12, false},   // one it kept
                                         FreedPixelCase{14, false})); // one it took twice

// A step whose seed is taken by an earlier region while it runs stops, and
// its log can never be committed.
TEST(SpeculativeRegion, SeedTakenMeanwhileStopsTheStep) {
    constexpr std::size_t pixels = 4096;
    UsedMap used(pixels);
    SpeculativeRun run(used);
    SpeculativeUsed& speculative = run.used;
    SpeculationLog& log = run.log;
    ASSERT_EQ(speculative.get(7), 0);
    speculative.set(7, 1);
    used.set(7, true);  // the committing thread's region reaches the seed
    EXPECT_THROW(
        for (PixelIndex i = 100; i < 400; ++i) speculative.get(i), SeedTakenMeanwhile);
    speculative.end_step_rejected();
    speculative.finish();
    ASSERT_EQ(log.steps(), 1u);
    EXPECT_TRUE(log.is_direct(0));  // the committing thread runs the seed
    EXPECT_TRUE(log.reads.empty());
    EXPECT_TRUE(log.writes.empty());
    EXPECT_FALSE(log_holds(log, used));
    used.set(7, false);  // even should the seed be freed again
    EXPECT_FALSE(log_holds(log, used));
}

// With the order watched, a speculative step gives up as soon as its region
// takes a pixel that comes before its seed in the order (a higher bin, or
// the same bin and a lower index): the loop will grow that pixel's region
// first. Its log can then never be committed.
struct EarlierPixelCase {
    PixelIndex pixel;  // of the row the region grows along
    float magnitude;   // given to that pixel; the seed's is 10, the rest 5
    bool gives_up;
};

class WatchedOrderTest : public testing::TestWithParam<EarlierPixelCase> {};

TEST_P(WatchedOrderTest, EarlierSeedInTheRegionEndsTheStep) {
    constexpr std::size_t width = 8, height = 3;
    GradientField field = crossed_rows(5.0f);
    field[11].magnitude = 10.0f;
    field[GetParam().pixel].magnitude = GetParam().magnitude;
    UsedMap used(width * height);
    SpeculativeRun run(used);
    SpeculativeUsed& speculative = run.used;
    SpeculationLog& log = run.log;
    speculative.watch_order(field.data(), field.size(), 20.0f);  // seed bin 511

    Region region;
    bool gave_up = false;
    try {
        grow_region(11, cos(kDefaultTolerance), field, speculative, region, width, height);
        speculative.end_step();
    } catch (const SeedTakenMeanwhile&) {
        gave_up = true;
        speculative.end_step_rejected();
    }
    speculative.finish();
    EXPECT_EQ(gave_up, GetParam().gives_up);
    EXPECT_EQ(log_holds(log, used), !GetParam().gives_up);
    if (!gave_up) {
        EXPECT_EQ(region.size(), 8u);
    }
}

INSTANTIATE_TEST_SUITE_P(Bins, WatchedOrderTest,
                         testing::Values(EarlierPixelCase{13, 5.0f, false},     // a weaker bin
                                         EarlierPixelCase{13, 15.0f, true},     // a stronger bin
                                         EarlierPixelCase{10, 10.0f, true},     // same bin, lower index
                                         EarlierPixelCase{13, 10.005f, false},  // same bin, higher index
                                         EarlierPixelCase{8, 20.0f, true}));    // the maximum, far end

// Peeking at the map for a guess logs nothing, and a step skipped on such a
// guess is left to the committing thread, which runs its seed.
TEST(SpeculativeRegion, PeekLogsNothingAndSkippedStepNeverHolds) {
    UsedMap used(64);
    used.set(3, true);
    SpeculativeRun run(used);
    SpeculativeUsed& speculative = run.used;
    SpeculationLog& log = run.log;
    used.set(5, true);  // taken after the view was made
    EXPECT_TRUE(speculative.peek(3));
    EXPECT_TRUE(speculative.peek(5));
    EXPECT_FALSE(speculative.peek(9));
    speculative.skip_step();
    speculative.finish();
    ASSERT_EQ(log.steps(), 1u);
    EXPECT_TRUE(log.is_direct(0));
    EXPECT_TRUE(log.reads.empty());
    EXPECT_TRUE(log.writes.empty());
    EXPECT_FALSE(log_holds(log, used));
    used.set(9, true);
    EXPECT_FALSE(log_holds(log, used));
}

// Steps that take nothing (their seed was used) or are skipped are left to
// the committing thread with nothing logged; the steps between them keep
// their own reads and writes, which commit exactly what they took.
TEST(SpeculativeRegion, StepsLeftToTheCommitterInterleaveWithLoggedOnes) {
    UsedMap used(4096);
    used.set(70, true);  // taken by the committing thread after the view was made
    SpeculativeRun run(used);
    SpeculativeUsed& speculative = run.used;
    SpeculationLog& log = run.log;
    // The step of seed 70 finds it used and takes nothing.
    ASSERT_EQ(speculative.get(70), 1);
    speculative.end_step();
    // Seed 100 takes 100 and 101.
    for (PixelIndex i : {100u, 101u}) {
        ASSERT_EQ(speculative.get(i), 0);
        speculative.set(i, 1);
    }
    speculative.end_step();
    speculative.skip_step();
    // Seed 200 takes itself; pixel 101 is used by the step before.
    ASSERT_EQ(speculative.get(200), 0);
    speculative.set(200, 1);
    ASSERT_EQ(speculative.get(101), 1);
    speculative.end_step();
    // Seed 101 (taken by an earlier step of the run) takes nothing.
    ASSERT_EQ(speculative.get(101), 1);
    speculative.end_step();
    speculative.finish();

    ASSERT_EQ(log.steps(), 5u);
    std::vector<bool> direct;
    for (std::size_t step = 0; step < log.steps(); ++step) direct.push_back(log.is_direct(step));
    EXPECT_EQ(direct, (std::vector<bool>{true, false, true, false, true}));
    ASSERT_EQ(log.read_end.size(), 2u);
    ASSERT_EQ(log.write_end.size(), 2u);
    auto indices = [](const std::vector<UsedEntry>& entries, std::size_t begin, std::size_t end) {
        Indices out;
        for (std::size_t k = begin; k < end; ++k) out.push_back(entries[k].index);
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(indices(log.reads, 0, log.read_end[0]), (Indices{100, 101}));
    EXPECT_EQ(indices(log.writes, 0, log.write_end[0]), (Indices{100, 101}));
    EXPECT_EQ(indices(log.reads, log.read_end[0], log.read_end[1]), (Indices{101, 200}));
    EXPECT_EQ(indices(log.writes, log.write_end[0], log.write_end[1]), (Indices{200}));
}
