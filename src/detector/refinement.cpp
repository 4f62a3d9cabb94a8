#include <math.h>

#include <vector>

#include "common/checked.hpp"
#include "detector/hypot_bounds.hpp"
#include "detector/distance_limit.hpp"
#include "detector/profile.hpp"
#include "detector/stages.hpp"
#include "detector/used_access.hpp"

namespace linara {
namespace {

constexpr double kMinDensity = 0.7;

// Region pixels per unit area, the area being at least 1 (and 1 when it is
// not a number).
double density(double pixels, double area) {
    if (!(area >= 1.0)) area = 1.0;
    return pixels / area;
}

// Whether the region's pixels fill at least 0.7 of the rectangle's area,
// length x width. For a positive finite width the density falls as the
// length grows, so a bracket of the length decides unless the two ends of
// the bracket disagree.
bool dense_enough(std::size_t count, const LineRect& rect) {
    profile::count(profile::Counter::kHypotNeeded);
    const double n = static_cast<double>(count);
    const double dx = rect.x2 - rect.x1, dy = rect.y2 - rect.y1;
    HypotBracket length;
    if (rect.width > 0.0 && rect.width < HUGE_VAL && bracket_hypot(dx, dy, length)) {
        const bool shortest = density(n, length.lo * rect.width) >= kMinDensity;
        const bool longest = density(n, length.hi * rect.width) >= kMinDensity;
        if (shortest == longest) return longest;
    }
    profile::count(profile::Counter::kHypotCalled);
    return density(n, hypot(dx, dy) * rect.width) >= kMinDensity;
}

double level_line_angle(const GradientCell& cell) {
    return atan2(static_cast<double>(cell.dir_y), static_cast<double>(cell.dir_x));
}

// Twice the standard deviation of the level-line angles, relative to the
// seed's, of the region pixels closer to the seed than the rectangle width.
std::int64_t difference(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b);
}

double tolerance_near_seed(const Region& region, const LineRect& rect,
                           const Checked<const GradientCell>& cells, std::size_t width) {
    const RegionPixel& seed = region[0];
    const double seed_angle = level_line_angle(cells[seed.index(width)]);
    const DistanceLimit disc(rect.width);
    profile::count(profile::Counter::kHypotNeeded, region.size());
    double sum = 0.0, sum_squares = 0.0, count = 0.0;
    for (const RegionPixel& p : region) {
        if (!disc.exceeds(difference(p.x, seed.x), difference(p.y, seed.y))) continue;
        double a = level_line_angle(cells[p.index(width)]) - seed_angle;
        while (a <= -kPi) a = a + kTwoPi;
        while (a > kPi) a = a - kTwoPi;
        sum = sum + a;
        sum_squares = sum_squares + a * a;
        count = count + 1.0;
    }
    const double mean = sum / count;
    double variance = sum_squares / count - mean * mean;
    if (!(variance > 0.0)) variance = 0.0;
    return 2.0 * sqrt(variance);
}

// The state of a pass over the region after its first i pixels, i a
// multiple of kMarkEvery: their sums and largest squared distance from the
// seed.
struct RadiusMark {
    CentreSums sums;
    double farthest = 0.0;
};
constexpr std::size_t kMarkEvery = 8;

// The last of the first `valid` marks before which every pixel is within
// the limit; the largest distances grow from mark to mark.
std::size_t last_mark_within(const std::vector<RadiusMark>& marks, std::size_t valid,
                             const DistanceLimit& disc) {
    std::size_t lo = 0, hi = valid;  // marks[lo] qualifies (or is the start), marks[hi] does not
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (disc.within_for_all_up_to(marks[mid].farthest))
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace

template <class Used>
bool tighten_region(Region& region, LineRect& rect, Used& used, const GradientField& field,
                    std::size_t min_size, std::size_t width, std::size_t height) {
    if (dense_enough(region.size(), rect)) return true;

    const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");
    if (region.empty()) throw InternalError("region refinement was given an empty region");
    const RegionPixel seed = region[0];

    // First remedy: grow again from the seed with the tolerance the angles
    // near it suggest.
    const double tolerance = tolerance_near_seed(region, rect, cells, width);
    for (const RegionPixel& p : region) used.set(p.index(width), 0);
    const DirectionSum sum =
        grow_region(seed.index(width), cos(tolerance), field, used, region, width, height);
    if (region.size() < min_size) return false;
    const double region_angle = sum.angle();
    fit_line_rect(region, region_angle, rect.precision, rect);
    if (dense_enough(region.size(), rect)) return true;

    // Second remedy: keep only pixels ever closer to the seed.
    const double sx = seed.x, sy = seed.y;
    const double d1 = hypot(sx - rect.x1, sy - rect.y1);
    const double d2 = hypot(sx - rect.x2, sy - rect.y2);
    double radius = (d2 > d1 || d1 != d1) ? d2 : d1;
    // Without a finite radius no pixel would ever be removed and the loop
    // below would not end; such a candidate has no usable geometry.
    if (!isfinite(radius)) return false;

    // A pass leaves the pixels before the first one it drops where they
    // were, and the next pass would add them to its sums in the same order
    // again. So each pass records, every kMarkEvery places, the sums so far
    // and the largest squared distance so far, and the next pass starts at
    // the last mark before which no pixel can be beyond its radius, from
    // the sums recorded there.
    std::vector<RadiusMark> marks(region.size() / kMarkEvery + 1);
    std::size_t valid_marks = 1;  // marks[0] is the empty start
    for (;;) {
        radius = radius * 0.75;
        // Drops the pixels beyond the radius, moving the last pixel into the
        // gap, and sums the first pass of the next fit over the pixels whose
        // place is final.
        const DistanceLimit disc(radius);
        const std::size_t mark = last_mark_within(marks, valid_marks, disc);
        CentreSums sums = marks[mark].sums;
        double farthest = marks[mark].farthest;
        bool removed = false;
        // Each pixel from the mark on is compared once: kept, or replaced by
        // the last one.
        profile::count(profile::Counter::kHypotNeeded, region.size() - mark * kMarkEvery);
        for (std::size_t i = mark * kMarkEvery; i < region.size();) {
            const std::int64_t dx = difference(region[i].x, seed.x), dy = difference(region[i].y, seed.y);
            const double squared = DistanceLimit::squared(dx, dy);
            if (disc.exceeded_by(dx, dy, squared)) {
                used.set(region[i].index(width), 0);
                region[i] = region.back();
                region.pop_back();
                removed = true;
            } else {
                sums.add(region[i]);
                farthest = squared > farthest ? squared : farthest;
                ++i;
                if (i % kMarkEvery == 0) marks[i / kMarkEvery] = {sums, farthest};
            }
        }
        valid_marks = region.size() / kMarkEvery + 1;
        // An unchanged region has the rectangle and density it had.
        if (!removed) continue;
        if (region.size() < min_size) return false;
        fit_line_rect(region, sums, region_angle, rect.precision, rect);
        if (dense_enough(region.size(), rect)) return true;
    }
}

template bool tighten_region(Region&, LineRect&, LiveUsed&, const GradientField&, std::size_t,
                             std::size_t, std::size_t);
template bool tighten_region(Region&, LineRect&, SpeculativeUsed&, const GradientField&, std::size_t,
                             std::size_t, std::size_t);

bool tighten_region(Region& region, LineRect& rect, UsedMap& used_map, const GradientField& field,
                    std::size_t min_size, std::size_t width, std::size_t height) {
    LiveUsed used(used_map);
    return tighten_region(region, rect, used, field, min_size, width, height);
}

}  // namespace linara
