#pragma once
// The two ways the seed loop reaches the used map.
//
// The committing thread reads and writes the shared map itself (LiveUsed).
// Helper threads run later seeds speculatively (SpeculativeUsed): they read
// the shared map as it is at that moment, keep their own changes in a
// private overlay, and log the shared values their result depends on and
// every bit they would leave used. A speculative result is valid exactly when
// every logged read still holds; committing it then writes the logged values.
// A step that changes nothing (its seed was used) logs nothing: the
// committing thread runs its seed itself.
//
// A run reads a bit only to pass over a used pixel: the seed loop skips a
// used seed, region growing a used neighbour. A free bit that the run reads
// and then leaves alone (the neighbour was turned away on its angle) led to
// what a used bit would have led to, so only reads of used bits, and reads
// of free bits the run went on to change, are logged. Skipping the others
// keeps a region's speculative result valid when an earlier region has
// since taken pixels on its border. Nor are reads of bits that were used
// when the loop began logged: those pixels never leave the used map.
//
// The committing thread writes the shared map while helpers read it, so
// every shared access is a relaxed atomic byte access; as it is the only
// writer, it may set a bit by loading and storing its byte.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/checked.hpp"
#include "detector/detector.hpp"
#include "detector/stages.hpp"

namespace linara {

// Bit i of a used map that another thread may be writing.
inline std::uint8_t load_used_bit(const std::uint8_t* bits, std::size_t i) {
    return (__atomic_load_n(bits + (i >> 3), __ATOMIC_RELAXED) >> (i & 7)) & 1u;
}

class LiveUsed {
public:
    explicit LiveUsed(UsedMap& map) : bits_(map.bits()), size_(map.size()) {}

    std::uint8_t get(PixelIndex i) const {
        check_index(i, size_, "used map");
        return load_used_bit(bits_, i);
    }
    void set(PixelIndex i, std::uint8_t value) const {
        check_index(i, size_, "used map");
        std::uint8_t* byte = bits_ + (i >> 3);
        const auto bit = static_cast<std::uint8_t>(1u << (i & 7));
        const std::uint8_t old = __atomic_load_n(byte, __ATOMIC_RELAXED);
        __atomic_store_n(byte, static_cast<std::uint8_t>(value ? old | bit : old & ~bit), __ATOMIC_RELAXED);
    }

private:
    std::uint8_t* bits_;
    std::size_t size_;
};

// One used-map bit: read from the shared map, or to be written to it.
struct UsedEntry {
    PixelIndex index;
    std::uint8_t value;
};

// What a speculative run of several steps (seeds) read and would write.
// A step is either left to the committing thread, which runs its seed
// itself (a bit in `direct`), or logged: the k-th logged step read
// reads[read_end[k - 1] .. read_end[k]) and wrote
// writes[write_end[k - 1] .. write_end[k]).
//
// Most steps find their seed taken and change nothing. Logged, such a step
// would cost the committing thread as much to check as to run, and carry
// its entries from the helper's core to its own; left to it, it costs a bit.
struct SpeculationLog {
    std::vector<UsedEntry> reads;
    std::vector<UsedEntry> writes;
    std::vector<std::uint32_t> read_end, write_end;
    std::vector<std::uint64_t> direct;  // bit s: step s is left to the committing thread

    std::size_t steps() const { return steps_; }
    bool is_direct(std::size_t step) const { return (direct[step / 64] >> (step % 64)) & 1u; }
    void add_step(bool left_to_committer) {
        if (steps_ % 64 == 0) direct.push_back(0);
        if (left_to_committer) direct.back() |= std::uint64_t{1} << (steps_ % 64);
        ++steps_;
    }
    void clear() {
        reads.clear();
        writes.clear();
        read_end.clear();
        write_end.clear();
        direct.clear();
        steps_ = 0;
    }
    // Gives back the memory of an unusually large log: the loop holds many.
    void trim() {
        constexpr std::size_t kKeep = 1024;
        if (reads.capacity() > kKeep) std::vector<UsedEntry>().swap(reads);
        if (writes.capacity() > kKeep) std::vector<UsedEntry>().swap(writes);
    }

private:
    std::size_t steps_ = 0;
};

// Thrown out of a speculative run whose result is no longer wanted.
struct SpeculationAbandoned {};
// Thrown out of a speculative step whose seed an earlier region has taken
// meanwhile: its result cannot be committed.
struct SeedTakenMeanwhile {};

class SpeculativeUsed {
public:
    // One instance serves one helper thread for many runs; a run in
    // progress ends early once `stop` is set. It is made before the loop
    // commits anything: the pixels `shared` has used then (too weak to be
    // seeds or to join a region) stay used to the end, so reading them
    // needs no log.
    SpeculativeUsed(const UsedMap& shared, const std::atomic<bool>& stop)
        : shared_(shared.bits()), size_(shared.size()), overlay_((shared.size() + 3) / 4, Fill::kNone), stop_(stop) {
        // Each byte of the map (eight pixels) becomes two overlay bytes,
        // kUsed for a used pixel and kUnknown for a free one.
        static const std::array<std::uint16_t, 256> spread = [] {
            std::array<std::uint16_t, 256> table{};
            for (unsigned byte = 0; byte < 256; ++byte)
                for (unsigned bit = 0; bit < 8; ++bit)
                    if ((byte >> bit) & 1u) table[byte] = static_cast<std::uint16_t>(table[byte] | kUsed << (2 * bit));
            return table;
        }();
        for (std::size_t b = 0; b < overlay_.size(); ++b) {
            const std::uint16_t states = spread[shared_[b / 2]];
            overlay_[b] = static_cast<std::uint8_t>(b % 2 == 0 ? states : states >> 8);
        }
    }

    // Makes a step give up (SeedTakenMeanwhile) as soon as its region takes
    // a pixel that comes before its seed in the order: the loop has yet to
    // reach that seed, and the region grown from it will most likely take
    // this one too, which would make the step's result worthless.
    void watch_order(const GradientCell* cells, std::size_t size, float max_magnitude) {
        if (size == size_ && max_magnitude > 0.0f) {
            cells_ = cells;
            max_magnitude_ = max_magnitude;
        }
    }

    // Starts a run that logs into `log`. Now and then the run looks at
    // `state`, and throws SpeculationAbandoned once it no longer holds
    // `running` or the loop is stopping (ending the step in progress; the
    // steps before it stay logged).
    void start(SpeculationLog& log, const std::atomic<std::uint32_t>& state, std::uint32_t running) {
        log.clear();
        log_ = &log;
        state_ = &state;
        running_ = running;
    }

    std::uint8_t get(PixelIndex i) {
        check_index(i, size_, "used map");
        const unsigned own = own_state(i);
        if (own == kUsed) return 1;
        if (own == kFree) return 0;
        if (++shared_reads_ % 64 == 0) check_still_wanted();
        if (own == kUnknown && !load_used_bit(shared_, i)) return 0;
        set_own_state(i, kUsed);
        log_read(i, 1);
        return 1;
    }
    // Callers change a bit only after reading it free in the same step, or
    // after changing it before: the first change of a bit logs that read.
    // The first bit a step takes is its seed.
    void set(PixelIndex i, std::uint8_t value) {
        check_index(i, size_, "used map");
        const unsigned own = own_state(i);
        const unsigned wanted = value ? kUsed : kFree;
        if (own == wanted) return;
        // A bit the step has changed before is kUsed or kFree, and listed.
        const bool first_change = own == kUnknown || own == kExpectedUsed;
        if (first_change) log_read(i, 0);
        if (written_.empty()) {
            seed_ = i;
            if (cells_) {
                seed_magnitude_ = cells_[i].magnitude;
                seed_bin_ = seed_bin(seed_magnitude_, max_magnitude_);
            }
        } else if (value && cells_ && own != kFree && comes_before_seed(i)) {
            throw SeedTakenMeanwhile();
        }
        set_own_state(i, wanted);
        if (first_change) written_.push_back(i);
    }

    // Ends a step of the run: logs each bit the step leaves used, and
    // forgets the step's view. A step that took nothing found its seed used
    // and is left to the committing thread. A bit a step wrote and left
    // free needs no entry: its first change logged a read of it free, which
    // the commit checks before it writes anything, so writing it free would
    // change nothing (refinement frees many of the pixels a region took).
    // Later steps, of this run and of the helper's later runs, take the
    // pixels this step used as used, as they will be once it is committed,
    // so that a seed an earlier step took is passed over, not grown twice.
    // They log that read like any other, so each step is still validated on
    // its own, and a wrong guess (the step was not committed as it ran)
    // costs a rerun, never a wrong result.
    void end_step() {
        const bool took_nothing = written_.empty();
        forget(true, true);
        if (took_nothing) {
            leave_step();
        } else {
            close_step();
        }
    }

    // Ends a step cut short by SeedTakenMeanwhile: the committing thread
    // runs the seed itself.
    void end_step_rejected() {
        forget(false);
        leave_step();
    }

    // Ends the run; an unfinished step is dropped.
    void finish() { forget(false); }

    // Whether pixel i is used as far as the run knows, without logging the
    // read: for guesses that no result depends on.
    bool peek(PixelIndex i) const {
        check_index(i, size_, "used map");
        const unsigned own = own_state(i);
        if (own == kUsed || own == kExpectedUsed) return true;
        return own == kUnknown && load_used_bit(shared_, i);
    }

    // Ends a step that was not run: the committing thread runs the seed.
    void skip_step() { leave_step(); }

private:
    // Entries are filled in place: a pushed temporary would be stored in
    // two parts and loaded whole, which stalls.
    static void log_entry(std::vector<UsedEntry>& entries, PixelIndex i, std::uint8_t value) {
        UsedEntry& entry = entries.emplace_back();
        entry.index = i;
        entry.value = value;
    }
    void log_read(PixelIndex i, std::uint8_t value) { log_entry(log_->reads, i, value); }

    bool comes_before_seed(PixelIndex i) const {
        return precedes_in_order(cells_[i].magnitude, i, seed_magnitude_, seed_, max_magnitude_,
                                 [this] { return seed_bin_; });
    }

    std::size_t step_reads_begin() const { return log_->read_end.empty() ? 0 : log_->read_end.back(); }

    void close_step() {
        log_->read_end.push_back(static_cast<std::uint32_t>(log_->reads.size()));
        log_->write_end.push_back(static_cast<std::uint32_t>(log_->writes.size()));
        log_->add_step(false);
    }

    // Drops the reads the step logged (after forget, which needs them; a
    // step left to the committing thread logged no writes) and leaves it to
    // that thread.
    void leave_step() {
        log_->reads.resize(step_reads_begin());
        log_->add_step(true);
    }

    // Called every 64 shared reads. A step whose seed the committing
    // thread has marked used since it was read cannot be committed as it
    // is (the seed would be skipped), so it stops early.
    void check_still_wanted() {
        if (!written_.empty() && load_used_bit(shared_, seed_)) throw SeedTakenMeanwhile();
        if (shared_reads_ % 1024 == 0 && (state_->load(std::memory_order_relaxed) != running_ ||
                                          stop_.load(std::memory_order_relaxed)))
            throw SpeculationAbandoned();
    }

    // Ends the step's view of the bits it read or wrote: those it found or
    // left used become expected used (when `expect`), the others unknown.
    // A bit read used is never written in the same step (a used pixel does
    // not join a region) and a bit read free always is, so the reads only
    // need their used entries here.
    // With `log_writes`, each bit the step leaves used is logged as a
    // write on the way, once.
    void forget(bool expect, bool log_writes = false) {
        const unsigned after_used = expect ? kExpectedUsed : kUnknown;
        for (std::size_t k = step_reads_begin(); k < log_->reads.size(); ++k)
            if (log_->reads[k].value == 1) set_own_state(log_->reads[k].index, after_used);
        // Each bit the step changed is listed once and is now kUsed or kFree.
        for (PixelIndex i : written_) {
            const bool left_used = own_state(i) == kUsed;
            if (left_used && log_writes) log_entry(log_->writes, i, 1);
            set_own_state(i, left_used ? after_used : kUnknown);
        }
        written_.clear();
    }

    // Two bits per pixel: what the run knows of the bit.
    enum : unsigned {
        kUnknown = 0,       // as the shared map says
        kExpectedUsed = 1,  // used once earlier steps of the helper are committed
        kFree = 2,          // this step wrote it free, or read it free and took it
        kUsed = 3           // used from the start, or read used or taken by this step
    };
    unsigned own_state(PixelIndex i) const { return (overlay_[i >> 2] >> ((i & 3) * 2)) & 3u; }
    void set_own_state(PixelIndex i, unsigned state) {
        std::uint8_t& byte = overlay_[i >> 2];
        const unsigned shift = (i & 3) * 2;
        byte = static_cast<std::uint8_t>((byte & ~(3u << shift)) | state << shift);
    }

    const std::uint8_t* shared_;
    std::size_t size_;
    CachedArray<std::uint8_t> overlay_;
    SpeculationLog* log_ = nullptr;
    const std::atomic<std::uint32_t>* state_ = nullptr;
    std::uint32_t running_ = 0;
    const std::atomic<bool>& stop_;
    std::uint64_t shared_reads_ = 0;
    PixelIndex seed_ = 0;  // the first bit the step took
    const GradientCell* cells_ = nullptr;
    float max_magnitude_ = 0.0f;
    float seed_magnitude_ = 0.0f;
    std::uint32_t seed_bin_ = 0;
    std::vector<PixelIndex> written_;  // each bit the step changed, once
};

}  // namespace linara
