#pragma once
// What the processor offers, found once: the vector instruction sets that
// routines are built for, and a pause for spin loops.

namespace linara {

enum class SimdLevel { kPortable, kAvx2, kAvx512 };

// The widest level this processor runs (AVX-512 means F, VL, DQ and BW).
SimdLevel supported_simd_level();

// The level routines use: supported_simd_level(), or, when LINARA_SIMD
// names a narrower one (portable or avx2), that one: a testing aid that
// lets a machine exercise every routine. Read once.
SimdLevel simd_level();

// Of the builds of one routine for each level, the one for simd_level().
template <class Routine>
Routine routine_for_level(Routine portable, Routine avx2, Routine avx512) {
    switch (simd_level()) {
        case SimdLevel::kAvx512: return avx512;
        case SimdLevel::kAvx2: return avx2;
        case SimdLevel::kPortable: break;
    }
    return portable;
}

// Whether a vector gather of eight 64-bit elements beats eight separate
// loads. Intel processors before Sapphire Rapids run gathers slowly under
// the microcode fix for Gather Data Sampling, and AMD's are slow as well;
// Intel's AVX-512 FP16, which starts with Sapphire Rapids, marks the
// processors where they are fast. Read once.
bool gathers_are_fast();

// "portable", "avx2" or "avx512".
const char* simd_level_name(SimdLevel level);

// For spin loops: tells the processor that the thread is waiting.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace linara
