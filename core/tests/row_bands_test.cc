// Row bands: every row computed exactly once by the band the fixed split
// names, on any thread count, and a band's failure reaching the caller.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "row_bands.h"

namespace quillet {
namespace {

TEST(row_bands_test, every_row_is_covered_once_by_the_named_band) {
    for (std::size_t rows : {1u, 2u, 5u, 64u, 1001u}) {
        for (unsigned threads : {0u, 1u, 2u, 3u, 7u, 2000u}) {
            const unsigned bands = row_band_count(rows, threads);
            ASSERT_GE(bands, 1u);
            ASSERT_LE(bands, rows);
            std::vector<std::atomic<int>> seen(rows);
            std::vector<unsigned> band_of(rows, 99999);
            run_row_bands(rows, threads, [&](unsigned index, std::size_t first, std::size_t end) {
                EXPECT_LT(index, bands);
                EXPECT_EQ(first, rows * index / bands);
                EXPECT_EQ(end, rows * (index + 1) / bands);
                for (std::size_t row = first; row < end; ++row) {
                    ++seen[row];
                    band_of[row] = index;
                }
            });
            for (std::size_t row = 0; row < rows; ++row) {
                ASSERT_EQ(seen[row].load(), 1) << rows << " rows, " << threads << " threads, row " << row;
                ASSERT_LT(band_of[row], bands);
            }
        }
    }
}

TEST(row_bands_test, bands_run_on_separate_threads) {
    std::vector<std::thread::id> ids(2);
    run_row_bands(10, 2, [&](unsigned index, std::size_t, std::size_t) { ids[index] = std::this_thread::get_id(); });
    EXPECT_EQ(ids[0], std::this_thread::get_id());
    EXPECT_NE(ids[1], ids[0]);
}

TEST(row_bands_test, a_failing_band_is_rethrown_after_all_finish) {
    std::atomic<int> finished{0};
    EXPECT_THROW(run_row_bands(30, 3,
                               [&](unsigned index, std::size_t, std::size_t) {
                                   if (index == 2) throw std::runtime_error("band failed");
                                   ++finished;
                               }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 2);
}

TEST(row_bands_test, no_rows_calls_nothing) {
    bool called = false;
    run_row_bands(0, 4, [&](unsigned, std::size_t, std::size_t) { called = true; });
    EXPECT_FALSE(called);
}

TEST(row_bands_test, thread_count_follows_the_work_and_the_cores) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ(band_thread_count(0, 100), 1u);
    EXPECT_EQ(band_thread_count(199, 100), 1u);
    EXPECT_EQ(band_thread_count(200, 100), std::min(2u, cores));
    EXPECT_EQ(band_thread_count(100000, 100), cores);
}

}  // namespace
}  // namespace quillet
