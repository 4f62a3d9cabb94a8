#pragma once
// Advice that a large, fresh buffer live on huge pages.

#include <cstddef>

namespace linara {

// Buffers from this size on are advised onto huge pages.
constexpr std::size_t kHugePageAdviceBytes = std::size_t{4} << 20;

// Asks the kernel to back [data, data + bytes) with huge pages when the
// buffer is at least kHugePageAdviceBytes long. Each first write to a page of
// a fresh buffer is a page fault: a 12 MiB buffer spans about 3,000 pages of
// 4 KiB but only 6 of 2 MiB. Only advice: where the kernel declines (or is
// not Linux), the pages simply stay small.
void advise_huge_pages(void* data, std::size_t bytes);

}  // namespace linara
