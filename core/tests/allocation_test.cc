// A stream of same-size comparisons allocates nothing once it is warm. This
// executable replaces malloc and its relatives (and so every operator new,
// which obtains its memory from malloc) with counting versions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compute_diff.h"
#include "frame_cache.h"
#include "test_support.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void note() noexcept {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    note();
    return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    note();
    return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    note();
    *out = __libc_memalign(alignment, size);
    return *out == nullptr ? 12 /* ENOMEM */ : 0;
}
}

namespace quillet {
namespace {

using testing::Bytes;
using testing::Random;

// Allocations made by `body` on this thread.
template <typename F>
long allocations_during(F&& body) {
    allocations.store(0);
    counting.store(true);
    body();
    counting.store(false);
    return allocations.load();
}

struct StreamCase {
    const char* name;
    int width, height;
    double ema_alpha;
};

class StreamingTest : public ::testing::TestWithParam<StreamCase> {};

// cache_frame x2, compare_cached and a read of the picture in place, over
// frames of one size: after two warm-up rounds no round allocates.
TEST_P(StreamingTest, steady_state_allocates_nothing) {
    const StreamCase c = GetParam();
    long counted = -1;
    std::vector<Bytes> lefts, rights;
    Random random(1);
    const std::size_t bytes = static_cast<std::size_t>(c.width) * c.height * 3;
    for (int i = 0; i < 3; ++i) {
        lefts.push_back(random.bytes(bytes));
        rights.push_back(lefts.back());
        for (std::size_t j = 0; j < bytes; j += 97) rights.back()[j] ^= 0x5A;
    }
    testing::on_fresh_thread([&] {
        init_cache(c.width, c.height);
        set_ema_alpha(c.ema_alpha);
        std::uint64_t seen = 0;
        auto round = [&](int i) {
            cache_frame_slot(0, lefts[i % 3], c.width, c.height);
            cache_frame_slot(1, rights[i % 3], c.width, c.height);
            seen += static_cast<std::uint64_t>(compare_cached().max_diff);
            seen += with_diff_rgba([](const std::uint8_t* p, std::size_t n) { return p[n / 2]; });
        };
        round(0);
        round(1);
        counted = allocations_during([&] {
            for (int i = 2; i < 12; ++i) round(i);
        });
        EXPECT_GT(seen, 0u);
    });
    EXPECT_EQ(counted, 0);
}

INSTANTIATE_TEST_SUITE_P(sizes, StreamingTest,
                         ::testing::Values(StreamCase{"hd_plain", 1280, 720, 1.0},
                                           StreamCase{"hd_smoothing", 1280, 720, 0.5},
                                           StreamCase{"odd_size_smoothing", 333, 111, 0.3},
                                           // Reduced, sampled row by row from the cached frames.
                                           StreamCase{"full_hd_reduced", 1920, 1080, 1.0},
                                           StreamCase{"full_hd_reduced_smoothing", 1920, 1080, 0.5},
                                           StreamCase{"dci_reduced_smoothing", 4096, 2160, 0.7}),
                         [](const auto& info) { return std::string(info.param.name); });

// The counter itself works: a vector's growth is seen.
TEST(allocation_counter_test, counts_a_growing_vector) {
    std::vector<int> v;
    const long counted = allocations_during([&] { v.resize(1000); });
    EXPECT_EQ(counted, 1);
}

// get_diff_rgba hands out a copy: exactly one allocation, for that copy.
TEST(allocation_counter_test, get_diff_rgba_allocates_only_its_copy) {
    long counted = -1;
    testing::on_fresh_thread([&] {
        const Bytes frame(1280 * 720 * 3, 7);
        init_cache(1280, 720);
        cache_frame_slot(0, frame, 1280, 720);
        cache_frame_slot(1, frame, 1280, 720);
        compare_cached();
        counted = allocations_during([] { EXPECT_EQ(get_diff_rgba().size(), 1280u * 720 * 4); });
    });
    EXPECT_EQ(counted, 1);
}

// Every kernel runs without allocating.
TEST(allocation_counter_test, kernels_allocate_nothing) {
    const std::size_t pixels = 10007;
    Random random(2);
    const Bytes left = random.bytes(3 * pixels), right = random.bytes(3 * pixels);
    Bytes rgba(4 * pixels);
    std::vector<float> ema(pixels, 100.0f);
    for (const DiffKernelInfo& kernel : diff_kernels()) {
        if (!kernel.runs()) continue;
        for (const SmoothingPass mode :
             {SmoothingPass::plain, SmoothingPass::priming, SmoothingPass::smoothing}) {
            const PixelPass pass{left.data(), right.data(), rgba.data(),
                                 mode == SmoothingPass::plain ? nullptr : ema.data(),
                                 pixels, mode, 0.001f, 0.5f, 0.5f};
            EXPECT_EQ(allocations_during([&] { kernel.run(pass); }), 0) << kernel.name;
        }
    }
}

}  // namespace
}  // namespace quillet
