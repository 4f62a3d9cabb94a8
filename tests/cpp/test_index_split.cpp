// Pixel indices split into column and row by a multiplication with a
// precomputed reciprocal must agree with integer division everywhere.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "detector/stages.hpp"

namespace linara {
namespace {

TEST(IndexSplitter, AgreesWithDivisionForEveryWidthClass) {
    const std::uint32_t widths[] = {2,     3,          7,          640,        1920,      4096,
                                    65535, 1u << 31,   (1u << 31) + 1, 0xFFFFFFFEu, 0xFFFFFFFFu};
    std::mt19937 rng(7);
    for (std::uint32_t width : widths) {
        SCOPED_TRACE(width);
        const IndexSplitter split(width);
        auto check = [&](std::uint32_t i) {
            const PixelXY xy = split(i);
            ASSERT_EQ(xy.y, i / width);
            ASSERT_EQ(xy.x, i % width);
        };
        for (std::uint32_t i = 0; i < 5000; ++i) check(i);
        for (std::uint32_t k = 1; k < 64; ++k) {
            const std::uint64_t multiple = static_cast<std::uint64_t>(width) * k;
            if (multiple > 0xFFFFFFFFu) break;
            for (int d = -1; d <= 1; ++d) check(static_cast<std::uint32_t>(multiple + d));
        }
        for (int n = 0; n < 200000; ++n) check(static_cast<std::uint32_t>(rng()));
        check(0xFFFFFFFFu);
    }
}

}  // namespace
}  // namespace linara
