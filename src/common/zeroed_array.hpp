#pragma once
// A heap array that starts zero-filled. It takes its memory from calloc, so
// large arrays get zero pages from the operating system without a fill pass
// (advised onto huge pages, so that touching them costs few page faults),
// and it can hand its memory to an owner that releases it with std::free.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "common/huge_pages.hpp"

namespace linara {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

template <class T>
class ZeroedArray {
public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t count) : size_(count) {
        if (count == 0) return;
        // Zero bits are a valid value of every type this is used with
        // (integers, floats and aggregates of them).
        data_.reset(static_cast<T*>(std::calloc(count, sizeof(T))));
        if (!data_) throw std::bad_alloc();
        advise_huge_pages(data_.get(), count * sizeof(T));
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
    std::unique_ptr<T, FreeDeleter> data_;
    std::size_t size_ = 0;
};

}  // namespace linara
