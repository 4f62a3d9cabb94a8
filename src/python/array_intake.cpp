#include "python/array_intake.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace linara::python {

bool is_array_of(PyObject* object, int typenum, int ndim) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim) return false;
    PyArray_Descr* native = PyArray_DescrFromType(typenum);
    if (!native) {
        PyErr_Clear();
        return false;
    }
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), native) != 0;
    Py_DECREF(native);
    return equivalent;
}

void note_foreign_byte_order(PyObject* object, std::initializer_list<int> typenums, int ndim) {
    if (!PyArray_Check(object)) return;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (PyArray_NDIM(array) != ndim || PyArray_ISNBO(descr->byteorder)) return;
    PyArray_Descr* native = PyArray_DescrNewByteorder(descr, NPY_NATIVE);
    if (!native) {
        PyErr_Clear();
        return;
    }
    bool accepted = false;
    for (int typenum : typenums) {
        PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
        if (!wanted) {
            PyErr_Clear();
            continue;
        }
        accepted = accepted || PyArray_EquivTypes(native, wanted);
        Py_DECREF(wanted);
    }
    Py_DECREF(native);
    if (!accepted) return;
    add_note(descr->byteorder == '>'
                 ? "the array is big-endian (byte order '>'), not in this machine's byte order; "
                   "a.astype(a.dtype.newbyteorder('=')) converts it"
                 : "the array is little-endian (byte order '<'), not in this machine's byte order; "
                   "a.astype(a.dtype.newbyteorder('=')) converts it");
}

template <class T>
RowMajorSamples<T>::RowMajorSamples(PyObject* array) : array_(array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array_);
    const int ndim = PyArray_NDIM(a);
    for (int axis = 0; axis < ndim; ++axis) {
        dims_.push_back(static_cast<std::size_t>(PyArray_DIM(a, axis)));
        count_ *= dims_.back();
    }
}

template <class T>
void RowMajorSamples<T>::materialise() {
    auto* a = reinterpret_cast<PyArrayObject*>(array_);
    const auto* base = static_cast<const char*>(PyArray_DATA(a));
    const int ndim = static_cast<int>(dims_.size());
    if (count_ == 0) {
        data_ = nullptr;
        return;
    }

    // In place when every axis longer than 1 steps exactly over the axes
    // after it, and the memory is aligned for T.
    bool in_place = reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0;
    std::ptrdiff_t expected = sizeof(T);
    for (int axis = ndim - 1; axis >= 0 && in_place; --axis) {
        if (dims_[static_cast<std::size_t>(axis)] > 1 && PyArray_STRIDE(a, axis) != expected)
            in_place = false;
        expected *= static_cast<std::ptrdiff_t>(dims_[static_cast<std::size_t>(axis)]);
    }
    if (in_place) {
        data_ = reinterpret_cast<const T*>(base);
        return;
    }

    // Copy in logical order: the last axis fastest, one strided run per
    // position of the other axes.
    copy_.resize(count_);
    const std::size_t run = dims_.back();
    const std::ptrdiff_t step = PyArray_STRIDE(a, ndim - 1);
    std::vector<std::size_t> index(dims_.size(), 0);
    T* out = copy_.data();
    for (std::size_t done = 0; done < count_; done += run) {
        const char* in = base;
        for (int axis = 0; axis + 1 < ndim; ++axis)
            in += static_cast<std::ptrdiff_t>(index[static_cast<std::size_t>(axis)]) *
                  PyArray_STRIDE(a, axis);
        for (std::size_t x = 0; x < run; ++x, in += step) std::memcpy(out++, in, sizeof(T));
        for (int axis = ndim - 2; axis >= 0; --axis) {
            auto& k = index[static_cast<std::size_t>(axis)];
            if (++k < dims_[static_cast<std::size_t>(axis)]) break;
            k = 0;
        }
    }
    data_ = copy_.data();
}

template class RowMajorSamples<double>;
template class RowMajorSamples<float>;
template class RowMajorSamples<std::uint8_t>;
template class RowMajorSamples<std::uint16_t>;

}  // namespace linara::python
