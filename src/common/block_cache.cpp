#include "common/block_cache.hpp"

#include <pthread.h>

#include <cstdlib>
#include <mutex>

namespace linara {
namespace {

struct Block {
    void* data;
    std::size_t capacity;
};

class BlockCache {
public:
    // The smallest cached block that holds `bytes` without wasting more than
    // three quarters of itself, or null.
    void* take(std::size_t bytes, std::size_t& capacity) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i)
            if (blocks_[i].capacity >= bytes && blocks_[i].capacity / 4 <= bytes &&
                (best == count_ || blocks_[i].capacity < blocks_[best].capacity))
                best = i;
        if (best == count_) return nullptr;
        const Block block = blocks_[best];
        remove(best);
        capacity = block.capacity;
        return block.data;
    }

    // Keeps the block as the most recent one, freeing the oldest ones that
    // no longer fit; a block too large to keep is freed at once.
    void give(Block block) {
        Block evicted[kCachedBlocks + 1];
        std::size_t n_evicted = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (block.capacity > kCachedBytes) {
                evicted[n_evicted++] = block;
            } else {
                while (count_ > 0 && (count_ == kCachedBlocks || bytes_ + block.capacity > kCachedBytes)) {
                    evicted[n_evicted++] = blocks_[0];
                    remove(0);
                }
                blocks_[count_++] = block;
                bytes_ += block.capacity;
            }
        }
        for (std::size_t i = 0; i < n_evicted; ++i) std::free(evicted[i].data);
    }

    std::mutex& mutex() { return mutex_; }

private:
    void remove(std::size_t i) {
        bytes_ -= blocks_[i].capacity;
        for (std::size_t j = i + 1; j < count_; ++j) blocks_[j - 1] = blocks_[j];
        --count_;
    }

    std::mutex mutex_;
    Block blocks_[kCachedBlocks] = {};
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

// Never destroyed, like the worker pool: a daemon thread may still use it
// while the process exits.
BlockCache& cache() {
    static BlockCache* const instance = [] {
        // fork() copies only the calling thread: the mutex is held across it
        // so that the child never inherits it locked.
        pthread_atfork([] { cache().mutex().lock(); }, [] { cache().mutex().unlock(); },
                       [] { cache().mutex().unlock(); });
        return new BlockCache;
    }();
    return *instance;
}

}  // namespace

void* acquire_block(std::size_t bytes, std::size_t& capacity) {
    if (bytes >= kCachedMinBytes) {
        if (void* data = cache().take(bytes, capacity)) return data;
    }
    // No huge-page advice here: the first write to an advised page may
    // stall for milliseconds, and a caller that writes a fresh block at
    // scattered places (the seed ordering) could take many such faults
    // between two polls for an interrupt. A caller that fills its block in
    // small polled steps and then reads it at random advises it itself.
    void* data = std::malloc(bytes);
    if (!data) throw std::bad_alloc();
    capacity = bytes;
    return data;
}

void release_block(void* block, std::size_t capacity) noexcept {
    if (capacity < kCachedMinBytes) {
        std::free(block);
        return;
    }
    cache().give({block, capacity});
}

}  // namespace linara
