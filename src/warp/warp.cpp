#include "warp/warp.hpp"

#include <stdexcept>

namespace linara {

// PENDING: the warp kernel is not built yet.
WarpResult<std::uint8_t> warp_rgb_buffer(const std::uint8_t*, std::size_t, std::size_t,
                                         std::size_t, const WarpParams&) {
    throw std::logic_error("warp_rgb is not implemented yet");
}
WarpResult<std::uint16_t> warp_rgb_buffer(const std::uint16_t*, std::size_t, std::size_t,
                                          std::size_t, const WarpParams&) {
    throw std::logic_error("warp_rgb is not implemented yet");
}

}  // namespace linara
