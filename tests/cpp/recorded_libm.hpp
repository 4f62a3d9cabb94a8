#pragma once
// The C math library that the tests' library-specific expectations were
// recorded with. Elsewhere a test checks only what its callers rely on.

#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace linara {

inline constexpr const char* kLibmRecordedWith = "glibc 2.36 on x86-64 (Debian 12)";

// True on that library; LINARA_LIBM_BITS=exact or close overrides.
inline bool libm_as_recorded() {
    if (const char* choice = std::getenv("LINARA_LIBM_BITS")) {
        if (std::strcmp(choice, "exact") == 0) return true;
        if (std::strcmp(choice, "close") == 0) return false;
    }
#if defined(__GLIBC__) && defined(__x86_64__)
    return std::strcmp(gnu_get_libc_version(), "2.36") == 0;
#else
    return false;
#endif
}

}  // namespace linara
