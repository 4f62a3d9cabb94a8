#pragma once
// Stage profile of detection runs, for benchmarks and tuning. With
// LINARA_PROFILE=1 in the environment when the library loads, every
// detection prints to stderr the time spent in each stage (summed over the
// threads that ran it) and a few counters. Off, a measured section costs
// one predictable branch; inside the innermost loops even that cost a few
// percent of a call, so they count in bulk, a region or a pass at a time.
// Concurrent detections share the counters.
//
// Timers and count() add to totals of their own thread, which flush_thread()
// moves to the shared ones: counted often on several threads, shared
// totals would bounce between the cores and slow the profiled run several
// times over. A thread that measures calls flush_thread() before the report
// (which flushes the reporting thread itself).

#include <cstdint>

namespace linara::profile {

enum class Stage : int {
    kGradient,    // conversion, sub-sampling and gradient
    kOrdering,    // pixel order and used map
    kGrowth,      // region growing from seeds
    kFit,         // rectangle fits after growing
    kRefinement,  // density remedies, with their regrowing and refits
    kScoring,     // rectangle improvement and NFA
    kCommit,      // validating and applying speculative results
    kCount
};

enum class Counter : int {
    kHypotNeeded,   // hypot values the detector needed
    kHypotCalled,   // of which a bracket could not decide: library calls
    kSeeds,         // free seeds grown
    kCandidates,    // regions that reached the minimum size
    kSegments,
    kSpeculated,    // chunks of seeds run speculatively by helper threads
    kAccepted,      // positions of those chunks whose result was committed
    // Positions of those chunks the committing thread ran itself: a result
    // no longer valid, positions the helper had not reached when it handed
    // the chunk over (most of them), or a whole abandoned chunk.
    kRerun,
    kDirect,        // positions a helper left to the committing thread (seed taken, or skipped)
    kOwnChunks,     // chunks the committing thread ran itself, no helper having claimed them
    kCount
};

extern const bool g_enabled;

std::uint64_t now_ns();
// Adds to the shared totals at once.
void add(Counter counter, std::uint64_t n = 1);
// Adds to this thread's totals.
void add_time_here(Stage stage, std::uint64_t ns);
void add_here(Counter counter, std::uint64_t n);
// Moves this thread's totals to the shared ones.
void flush_thread();
// Prints the totals since the last report and resets them.
void report(std::uint64_t wall_ns, std::uint64_t width, std::uint64_t height);

class Timer {
public:
    explicit Timer(Stage stage) : stage_(stage), start_(g_enabled ? now_ns() : 0) {}
    ~Timer() {
        if (g_enabled) add_time_here(stage_, now_ns() - start_);
    }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    Stage stage_;
    std::uint64_t start_;
};

inline void count(Counter counter, std::uint64_t n = 1) {
    if (g_enabled) add_here(counter, n);
}

// Flushes the thread's totals when it leaves the scope.
class FlushOnExit {
public:
    FlushOnExit() = default;
    ~FlushOnExit() {
        if (g_enabled) flush_thread();
    }
    FlushOnExit(const FlushOnExit&) = delete;
    FlushOnExit& operator=(const FlushOnExit&) = delete;
};

}  // namespace linara::profile
