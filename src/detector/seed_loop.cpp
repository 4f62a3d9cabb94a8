#include <math.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
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
    std::size_t width, height;  // of the image
    // Of the field's and used map's rows. Growth and refinement take it for
    // the image width: past the image's last column every cell is used, so
    // a region grows as it would in rows of the image's own width.
    std::size_t stride;
    const DetectionParams& params;
    double cos_tolerance;  // cos(params.tolerance)
    float max_magnitude;   // of the field, for the bins of the order
};

// Buffers of one thread's seed runs, reused from seed to seed. The seeds
// it grew go to the profile when it goes, not one by one in the loop.
struct SeedWorkspace {
    SeedWorkspace() = default;
    SeedWorkspace(const SeedWorkspace&) = delete;
    SeedWorkspace& operator=(const SeedWorkspace&) = delete;
    ~SeedWorkspace() { profile::count(profile::Counter::kSeeds, grown); }

    Region region;
    std::size_t grown = 0;  // seeds found free and grown
};

// Growth, fit and refinement of one seed against the used map `used`:
// nothing when the seed is taken or its candidate fails refinement, else
// the candidate's rectangle, to be scored.
template <class Used>
std::optional<LineRect> find_candidate(PixelIndex seed, Used& used, SeedWorkspace& ws,
                                       const SeedContext& ctx) {
    using profile::Stage;
    using profile::Timer;
    if (used.get(seed) != 0) return std::nullopt;
    ++ws.grown;
    const DetectionParams& params = ctx.params;
    DirectionSum sum;
    {
        Timer timer(Stage::kGrowth);
        sum = grow_region(seed, ctx.cos_tolerance, ctx.field, used, ws.region, ctx.stride, ctx.height);
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
        if (!tighten_region(ws.region, rect, used, ctx.field, params.min_size, ctx.stride, ctx.height))
            return std::nullopt;
    }
    return rect;
}

// The record of a candidate whose score passes, else nothing. It reads only
// the gradient field, so any thread may score a candidate at any time.
std::optional<SegmentRecord> score_candidate(LineRect rect, const SeedContext& ctx) {
    double log_nfa;
    {
        profile::Timer timer(profile::Stage::kScoring);
        log_nfa = polish_rect(rect, ctx.field, ctx.params.magnitude_threshold, ctx.params.log_tests,
                              ctx.width, ctx.height, ctx.stride);
    }
    // A score at or below 0 fails; any other, NaN included, passes.
    if (log_nfa <= 0.0) return std::nullopt;
    profile::count(profile::Counter::kSegments);
    return make_record(rect, log_nfa, ctx.params.inverse_scale);
}

// One seed of the loop against the used map `used`: nothing when the seed
// is taken or its candidate fails, else the candidate's record.
template <class Used>
std::optional<SegmentRecord> run_seed(PixelIndex seed, Used& used, SeedWorkspace& ws,
                                      const SeedContext& ctx) {
    if (auto rect = find_candidate(seed, used, ws, ctx)) return score_candidate(*rect, ctx);
    return std::nullopt;
}

// Seeds lie scattered over the image and most are taken before the loop
// reaches them, so the loop asks for memory ahead in two steps: far ahead,
// the used bit of a seed; nearer, when that bit still shows the seed free,
// the used bits and gradient cells of the 5x5 window that growing it reads
// first. The window goes to the second-level cache only: on an image far
// larger than the caches, such as noise with a free seed nearly every
// step, fifteen lines a seed asked into the first level keep its few
// miss buffers full and stall the loop, while the second level takes
// them in the background and is near enough when the seed comes.
constexpr std::size_t kPrefetchBitAhead = 64;
constexpr std::size_t kPrefetchWindowAhead = 16;

void prefetch_ahead(const CachedArray<PixelIndex>& order, std::size_t p, const UsedMap& used,
                    const SeedContext& ctx) {
    if (p + kPrefetchBitAhead < order.size())
        __builtin_prefetch(used.bits() + (order[p + kPrefetchBitAhead] >> 3));
    if (p + kPrefetchWindowAhead >= order.size()) return;
    const std::size_t seed = order[p + kPrefetchWindowAhead];
    const std::size_t width = ctx.stride;
    if (seed < 2 * width + 2 || seed + 2 * width + 2 >= used.size()) return;
    if (load_used_bit(used.bits(), seed)) return;
    const GradientCell* cells = ctx.field.data();
    for (std::size_t row = seed - 2 * width; row <= seed + 2 * width; row += width) {
        __builtin_prefetch(used.bits() + (row >> 3), 0, 2);
        __builtin_prefetch(cells + row - 2, 0, 2);
        __builtin_prefetch(cells + row + 2, 0, 2);
    }
}

std::vector<SegmentRecord> run_in_order(const CachedArray<PixelIndex>& order, UsedMap& used_map,
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
// The order is cut into chunks of kChunk consecutive positions. The calling
// thread commits chunks strictly in order. Helper threads run chunks ahead
// of it speculatively (used_access.hpp): each seed of a chunk against the
// used map as it stands, logging the used-map bits it read and the bits it
// would leave used. When the committing thread reaches a chunk a helper has
// run, it takes its seeds in order. Seeds the helper left to it (found
// taken, skipped on a guess, or given up) it runs itself. For the others,
// when every logged read of a seed still holds, the sequential loop would
// read the same values and do the same, so the seed's writes and record
// are committed; otherwise it runs that seed itself. Chunks no helper has
// claimed it runs itself at once, so it never waits for a helper to start,
// and it waits only briefly for one that is running.
//
// Scoring a candidate reads the gradient field alone, so no later seed
// depends on it: every candidate, found by the committing thread itself or
// in a helper's step it commits, goes to a queue that the helpers take
// first, and their records rejoin the others in seed order. A helper's step
// thus ends with its region, before scoring: the committing thread, which
// waits for a helper to finish its step when it takes a chunk over, waits
// less, and no candidate of a step that is not committed is scored.
//
// Chunks keep the cost of handing work over (an atomic state word per
// chunk) small beside the work, and most positions hold seeds taken long
// before the loop reaches them, which cost nothing.
class SpeculativeLoop {
public:
    SpeculativeLoop(const CachedArray<PixelIndex>& order, UsedMap& used_map, const SeedContext& ctx)
        : order_(order), used_map_(used_map), ctx_(ctx), live_(used_map),
          chunks_((order.size() + kChunk - 1) / kChunk),
          states_(new std::atomic<std::uint32_t>[chunks_]), results_(kBuffers) {
        for (std::size_t c = 0; c < chunks_; ++c) states_[c].store(kFree, std::memory_order_relaxed);
        for (std::atomic<std::uint64_t>& word : free_buffers_) word.store(~std::uint64_t{0}, std::memory_order_relaxed);
    }

    std::vector<SegmentRecord> run(std::size_t helpers) {
        // Each helper's view of the used map is made now, while the map is
        // as the loop found it; on the pool, as there may be many.
        views_.resize(helpers);
        parallel_rows(helpers, [this](std::size_t h) {
            views_[h] = std::make_unique<SpeculativeUsed>(used_map_, stop_);
            views_[h]->watch_order(ctx_.field.data(), ctx_.field.size(), ctx_.max_magnitude);
        });
        run_with_helpers(
            helpers,
            [](void* self, std::size_t, std::size_t) { static_cast<SpeculativeLoop*>(self)->help(); },
            this, [this] { commit_all(); }, [this] { stop_.store(true, std::memory_order_relaxed); });
        retire_scored(true);
        return std::move(records_);
    }

private:
    static constexpr std::size_t kChunk = 128;
    // Results waiting for the committing thread; a helper that has filled
    // them all waits. Twice the largest lead, so that helpers running that
    // far ahead still have room for a stretch of results.
    static constexpr std::size_t kBufferWords = 4;
    static constexpr std::size_t kBuffers = 64 * kBufferWords;  // a bit each in free_buffers_
    // Helpers claim chunks at least lead_ chunks ahead of the committing
    // thread, so that it has chunks of its own to run while they build
    // results. The lead starts at kLead. Where long edges run along the
    // rows, the order holds each edge's pixels one after another: the
    // committing thread passes an edge whose region it has grown in no time
    // and catches up with a helper growing the next one, then waits for it.
    // When it catches up twice running having grown next to nothing itself,
    // the lead doubles (up to kMaxLead), so that the helpers grow the next
    // edges while it grows the one before. When most steps of a helper's
    // chunk gave up (their seeds are pixels of regions the loop will grow
    // first), the helpers run too far ahead and the lead halves again. Only
    // the schedule depends on the lead, never a result.
    static constexpr std::size_t kLead = 8;
    static constexpr std::size_t kMaxLead = 128;
    // Pauses the committing thread waits for a helper to hand over a chunk
    // it asked for; past them (the helper may have been put to sleep) it
    // runs the chunk itself.
    static constexpr unsigned kPatience = 4096;

    // A chunk's state: a phase in the low bits, the result buffer above.
    enum Phase : std::uint32_t {
        kFree = 0,       // no thread has claimed the chunk
        kTaken = 1,      // the committing thread runs it itself
        kRunning = 2,    // a helper runs it
        kHandOver = 3,   // the committing thread wants what the helper has done so far
        kDone = 4,       // the helper's result (maybe of the first seeds only) waits in its buffer
        kAbandoned = 5   // the committing thread runs it itself; the result is dropped
    };
    static std::uint32_t state_of(Phase phase, std::size_t buffer) {
        return static_cast<std::uint32_t>(buffer << 3) | phase;
    }
    static Phase phase_of(std::uint32_t state) { return static_cast<Phase>(state & 7); }
    static std::size_t buffer_of(std::uint32_t state) { return state >> 3; }

    struct Result {
        SpeculationLog log;  // a step per position
        // The candidates of the steps listed in candidate_steps (ascending).
        // Most steps find none, and a candidate per step would be copied for
        // each.
        std::vector<LineRect> candidates;
        std::vector<std::uint32_t> candidate_steps;
        std::size_t given_up = 0;  // steps that stopped on finding an earlier seed's pixel
    };

    // A candidate the committing thread found, scored by whichever thread
    // takes it from the queue.
    struct Deferred {
        explicit Deferred(const LineRect& r) : rect(r) {}
        LineRect rect;
        std::optional<SegmentRecord> record;  // once scored
        std::atomic<bool> scored{false};
    };
    std::size_t chunk_end(std::size_t c) const { return std::min(order_.size(), (c + 1) * kChunk); }

    void commit_all() {
        SeedWorkspace ws;
        Jitter jitter(0);
        for (std::size_t c = 0; c < chunks_; ++c) {
            poll_interrupt();
            jitter.maybe_pause();
            commit(c, ws);
            committed_.store(c + 1, std::memory_order_release);
            retire_scored(false);
        }
        // Candidates no helper has taken yet are scored here, not waited for.
        while (Deferred* candidate = take_deferred()) score(*candidate);
    }

    // Runs positions [first, end of chunk c) on the live map.
    void run_directly(std::size_t c, SeedWorkspace& ws, std::size_t first) {
        for (std::size_t p = first; p < chunk_end(c); ++p) {
            prefetch_ahead(order_, p, used_map_, ctx_);
            run_live(p, ws);
        }
    }

    // Runs the seed at position p on the live map. A candidate it finds
    // waits in the queue to be scored, most likely by a helper: every later
    // seed waits for this thread, but none for a score.
    void run_live(std::size_t p, SeedWorkspace& ws) {
        if (auto rect = find_candidate(order_[p], live_, ws, ctx_)) defer(*rect);
    }

    // Queues a candidate to be scored; its segment joins the records in
    // seed order once scored.
    void defer(const LineRect& rect) {
        std::lock_guard<std::mutex> lock(deferred_mutex_);
        deferred_.emplace_back(rect);
    }

    void commit(std::size_t c, SeedWorkspace& ws) {
        std::atomic<std::uint32_t>& slot = states_[c];
        std::uint32_t state = kFree;
        if (slot.compare_exchange_strong(state, kTaken, std::memory_order_acq_rel)) {
            profile::count(profile::Counter::kOwnChunks);
            run_directly(c, ws, c * kChunk);
            return;
        }
        // A helper still runs the chunk: it is asked to hand over the seeds
        // it has finished (the committing thread runs the rest), and waited
        // for a while.
        bool caught_up = false;
        if (phase_of(state) == kRunning) {
            slot.compare_exchange_strong(state, state_of(kHandOver, buffer_of(state)),
                                         std::memory_order_acq_rel);
            caught_up = true;
        }
        state = slot.load(std::memory_order_acquire);
        for (unsigned spins = 0; phase_of(state) == kHandOver; state = slot.load(std::memory_order_acquire)) {
            if (++spins > kPatience) {
                if (slot.compare_exchange_strong(state, state_of(kAbandoned, buffer_of(state)),
                                                 std::memory_order_acq_rel)) {
                    profile::count(profile::Counter::kRerun, chunk_end(c) - c * kChunk);
                    run_directly(c, ws, c * kChunk);  // the helper frees its buffer
                    return;
                }
                continue;
            }
            cpu_relax();
        }
        const std::size_t buffer = buffer_of(state);
        Result& result = results_[buffer];
        const SpeculationLog& log = result.log;
        const std::size_t first = c * kChunk;
        std::size_t accepted = 0, direct = 0, logged = 0, next_candidate = 0;
        for (std::size_t step = 0; step < log.steps(); ++step) {
            if (log.is_direct(step)) {
                // Left to this thread: mostly a seed taken long ago.
                prefetch_ahead(order_, first + step, used_map_, ctx_);
                run_live(first + step, ws);
                ++direct;
                continue;
            }
            const bool found =
                next_candidate < result.candidate_steps.size() && result.candidate_steps[next_candidate] == step;
            const std::size_t found_at = found ? next_candidate++ : 0;
            const std::size_t reads = logged > 0 ? log.read_end[logged - 1] : 0;
            const std::size_t writes = logged > 0 ? log.write_end[logged - 1] : 0;
            const std::size_t reads_end = log.read_end[logged], writes_end = log.write_end[logged];
            ++logged;
            if (still_valid(log.reads.data() + reads, log.reads.data() + reads_end)) {
                profile::Timer timer(profile::Stage::kCommit);
                for (std::size_t w = writes; w < writes_end; ++w)
                    live_.set(log.writes[w].index, log.writes[w].value);
                if (found) defer(result.candidates[found_at]);
                ++accepted;
            } else {
                run_live(first + step, ws);
            }
        }
        const std::size_t resume = first + log.steps();
        // Once released, the buffer may be a helper's again at once.
        const std::size_t given_up = result.given_up;
        result.log.trim();
        release_buffer(buffer);
        if (caught_up) {
            const bool idle = ws.grown - grown_at_catch_up_ < kChunk / 4;
            if (idle && idle_at_catch_up_)
                lead_.store(std::min(2 * lead_.load(std::memory_order_relaxed), kMaxLead),
                            std::memory_order_relaxed);
            grown_at_catch_up_ = ws.grown;
            idle_at_catch_up_ = idle;
        } else if (given_up > accepted) {
            const std::size_t lead = lead_.load(std::memory_order_relaxed);
            lead_.store(std::max(lead / 2, kLead), std::memory_order_relaxed);
        }
        profile::count(profile::Counter::kAccepted, accepted);
        profile::count(profile::Counter::kDirect, direct);
        profile::count(profile::Counter::kRerun, chunk_end(c) - first - accepted - direct);
        if (resume < chunk_end(c)) run_directly(c, ws, resume);
    }

    bool still_valid(const UsedEntry* read, const UsedEntry* end) const {
        for (; read != end; ++read)
            if (live_.get(read->index) != read->value) return false;
        return true;
    }

    void help() {
        const profile::FlushOnExit flush;
        SeedWorkspace ws;
        const unsigned helper = helpers_started_.fetch_add(1);
        if (helper >= views_.size()) return;
        Jitter jitter(helper + 1);
        SpeculativeUsed& used = *views_[helper];
        while (!stop_.load(std::memory_order_relaxed)) {
            // A waiting candidate comes first: its score is sure to be used.
            if (score_deferred(jitter)) continue;
            std::size_t c = next_.fetch_add(1, std::memory_order_relaxed);
            const std::size_t lead =
                committed_.load(std::memory_order_acquire) + lead_.load(std::memory_order_relaxed);
            if (c < lead) {
                // Fallen behind: jump ahead, unless another helper has.
                next_.compare_exchange_strong(++c, lead, std::memory_order_relaxed);
                continue;
            }
            if (c >= chunks_) {
                // No chunk left to run: candidates still come until the
                // committing thread is done.
                for (unsigned spins = 0; !stop_.load(std::memory_order_relaxed);)
                    if (!score_deferred(jitter)) pause_briefly(spins);
                return;
            }
            // A chunk whose seeds are all taken costs the committing thread
            // next to nothing; helpers leave it alone.
            if (!has_free_seed(c)) continue;
            const std::size_t buffer = acquire_buffer();
            if (buffer == kBuffers) return;  // stopping
            jitter.maybe_pause();
            std::atomic<std::uint32_t>& slot = states_[c];
            std::uint32_t state = kFree;
            const std::uint32_t running = state_of(kRunning, buffer);
            if (!slot.compare_exchange_strong(state, running, std::memory_order_acq_rel)) {
                release_buffer(buffer);
                continue;
            }
            profile::count(profile::Counter::kSpeculated);
            Result& result = results_[buffer];
            result.candidates.clear();
            result.candidate_steps.clear();
            result.given_up = 0;
            used.start(result.log, slot, running);
            // A run that stops early (asked to hand over, or after an error)
            // ends its log at the last finished seed; the committing thread
            // runs the rest (and meets any error itself).
            try {
                for (std::size_t p = c * kChunk; p < chunk_end(c); ++p) {
                    if (slot.load(std::memory_order_relaxed) != running) break;
                    prefetch_ahead(order_, p, used_map_, ctx_);
                    if (likely_taken(order_[p], used)) {
                        used.skip_step();
                        continue;
                    }
                    try {
                        if (auto rect = find_candidate(order_[p], used, ws, ctx_)) {
                            result.candidates.push_back(*rect);
                            result.candidate_steps.push_back(static_cast<std::uint32_t>(p - c * kChunk));
                        }
                        used.end_step();
                    } catch (const SeedTakenMeanwhile&) {
                        ++result.given_up;
                        used.end_step_rejected();
                    }
                }
            } catch (const SpeculationAbandoned&) {
            } catch (const std::exception&) {
            }
            used.finish();
            jitter.maybe_pause();
            // Hand the result over, whole or asked for; or free the buffer of
            // an abandoned run.
            state = running;
            bool handed = slot.compare_exchange_strong(state, state_of(kDone, buffer), std::memory_order_acq_rel);
            if (!handed && phase_of(state) == kHandOver)
                handed = slot.compare_exchange_strong(state, state_of(kDone, buffer), std::memory_order_acq_rel);
            if (!handed) release_buffer(buffer);
        }
    }

    // Whether a free neighbour of the seed comes before it in the order and
    // lies within the tolerance of its direction: the region grown from that
    // neighbour will most likely take the seed, so a speculative run of it
    // would be wasted. A guess: the committing thread runs a skipped seed.
    bool likely_taken(PixelIndex seed, const SpeculativeUsed& used) const {
        const std::size_t width = ctx_.stride;
        const std::size_t x = seed % width, y = seed / width;
        if (ctx_.max_magnitude <= 0.0f || used.peek(seed) || x < 1 || x + 2 > width || y < 1 ||
            y + 2 > ctx_.height)
            return false;
        const GradientCell* cells = ctx_.field.data();
        const GradientCell& s = cells[seed];
        std::uint32_t seed_bin_found = kNoBin;
        for (std::size_t row = seed - width; row <= seed + width; row += width) {
            for (std::size_t q = row - 1; q <= row + 1; ++q) {
                if (q == seed || used.peek(static_cast<PixelIndex>(q))) continue;
                const GradientCell& n = cells[q];
                const double dot = static_cast<double>(s.dir_y) * n.dir_y + static_cast<double>(s.dir_x) * n.dir_x;
                if (dot >= ctx_.cos_tolerance && comes_before(n.magnitude, q, s.magnitude, seed, seed_bin_found))
                    return true;
            }
        }
        return false;
    }

    static constexpr std::uint32_t kNoBin = kSeedBins;  // above every bin
    // Whether pixel a comes before pixel b in the order. b_bin is b's bin,
    // or kNoBin until it is first needed.
    bool comes_before(float a_magnitude, std::size_t a, float b_magnitude, std::size_t b,
                      std::uint32_t& b_bin) const {
        return precedes_in_order(a_magnitude, a, b_magnitude, b, ctx_.max_magnitude, [&] {
            if (b_bin == kNoBin) b_bin = seed_bin(b_magnitude, ctx_.max_magnitude);
            return b_bin;
        });
    }

    // Scores the next waiting candidate on a helper, if there is one. An
    // error leaves the candidate to the committing thread, which meets the
    // error itself.
    bool score_deferred(Jitter& jitter) {
        Deferred* candidate = take_deferred();
        if (!candidate) return false;
        jitter.maybe_pause();
        try {
            score(*candidate);
        } catch (...) {
            // Left unscored: the committing thread scores it again.
        }
        return true;
    }

    Deferred* take_deferred() {
        std::lock_guard<std::mutex> lock(deferred_mutex_);
        if (next_deferred_ == deferred_.size()) return nullptr;
        return &deferred_[next_deferred_++];
    }

    void score(Deferred& candidate) const {
        candidate.record = score_candidate(candidate.rect, ctx_);
        candidate.scored.store(true, std::memory_order_release);
    }

    // Moves the segments of the scored candidates at the front of the queue
    // to the records, up to the first candidate not yet scored (or, with
    // `finish`, once every helper has returned, scoring each such candidate
    // here: a helper's scoring failed, and this thread meets the error
    // itself), and drops them from the queue, so that it holds only
    // candidates in flight.
    void retire_scored(bool finish) {
        while (!deferred_.empty()) {
            Deferred& candidate = deferred_.front();  // only this thread adds or removes candidates
            if (!candidate.scored.load(std::memory_order_acquire)) {
                if (!finish) return;
                score(candidate);
            }
            if (candidate.record) records_.push_back(*candidate.record);
            std::lock_guard<std::mutex> lock(deferred_mutex_);
            if (next_deferred_ == 0) throw InternalError("a candidate left the queue untaken");
            deferred_.pop_front();
            --next_deferred_;
        }
    }

    bool has_free_seed(std::size_t c) const {
        for (std::size_t p = c * kChunk; p < chunk_end(c); ++p)
            if (live_.get(order_[p]) == 0) return true;
        return false;
    }

    // A free result buffer, waiting for one if need be; kBuffers when the
    // loop is stopping.
    std::size_t acquire_buffer() {
        for (unsigned spins = 0;;) {
            for (std::size_t word = 0; word < kBufferWords; ++word) {
                std::uint64_t free = free_buffers_[word].load(std::memory_order_acquire);
                while (free != 0) {
                    const auto bit = static_cast<std::size_t>(__builtin_ctzll(free));
                    if (free_buffers_[word].compare_exchange_weak(free, free & (free - 1),
                                                                  std::memory_order_acq_rel))
                        return 64 * word + bit;
                }
            }
            if (stop_.load(std::memory_order_relaxed)) return kBuffers;
            pause_briefly(spins);
        }
    }
    void release_buffer(std::size_t buffer) {
        free_buffers_[buffer / 64].fetch_or(std::uint64_t{1} << (buffer % 64), std::memory_order_acq_rel);
    }

    const CachedArray<PixelIndex>& order_;
    UsedMap& used_map_;
    const SeedContext& ctx_;
    LiveUsed live_;
    std::size_t chunks_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> states_;
    std::vector<Result> results_;
    std::atomic<std::uint64_t> free_buffers_[kBufferWords];
    std::atomic<std::size_t> next_{0};       // next chunk a helper may claim
    std::atomic<std::size_t> committed_{0};  // chunks committed
    std::atomic<std::size_t> lead_{kLead};  // written by the committing thread alone
    std::size_t grown_at_catch_up_ = 0;  // seeds it had grown itself when it last caught up
    bool idle_at_catch_up_ = false;      // whether it had grown next to nothing by then
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> helpers_started_{0};
    std::vector<std::unique_ptr<SpeculativeUsed>> views_;  // one per helper
    std::vector<SegmentRecord> records_;  // in seed order, as far as known
    // Candidates to score, appended by the committing thread and taken in
    // order by any thread, under the mutex. The committing thread removes
    // them from the front once scored; the others stay where they are.
    std::deque<Deferred> deferred_;
    std::size_t next_deferred_ = 0;
    std::mutex deferred_mutex_;
};

}  // namespace

std::vector<SegmentRecord> find_segments(const GradientField& field, std::size_t width,
                                         std::size_t height, std::size_t stride,
                                         const DetectionParams& params, UsedMap weak) {
    if (stride < width || field.size() != stride * height)
        throw InternalError("the gradient field's rows do not match the image");
    SeedPlan plan = plan_seeds(field, params.magnitude_threshold, std::move(weak));
    const CachedArray<PixelIndex>& order = plan.order;
    UsedMap& used = plan.used;
    const SeedContext ctx{field, width, height, stride, params, cos(params.tolerance), plan.max_magnitude};
    const std::size_t threads = worker_pool_size();
    if (threads < 2 || order.size() < kMinSeedsToSpeculate) return run_in_order(order, used, ctx);
    SpeculativeLoop loop(order, used, ctx);
    return loop.run(threads - 1);
}

}  // namespace linara
