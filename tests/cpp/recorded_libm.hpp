#pragma once
// The C math library that the tests' library-specific expectations were
// recorded with. Elsewhere a test checks only what its callers rely on.

#include <cstdlib>
#include <cstring>
// The feature query exists from glibc 2.33 on.
#if defined(__GLIBC__) && defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
#define LINARA_GLIBC_X86_FEATURES 1
#include <gnu/libc-version.h>
#include <sys/platform/x86.h>
#endif

namespace linara {

// glibc runs other variants of its math functions on processors without
// AVX2 and FMA.
inline constexpr const char* kLibmRecordedWith =
    "glibc 2.36 on x86-64 (Debian 12), on a processor with AVX2 and FMA";

// True on that library; LINARA_LIBM_BITS=exact or close overrides.
inline bool libm_as_recorded() {
    if (const char* choice = std::getenv("LINARA_LIBM_BITS")) {
        if (std::strcmp(choice, "exact") == 0) return true;
        if (std::strcmp(choice, "close") == 0) return false;
    }
#if defined(LINARA_GLIBC_X86_FEATURES)
    return std::strcmp(gnu_get_libc_version(), "2.36") == 0 && CPU_FEATURE_ACTIVE(FMA) &&
           CPU_FEATURE_ACTIVE(AVX2);
#else
    return false;
#endif
}

}  // namespace linara
