#pragma once
// What the warp's row routines share: the read-only job of one call, the
// terms of one output row, and the table of routines. Each routine lives in
// a file of its own, compiled for its instruction set. This header therefore
// holds only plain data and declarations: an inline function defined here
// could be compiled with AVX-512 in one file and picked by the linker for
// callers on any processor.

#include <cstddef>
#include <cstdint>

#include "warp/warp.hpp"

namespace linara::warp_internal {

// Everything a routine reads; shared and read-only during the call.
template <class T>
struct WarpJob {
    const T* src;
    std::size_t length;      // elements in src and in the output
    std::size_t width;
    std::size_t height;
    std::size_t row_length;  // width * 3
    double max_x;            // width + -1.0
    double max_y;            // height + -1.0
    // Per output column x, with X = x / scale + off_x: h0 * X, h3 * X and
    // h6 * X. They do not depend on the row, so they are computed once.
    const double* col_x;
    const double* col_y;
    const double* col_w;
};

// The terms of output row y, with Y = y / scale + off_y: h1 * Y + h2,
// h4 * Y + h5 and h7 * Y + h8. `all_sampled` says that the set-up has found
// every pixel a routine is given for this row to sample the source, with
// w = aw for each: a routine may then skip computing w and the range test,
// which would come out the same.
struct RowTerms {
    double ax;
    double ay;
    double aw;
    bool all_sampled;
};

// Writes the output pixels [first, end) of one row (`out_row` is its first
// element): the sampled value of every pixel whose source point lies in
// the source, 0 in all three channels of every other one. Every pixel gets
// exactly the operations written out in warp.cpp, whichever routine runs.
template <class T>
using SpanRoutine = void (*)(const WarpJob<T>& job, const RowTerms& row, T* out_row,
                             std::size_t first, std::size_t end);

struct WarpRoutine {
    const char* name;
    SpanRoutine<std::uint8_t> span8;
    SpanRoutine<std::uint16_t> span16;
    // The longest source (in elements) it handles; longer ones go to the
    // portable routine.
    std::size_t max_length;
};

// The portable routine, one pixel at a time. The vector routines use it for
// the few pixels they cannot take in a vector step.
void warp_span_portable(const WarpJob<std::uint8_t>& job, const RowTerms& row,
                        std::uint8_t* out_row, std::size_t first, std::size_t end);
void warp_span_portable(const WarpJob<std::uint16_t>& job, const RowTerms& row,
                        std::uint16_t* out_row, std::size_t first, std::size_t end);

extern const WarpRoutine kPortableRoutine;
// Built for x86-64 only (LINARA_WARP_X86_ROUTINES).
extern const WarpRoutine kAvx2Routine;    // warp_avx2.cpp
extern const WarpRoutine kAvx512Routine;  // warp_avx512.cpp (F, BW, DQ, VL)
// The same, but uint8 samples are gathered: faster where gathers_are_fast().
extern const WarpRoutine kAvx512GatherRoutine;

// The routine with this name if the processor can run it, else null.
const WarpRoutine* supported_warp_routine(const char* name);

// The routine named `requested` (portable, avx2, avx512 or avx512-gather)
// if the processor can run it; otherwise, or for null, the fastest one it
// can run.
const WarpRoutine& select_warp_routine(const char* requested);

// The routine every call uses: the fastest one for simd_level()
// (common/cpu.hpp), read once, at first use.
const WarpRoutine& chosen_warp_routine();

// warp_rgb_buffer with the given routine (the portable one for sources
// longer than it handles).
WarpResult<std::uint8_t> warp_rgb_with(const WarpRoutine& routine, const std::uint8_t* src,
                                       std::size_t length, std::size_t width, std::size_t height,
                                       const WarpParams& params);
WarpResult<std::uint16_t> warp_rgb_with(const WarpRoutine& routine, const std::uint16_t* src,
                                        std::size_t length, std::size_t width, std::size_t height,
                                        const WarpParams& params);

}  // namespace linara::warp_internal
