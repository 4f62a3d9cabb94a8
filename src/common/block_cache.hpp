#pragma once
// Large working buffers that outlive the call that used them, for the next.
//
// Each first write to a fresh page of memory costs a page fault and a page
// the kernel has zeroed; for an image of a few megapixels that is a tenth
// of a detection. A small process-wide cache keeps the blocks of recent
// calls (at most kCachedBlocks of them and kCachedBytes in all, the most
// recent first), so that a run of calls on images of similar size pays for
// fresh pages once. Blocks under kCachedMinBytes come from the allocator.

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace linara {

constexpr std::size_t kCachedBlocks = 8;
constexpr std::size_t kCachedBytes = std::size_t{512} << 20;
constexpr std::size_t kCachedMinBytes = std::size_t{1} << 20;

// A block of at least `bytes` bytes, of undefined content; throws
// std::bad_alloc when memory is exhausted.
void* acquire_block(std::size_t bytes, std::size_t& capacity);
// Gives a block back (to the cache or to the allocator).
void release_block(void* block, std::size_t capacity) noexcept;

enum class Fill { kZero, kNone };

// An array of `count` trivially copyable elements in a cached block,
// zero-filled unless Fill::kNone is asked for.
template <class T>
class CachedArray {
public:
    CachedArray() = default;
    explicit CachedArray(std::size_t count, Fill fill = Fill::kZero) : size_(count) {
        if (count == 0) return;
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(acquire_block(count * sizeof(T), capacity_));
        if (fill == Fill::kZero) std::memset(static_cast<void*>(data_), 0, count * sizeof(T));
    }
    CachedArray(CachedArray&& other) noexcept { swap(other); }
    CachedArray& operator=(CachedArray&& other) noexcept {
        CachedArray moved(std::move(other));
        swap(moved);
        return *this;
    }
    CachedArray(const CachedArray&) = delete;
    CachedArray& operator=(const CachedArray&) = delete;
    ~CachedArray() {
        if (data_) release_block(data_, capacity_);
    }

    T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() const { return data_; }
    T* end() const { return data_ + size_; }

private:
    void swap(CachedArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace linara
