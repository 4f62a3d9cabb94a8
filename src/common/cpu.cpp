#include "common/cpu.hpp"

#include <cstdlib>
#include <cstring>

namespace linara {
namespace {

SimdLevel detect_level() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        return SimdLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
#endif
    return SimdLevel::kPortable;
}

SimdLevel chosen_level() {
    const SimdLevel best = supported_simd_level();
    const char* requested = std::getenv("LINARA_SIMD");
    if (!requested) return best;
    if (std::strcmp(requested, "portable") == 0) return SimdLevel::kPortable;
    if (std::strcmp(requested, "avx2") == 0 && best >= SimdLevel::kAvx2) return SimdLevel::kAvx2;
    return best;
}

}  // namespace

SimdLevel supported_simd_level() {
    static const SimdLevel level = detect_level();
    return level;
}

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::kAvx512: return "avx512";
        case SimdLevel::kAvx2: return "avx2";
        case SimdLevel::kPortable: break;
    }
    return "portable";
}

SimdLevel simd_level() {
    static const SimdLevel level = chosen_level();
    return level;
}

}  // namespace linara
