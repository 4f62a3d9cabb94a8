#include <cstdint>
#include <new>
#include <optional>
#include <variant>

#include "detector/detector.hpp"
#include "python/array_intake.hpp"
#include "python/entries.hpp"
#include "python/errors.hpp"
#include "python/segment.hpp"

namespace linara::python {
namespace {

constexpr double kDefaultScale = 0.8;

PyObject* build_segment_list(const std::vector<SegmentRecord>& records) {
    PyObject* type = segment_type();
    if (!type) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* segment = new_segment(type, records[i]);
        if (!segment) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), segment);
    }
    return list;
}

template <class T>
PyObject* detect_typed(PyObject* gray, double scale) {
    RowMajorSamples<T> samples(gray);
    const std::size_t height = samples.dim(0);
    const std::size_t width = samples.dim(1);
    if (!fits_pixel_index(width, height)) {
        return PyErr_Format(PyExc_ValueError,
                            "detect supports images of fewer than 2**32 pixels, got %zu x %zu",
                            height, width);
    }
    samples.materialise();

    std::optional<DetectResult> result = run_unlocked(
        [&] { return detect_segments(samples.data(), samples.count(), width, height, scale); });
    if (!result) return nullptr;
    if (std::holds_alternative<SizeMismatch>(*result)) {
        set_size_mismatch_error();
        return nullptr;
    }
    return build_segment_list(std::get<std::vector<SegmentRecord>>(*result));
}

PyObject* detect(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"gray", "scale", nullptr};
    PyObject* gray = nullptr;
    PyObject* scale_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:detect", const_cast<char**>(keywords),
                                     &gray, &scale_object))
        return nullptr;

    double scale = kDefaultScale;
    if (scale_object) {
        scale = PyFloat_AsDouble(scale_object);
        if (scale == -1.0 && PyErr_Occurred()) {
            note_parameter("scale");
            return nullptr;
        }
    }

    return guarded([&]() -> PyObject* {
        if (is_array_of(gray, NPY_FLOAT64, 2)) return detect_typed<double>(gray, scale);
        if (is_array_of(gray, NPY_FLOAT32, 2)) return detect_typed<float>(gray, scale);
        if (is_array_of(gray, NPY_UINT8, 2)) return detect_typed<std::uint8_t>(gray, scale);
        if (is_array_of(gray, NPY_UINT16, 2)) return detect_typed<std::uint16_t>(gray, scale);
        PyErr_SetString(PyExc_TypeError,
                        "detect expects a (height, width) array of uint8, uint16, float32 or float64");
        note_foreign_byte_order(gray, {NPY_FLOAT64, NPY_FLOAT32, NPY_UINT8, NPY_UINT16}, 2);
        return nullptr;
    });
}

}  // namespace

PyMethodDef detect_def = {
    "detect",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(detect)),
    METH_VARARGS | METH_KEYWORDS,
    "detect(gray, scale=...)\n--\n\nFind the validated line segments of a grayscale image.",
};

}  // namespace linara::python
