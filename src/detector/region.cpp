#include <math.h>

#include <algorithm>
#include <array>
#include <type_traits>

#include "common/checked.hpp"
#include "common/interrupt.hpp"
#include "detector/growth_threshold.hpp"
#include "detector/profile.hpp"
#include "detector/stages.hpp"
#include "detector/used_access.hpp"

namespace linara {

Region make_region(const std::vector<PixelIndex>& indices, const GradientField& field,
                   std::size_t width) {
    const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");
    const IndexSplitter split(width);
    Region region;
    region.reserve(indices.size());
    for (PixelIndex i : indices) {
        const PixelXY xy = split(i);
        region.push_back({xy.x, xy.y, cells[i].magnitude});
    }
    return region;
}

std::vector<PixelIndex> region_indices(const Region& region, std::size_t width) {
    std::vector<PixelIndex> indices;
    indices.reserve(region.size());
    for (const RegionPixel& p : region) indices.push_back(p.index(width));
    return indices;
}

double DirectionSum::angle() const { return atan2(y, x); }

namespace {

// A thin region grows along its line a pixel or two at a time. Across rows
// the next row's cells lie a whole row further in memory, where no hardware
// prefetcher looks, and on a large image each step would wait for them. So
// on a field too large to stay in the cache (kPrefetchFieldBytes or more),
// while a long region is thin (few of its pixels wait to be walked: a wide
// one has a long frontier, whose rows are at hand), walking each pixel asks
// for the cells kPrefetchReach pixels further along the region's direction
// (sx, sy), both ways. Whether to, and that offset, are decided every
// kPrefetchEvery pixels. Along a row the next cells are the next bytes and
// need no hint. Smaller fields are grown by a copy of the loop without any
// of this, where it would cost more than it saves. Only hints: they change
// no result.
constexpr std::size_t kPrefetchFieldBytes = std::size_t{64} << 20;
constexpr std::size_t kPrefetchEvery = 16;
constexpr std::size_t kPrefetchFrom = 256;
constexpr std::size_t kThinFrontier = 8;
constexpr double kPrefetchReach = 16.0;

// The index offset kPrefetchReach pixels along (sx, sy) in a field `w`
// wide, for a long thin region; 0 for any other, and when the offset stays
// within the row.
[[gnu::noinline]] std::int64_t prefetch_offset(std::size_t walked, std::size_t waiting, double sx,
                                               double sy, std::uint32_t w) {
    if (walked < kPrefetchFrom || waiting > kThinFrontier) return 0;
    const double longest = std::max(fabs(sx), fabs(sy));
    if (!(longest > 0.0)) return 0;
    const double t = kPrefetchReach / longest;
    const auto dy = static_cast<std::int64_t>(sy * t);
    if (dy == 0) return 0;
    return dy * static_cast<std::int64_t>(w) + static_cast<std::int64_t>(sx * t);
}

template <bool kPrefetching, class Used>
[[gnu::always_inline]] inline DirectionSum grow(PixelIndex seed, double cos_tolerance, const GradientField& field,
                                                Used& used, Region& region, std::size_t width, std::size_t height) {
    const Checked<const GradientCell> cells(field.data(), field.size(), "gradient field");

    region.clear();
    // One index to split: a division, cheaper than making an IndexSplitter.
    const auto w = static_cast<std::uint32_t>(width);
    const PixelXY seed_xy{seed % w, seed / w};
    const GradientCell& seed_cell = cells[seed];
    region.push_back({seed_xy.x, seed_xy.y, seed_cell.magnitude});
    used.set(seed, 1);

    double sx = seed_cell.dir_x;
    double sy = seed_cell.dir_y;
    // The first threshold is cos(tolerance) itself, not scaled by the length
    // of the seed's vector.
    GrowthThreshold threshold(cos_tolerance);

    // Accepts q when its direction lies within the tolerance of the running
    // direction sum; the sum and threshold change at once on acceptance.
    auto consider = [&](PixelIndex q, std::uint32_t qx, std::uint32_t qy) __attribute__((always_inline)) {
        if (used.get(q) != 0) return;
        const GradientCell& cell = cells[q];
        const double mx = cell.dir_x;
        const double my = cell.dir_y;
        const double dot = sy * my + sx * mx;
        if (threshold.rejects(dot, sx, sy)) return;
        used.set(q, 1);
        RegionPixel& added = region.emplace_back();
        added.x = qx;
        added.y = qy;
        added.magnitude = cell.magnitude;
        sx = sx + mx;
        sy = sy + my;
        threshold.update(sx, sy);
    };

    [[maybe_unused]] std::int64_t ahead = 0;
    // The region is its own queue: it grows while it is walked. Neighbours
    // come in a fixed order: the row above left to right, left and right,
    // the row below left to right.
    for (std::size_t i = 0; i < region.size(); ++i) {
        if (i % 4096 == 4095) poll_interrupt();  // a region may cover most of the image
        const RegionPixel p = region[i];
        const std::uint32_t x = p.x, y = p.y;
        if constexpr (kPrefetching) {
            if (i % kPrefetchEvery == 0) ahead = prefetch_offset(i, region.size() - i, sx, sy, w);
            if (ahead != 0) {
                // Points whose cells from point - 1 to point + 1 lie in the
                // field; the others are not asked for.
                const std::uint64_t limit = field.size() - 2;
                const std::int64_t at = static_cast<std::int64_t>(y) * w + x;
                for (const std::int64_t point : {at + ahead, at - ahead})
                    if (static_cast<std::uint64_t>(point - 1) < limit) {
                        __builtin_prefetch(cells.data() + (point - 1));
                        __builtin_prefetch(cells.data() + (point + 1));
                    }
            }
        }
        if (x >= 1 && x + 2 <= width && y >= 1 && y + 2 <= height) {
            const PixelIndex up = (y - 1) * w + x, middle = up + w, down = middle + w;
            consider(up - 1, x - 1, y - 1);
            consider(up, x, y - 1);
            consider(up + 1, x + 1, y - 1);
            consider(middle - 1, x - 1, y);
            consider(middle + 1, x + 1, y);
            consider(down - 1, x - 1, y + 1);
            consider(down, x, y + 1);
            consider(down + 1, x + 1, y + 1);
        } else {
            // Border pixel: the clipped 3x3 window in the same order; p itself
            // is already used and skipped.
            const std::uint32_t y_first = y > 0 ? y - 1 : 0;
            const auto y_last = static_cast<std::uint32_t>(std::min<std::size_t>(y + 1u, height - 1));
            const std::uint32_t x_first = x > 0 ? x - 1 : 0;
            const auto x_last = static_cast<std::uint32_t>(std::min<std::size_t>(x + 1u, width - 1));
            for (std::uint32_t ny = y_first; ny <= y_last; ++ny)
                for (std::uint32_t nx = x_first; nx <= x_last; ++nx) consider(ny * w + nx, nx, ny);
        }
    }
    // Every pixel taken after the seed needed a new threshold (a run that
    // stops early, by an exception, goes uncounted).
    profile::count(profile::Counter::kHypotNeeded, region.size() - 1);
    return {sx, sy};
}

// Grows with a local copy of a LiveUsed view: two words that no store can
// reach stay in registers, where the caller's would be reloaded after every
// byte written to the map.
template <bool kPrefetching, class Used>
[[gnu::always_inline]] inline DirectionSum grow_from(PixelIndex seed, double cos_tolerance,
                                                     const GradientField& field, Used& used,
                                                     Region& region, std::size_t width,
                                                     std::size_t height) {
    if constexpr (std::is_same_v<Used, LiveUsed>) {
        LiveUsed local = used;
        return grow<kPrefetching>(seed, cos_tolerance, field, local, region, width, height);
    } else {
        return grow<kPrefetching>(seed, cos_tolerance, field, used, region, width, height);
    }
}

// The prefetching copy of the loop, in a function of its own so that it
// does not change how the compiler lays out the plain one.
template <class Used>
[[gnu::noinline]] DirectionSum grow_prefetching(PixelIndex seed, double cos_tolerance,
                                                const GradientField& field, Used& used,
                                                Region& region, std::size_t width,
                                                std::size_t height) {
    return grow_from<true>(seed, cos_tolerance, field, used, region, width, height);
}

}  // namespace

template <class Used>
DirectionSum grow_region(PixelIndex seed, double cos_tolerance, const GradientField& field, Used& used,
                         Region& region, std::size_t width, std::size_t height) {
    if (field.size() >= kPrefetchFieldBytes / sizeof(GradientCell))
        return grow_prefetching(seed, cos_tolerance, field, used, region, width, height);
    return grow_from<false>(seed, cos_tolerance, field, used, region, width, height);
}

template DirectionSum grow_region(PixelIndex, double, const GradientField&, LiveUsed&, Region&,
                                  std::size_t, std::size_t);
template DirectionSum grow_region(PixelIndex, double, const GradientField&, SpeculativeUsed&,
                                  Region&, std::size_t, std::size_t);

double grow_aligned_region(PixelIndex seed, double tolerance, const GradientField& field,
                           UsedMap& used_map, Region& region, std::size_t width, std::size_t height) {
    LiveUsed used(used_map);
    return grow_region(seed, cos(tolerance), field, used, region, width, height).angle();
}

}  // namespace linara
