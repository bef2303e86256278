// When memory cannot be had the operations throw std::bad_alloc and leave the
// thread's cache consistent and usable. This executable replaces the global
// allocator so that any single request above 1 GiB fails.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <span>

#include "frame_cache.h"
#include "test_support.h"

namespace {
constexpr std::size_t kLargestRequest = std::size_t{1} << 30;

void* checked_allocate(std::size_t size) {
    if (size > kLargestRequest) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return checked_allocate(size); }
void* operator new[](std::size_t size) { return checked_allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quillet {
namespace {

using testing::Bytes;
using testing::same_bits;
using testing::snapshot_cache;

TEST(allocation_failure_test, huge_init_fails_cleanly_and_cache_stays_usable) {
    testing::on_fresh_thread([] {
        init_cache(1, 1);
        set_ema_alpha(0.5);
        cache_frame_slot(0, Bytes{100, 0, 0}, 1, 1);
        cache_frame_slot(1, Bytes{0, 0, 0}, 1, 1);
        compare_cached();

        // 400 million pixels: a 1.6 GB picture buffer cannot be had.
        EXPECT_THROW(init_cache(20000, 20000), std::bad_alloc);
        const FrameCache cache = snapshot_cache();
        EXPECT_EQ(cache.expected_width, 20000);
        EXPECT_EQ(cache.diff_rgba.size(), 4u);
        EXPECT_EQ(cache.ema_buffer.size(), 1u);
        EXPECT_TRUE(cache.ema_primed);
        EXPECT_EQ(cache.slots[0].rgb, (Bytes{100, 0, 0}));

        // The cache is not left held, and smoothing goes on from its history.
        cache_frame_slot(0, Bytes{0, 0, 0}, 1, 1);
        EXPECT_TRUE(same_bits(compare_cached().max_diff, 5000.0f));
    });
}

// A frame too large for the memory to be had leaves the slot's frame and
// dimensions as they were.
TEST(allocation_failure_test, frame_that_cannot_be_stored_leaves_the_slot_alone) {
    // Address space only: the bytes are never read, since the slot cannot grow.
    const std::size_t size = kLargestRequest + 3;
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const std::span<const std::uint8_t> huge_frame{static_cast<const std::uint8_t*>(mapped), size};
    testing::on_fresh_thread([&] {
        cache_frame_slot(0, Bytes{100, 0, 0}, 1, 1);
        cache_frame_slot(1, Bytes{0, 0, 0}, 1, 1);
        EXPECT_THROW(cache_frame_slot(0, huge_frame, 20000, 20000), std::bad_alloc);
        const FrameCache cache = snapshot_cache();
        EXPECT_EQ(cache.slots[0].rgb, (Bytes{100, 0, 0}));
        EXPECT_EQ(cache.slots[0].width, 1);
        EXPECT_EQ(cache.slots[0].height, 1);
        // The cache is not left held.
        EXPECT_TRUE(same_bits(compare_cached().max_diff, 10000.0f));
    });
    munmap(mapped, size);
}

}  // namespace
}  // namespace quillet
