#include <math.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/cpu.hpp"
#include "common/interrupt.hpp"
#include "common/worker_pool.hpp"
#include "detector/profile.hpp"
#include "detector/stages.hpp"
#include "detector/used_access.hpp"

namespace linara {
namespace {

// The committing thread polls for an interruption once per this many seeds.
constexpr std::size_t kPollEvery = 256;
// Below this many seeds the loop runs on the calling thread alone.
constexpr std::size_t kMinSeedsToSpeculate = 4096;

SegmentRecord make_record(const LineRect& rect, double log_nfa, double inverse_scale) {
    return {(rect.x1 + 0.5) * inverse_scale, (rect.y1 + 0.5) * inverse_scale,
            (rect.x2 + 0.5) * inverse_scale, (rect.y2 + 0.5) * inverse_scale,
            rect.width * inverse_scale,      rect.precision,
            log_nfa};
}

struct SeedContext {
    const GradientField& field;
    std::size_t width, height;
    const DetectionParams& params;
    double cos_tolerance;  // cos(params.tolerance)
};

// Buffers of one thread's seed runs, reused from seed to seed.
struct SeedWorkspace {
    Region region;
};

// One seed of the loop against the used map `used`: nothing when the seed
// is taken or its candidate fails, else the candidate's record.
template <class Used>
std::optional<SegmentRecord> run_seed(PixelIndex seed, Used& used, SeedWorkspace& ws,
                                      const SeedContext& ctx) {
    using profile::Stage;
    using profile::Timer;
    if (used.get(seed) != 0) return std::nullopt;
    profile::count(profile::Counter::kSeeds);
    const DetectionParams& params = ctx.params;
    DirectionSum sum;
    {
        Timer timer(Stage::kGrowth);
        sum = grow_region(seed, ctx.cos_tolerance, ctx.field, used, ws.region, ctx.width, ctx.height);
    }
    if (ws.region.size() < params.min_size) return std::nullopt;
    profile::count(profile::Counter::kCandidates);
    LineRect rect;
    {
        Timer timer(Stage::kFit);
        fit_line_rect(ws.region, sum.angle(), params.precision, rect);
    }
    {
        Timer timer(Stage::kRefinement);
        if (!tighten_region(ws.region, rect, used, ctx.field, params.min_size, ctx.width, ctx.height))
            return std::nullopt;
    }
    double log_nfa;
    {
        Timer timer(Stage::kScoring);
        log_nfa = polish_rect(rect, ctx.field, params.magnitude_threshold, params.log_tests,
                              ctx.width, ctx.height);
    }
    // A score at or below 0 fails; any other, NaN included, passes.
    if (log_nfa <= 0.0) return std::nullopt;
    profile::count(profile::Counter::kSegments);
    return make_record(rect, log_nfa, params.inverse_scale);
}

// Seeds lie scattered over the image and most are taken before the loop
// reaches them, so the loop asks for memory ahead in two steps: far ahead,
// the used bit of a seed; nearer, when that bit still shows the seed free,
// the used bits and gradient cells of the 5x5 window that growing it reads
// first.
constexpr std::size_t kPrefetchBitAhead = 64;
constexpr std::size_t kPrefetchWindowAhead = 16;

void prefetch_ahead(const PixelOrder& order, std::size_t p, const UsedMap& used,
                    const SeedContext& ctx) {
    if (p + kPrefetchBitAhead < order.size())
        __builtin_prefetch(used.bits() + (order[p + kPrefetchBitAhead] >> 3));
    if (p + kPrefetchWindowAhead >= order.size()) return;
    const std::size_t seed = order[p + kPrefetchWindowAhead];
    const std::size_t width = ctx.width;
    if (seed < 2 * width + 2 || seed + 2 * width + 2 >= used.size()) return;
    if ((__atomic_load_n(used.bits() + (seed >> 3), __ATOMIC_RELAXED) >> (seed & 7)) & 1u) return;
    const GradientCell* cells = ctx.field.data();
    for (std::size_t row = seed - 2 * width; row <= seed + 2 * width; row += width) {
        __builtin_prefetch(used.bits() + (row >> 3));
        __builtin_prefetch(cells + row - 2);
        __builtin_prefetch(cells + row + 2);
    }
}

std::vector<SegmentRecord> run_in_order(const PixelOrder& order, UsedMap& used_map,
                                        const SeedContext& ctx) {
    LiveUsed used(used_map);
    SeedWorkspace ws;
    std::vector<SegmentRecord> records;
    for (std::size_t p = 0; p < order.size(); ++p) {
        if (p % kPollEvery == 0) poll_interrupt();
        prefetch_ahead(order, p, used_map, ctx);
        if (auto record = run_seed(order[p], used, ws, ctx)) records.push_back(*record);
    }
    return records;
}

// A testing aid: LINARA_SCHEDULE_JITTER=<number> makes the threads of the
// speculative loop pause at random (seeded by the number) at the points
// where their order matters, so that tests can show the result does not
// depend on the schedule. Read once; 0 or unset means off.
unsigned read_jitter_seed() {
    const char* text = std::getenv("LINARA_SCHEDULE_JITTER");
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 0u;
}
const unsigned g_jitter_seed = read_jitter_seed();

class Jitter {
public:
    explicit Jitter(unsigned stream) : state_(g_jitter_seed * 0x9E3779B97F4A7C15u + stream + 1) {}
    // Sometimes yields, sometimes sleeps up to 50 us, mostly goes on.
    void maybe_pause() {
        if (g_jitter_seed == 0) return;
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        const unsigned roll = static_cast<unsigned>(state_ % 16);
        if (roll == 0) std::this_thread::sleep_for(std::chrono::microseconds(state_ % 50));
        if (roll == 1) std::this_thread::yield();
    }

private:
    std::uint64_t state_;
};

// Waits a little; for loops that wait on another thread.
void pause_briefly(unsigned& spins) {
    if (++spins < 64) {
        cpu_relax();
    } else {
        std::this_thread::yield();
    }
}

// The seed loop on several threads with the result of the sequential one.
//
// The calling thread commits seeds strictly in order. Helper threads run
// free seeds ahead of it speculatively against the used map as it stands
// (used_access.hpp). When the committing thread reaches a seed a helper has
// run, it checks that every used-map bit the helper read still holds the
// value read: then the sequential loop would have read the same values and
// done the same, and the helper's writes and record are committed.
// Otherwise it runs the seed itself. Seeds no helper has claimed it runs
// itself at once, so it never waits for a helper to start.
//
// Every position p of the order has a state word, slot p % kWindow, that
// holds the position it serves, a phase, and the result buffer of a
// helper's run. Free seeds are sparse among the positions (most are taken
// long before the loop reaches them), so the window is wide, and the few
// result buffers bound how far helpers run ahead.
class SpeculativeLoop {
public:
    SpeculativeLoop(const PixelOrder& order, UsedMap& used_map, const SeedContext& ctx)
        : order_(order), used_map_(used_map), ctx_(ctx), live_(used_map),
          states_(new std::atomic<std::uint64_t>[kWindow]), results_(kBuffers) {
        for (std::size_t p = 0; p < kWindow; ++p) slot_of(p).store(state_of(p, kFree, 0));
    }

    std::vector<SegmentRecord> run(std::size_t helpers) {
        run_with_helpers(
            helpers,
            [](void* self, std::size_t, std::size_t) { static_cast<SpeculativeLoop*>(self)->help(); },
            this, [this] { commit_all(); }, [this] { stop_.store(true, std::memory_order_relaxed); });
        return std::move(records_);
    }

private:
    static constexpr std::size_t kWindow = 1 << 16;
    static constexpr std::size_t kBuffers = 64;  // a bit each in free_buffers_
    // Helpers start this many free seeds ahead of the committing thread, so
    // that their results tend to be ready when it gets there.
    static constexpr std::size_t kLead = 4;
    // Pauses the committing thread waits for a running helper, about 20 us:
    // a helper that the system has put to sleep must not hold it up.
    static constexpr unsigned kPatience = 1000;

    enum Phase : std::uint64_t {
        kFree = 0,      // no helper has claimed the position
        kRunning = 1,   // a helper runs it
        kDone = 2,      // the helper's result waits in its buffer
        kAbandoned = 3  // the committing thread no longer wants the result
    };
    // The slot of position p. Consecutive positions get slots in different
    // cache lines, so that the committing thread and a helper working a few
    // positions apart do not share one.
    std::atomic<std::uint64_t>& slot_of(std::size_t p) const {
        const std::size_t s = p % kWindow;
        return states_[(s & 7) * (kWindow / 8) + s / 8];
    }
    // Bits 0-1 phase, 2-7 buffer, 8-63 position.
    static std::uint64_t state_of(std::size_t position, Phase phase, std::size_t buffer) {
        return static_cast<std::uint64_t>(position) << 8 | buffer << 2 | phase;
    }
    static std::size_t position_of(std::uint64_t state) { return static_cast<std::size_t>(state >> 8); }
    static Phase phase_of(std::uint64_t state) { return static_cast<Phase>(state & 3); }
    static std::size_t buffer_of(std::uint64_t state) { return static_cast<std::size_t>(state >> 2 & 63); }

    struct Result {
        SpeculationLog log;
        std::optional<SegmentRecord> record;
        bool failed = false;  // the run threw; the committing thread runs the seed itself
    };

    void commit_all() {
        SeedWorkspace ws;
        Jitter jitter(0);
        for (std::size_t p = 0; p < order_.size(); ++p) {
            if (p % kPollEvery == 0) poll_interrupt();
            jitter.maybe_pause();
            prefetch_ahead(order_, p, used_map_, ctx_);
            const std::optional<SegmentRecord> record = commit(p, ws);
            if (record) records_.push_back(*record);
            // Helpers only use this to stay ahead; publishing it less often
            // keeps its cache line from bouncing between cores.
            if (p % 32 == 0) committed_.store(p + 1, std::memory_order_release);
        }
    }

    std::optional<SegmentRecord> commit(std::size_t p, SeedWorkspace& ws) {
        std::atomic<std::uint64_t>& slot = slot_of(p);
        const PixelIndex seed = order_[p];
        std::uint64_t state = slot.load(std::memory_order_acquire);
        for (;;) {
            // A helper still runs the abandoned position p - kWindow: p runs
            // here, and the helper will free the slot for p + kWindow.
            if (position_of(state) < p) {
                if (slot.compare_exchange_weak(state, state_of(p, kAbandoned, 0), std::memory_order_acq_rel))
                    return run_seed(seed, live_, ws, ctx_);
                continue;
            }
            // No helper has claimed p: it runs here.
            if (phase_of(state) == kFree) {
                if (slot.compare_exchange_weak(state, state_of(p + kWindow, kFree, 0),
                                               std::memory_order_acq_rel))
                    return run_seed(seed, live_, ws, ctx_);
                continue;
            }
            break;
        }

        // A helper has claimed p. If the seed is taken by now, nothing comes
        // of it whatever the helper finds; otherwise wait for the helper, for
        // a while.
        const bool taken = live_.get(seed) != 0;
        for (unsigned spins = 0; phase_of(state) == kRunning; state = slot.load(std::memory_order_acquire)) {
            if (taken || ++spins > kPatience) {
                if (slot.compare_exchange_strong(state, state_of(p, kAbandoned, 0), std::memory_order_acq_rel)) {
                    profile::count(profile::Counter::kRerun);
                    return taken ? std::nullopt : run_seed(seed, live_, ws, ctx_);
                }
                continue;
            }
            cpu_relax();
        }

        const std::size_t buffer = buffer_of(state);
        Result& result = results_[buffer];
        bool accepted;
        {
            profile::Timer timer(profile::Stage::kCommit);
            accepted = !result.failed && still_valid(result.log);
            if (accepted)
                for (const UsedEntry& write : result.log.writes) live_.set(write.index, write.value);
        }
        std::optional<SegmentRecord> record = accepted ? result.record : std::nullopt;
        result.log.trim();
        slot.store(state_of(p + kWindow, kFree, 0), std::memory_order_release);
        release_buffer(buffer);
        profile::count(accepted ? profile::Counter::kAccepted : profile::Counter::kRerun);
        if (!accepted) record = run_seed(seed, live_, ws, ctx_);
        return record;
    }

    bool still_valid(const SpeculationLog& log) const {
        for (const UsedEntry& read : log.reads)
            if (live_.get(read.index) != read.value) return false;
        return true;
    }

    void help() {
        SeedWorkspace ws;
        Jitter jitter(helpers_started_.fetch_add(1) + 1);
        SpeculativeUsed used(used_map_, stop_);
        while (!stop_.load(std::memory_order_relaxed)) {
            std::size_t p = next_.fetch_add(1, std::memory_order_relaxed);
            const std::size_t committed = committed_.load(std::memory_order_acquire);
            if (p <= committed) {
                // Fallen behind: jump ahead, unless another helper has.
                next_.compare_exchange_strong(++p, lead_position(committed), std::memory_order_relaxed);
                continue;
            }
            if (p >= order_.size()) return;
            // A seed taken by now is almost surely still taken when the
            // committing thread gets there, and costs it nothing then.
            if (live_.get(order_[p]) != 0) continue;
            const std::size_t buffer = acquire_buffer();
            if (buffer == kBuffers) return;  // stopping
            jitter.maybe_pause();
            if (!claim(p, buffer)) {
                release_buffer(buffer);
                continue;
            }
            profile::count(profile::Counter::kSpeculated);
            Result& result = results_[buffer];
            std::atomic<std::uint64_t>& slot = slot_of(p);
            used.start(result.log, slot, state_of(p, kRunning, buffer));
            result.failed = false;
            try {
                result.record = run_seed(order_[p], used, ws, ctx_);
            } catch (const SpeculationAbandoned&) {
            } catch (const std::exception&) {
                result.failed = true;
            }
            used.finish();
            jitter.maybe_pause();
            // Hand the result over. If the committing thread abandoned the
            // run (perhaps later positions of the slot too), free the buffer
            // and pass the slot on to the position after the last one
            // abandoned.
            std::uint64_t state = state_of(p, kRunning, buffer);
            if (!slot.compare_exchange_strong(state, state_of(p, kDone, buffer), std::memory_order_acq_rel)) {
                release_buffer(buffer);
                while (!slot.compare_exchange_weak(state, state_of(position_of(state) + kWindow, kFree, 0),
                                                   std::memory_order_acq_rel)) {
                }
            }
        }
    }

    // The position of the kLead-th seed after `committed` that is free now.
    std::size_t lead_position(std::size_t committed) const {
        std::size_t p = committed + 1, free_seeds = 0;
        for (; p < order_.size() && p < committed + kWindow / 2; ++p)
            if (live_.get(order_[p]) == 0 && ++free_seeds == kLead) break;
        return p;
    }

    // Claims position p for a run into `buffer`, waiting while its slot
    // still serves an earlier position; false when the committing thread
    // has passed p or the loop is stopping.
    bool claim(std::size_t p, std::size_t buffer) {
        std::atomic<std::uint64_t>& slot = slot_of(p);
        std::uint64_t state = slot.load(std::memory_order_acquire);
        for (unsigned spins = 0; position_of(state) < p; state = slot.load(std::memory_order_acquire)) {
            if (stop_.load(std::memory_order_relaxed)) return false;
            pause_briefly(spins);
        }
        return state == state_of(p, kFree, 0) &&
               slot.compare_exchange_strong(state, state_of(p, kRunning, buffer), std::memory_order_acq_rel);
    }

    // A free result buffer, waiting for one if need be; kBuffers when the
    // loop is stopping.
    std::size_t acquire_buffer() {
        std::uint64_t free = free_buffers_.load(std::memory_order_acquire);
        for (unsigned spins = 0;;) {
            if (free == 0) {
                if (stop_.load(std::memory_order_relaxed)) return kBuffers;
                pause_briefly(spins);
                free = free_buffers_.load(std::memory_order_acquire);
                continue;
            }
            const auto buffer = static_cast<std::size_t>(__builtin_ctzll(free));
            if (free_buffers_.compare_exchange_weak(free, free & (free - 1), std::memory_order_acq_rel))
                return buffer;
        }
    }
    void release_buffer(std::size_t buffer) {
        free_buffers_.fetch_or(std::uint64_t{1} << buffer, std::memory_order_acq_rel);
    }

    const PixelOrder& order_;
    UsedMap& used_map_;
    const SeedContext& ctx_;
    LiveUsed live_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> states_;
    std::vector<Result> results_;
    std::atomic<std::uint64_t> free_buffers_{~std::uint64_t{0}};
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> committed_{0};
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> helpers_started_{0};
    std::vector<SegmentRecord> records_;
};

}  // namespace

std::vector<SegmentRecord> find_segments(const GradientField& field, std::size_t width,
                                         std::size_t height, const DetectionParams& params) {
    SeedPlan plan = plan_seeds(field, params.magnitude_threshold);
    const PixelOrder& order = plan.order;
    UsedMap& used = plan.used;
    const SeedContext ctx{field, width, height, params, cos(params.tolerance)};
    const std::size_t threads = worker_pool_size();
    if (threads < 2 || order.size() < kMinSeedsToSpeculate) return run_in_order(order, used, ctx);
    SpeculativeLoop loop(order, used, ctx);
    return loop.run(threads - 1);
}

}  // namespace linara
