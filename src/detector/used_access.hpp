#pragma once
// The two ways the seed loop reaches the used map.
//
// The committing thread reads and writes the shared map itself (LiveUsed).
// Helper threads run later seeds speculatively (SpeculativeUsed): they read
// the shared map as it is at that moment, keep their own changes in a
// private overlay, and log every shared value they read and every value
// they would write. A speculative result is valid exactly when every logged
// read still holds, because a run's result depends only on the values it
// reads; committing it then writes the logged values.
//
// The committing thread writes the shared map while helpers read it, so
// every shared access is a relaxed atomic byte access.

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/checked.hpp"
#include "detector/detector.hpp"

namespace linara {

class LiveUsed {
public:
    LiveUsed(std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit LiveUsed(UsedMap& map) : LiveUsed(map.data(), map.size()) {}

    std::uint8_t get(PixelIndex i) const {
        check_index(i, size_, "used map");
        return __atomic_load_n(data_ + i, __ATOMIC_RELAXED);
    }
    void set(PixelIndex i, std::uint8_t value) const {
        check_index(i, size_, "used map");
        __atomic_store_n(data_ + i, value, __ATOMIC_RELAXED);
    }

private:
    std::uint8_t* data_;
    std::size_t size_;
};

// One used-map byte: read from the shared map, or to be written to it.
struct UsedEntry {
    PixelIndex index;
    std::uint8_t value;
};

// What one speculative run read and would write.
struct SpeculationLog {
    std::vector<UsedEntry> reads;
    std::vector<UsedEntry> writes;
    void clear() {
        reads.clear();
        writes.clear();
    }
};

// Thrown out of a speculative run whose result is no longer wanted.
struct SpeculationAbandoned {};

class SpeculativeUsed {
public:
    // `overlay` has one byte per pixel, all 0 between runs. One instance
    // serves one helper thread for many runs.
    SpeculativeUsed(const std::uint8_t* shared, std::uint8_t* overlay, std::size_t size)
        : shared_(shared), overlay_(overlay), size_(size) {}

    // Starts a run that logs into `log`. Now and then the run looks at
    // `state`, and throws SpeculationAbandoned when it holds `abandoned`.
    void start(SpeculationLog& log, const std::atomic<std::uint64_t>& state, std::uint64_t abandoned) {
        log.clear();
        log_ = &log;
        state_ = &state;
        abandoned_ = abandoned;
    }

    std::uint8_t get(PixelIndex i) {
        check_index(i, size_, "used map");
        const std::uint8_t own = overlay_[i];
        if (own != 0) return own & kValue;
        if (++shared_reads_ % 1024 == 0 && state_->load(std::memory_order_relaxed) == abandoned_)
            throw SpeculationAbandoned();
        const std::uint8_t value = __atomic_load_n(shared_ + i, __ATOMIC_RELAXED);
        overlay_[i] = static_cast<std::uint8_t>(kRead | value);
        touched_.push_back(i);
        log_->reads.push_back({i, value});
        return value;
    }
    void set(PixelIndex i, std::uint8_t value) {
        check_index(i, size_, "used map");
        if (overlay_[i] == 0) touched_.push_back(i);
        overlay_[i] = static_cast<std::uint8_t>(kWritten | value);
    }

    // Logs the final value of every written byte and clears the overlay.
    void finish() {
        for (PixelIndex i : touched_) {
            if (overlay_[i] & kWritten)
                log_->writes.push_back({i, static_cast<std::uint8_t>(overlay_[i] & kValue)});
            overlay_[i] = 0;
        }
        touched_.clear();
    }

private:
    static constexpr std::uint8_t kValue = 1, kRead = 2, kWritten = 4;

    const std::uint8_t* shared_;
    std::uint8_t* overlay_;
    std::size_t size_;
    SpeculationLog* log_ = nullptr;
    const std::atomic<std::uint64_t>* state_ = nullptr;
    std::uint64_t abandoned_ = 0;
    std::uint64_t shared_reads_ = 0;
    std::vector<PixelIndex> touched_;
};

}  // namespace linara
