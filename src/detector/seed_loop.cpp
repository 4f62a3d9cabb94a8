#include <math.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

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
    RefinementScratch refinement;
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
        if (!tighten_region(ws.region, rect, used, ctx.field, params.min_size, ctx.width,
                            ctx.height, ws.refinement))
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

// Seeds lie scattered over the image, so the loop asks early for the
// cache lines that growing a seed reads first: the used-map bytes and the
// gradient cells of the 3x3 window around a seed this many seeds ahead.
constexpr std::size_t kPrefetchAhead = 16;

void prefetch_seed(const PixelOrder& order, std::size_t p, const UsedMap& used,
                   const SeedContext& ctx) {
    if (p >= order.size()) return;
    const std::size_t seed = order[p];
    const std::size_t width = ctx.width;
    if (seed < width + 1 || seed + width + 1 >= used.size()) return;
    const GradientCell* cells = ctx.field.data();
    for (std::size_t row = seed - width; row <= seed + width; row += width) {
        __builtin_prefetch(used.bits() + (row >> 3));
        __builtin_prefetch(cells + row - 1);
        __builtin_prefetch(cells + row + 1);
    }
}

std::vector<SegmentRecord> run_in_order(const PixelOrder& order, UsedMap& used_map,
                                        const SeedContext& ctx) {
    LiveUsed used(used_map);
    SeedWorkspace ws;
    std::vector<SegmentRecord> records;
    for (std::size_t p = 0; p < order.size(); ++p) {
        if (p % kPollEvery == 0) poll_interrupt();
        prefetch_seed(order, p + kPrefetchAhead, used_map, ctx);
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
        __builtin_ia32_pause();
    } else {
        std::this_thread::yield();
    }
}

// The seed loop on several threads with the result of the sequential one.
//
// The calling thread commits seeds strictly in order. Helper threads run
// the seeds ahead of it speculatively against the used map as it stands
// (used_access.hpp). When the committing thread reaches a seed a helper has
// run, it checks that every used-map byte the helper read still holds the
// value read: then the sequential loop would have read the same values and
// done the same, and the helper's writes and record are committed.
// Otherwise it runs the seed itself. Seeds no helper has claimed it runs
// itself at once, so it never waits for a helper to start.
//
// Helpers hand results over in a window of slots; slot p % kWindow serves
// position p of the order. Its state word holds the position it serves and
// a phase.
class SpeculativeLoop {
public:
    SpeculativeLoop(const PixelOrder& order, UsedMap& used_map, const SeedContext& ctx)
        : order_(order), used_map_(used_map), ctx_(ctx), live_(used_map),
          slots_(new Slot[kWindow]) {
        for (std::size_t s = 0; s < kWindow; ++s) slots_[s].state.store(state_of(s, kFree));
    }

    std::vector<SegmentRecord> run(std::size_t helpers) {
        run_with_helpers(
            helpers,
            [](void* self, std::size_t, std::size_t) { static_cast<SpeculativeLoop*>(self)->help(); },
            this, [this] { commit_all(); }, [this] { stop_.store(true, std::memory_order_relaxed); });
        return std::move(records_);
    }

private:
    static constexpr std::size_t kWindow = 128;
    // Helpers work at least this far ahead of the committing thread, so
    // that their results are ready when it gets there.
    static constexpr std::size_t kLead = 16;
    // Pauses the committing thread waits for a running helper, about 20 us.
    static constexpr unsigned kPatience = 1000;
    enum Phase : std::uint64_t {
        kFree = 0,      // waiting for a helper to claim its position
        kRunning = 1,   // a helper runs its position
        kDone = 2,      // the helper's result waits to be committed
        kAbandoned = 3  // the committer no longer needs the running result
    };
    static std::uint64_t state_of(std::size_t position, Phase phase) {
        return static_cast<std::uint64_t>(position) << 2 | phase;
    }
    static std::size_t position_of(std::uint64_t state) { return static_cast<std::size_t>(state >> 2); }
    static Phase phase_of(std::uint64_t state) { return static_cast<Phase>(state & 3); }

    struct Slot {
        std::atomic<std::uint64_t> state{0};
        SpeculationLog log;
        std::optional<SegmentRecord> record;
        bool failed = false;  // the run threw; the committer runs the seed itself
    };

    void commit_all() {
        SeedWorkspace ws;
        Jitter jitter(0);
        for (std::size_t p = 0; p < order_.size(); ++p) {
            if (p % kPollEvery == 0) poll_interrupt();
            jitter.maybe_pause();
            const std::optional<SegmentRecord> record = commit(p, ws);
            if (record) records_.push_back(*record);
            committed_.store(p + 1, std::memory_order_release);
        }
    }

    std::optional<SegmentRecord> commit(std::size_t p, SeedWorkspace& ws) {
        Slot& slot = slots_[p % kWindow];
        const PixelIndex seed = order_[p];
        // A helper may still be finishing the abandoned position p - kWindow.
        std::uint64_t state = slot.state.load(std::memory_order_acquire);
        for (unsigned spins = 0; position_of(state) < p; state = slot.state.load(std::memory_order_acquire))
            pause_briefly(spins);
        if (phase_of(state) == kFree &&
            slot.state.compare_exchange_strong(state, state_of(p + kWindow, kFree),
                                               std::memory_order_acq_rel))
            return run_seed(seed, live_, ws, ctx_);

        // A helper has claimed p. If the seed is taken by now, nothing comes
        // of it whatever the helper finds; otherwise wait for the helper,
        // but not for long: a helper that the system has put to sleep must
        // not hold the loop up, so then the seed runs here.
        const bool taken = live_.get(seed) != 0;
        state = slot.state.load(std::memory_order_acquire);
        for (unsigned spins = 0; phase_of(state) == kRunning; state = slot.state.load(std::memory_order_acquire)) {
            if (taken || ++spins > kPatience) {
                std::uint64_t running = state_of(p, kRunning);
                if (slot.state.compare_exchange_strong(running, state_of(p, kAbandoned),
                                                       std::memory_order_acq_rel)) {
                    // The helper passes the slot on.
                    profile::count(profile::Counter::kRerun);
                    return taken ? std::nullopt : run_seed(seed, live_, ws, ctx_);
                }
                continue;
            }
            __builtin_ia32_pause();
        }

        bool accepted;
        {
            profile::Timer timer(profile::Stage::kCommit);
            accepted = !slot.failed && still_valid(slot.log);
            if (accepted)
                for (const UsedEntry& write : slot.log.writes) live_.set(write.index, write.value);
        }
        std::optional<SegmentRecord> record = accepted ? slot.record : std::nullopt;
        slot.log.trim();
        slot.state.store(state_of(p + kWindow, kFree), std::memory_order_release);
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
        SpeculativeUsed used(used_map_);
        while (!stop_.load(std::memory_order_relaxed)) {
            std::size_t p = next_.fetch_add(1, std::memory_order_relaxed);
            const std::size_t lead = committed_.load(std::memory_order_acquire) + kLead;
            if (p < lead) {
                // Fallen behind: jump ahead, unless another helper has.
                next_.compare_exchange_strong(++p, lead, std::memory_order_relaxed);
                continue;
            }
            if (p >= order_.size()) return;
            Slot& slot = slots_[p % kWindow];
            jitter.maybe_pause();
            if (!claim(slot, p)) continue;
            profile::count(profile::Counter::kSpeculated);
            used.start(slot.log, slot.state, state_of(p, kAbandoned));
            slot.failed = false;
            try {
                slot.record = run_seed(order_[p], used, ws, ctx_);
            } catch (const SpeculationAbandoned&) {
            } catch (const std::exception&) {
                slot.failed = true;
            }
            used.finish();
            jitter.maybe_pause();
            std::uint64_t running = state_of(p, kRunning);
            if (!slot.state.compare_exchange_strong(running, state_of(p, kDone),
                                                    std::memory_order_acq_rel))
                slot.state.store(state_of(p + kWindow, kFree), std::memory_order_release);
        }
    }

    // Waits until the slot serves p (the window may be full) and claims it;
    // false when the committer got there first or the loop is stopping.
    bool claim(Slot& slot, std::size_t p) {
        std::uint64_t state = slot.state.load(std::memory_order_acquire);
        for (unsigned spins = 0; position_of(state) < p; state = slot.state.load(std::memory_order_acquire)) {
            if (stop_.load(std::memory_order_relaxed)) return false;
            pause_briefly(spins);
        }
        std::uint64_t free = state_of(p, kFree);
        return state == free &&
               slot.state.compare_exchange_strong(free, state_of(p, kRunning), std::memory_order_acq_rel);
    }

    const PixelOrder& order_;
    UsedMap& used_map_;
    const SeedContext& ctx_;
    LiveUsed live_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> committed_{0};
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> helpers_started_{0};
    std::vector<SegmentRecord> records_;
};

}  // namespace

std::vector<SegmentRecord> find_segments(const GradientField& field, std::size_t width,
                                         std::size_t height, const DetectionParams& params) {
    const PixelOrder order = order_pixels(field, params.magnitude_threshold);
    UsedMap used = initial_used_map(field, params.magnitude_threshold);
    const SeedContext ctx{field, width, height, params, cos(params.tolerance)};
    const std::size_t threads = worker_pool_size();
    if (threads < 2 || order.size() < kMinSeedsToSpeculate) return run_in_order(order, used, ctx);
    SpeculativeLoop loop(order, used, ctx);
    return loop.run(threads - 1);
}

}  // namespace linara
