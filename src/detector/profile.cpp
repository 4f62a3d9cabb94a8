#include "detector/profile.hpp"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace linara::profile {
namespace {

constexpr int kStages = static_cast<int>(Stage::kCount);
constexpr int kCounters = static_cast<int>(Counter::kCount);
constexpr const char* kStageNames[kStages] = {"gradient", "ordering", "growth", "fit",
                                              "refinement", "scoring", "commit"};
constexpr const char* kCounterNames[kCounters] = {
    "hypot_needed", "hypot_called", "seeds", "candidates", "segments",
    "speculated",    "accepted",     "rerun",    "direct",   "own_chunks"};

std::atomic<std::uint64_t> g_times[kStages];
std::atomic<std::uint64_t> g_counts[kCounters];

struct ThreadTotals {
    std::uint64_t times[kStages];
    std::uint64_t counts[kCounters];
};
thread_local ThreadTotals t_totals{};

bool enabled_by_environment() {
    const char* value = std::getenv("LINARA_PROFILE");
    return value && std::strcmp(value, "1") == 0;
}

}  // namespace

const bool g_enabled = enabled_by_environment();

std::uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void add(Counter counter, std::uint64_t n) {
    g_counts[static_cast<int>(counter)].fetch_add(n, std::memory_order_relaxed);
}

void add_time_here(Stage stage, std::uint64_t ns) { t_totals.times[static_cast<int>(stage)] += ns; }

void add_here(Counter counter, std::uint64_t n) { t_totals.counts[static_cast<int>(counter)] += n; }

void flush_thread() {
    ThreadTotals& totals = t_totals;
    for (int i = 0; i < kStages; ++i) {
        if (totals.times[i] != 0) g_times[i].fetch_add(totals.times[i], std::memory_order_relaxed);
        totals.times[i] = 0;
    }
    for (int i = 0; i < kCounters; ++i) {
        if (totals.counts[i] != 0) g_counts[i].fetch_add(totals.counts[i], std::memory_order_relaxed);
        totals.counts[i] = 0;
    }
}

void report(std::uint64_t wall_ns, std::uint64_t width, std::uint64_t height) {
    flush_thread();
    std::fprintf(stderr, "linara profile: %llux%llu wall %.2f ms |", static_cast<unsigned long long>(width),
                 static_cast<unsigned long long>(height), static_cast<double>(wall_ns) * 1e-6);
    for (int i = 0; i < kStages; ++i)
        std::fprintf(stderr, " %s %.2f", kStageNames[i],
                     static_cast<double>(g_times[i].exchange(0, std::memory_order_relaxed)) * 1e-6);
    std::fprintf(stderr, " |");
    for (int i = 0; i < kCounters; ++i)
        std::fprintf(stderr, " %s %llu", kCounterNames[i],
                     static_cast<unsigned long long>(g_counts[i].exchange(0, std::memory_order_relaxed)));
    std::fprintf(stderr, "\n");
}

}  // namespace linara::profile
