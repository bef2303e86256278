// The per-thread cache: its lifecycle, every operation's state rules, the
// reduction of large frames, failures and what survives them, thread isolation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

#include "frame_cache.h"
#include "panic.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::Bytes;
using testing::on_fresh_thread;
using testing::Random;
using testing::same_bits;
using testing::snapshot_cache;
using testing::solid_frame;

bool is_zero(const Metrics& m) {
    return same_bits(m.ssim, 0.0f) && same_bits(m.psnr, 0.0f) && same_bits(m.mse, 0.0f) &&
           same_bits(m.max_diff, 0.0f);
}

bool same_metrics(const Metrics& a, const Metrics& b) {
    return same_bits(a.ssim, b.ssim) && same_bits(a.psnr, b.psnr) && same_bits(a.mse, b.mse) &&
           same_bits(a.max_diff, b.max_diff);
}

std::string panic_message(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Panic& failure) {
        return failure.message();
    }
    return "<no panic>";
}

TEST(frame_cache_test, fresh_thread_has_no_cache_until_first_operation) {
    on_fresh_thread([] {
        EXPECT_EQ(frame_cache_state(), CacheState::not_created);
        EXPECT_TRUE(is_zero(compare_cached()));
        EXPECT_EQ(frame_cache_state(), CacheState::alive);
        EXPECT_TRUE(get_diff_rgba().empty());
        CacheHold hold(CacheHold::Mode::shared);
        EXPECT_EQ(hold->diff_rgba.capacity(), 0u);
        EXPECT_EQ(hold->ema_buffer.capacity(), 0u);
        EXPECT_TRUE(same_bits(hold->ema_alpha, 1.0f));
    });
}

TEST(frame_cache_test, slots_other_than_zero_and_one_are_ignored) {
    on_fresh_thread([] {
        for (std::size_t slot : {std::size_t{2}, std::numeric_limits<std::size_t>::max()})
            cache_frame_slot(slot, Bytes{1, 2, 3}, 1, 1);
        const FrameCache cache = snapshot_cache();
        for (const FrameSlot& s : cache.slots) {
            EXPECT_TRUE(s.rgb.empty());
            EXPECT_EQ(s.width, 0);
        }
    });
}

struct UnusableSlotCase {
    const char* name;
    std::size_t slot;
    Bytes bytes;
    std::int32_t width, height;
};

class UnusableSlotTest : public ::testing::TestWithParam<UnusableSlotCase> {};

TEST_P(UnusableSlotTest, compare_returns_zeros_and_changes_nothing) {
    on_fresh_thread([c = GetParam()] {
        const Bytes pixel{9, 9, 9};
        cache_frame_slot(0, pixel, 1, 1);
        cache_frame_slot(1, Bytes{0, 0, 0}, 1, 1);
        cache_frame_slot(c.slot, c.bytes, c.width, c.height);
        set_ema_alpha(0.5);
        EXPECT_TRUE(is_zero(compare_cached()));
        const FrameCache cache = snapshot_cache();
        EXPECT_TRUE(cache.diff_rgba.empty());
        EXPECT_TRUE(cache.ema_buffer.empty());
        EXPECT_FALSE(cache.ema_primed);
    });
}

INSTANTIATE_TEST_SUITE_P(
    cases, UnusableSlotTest,
    ::testing::Values(UnusableSlotCase{"left_empty", 0, {}, 1, 1},
                      UnusableSlotCase{"left_width_zero", 0, {1, 2, 3}, 0, 1},
                      UnusableSlotCase{"left_height_negative", 0, {1, 2, 3}, 1, -1},
                      UnusableSlotCase{"right_empty", 1, {}, 1, 1},
                      UnusableSlotCase{"right_width_negative", 1, {1, 2, 3}, -5, 1},
                      UnusableSlotCase{"right_height_zero", 1, {1, 2, 3}, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(frame_cache_test, right_frame_is_read_at_left_dimensions) {
    on_fresh_thread([] {
        cache_frame_slot(0, solid_frame(2, 1, {0, 0, 0}), 2, 1);
        cache_frame_slot(1, Bytes{0, 0, 0, 60, 0, 0}, 7, 9);
        const Metrics m = compare_cached();
        EXPECT_TRUE(same_bits(m.mse, 1800.0f));
        EXPECT_EQ(get_diff_rgba().size(), 8u);
    });
}

TEST(frame_cache_test, compare_sequence_of_zero_height_leaves_empty_picture) {
    on_fresh_thread([] {
        init_cache(0, 10);
        cache_frame_slot(0, {}, 0, 10);
        cache_frame_slot(1, {}, 0, 10);
        EXPECT_TRUE(is_zero(compare_cached()));
        EXPECT_TRUE(get_diff_rgba().empty());
    });
}

// ---- sizes -----------------------------------------------------------------------

struct SizeCase {
    std::int32_t width, height, reduced_width, reduced_height;
};

class ReducedSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ReducedSizeTest, matches_published_table) {
    const SizeCase c = GetParam();
    const CompareSize size = reduced_size(c.width, c.height);
    EXPECT_EQ(size.width, c.reduced_width);
    EXPECT_EQ(size.height, c.reduced_height);
}

INSTANTIATE_TEST_SUITE_P(
    table, ReducedSizeTest,
    ::testing::Values(SizeCase{1280, 720, 1280, 720}, SizeCase{1281, 720, 1280, 719},
                      SizeCase{1280, 721, 1278, 720}, SizeCase{1366, 768, 1280, 719},
                      SizeCase{1920, 1080, 1280, 720}, SizeCase{3840, 2160, 1280, 720},
                      SizeCase{1920, 1200, 1152, 720}, SizeCase{4096, 2160, 1280, 675},
                      SizeCase{1000, 1000, 720, 720}, SizeCase{5000, 5000, 719, 719},
                      SizeCase{720, 1280, 405, 720}, SizeCase{2000, 1, 1280, 0}),
    [](const auto& info) {
        return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
    });

TEST(frame_cache_test, large_frames_are_compared_reduced_and_kept_whole) {
    on_fresh_thread([] {
        constexpr int w = 1920, h = 1080;
        Bytes left = solid_frame(w, h, {10, 10, 10});
        Bytes right = left;
        // Source column 2 is never sampled (1920 -> 1280 takes 0, 1, 3, 4, ...),
        // column 3 is: only the latter shows in the picture.
        for (int y = 0; y < h; ++y) {
            right[(static_cast<std::size_t>(y) * w + 2) * 3] = 255;
            right[(static_cast<std::size_t>(y) * w + 3) * 3] = 255;
        }
        cache_frame_slot(0, left, w, h);
        cache_frame_slot(1, right, w, h);
        const Metrics m = compare_cached();
        const Bytes picture = get_diff_rgba();
        ASSERT_EQ(picture.size(), 1280u * 720 * 4);
        EXPECT_EQ(picture[1 * 4], 10);   // destination column 1 = source column 1
        EXPECT_EQ(picture[2 * 4], 255);  // destination column 2 = source column 3, changed: red
        EXPECT_EQ(picture[2 * 4 + 1], 0);
        EXPECT_TRUE(same_bits(m.max_diff, 245.0f * 245.0f));
        const FrameCache cache = snapshot_cache();
        EXPECT_EQ(cache.slots[0].rgb, left);
        EXPECT_EQ(cache.slots[1].rgb, right);
    });
}

// ---- init_cache ------------------------------------------------------------------

TEST(frame_cache_test, init_sizes_buffers_without_clearing) {
    on_fresh_thread([] {
        init_cache(2, 3);
        EXPECT_EQ(get_diff_rgba(), Bytes(24, 0));
        cache_frame_slot(0, Bytes(18, 200), 2, 3);
        cache_frame_slot(1, Bytes(18, 0), 2, 3);
        compare_cached();
        const Bytes picture = get_diff_rgba();
        init_cache(2, 3);
        EXPECT_EQ(get_diff_rgba(), picture);
        init_cache(1, 1);
        EXPECT_EQ(get_diff_rgba(), Bytes(picture.begin(), picture.begin() + 4));
        init_cache(0, 0);
        EXPECT_TRUE(get_diff_rgba().empty());
        EXPECT_TRUE(snapshot_cache().ema_buffer.empty());
    });
}

TEST(frame_cache_test, init_with_negative_pixel_count_is_capacity_overflow) {
    on_fresh_thread([] {
        init_cache(1, 2);
        set_ema_alpha(0.5);
        cache_frame_slot(0, Bytes{5, 5, 5, 5, 5, 5}, 1, 2);
        cache_frame_slot(1, Bytes(6, 0), 1, 2);
        compare_cached();
        // -1 x 5, and 65536 x 32768 which wraps to -2^31.
        for (auto [w, h] : {std::pair{-1, 5}, std::pair{65536, 32768}}) {
            EXPECT_EQ(panic_message([w, h] { init_cache(w, h); }), "capacity overflow");
            const FrameCache cache = snapshot_cache();
            EXPECT_EQ(cache.expected_width, w);
            EXPECT_EQ(cache.expected_height, h);
            EXPECT_EQ(cache.diff_rgba.size(), 8u);
            EXPECT_EQ(cache.ema_buffer.size(), 2u);
            EXPECT_TRUE(cache.ema_primed);
        }
    });
}

TEST(frame_cache_test, wrapping_pixel_count_that_stays_positive_sizes_buffers) {
    on_fresh_thread([] {
        init_cache(65537, 65536);  // wraps to 65536 pixels
        EXPECT_EQ(get_diff_rgba().size(), 65536u * 4);
    });
}

// ---- smoothing across operations ---------------------------------------------------

TEST(frame_cache_test, history_carries_between_cached_comparisons_not_inits) {
    on_fresh_thread([] {
        set_ema_alpha(0.5);
        init_cache(1, 1);
        cache_frame_slot(0, Bytes{100, 0, 0}, 1, 1);
        cache_frame_slot(1, Bytes{0, 0, 0}, 1, 1);
        EXPECT_TRUE(same_bits(compare_cached().max_diff, 10000.0f));
        cache_frame_slot(0, Bytes{0, 0, 0}, 1, 1);
        EXPECT_TRUE(same_bits(compare_cached().max_diff, 5000.0f));  // smoothing pass
        init_cache(1, 1);  // what every one-call comparison starts with
        EXPECT_FALSE(snapshot_cache().ema_primed);
        EXPECT_TRUE(same_bits(compare_cached().max_diff, 0.0f));  // priming again
        EXPECT_TRUE(same_bits(snapshot_cache().last_max_diff, 0.0f));
    });
}

TEST(frame_cache_test, init_keeps_last_max_diff_and_clear_resets_it) {
    on_fresh_thread([] {
        init_cache(1, 1);
        cache_frame_slot(0, Bytes{255, 255, 255}, 1, 1);
        cache_frame_slot(1, Bytes{0, 0, 0}, 1, 1);
        compare_cached();
        init_cache(1, 1);
        EXPECT_TRUE(same_bits(snapshot_cache().last_max_diff, 195075.0f));
        set_ema_alpha(0.3);
        clear_frame_cache();
        const FrameCache cache = snapshot_cache();
        EXPECT_TRUE(same_bits(cache.last_max_diff, 0.0f));
        EXPECT_TRUE(same_bits(cache.ema_alpha, 0.3f));
        EXPECT_TRUE(cache.slots[0].rgb.empty());
        {
            CacheHold hold(CacheHold::Mode::shared);  // memory is kept for reuse
            EXPECT_GE(hold->slots[0].rgb.capacity(), 3u);
            EXPECT_GE(hold->diff_rgba.capacity(), 4u);
        }
        EXPECT_EQ(cache.slots[1].width, 0);
        EXPECT_TRUE(get_diff_rgba().empty());
        EXPECT_TRUE(is_zero(compare_cached()));
    });
}

struct AlphaCase {
    const char* name;
    double given;
    float stored;
};

class EmaAlphaTest : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(EmaAlphaTest, is_narrowed_and_clamped) {
    on_fresh_thread([c = GetParam()] {
        set_ema_alpha(c.given);
        EXPECT_TRUE(same_bits(snapshot_cache().ema_alpha, c.stored)) << snapshot_cache().ema_alpha;
    });
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    cases, EmaAlphaTest,
    ::testing::Values(AlphaCase{"zero", 0.0, 0.01f}, AlphaCase{"minus_five", -5.0, 0.01f},
                      AlphaCase{"five", 5.0, 1.0f}, AlphaCase{"plus_infinity", kInf, 1.0f},
                      AlphaCase{"minus_infinity", -kInf, 0.01f},
                      AlphaCase{"huge", 1e300, 1.0f}, AlphaCase{"minus_huge", -1e300, 0.01f},
                      AlphaCase{"point_three", 0.3, 0.3f}, AlphaCase{"one", 1.0, 1.0f},
                      AlphaCase{"nan", std::nan(""), std::numeric_limits<float>::quiet_NaN()}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- failures and what survives them ---------------------------------------------

TEST(frame_cache_test, short_frame_at_full_size_empties_both_slots) {
    on_fresh_thread([] {
        init_cache(2, 2);
        cache_frame_slot(0, Bytes(12, 1), 2, 2);
        cache_frame_slot(1, Bytes(7, 1), 2, 2);
        EXPECT_EQ(panic_message([] { compare_cached(); }),
                  "index out of bounds: the len is 7 but the index is 7");
        const FrameCache cache = snapshot_cache();
        EXPECT_TRUE(cache.slots[0].rgb.empty());
        EXPECT_TRUE(cache.slots[1].rgb.empty());
        EXPECT_EQ(cache.slots[0].width, 2);
        EXPECT_EQ(cache.slots[1].height, 2);
        EXPECT_TRUE(is_zero(compare_cached()));  // the cache is usable again
    });
}

TEST(frame_cache_test, short_frame_on_reduced_path_keeps_slots) {
    on_fresh_thread([] {
        const Bytes left(1300 * 800 * 3, 3);
        const Bytes right(100, 3);
        cache_frame_slot(0, left, 1300, 800);
        cache_frame_slot(1, right, 1300, 800);
        const std::string message = panic_message([] { compare_cached(); });
        EXPECT_EQ(message.rfind("index out of bounds: the len is 100 but the index is ", 0), 0u)
            << message;
        const FrameCache cache = snapshot_cache();
        EXPECT_EQ(cache.slots[0].rgb, left);
        EXPECT_EQ(cache.slots[1].rgb, right);
    });
}

TEST(frame_cache_test, second_hold_is_refused_and_hold_is_given_back) {
    on_fresh_thread([] {
        {
            CacheHold hold(CacheHold::Mode::exclusive);
            EXPECT_THROW(init_cache(1, 1), Panic);
            EXPECT_THROW(get_diff_rgba(), Panic);
        }
        {
            CacheHold reading(CacheHold::Mode::shared);
            EXPECT_NO_THROW(get_diff_rgba());  // readers may share
            EXPECT_THROW(clear_frame_cache(), Panic);
        }
        EXPECT_THROW(init_cache(-1, 1), Panic);
        EXPECT_NO_THROW(init_cache(1, 1));  // a failure gives the hold back
    });
}

// A thread-local object constructed before the cache is destroyed after it, so
// its destructor runs while the thread tears down a destroyed cache.
std::atomic<int> teardown_checks{0};
std::string teardown_message;

struct UsesCacheAtThreadExit {
    ~UsesCacheAtThreadExit() {
        if (frame_cache_state() == CacheState::destroyed) ++teardown_checks;
        teardown_message = panic_message([] { init_cache(1, 1); });
    }
};

TEST(frame_cache_test, access_after_thread_teardown_is_refused) {
    std::thread worker([] {
        thread_local UsesCacheAtThreadExit late_user;
        (void)late_user;
        init_cache(4, 4);
    });
    worker.join();
    EXPECT_EQ(teardown_checks.load(), 1);
    EXPECT_EQ(teardown_message,
              "cannot access a Thread Local Storage value during or after destruction: "
              "AccessError");
}

// ---- threads -----------------------------------------------------------------------

TEST(frame_cache_test, threads_see_only_their_own_frames) {
    Random random(99);
    constexpr int w = 64, h = 48;
    const Bytes base = random.bytes(w * h * 3);
    std::vector<Bytes> rights;
    std::vector<Metrics> expected;
    for (int t = 0; t < 4; ++t) {
        Bytes right = base;
        for (int i = 0; i < (t + 1) * 500; ++i) right[random.below(w * h * 3)] = random.byte();
        rights.push_back(right);
        FrameCache alone;
        expected.push_back(alone.compute_diff_impl(base, right, w, h));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                init_cache(w, h);
                cache_frame_slot(0, base, w, h);
                std::this_thread::yield();
                cache_frame_slot(1, rights[t], w, h);
                if (!same_metrics(compare_cached(), expected[t])) ++mismatches;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace quillet
