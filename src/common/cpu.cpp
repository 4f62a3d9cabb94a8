#include "common/cpu.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

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

bool detect_fast_gathers() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    constexpr unsigned kAvx512Fp16 = 1u << 23;  // leaf 7, EDX
    unsigned vendor_ebx = 0, vendor_ecx = 0, vendor_edx = 0;
    __get_cpuid(0, &eax, &vendor_ebx, &vendor_ecx, &vendor_edx);
    const bool intel = vendor_ebx == 0x756e6547 && vendor_edx == 0x49656e69 &&
                       vendor_ecx == 0x6c65746e;  // "GenuineIntel"
    return intel && (edx & kAvx512Fp16) != 0;
#else
    return false;
#endif
}

}  // namespace

bool gathers_are_fast() {
    static const bool fast = detect_fast_gathers();
    return fast;
}

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
