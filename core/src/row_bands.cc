// Row bands on threads: one short-lived thread per extra band.
#include "row_bands.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace quillet {

unsigned band_thread_count(std::size_t units, std::size_t min_units_per_thread) noexcept {
    const std::size_t useful = units / std::max<std::size_t>(1, min_units_per_thread);
    if (useful < 2) return 1;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return useful < cores ? static_cast<unsigned>(useful) : cores;
}

unsigned row_band_count(std::size_t rows, unsigned threads) noexcept {
    if (threads == 0) return 1;
    return threads > rows ? static_cast<unsigned>(std::max<std::size_t>(rows, 1)) : threads;
}

void run_row_bands(std::size_t rows, unsigned threads,
                   void (*band)(void* context, unsigned index, std::size_t first, std::size_t end),
                   void* context) {
    if (rows == 0) return;
    threads = row_band_count(rows, threads);
    if (threads == 1) {
        band(context, 0, 0, rows);
        return;
    }
    const auto band_start = [&](unsigned index) { return rows * index / threads; };
    std::vector<std::exception_ptr> failures(threads);
    const auto run_band = [&](unsigned index) {
        try {
            band(context, index, band_start(index), band_start(index + 1));
        } catch (...) {
            failures[index] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    for (unsigned index = 1; index < threads; ++index) {
        try {
            workers.emplace_back(run_band, index);
        } catch (const std::system_error&) {
            run_band(index);  // no thread to be had: compute the band here
        }
    }
    run_band(0);
    for (std::thread& worker : workers) worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace quillet
