#pragma once
// Exceptions raised by the computational core. The Python layer maps each to
// an interpreter exception; none of them may cross into the interpreter.

#include <cstddef>
#include <stdexcept>
#include <string>

namespace linara {

// A broken invariant of the core, such as an index check that failed. It
// means a bug in linara, never bad input.
class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Input the core cannot represent, such as an image whose pixels do not fit
// the 32-bit pixel index.
class InputTooLarge : public std::length_error {
public:
    using std::length_error::length_error;
};

// A buffer whose length disagrees with the dimensions it came with; both
// counts are element counts.
struct SizeMismatch {
    std::size_t expected;
    std::size_t got;
};

}  // namespace linara
