#include <algorithm>
#include <array>
#include <vector>

#include "common/cpu.hpp"
#include "common/interrupt.hpp"
#include "common/saturate.hpp"
#include "common/worker_pool.hpp"
#include "detector/profile.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

constexpr std::uint32_t kBins = kSeedBins;
// Cells per chunk of the parallel passes. The result does not depend on it.
constexpr std::size_t kChunkCells = 1 << 16;

struct Chunks {
    explicit Chunks(std::size_t total) : cells(total), count((total + kChunkCells - 1) / kChunkCells) {}
    std::size_t first(std::size_t c) const { return c * kChunkCells; }
    std::size_t end(std::size_t c) const { return std::min(cells, (c + 1) * kChunkCells); }
    std::size_t cells;
    std::size_t count;
};

// Cells taken together by the passes below: a whole number of bytes of
// the used map, and a divisor of kChunkCells.
constexpr std::size_t kBlock = 64;
static_assert(kChunkCells % kBlock == 0);
// Blocks with fewer cells above the threshold take their bins one by one.
constexpr int kFewAbove = 8;
// seed_bin of kBlock cells, and the mask of those at or below the threshold
// (bit k for cell k), whose bins mean nothing. Every step runs across the
// cells and vectorises; each cell's float32 arithmetic is seed_bin's, and
// the clamp to [0, 1023] (NaN to 0) gives what its saturating conversion
// and minimum give.
[[gnu::always_inline]] inline std::uint64_t block_bins_body(const GradientCell* cells, float threshold,
                                                           float max, std::uint16_t* bins) {
    std::uint8_t below[kBlock];
    for (std::size_t k = 0; k < kBlock; ++k) {
        const float m = cells[k].magnitude;
        const float q = m / max;
        const float p = q * 1023.0f;
        const float clamped = p > 0.0f ? (p < 1023.0f ? p : 1023.0f) : 0.0f;
        bins[k] = static_cast<std::uint16_t>(static_cast<int>(clamped));
        below[k] = m > threshold ? 0 : 1;
    }
    std::uint64_t mask = 0;
    for (std::size_t k = 0; k < kBlock; ++k) mask |= static_cast<std::uint64_t>(below[k]) << k;
    return mask;
}

// Calls f(k) for each set bit k of `bits`, lowest first.
template <class F>
[[gnu::always_inline]] inline void for_each_bit(std::uint64_t bits, F&& f) {
    for (; bits != 0; bits &= bits - 1) f(static_cast<std::size_t>(__builtin_ctzll(bits)));
}

using BlockBins = std::uint64_t (*)(const GradientCell*, float, float, std::uint16_t*);

std::uint64_t block_bins_portable(const GradientCell* cells, float threshold, float max, std::uint16_t* bins) {
    return block_bins_body(cells, threshold, max, bins);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) std::uint64_t block_bins_avx2(const GradientCell* cells, float threshold,
                                                              float max, std::uint16_t* bins) {
    return block_bins_body(cells, threshold, max, bins);
}
__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw"))) std::uint64_t block_bins_avx512(
    const GradientCell* cells, float threshold, float max, std::uint16_t* bins) {
    return block_bins_body(cells, threshold, max, bins);
}
#endif

BlockBins block_bins_routine() {
#if defined(__x86_64__)
    static const BlockBins chosen = routine_for_level(block_bins_portable, block_bins_avx2, block_bins_avx512);
#else
    static const BlockBins chosen = block_bins_portable;
#endif
    return chosen;
}

}  // namespace

// A counting sort over the bins, on the worker pool: it emits exactly the
// concatenation of per-bin lists in ascending pixel index, strongest bin
// first. The field is cut into fixed chunks; each chunk counts its pixels
// per bin, and a chunk's pixels of a bin go after those of the chunks
// before it, so the order does not depend on how chunks meet threads. The
// counting pass also marks the used map, unless the gradient has (`weak`),
// which is why chunks hold whole bytes of it: no two chunks write one byte.
SeedPlan plan_seeds(const GradientField& field, float threshold, UsedMap weak) {
    profile::Timer timer(profile::Stage::kOrdering);
    static_assert(kChunkCells % 8 == 0);
    const GradientCell* cells = field.data();
    const Chunks chunks(field.size());
    // With the weak cells marked, the counting pass reads only the cells
    // above the threshold.
    const bool marked = weak.size() == field.size();
    SeedPlan plan{{}, marked ? std::move(weak) : UsedMap(field.size())};

    // The largest magnitude, recorded by the gradient or found here.
    float max = field.max_magnitude;
    if (max < 0.0f) {
        std::vector<float> chunk_max(chunks.count, 0.0f);
        parallel_rows(chunks.count, [&](std::size_t c) {
            poll_interrupt();
            const std::size_t first = chunks.first(c);
            chunk_max[c] = largest_magnitude(cells + first, chunks.end(c) - first);
        });
        max = 0.0f;
        for (float m : chunk_max)
            if (m > max) max = m;
    }

    // Pixels at or below the threshold start used. Without a positive
    // maximum no pixel is above the threshold and the order stays empty.
    const bool any = max > 0.0f;
    std::vector<std::array<std::uint32_t, kBins>> counts(any ? chunks.count : 0);
    std::uint8_t* const used_bytes = plan.used.bits();
    const BlockBins block_bins = block_bins_routine();
    // The cells above the threshold of the block from cell i, as the used
    // map has them (bit k for cell i + k).
    auto above_in_map = [used_bytes](std::size_t i) {
        std::uint64_t below = 0;
        for (std::size_t b = 0; b < kBlock / 8; ++b)
            below |= static_cast<std::uint64_t>(used_bytes[(i >> 3) + b]) << (8 * b);
        return ~below;
    };
    // Calls f(k, bin) for each cell i + k of `above` in increasing k. Blocks
    // with few such cells take their bins one by one, reading no others.
    auto for_each_above = [&](std::size_t i, std::uint64_t above, auto&& f) {
        if (__builtin_popcountll(above) < kFewAbove) {
            for_each_bit(above, [&](std::size_t k) { f(k, seed_bin(cells[i + k].magnitude, max)); });
            return;
        }
        std::uint16_t bins[kBlock];
        block_bins(cells + i, threshold, max, bins);
        for_each_bit(above, [&](std::size_t k) { f(k, bins[k]); });
    };
    parallel_rows(chunks.count, [&](std::size_t c) {
        poll_interrupt();
        // Four histograms, one per pixel index modulo 4, and the used bits
        // of eight pixels gathered before their byte is written: runs of
        // pixels in one bin, or below the threshold, would otherwise each
        // wait for the previous pixel's store to the same place. Whole
        // blocks take their bins first, then count the cells above the
        // threshold, found in the block's mask.
        std::array<std::array<std::uint32_t, kBins>, 4> partial{};
        const std::size_t end = chunks.end(c);
        std::size_t i = chunks.first(c);
        auto count = [&partial](std::size_t k, std::uint32_t bin) { ++partial[k & 3][bin]; };
        for (; end - i >= kBlock; i += kBlock) {
            if (marked) {
                const std::uint64_t above = above_in_map(i);
                if (any && above != 0) for_each_above(i, above, count);
                continue;
            }
            std::uint16_t bins[kBlock];
            const std::uint64_t below = block_bins(cells + i, threshold, max, bins);
            for_each_bit(~below, [&](std::size_t k) { count(k, bins[k]); });
            for (std::size_t b = 0; b < kBlock / 8; ++b)
                used_bytes[(i >> 3) + b] = static_cast<std::uint8_t>(below >> (8 * b));
        }
        for (; i < end; i += 8) {
            const std::size_t stop = std::min(end, i + 8);
            unsigned bits = 0;
            for (std::size_t j = i; j < stop; ++j) {
                const float m = cells[j].magnitude;
                if (m > threshold) {
                    if (any) ++partial[j & 3][seed_bin(m, max)];
                } else {
                    bits |= 1u << (j - i);
                }
            }
            used_bytes[i >> 3] = static_cast<std::uint8_t>(bits);
        }
        if (any) {
            for (std::uint32_t b = 0; b < kBins; ++b)
                counts[c][b] = partial[0][b] + partial[1][b] + partial[2][b] + partial[3][b];
        }
    });
    if (!any) return plan;
    plan.max_magnitude = max;

    // Turn counts into the first output position of each (chunk, bin).
    std::size_t total = 0;
    for (std::uint32_t b = kBins; b-- > 0;) {
        for (auto& count : counts) {
            const std::uint32_t n = count[b];
            count[b] = static_cast<std::uint32_t>(total);
            total += n;
        }
    }

    plan.order = CachedArray<PixelIndex>(total, Fill::kNone);
    parallel_rows(chunks.count, [&](std::size_t c) {
        poll_interrupt();
        std::array<std::uint32_t, kBins>& next = counts[c];
        // Where each bin's next pixel goes.
        std::array<PixelIndex*, kBins> place;
        for (std::uint32_t b = 0; b < kBins; ++b) place[b] = plan.order.data() + next[b];
        const std::size_t end = chunks.end(c);
        std::size_t i = chunks.first(c);
        // The used map, complete by now, says which cells are above the
        // threshold: blocks with none are not read again.
        for (; end - i >= kBlock; i += kBlock) {
            const std::uint64_t above = above_in_map(i);
            if (above == 0) continue;
            for_each_above(i, above, [&](std::size_t k, std::uint32_t bin) {
                *place[bin]++ = static_cast<PixelIndex>(i + k);
            });
        }
        for (std::uint32_t b = 0; b < kBins; ++b)
            next[b] = static_cast<std::uint32_t>(place[b] - plan.order.data());
        for (; i < end; ++i)
            if (cells[i].magnitude > threshold)
                plan.order[next[seed_bin(cells[i].magnitude, max)]++] = static_cast<PixelIndex>(i);
    });
    return plan;
}

PixelOrder order_pixels(const GradientField& field, float threshold) {
    const SeedPlan plan = plan_seeds(field, threshold);
    return PixelOrder(plan.order.begin(), plan.order.end());
}

}  // namespace linara
