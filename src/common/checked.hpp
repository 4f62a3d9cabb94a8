#pragma once
// Bounds-checked access to plain buffers. A failed check throws
// InternalError instead of touching memory outside the buffer.

#include <cstddef>

#include "common/errors.hpp"

namespace linara {

[[noreturn]] void fail_index_check(std::size_t index, std::size_t size, const char* buffer);

inline void check_index(std::size_t index, std::size_t size, const char* buffer) {
    if (index >= size) fail_index_check(index, size, buffer);
}

// Checks that [first, first + count) lies inside a buffer of `size` elements.
inline void check_range(std::size_t first, std::size_t count, std::size_t size, const char* buffer) {
    if (first > size || count > size - first) fail_index_check(first + count - 1, size, buffer);
}

// A non-owning view of `size` elements whose subscript is checked.
template <class T>
class Checked {
public:
    Checked(T* data, std::size_t size, const char* name) : data_(data), size_(size), name_(name) {}

    T& operator[](std::size_t i) const {
        check_index(i, size_, name_);
        return data_[i];
    }
    // Unchecked pointer to `count` elements from `first`, after one range check.
    T* span(std::size_t first, std::size_t count) const {
        check_range(first, count, size_, name_);
        return data_ + first;
    }
    T* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    T* data_;
    std::size_t size_;
    const char* name_;
};

// Multiplies two sizes; false when the product does not fit a size_t.
inline bool checked_multiply(std::size_t a, std::size_t b, std::size_t& product) {
    return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace linara
