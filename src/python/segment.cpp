#include "python/segment.hpp"

#include <math.h>
#include <structmember.h>

#include <cstddef>
#include <string>

namespace linara::python {
namespace {

struct SegmentObject {
    PyObject_HEAD
    double x1, y1, x2, y2, width, precision, log_nfa;
};

// 180 / pi as a float64 multiplier.
constexpr double kDegreesPerRadian = 57.29577951308232;

const SegmentObject& fields(PyObject* self) { return *reinterpret_cast<SegmentObject*>(self); }

PyObject* get_angle(PyObject* self, void*) {
    const SegmentObject& s = fields(self);
    double d = atan2(s.y2 - s.y1, s.x2 - s.x1) * kDegreesPerRadian;
    if (d > 90.0) d = d + -180.0;
    if (d <= -90.0) d = d + 180.0;
    return PyFloat_FromDouble(d);
}

PyObject* get_length(PyObject* self, void*) {
    const SegmentObject& s = fields(self);
    return PyFloat_FromDouble(hypot(s.x2 - s.x1, s.y2 - s.y1));
}

// Exact decimal value rounded half-even to one decimal, never an exponent;
// "-0.0" keeps the sign, NaN is "NaN", infinities "inf" and "-inf".
bool append_decimal(std::string& out, double value) {
    if (value != value) {
        out += "NaN";
        return true;
    }
    char* text = PyOS_double_to_string(value, 'f', 1, 0, nullptr);
    if (!text) return false;
    out += text;
    PyMem_Free(text);
    return true;
}

PyObject* segment_repr(PyObject* self) {
    const SegmentObject& s = fields(self);
    std::string text = "Segment((";
    bool ok = append_decimal(text, s.x1);
    text += ", ";
    ok = ok && append_decimal(text, s.y1);
    text += ")-(";
    ok = ok && append_decimal(text, s.x2);
    text += ", ";
    ok = ok && append_decimal(text, s.y2);
    text += "), width=";
    ok = ok && append_decimal(text, s.width);
    text += ")";
    if (!ok) return nullptr;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void segment_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

#define LINARA_FIELD(name) \
    {const_cast<char*>(#name), T_DOUBLE, offsetof(SegmentObject, name), READONLY, nullptr}

PyMemberDef segment_members[] = {
    LINARA_FIELD(x1),    LINARA_FIELD(y1),        LINARA_FIELD(x2),      LINARA_FIELD(y2),
    LINARA_FIELD(width), LINARA_FIELD(precision), LINARA_FIELD(log_nfa), {nullptr, 0, 0, 0, nullptr},
};
#undef LINARA_FIELD

PyGetSetDef segment_getset[] = {
    {"angle", get_angle, nullptr, "Direction in degrees, -90 to 90, 0 = horizontal.", nullptr},
    {"length", get_length, nullptr, "Length in pixels.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("One detected line segment, in input-image coordinates.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(segment_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_members, segment_members},
    {Py_tp_getset, segment_getset},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    "linara.Segment",
    sizeof(SegmentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    segment_slots,
};

PyObject* g_segment_type = nullptr;  // One type for the process, never freed.

}  // namespace

PyObject* segment_type() {
    if (!g_segment_type) g_segment_type = PyType_FromSpec(&segment_spec);
    return g_segment_type;
}

PyObject* new_segment(PyObject* type, const SegmentRecord& record) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* self = alloc(tp, 0);
    if (!self) return nullptr;
    auto& s = *reinterpret_cast<SegmentObject*>(self);
    s.x1 = record.x1;
    s.y1 = record.y1;
    s.x2 = record.x2;
    s.y2 = record.y2;
    s.width = record.width;
    s.precision = record.precision;
    s.log_nfa = record.log_nfa;
    return self;
}

}  // namespace linara::python
