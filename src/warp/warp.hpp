#pragma once
// Perspective warp of a three-channel interleaved image through an inverse
// homography, with bilinear interpolation. Nothing here depends on Python or
// NumPy.

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "common/errors.hpp"
#include "common/zeroed_array.hpp"

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

template <class T>
using WarpResult = std::variant<ZeroedArray<T>, SizeMismatch>;

// `src` holds height x width x 3 elements; the result has the same layout.
WarpResult<std::uint8_t> warp_rgb_buffer(const std::uint8_t* src, std::size_t length,
                                         std::size_t width, std::size_t height,
                                         const WarpParams& params);
WarpResult<std::uint16_t> warp_rgb_buffer(const std::uint16_t* src, std::size_t length,
                                          std::size_t width, std::size_t height,
                                          const WarpParams& params);

}  // namespace linara
