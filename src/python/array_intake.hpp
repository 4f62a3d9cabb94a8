#pragma once
// Taking NumPy arrays in: element-type checks and a row-major sample buffer,
// read in place when the layout allows it, copied otherwise.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "python/numpy.hpp"

namespace linara::python {

// True when `object` is an array (or subclass) of `ndim` dimensions whose
// element type is equivalent to the native type `typenum`.
bool is_array_of(PyObject* object, int typenum, int ndim);

// When `object` is an array of `ndim` dimensions whose element type is one of
// `typenums` in the other byte order, adds a note to the pending exception
// that names the array's byte order and the conversion that fixes it. The
// exception and its message stay as they are.
void note_foreign_byte_order(PyObject* object, std::initializer_list<int> typenums, int ndim);

// Row-major, gap-free elements of an array, with the lock held: the array's
// own memory when its layout already is that (and suitably aligned),
// otherwise a copy in logical order. The array is borrowed from the entry's
// arguments, which the caller keeps alive for the whole call; holding no
// reference of its own means nothing here touches the interpreter when a
// daemon thread is unwound at shutdown.
template <class T>
class RowMajorSamples {
public:
    explicit RowMajorSamples(PyObject* array);
    RowMajorSamples(const RowMajorSamples&) = delete;
    RowMajorSamples& operator=(const RowMajorSamples&) = delete;

    const T* data() const { return data_; }
    std::size_t count() const { return count_; }
    std::size_t dim(int axis) const { return dims_[static_cast<std::size_t>(axis)]; }

    // Makes the copy if the array's memory cannot be read in place.
    // May throw std::bad_alloc.
    void materialise();

private:
    PyObject* array_;
    std::vector<std::size_t> dims_;
    std::size_t count_ = 1;
    const T* data_ = nullptr;
    std::vector<T> copy_;
};

extern template class RowMajorSamples<double>;
extern template class RowMajorSamples<float>;
extern template class RowMajorSamples<std::uint8_t>;
extern template class RowMajorSamples<std::uint16_t>;

}  // namespace linara::python
