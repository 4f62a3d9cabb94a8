#pragma once
// The process-wide pool of worker threads and its one kind of work: a
// parallel loop over the rows of an output buffer.
//
// The row range is split recursively in halves into contiguous bands; idle
// threads, and the calling thread itself, take pending bands, and a band runs
// its rows in ascending order. The call returns when every row is done. Each
// row must be written by exactly one band and nothing a loop reads may be
// written during it, so results never depend on the thread count or on how
// the rows were divided. Exceptions thrown by the body are rethrown in the
// caller once every band has finished.
//
// The pool is created on first use. Its size is RAYON_NUM_THREADS when that
// holds a positive decimal integer; 0 keeps the default; absent or not a
// number, RAYON_RS_NUM_CPUS is read the same way; the default is one thread
// per logical processor available to the process. The calling thread counts
// as one of them. Loops from any number of threads may run at once: a caller
// can always finish its own loop alone, so none waits on another. After
// fork() the child builds a fresh pool on its next loop.

#include <cstddef>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace linara {

using BandFunction = void (*)(void* context, std::size_t first_row, std::size_t end_row);

// Runs fn(context, first, end) over bands covering [0, rows).
void run_row_bands(std::size_t rows, BandFunction fn, void* context);

// Calls body(row) once for every row in [0, rows) on the worker pool.
template <class Body>
void parallel_rows(std::size_t rows, Body&& body) {
    auto band = [](void* context, std::size_t first, std::size_t end) {
        Body& b = *static_cast<std::remove_reference_t<Body>*>(context);
        for (std::size_t row = first; row < end; ++row) b(row);
    };
    run_row_bands(rows, band, const_cast<void*>(static_cast<const void*>(&body)));
}

// Calls band(first, end) for contiguous bands covering [0, rows); a band
// runs its rows in ascending order. For bodies that need per-band scratch.
template <class Band>
void parallel_bands(std::size_t rows, Band&& band) {
    auto run = [](void* context, std::size_t first, std::size_t end) {
        (*static_cast<std::remove_reference_t<Band>*>(context))(first, end);
    };
    run_row_bands(rows, run, const_cast<void*>(static_cast<const void*>(&band)));
}

// Runs main() on the calling thread while up to `helpers` pool threads each
// call helper(context, i, i + 1) with their own i. When main() returns or
// throws, stop() is called (it must make every running helper return soon),
// helpers that have not started are dropped, and the call returns (or
// rethrows) once the started ones have returned. main() must never wait for
// a helper to start: under load no pool thread may be free.
void run_with_helpers(std::size_t helpers, BandFunction helper, void* context,
                      const std::function<void()>& main, const std::function<void()>& stop);

// Number of threads that run loops, the caller included.
std::size_t worker_pool_size();

// Reads a thread count as the pool does: an optional '+' and decimal digits
// that fit a size_t; anything else is not a number.
std::optional<std::size_t> parse_thread_count(const char* text);

// The pool size that the given variable values select (null = unset).
std::size_t choose_pool_size(const char* num_threads, const char* num_cpus,
                             std::size_t logical_processors);

}  // namespace linara
