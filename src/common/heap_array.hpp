#pragma once
// A heap array whose memory comes from the C allocator, so that it can be
// handed to an owner that releases it with std::free. Large arrays are
// advised onto huge pages, so that touching them costs few page faults.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "common/checked.hpp"
#include "common/huge_pages.hpp"

namespace linara {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

template <class T>
class HeapArray {
public:
    HeapArray() = default;

    // `count` elements, all zero bits: calloc gets large arrays as zero
    // pages from the operating system without a fill pass. Zero bits are a
    // valid value of every type this is used with (integers, floats and
    // aggregates of them).
    static HeapArray zeroed(std::size_t count) {
        if (count == 0) return HeapArray();
        HeapArray array(static_cast<T*>(std::calloc(count, sizeof(T))), count);
        if (!array.data_) throw std::bad_alloc();
        advise_huge_pages(array.data(), count * sizeof(T));
        return array;
    }

    // `count` elements left unset, for a caller that writes every one.
    static HeapArray uninitialised(std::size_t count) {
        if (count == 0) return HeapArray();
        std::size_t bytes = 0;
        if (!checked_multiply(count, sizeof(T), bytes)) throw std::bad_alloc();
        HeapArray array(static_cast<T*>(std::malloc(bytes)), count);
        if (!array.data_) throw std::bad_alloc();
        advise_huge_pages(array.data(), bytes);
        return array;
    }

    T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) const { return data_.get()[i]; }

    // Gives up ownership; the caller frees the memory with std::free.
    T* release() {
        size_ = 0;
        return data_.release();
    }

private:
    HeapArray(T* data, std::size_t size) : data_(data), size_(size) {}

    std::unique_ptr<T, FreeDeleter> data_;
    std::size_t size_ = 0;
};

}  // namespace linara
