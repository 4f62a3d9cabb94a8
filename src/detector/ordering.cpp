#include <algorithm>
#include <array>
#include <vector>

#include "common/interrupt.hpp"
#include "common/saturate.hpp"
#include "common/worker_pool.hpp"
#include "detector/profile.hpp"
#include "detector/stages.hpp"

namespace linara {
namespace {

constexpr std::uint32_t kBins = 1024;
// Cells per chunk of the parallel passes. The result does not depend on it.
constexpr std::size_t kChunkCells = 1 << 16;

struct Chunks {
    explicit Chunks(std::size_t total) : cells(total), count((total + kChunkCells - 1) / kChunkCells) {}
    std::size_t first(std::size_t c) const { return c * kChunkCells; }
    std::size_t end(std::size_t c) const { return std::min(cells, (c + 1) * kChunkCells); }
    std::size_t cells;
    std::size_t count;
};

}  // namespace

// 1023 equal bins below the maximum, bin 1023 for the maximum itself.
// float32 arithmetic.
std::uint32_t seed_bin(float m, float max) {
    const float q = m / max;
    const float p = q * 1023.0f;
    return std::min(saturating_cast<std::uint32_t>(static_cast<double>(p)), kBins - 1);
}

// A counting sort over the bins, on the worker pool: it emits exactly the
// concatenation of per-bin lists in ascending pixel index, strongest bin
// first. The field is cut into fixed chunks; each chunk counts its pixels
// per bin, and a chunk's pixels of a bin go after those of the chunks
// before it, so the order does not depend on how chunks meet threads. The
// counting pass also marks the used map, which is why chunks hold whole
// bytes of it: no two chunks write one byte.
SeedPlan plan_seeds(const GradientField& field, float threshold) {
    profile::Timer timer(profile::Stage::kOrdering);
    static_assert(kChunkCells % 8 == 0);
    const GradientCell* cells = field.data();
    const Chunks chunks(field.size());
    SeedPlan plan{{}, UsedMap(field.size())};

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
    parallel_rows(chunks.count, [&](std::size_t c) {
        poll_interrupt();
        // Four histograms, one per pixel index modulo 4, and the used bits
        // of eight pixels gathered before their byte is written: runs of
        // pixels in one bin, or below the threshold, would otherwise each
        // wait for the previous pixel's store to the same place.
        std::array<std::array<std::uint32_t, kBins>, 4> partial{};
        const std::size_t end = chunks.end(c);
        for (std::size_t i = chunks.first(c); i < end; i += 8) {
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
        for (std::size_t i = chunks.first(c); i < chunks.end(c); ++i)
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
