// Stands in for a C math library that rounds differently. Preloaded
// (LD_PRELOAD), its hypot, atan2, exp, log and pow return the library's
// value moved by one unit in the last place for a fixed pseudo-random share
// of their arguments: one in 2^n, n = PERTURBED_LIBM_SHARE_BITS (4 unless
// set). Callers that look the functions up in libm itself (dlsym on its
// handle, as ctypes does) still get the library's own values.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static unsigned share_bits(void) {
    const char* text = getenv("PERTURBED_LIBM_SHARE_BITS");
    return text ? (unsigned)atoi(text) : 4;  // 1 in 16 by default
}

static double nudge(double result, double a, double b, uint64_t salt) {
    if (!isfinite(result) || result == 0.0) return result;
    uint64_t x, y;
    memcpy(&x, &a, sizeof x);
    memcpy(&y, &b, sizeof y);
    uint64_t h = (x ^ salt) * 0x9E3779B97F4A7C15u;
    h ^= (h >> 29) ^ y;
    h *= 0xBF58476D1CE4E5B9u;
    h ^= h >> 32;
    const uint64_t mask = (1u << share_bits()) - 1;
    if ((h & mask) != 0) return result;
    return (h >> 40) & 1 ? nextafter(result, INFINITY) : nextafter(result, -INFINITY);
}

#define WRAP2(name, salt)                                                   \
    double name(double a, double b) {                                        \
        static double (*real)(double, double);                               \
        if (!real) real = (double (*)(double, double))dlsym(RTLD_NEXT, #name); \
        return nudge(real(a, b), a, b, salt);                                \
    }
#define WRAP1(name, salt)                                        \
    double name(double a) {                                       \
        static double (*real)(double);                            \
        if (!real) real = (double (*)(double))dlsym(RTLD_NEXT, #name); \
        return nudge(real(a), a, 0.0, salt);                      \
    }

WRAP2(hypot, 1)
WRAP2(atan2, 2)
WRAP2(pow, 3)
WRAP1(exp, 4)
WRAP1(log, 5)
