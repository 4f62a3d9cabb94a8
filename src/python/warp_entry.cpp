#include "python/entries.hpp"

namespace linara::python {
namespace {

// PENDING: the warp entry is registered with its final signature; the
// computation is not built yet.
PyObject* warp_rgb(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"src", "inverse", "scale", "off_x", "off_y", nullptr};
    PyObject *src, *inverse, *scale, *off_x, *off_y;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:warp_rgb", const_cast<char**>(keywords),
                                     &src, &inverse, &scale, &off_x, &off_y))
        return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "warp_rgb is not implemented yet");
    return nullptr;
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
