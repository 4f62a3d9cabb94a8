#include <cstdint>
#include <cstdlib>
#include <variant>

#include "detector/detector.hpp"
#include "python/array_intake.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "warp/warp.hpp"

namespace linara::python {
namespace {

constexpr Py_ssize_t kMatrixItems = 9;
constexpr const char* kBufferCapsule = "linara.warp_rgb.buffer";

// Converts one float argument; on failure the pending error gets the note
// naming the parameter.
bool convert_float(PyObject* object, const char* parameter, double& value) {
    value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        note_parameter(parameter);
        return false;
    }
    return true;
}

// Reads nine floats from any sequence, as inverse[0] ... inverse[8].
bool convert_inverse(PyObject* inverse, std::array<double, 9>& matrix) {
    if (!PySequence_Check(inverse)) {
        PyObject* name = PyType_GetQualName(Py_TYPE(inverse));
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'Sequence'", name);
            Py_DECREF(name);
        }
        note_parameter("inverse");
        return false;
    }
    const Py_ssize_t length = PyObject_Length(inverse);
    if (length < 0) {
        note_parameter("inverse");
        return false;
    }
    if (length != kMatrixItems) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", kMatrixItems,
                     length);
        note_parameter("inverse");
        return false;
    }
    for (Py_ssize_t i = 0; i < kMatrixItems; ++i) {
        // Subscription with an int, as inverse[i] in Python.
        PyObject* index = PyLong_FromSsize_t(i);
        PyObject* item = index ? PyObject_GetItem(inverse, index) : nullptr;
        Py_XDECREF(index);
        if (!item) {
            note_parameter("inverse");
            return false;
        }
        const bool ok = convert_float(item, "inverse", matrix[static_cast<std::size_t>(i)]);
        Py_DECREF(item);
        if (!ok) return false;
    }
    return true;
}

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// A new C-ordered (height, width, 3) array over `out`, which it then owns
// through a capsule base that frees the memory when the array goes away.
template <class T>
PyObject* wrap_output(WarpImage<T> out, std::size_t height, std::size_t width, int typenum) {
    npy_intp dims[3] = {static_cast<npy_intp>(height), static_cast<npy_intp>(width), 3};
    // An empty result has no memory to hand over: NumPy makes its own.
    if (!out.data()) return PyArray_SimpleNew(3, dims, typenum);

    T* data = out.release();
    PyObject* array = PyArray_SimpleNewFromData(3, dims, typenum, data);
    if (!array) {
        std::free(data);
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(data, kBufferCapsule, free_buffer);
    if (!capsule) {
        Py_DECREF(array);
        std::free(data);
        return nullptr;
    }
    // Takes the capsule reference even when it fails, and the capsule then
    // frees the memory; the array itself never frees it.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

template <class T>
PyObject* warp_typed(PyObject* src, const WarpParams& params, int typenum) {
    RowMajorSamples<T> samples(src);
    const std::size_t height = samples.dim(0);
    const std::size_t width = samples.dim(1);
    // The same pixel limit as detect, checked before any copy or allocation.
    if (!fits_pixel_index(width, height)) {
        return PyErr_Format(PyExc_ValueError,
                            "warp_rgb supports images of fewer than 2**32 pixels, got %zu x %zu",
                            height, width);
    }
    samples.materialise();

    std::optional<WarpResult<T>> result = run_unlocked(
        [&] { return warp_rgb_buffer(samples.data(), samples.count(), width, height, params); });
    if (!result) return nullptr;
    if (std::holds_alternative<SizeMismatch>(*result)) {
        set_size_mismatch_error();
        return nullptr;
    }
    return wrap_output(std::move(std::get<WarpImage<T>>(*result)), height, width, typenum);
}

bool is_rgb_array_of(PyObject* object, int typenum) {
    return is_array_of(object, typenum, 3) &&
           PyArray_DIM(reinterpret_cast<PyArrayObject*>(object), 2) == 3;
}

PyObject* warp_rgb(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"src", "inverse", "scale", "off_x", "off_y", nullptr};
    PyObject *src, *inverse, *scale, *off_x, *off_y;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:warp_rgb", const_cast<char**>(keywords),
                                     &src, &inverse, &scale, &off_x, &off_y))
        return nullptr;

    WarpParams params{};
    if (!convert_inverse(inverse, params.inverse) ||
        !convert_float(scale, "scale", params.scale) ||
        !convert_float(off_x, "off_x", params.off_x) ||
        !convert_float(off_y, "off_y", params.off_y))
        return nullptr;

    return guarded([&]() -> PyObject* {
        if (is_rgb_array_of(src, NPY_UINT8)) return warp_typed<std::uint8_t>(src, params, NPY_UINT8);
        if (is_rgb_array_of(src, NPY_UINT16))
            return warp_typed<std::uint16_t>(src, params, NPY_UINT16);
        PyErr_SetString(PyExc_TypeError,
                        "warp_rgb expects a (height, width, 3) array of uint8 or uint16");
        note_foreign_byte_order(src, {NPY_UINT8, NPY_UINT16}, 3);
        return nullptr;
    });
}

}  // namespace

PyMethodDef warp_rgb_def = {
    "warp_rgb",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(warp_rgb)),
    METH_VARARGS | METH_KEYWORDS,
    "warp_rgb(src, inverse, scale, off_x, off_y)\n--\n\n"
    "Perspective-warp an RGB image through an inverse homography.",
};

}  // namespace linara::python
