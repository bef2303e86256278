// Splitting a frame's rows into bands that several threads compute at once.
// Band b of n covers rows [rows * b / n, rows * (b + 1) / n): the split is a
// pure function of the row count and the thread count, so callers that keep
// each band's results in their own place and combine them in row order get
// results that do not depend on the thread count.
#pragma once

#include <cstddef>
#include <type_traits>

namespace quillet {

// The threads worth starting for `units` of work when each thread should get
// at least `min_units_per_thread` of it: 1 up to the number of cores.
unsigned band_thread_count(std::size_t units, std::size_t min_units_per_thread) noexcept;

// The number of bands run_row_bands makes: `threads`, at least 1 and at most `rows`.
unsigned row_band_count(std::size_t rows, unsigned threads) noexcept;

// Calls band(index, first, end) once for each band of rows [0, rows), index
// 0 to row_band_count(rows, threads) - 1. The calling thread
// takes the first band, new threads the others (or the calling thread, when
// no thread can be started). Returns when every band is done; the first
// band's failure, if any, is rethrown then.
void run_row_bands(std::size_t rows, unsigned threads,
                   void (*band)(void* context, unsigned index, std::size_t first, std::size_t end),
                   void* context);

template <typename Band>
void run_row_bands(std::size_t rows, unsigned threads, Band&& band) {
    run_row_bands(
        rows, threads,
        [](void* context, unsigned index, std::size_t first, std::size_t end) {
            (*static_cast<std::remove_reference_t<Band>*>(context))(index, first, end);
        },
        const_cast<void*>(static_cast<const void*>(&band)));
}

}  // namespace quillet
