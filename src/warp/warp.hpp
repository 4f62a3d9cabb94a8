#pragma once
// Perspective warp of a three-channel interleaved image through an inverse
// homography, with bilinear interpolation. Nothing here depends on Python or
// NumPy.

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "common/errors.hpp"
#include "common/heap_array.hpp"

namespace linara {

// Output column x and row y stand for the plane point
// (x / scale + off_x, y / scale + off_y); `inverse` (row-major 3x3) maps that
// point to source coordinates. Points outside the source, or whose
// homogeneous divisor is zero, leave the output pixel 0.
struct WarpParams {
    std::array<double, 9> inverse;
    double scale;
    double off_x;
    double off_y;
};

// The warped image: every element written by the kernel, in memory the
// caller may take over and release with std::free.
template <class T>
using WarpImage = HeapArray<T>;

template <class T>
using WarpResult = std::variant<WarpImage<T>, SizeMismatch>;

// `src` holds `length` elements, height x width x 3 of them, row-major and
// interleaved; the result is a new buffer of the same layout in which every
// sampled pixel holds its value and every other pixel is 0. A length other
// than width * 3 * height, or a product that does not fit a size_t (then
// `expected` is SIZE_MAX), is a SizeMismatch. An empty image (width or
// height 0) gives an empty buffer. Rows run on the worker pool; the result
// does not depend on its size, nor on which row routine the processor gets.
WarpResult<std::uint8_t> warp_rgb_buffer(const std::uint8_t* src, std::size_t length,
                                         std::size_t width, std::size_t height,
                                         const WarpParams& params);
WarpResult<std::uint16_t> warp_rgb_buffer(const std::uint16_t* src, std::size_t length,
                                          std::size_t width, std::size_t height,
                                          const WarpParams& params);

}  // namespace linara
