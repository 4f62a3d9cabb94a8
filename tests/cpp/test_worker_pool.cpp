#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/interrupt.hpp"
#include "common/worker_pool.hpp"

using namespace linara;

TEST(ThreadCount, ParseAndChoose) {
    const std::optional<std::size_t> no;
    const std::pair<const char*, std::optional<std::size_t>> texts[] = {
        {"4", 4}, {"+4", 4}, {"0", 0}, {"007", 7}, {"18446744073709551615", SIZE_MAX},
        {"18446744073709551616", no}, {"", no}, {"+", no}, {"abc", no}, {"4x", no}, {" 4", no},
        {"4 ", no}, {"-4", no}, {"++4", no}, {nullptr, no}};
    for (const auto& [text, want] : texts) EXPECT_EQ(parse_thread_count(text), want) << (text ? text : "(unset)");

    struct Case { const char* num_threads; const char* num_cpus; std::size_t want; };
    for (const Case& c : {Case{nullptr, nullptr, 6}, Case{"3", nullptr, 3}, Case{"3", "5", 3},
                          Case{"0", "5", 6}, Case{"abc", "5", 5}, Case{"", "5", 5}, Case{nullptr, "5", 5},
                          Case{nullptr, "0", 6}, Case{"x", "y", 6}, Case{"+2", "x", 2}})
        EXPECT_EQ(choose_pool_size(c.num_threads, c.num_cpus, 6), c.want)
            << (c.num_threads ? c.num_threads : "(unset)") << " / " << (c.num_cpus ? c.num_cpus : "(unset)");
}

// Runs first: the pool is created on the first loop of the process.
TEST(ParallelRows, PoolSizeComesFromTheEnvironment) {
    setenv("RAYON_NUM_THREADS", "+3", 1);
    EXPECT_EQ(worker_pool_size(), 3u);
}

TEST(ParallelRows, EveryRowExactlyOnce) {
    for (std::size_t rows : {0, 1, 2, 7, 1000}) {
        std::vector<std::atomic<int>> calls(rows), banded(rows);
        std::atomic<bool> empty_band{false};
        parallel_rows(rows, [&](std::size_t row) { calls.at(row)++; });
        parallel_bands(rows, [&](std::size_t first, std::size_t end) {
            if (first >= end) empty_band = true;
            for (std::size_t row = first; row < end; ++row) banded.at(row)++;
        });
        EXPECT_FALSE(empty_band);
        for (std::size_t r = 0; r < rows; ++r) {
            EXPECT_EQ(calls[r].load(), 1) << rows << " rows, row " << r;
            EXPECT_EQ(banded[r].load(), 1) << rows << " rows, band row " << r;
        }
    }
}

// A band stops at the row that threw and bands that no thread has started
// are dropped: every row runs at most once, and none runs after the
// exception has reached the caller.
TEST(ParallelRows, ExceptionStopsTheLoop) {
    for (std::size_t bad : {0, 1, 499, 999}) {
        std::vector<std::atomic<int>> calls(1000);
        const auto body = [&](std::size_t row) {
            if (calls[row]++, row == bad) throw std::runtime_error("row failed");
        };
        EXPECT_THROW(parallel_rows(1000, body), std::runtime_error);
        std::vector<int> seen;
        for (const auto& c : calls) seen.push_back(c.load());
        EXPECT_EQ(seen[bad], 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (std::size_t r = 0; r < 1000; ++r) {
            EXPECT_LE(seen[r], 1) << "fails at " << bad << ", row " << r;
            EXPECT_EQ(calls[r].load(), seen[r]) << "ran late: fails at " << bad << ", row " << r;
        }
    }
}

// A caller that stops while other threads run its bands hears of it as it
// waits for them, and its stop flag ends those bands at their next poll:
// none runs on until its own end. Without an interrupt check nothing stops.
TEST(ParallelRows, InterruptEndsOtherThreadsBands) {
    using Clock = std::chrono::steady_clock;
    const auto caller = std::this_thread::get_id();
    for (bool interruptible : {true, false}) {
        std::atomic<int> started{0}, ran_out{0};
        const auto band = [&](std::size_t, std::size_t) {
            const auto deadline = Clock::now() + std::chrono::seconds(interruptible ? 30 : 0);
            if (std::this_thread::get_id() == caller) {
                // Leave the other bands to the pool threads.
                while (started.load() == 0 && Clock::now() < deadline + std::chrono::seconds(1))
                    std::this_thread::yield();
                return;
            }
            started++;
            while (Clock::now() < deadline) poll_interrupt();
            ran_out++;
        };
        const InterruptCheck stop_now{[](void*) { return true; }, nullptr, 0};
        const auto begin = Clock::now();
        if (interruptible) {
            const ScopedInterruptCheck scope(stop_now);
            EXPECT_THROW(parallel_bands(64, band), Interrupted);
        } else {
            parallel_bands(64, band);
        }
        EXPECT_GT(started.load(), 0);
        EXPECT_EQ(ran_out.load(), interruptible ? 0 : started.load());
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
    }
}

// Helpers run beside main() until stop(); main() never waits for them, and
// its exception arrives once every started helper has returned.
TEST(RunWithHelpers, HelpersStopWhenMainEnds) {
    for (bool fail : {false, true}) {
        std::atomic<bool> stop{false};
        std::atomic<int> running{0}, started{0};
        auto helper = [](void* context, std::size_t, std::size_t) {
            auto& state = *static_cast<std::pair<std::atomic<bool>*, std::atomic<int>*>*>(context);
            state.second->fetch_add(1);
            while (!state.first->load()) std::this_thread::yield();
            state.second->fetch_sub(1);
        };
        std::pair<std::atomic<bool>*, std::atomic<int>*> state{&stop, &running};
        auto main_body = [&] {
            started = 1;
            if (fail) throw std::runtime_error("main failed");
        };
        if (fail) {
            EXPECT_THROW(run_with_helpers(8, helper, &state, main_body, [&] { stop = true; }),
                         std::runtime_error);
        } else {
            run_with_helpers(8, helper, &state, main_body, [&] { stop = true; });
        }
        EXPECT_EQ(started.load(), 1);
        EXPECT_EQ(running.load(), 0) << "a helper was still running";
    }
}

TEST(ParallelRows, LoopsFromManyThreadsAtOnce) {
    std::vector<char> correct(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 8; ++t)
        threads.emplace_back([&correct, t] {
            bool ok = true;
            for (int round = 0; round < 25; ++round) {
                std::vector<std::size_t> out(300 + t, 0);
                parallel_rows(out.size(), [&](std::size_t row) { out[row] += row * row + t; });
                for (std::size_t row = 0; row < out.size(); ++row) ok = ok && out[row] == row * row + t;
            }
            correct[t] = ok;
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(correct, std::vector<char>(8, 1));
}
