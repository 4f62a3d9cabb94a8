#pragma once
// The Segment class: an immutable record of one detected segment.

#include "detector/detector.hpp"
#include "python/python.hpp"

namespace linara::python {

// The Segment type, created on first need and kept for the process
// (borrowed reference); null with an exception set on failure.
PyObject* segment_type();

// A new Segment holding the record's values; null with an exception set.
PyObject* new_segment(PyObject* type, const SegmentRecord& record);

}  // namespace linara::python
