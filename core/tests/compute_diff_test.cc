// compute_diff_impl: the published single-pixel figures and colours, smoothing
// passes, empty frames, short frames, and a randomised check against formulas
// restated in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "compute_diff.h"
#include "frame_cache.h"
#include "panic.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::Bytes;
using testing::Random;
using testing::same_bits;

struct RgbaPixel {
    std::uint8_t r, g, b, a;
    bool operator==(const RgbaPixel&) const = default;
};

RgbaPixel pixel_at(const FrameCache& cache, std::size_t i) {
    const std::uint8_t* p = cache.diff_rgba.data() + 4 * i;
    return {p[0], p[1], p[2], p[3]};
}

Metrics compare_pixels(FrameCache& cache, Bytes left, Bytes right) {
    return cache.compute_diff_impl(left, right, 1, 1);
}

// ---- heat colours of a single changed pixel against black ----------------------

struct HeatCase {
    const char* name;
    float last_max_diff;
    Bytes left;
    RgbaPixel expected;
};

class HeatColourTest : public ::testing::TestWithParam<HeatCase> {};

TEST_P(HeatColourTest, colour_follows_previous_max_diff) {
    const HeatCase& c = GetParam();
    FrameCache cache;
    cache.last_max_diff = c.last_max_diff;
    compare_pixels(cache, c.left, {0, 0, 0});
    EXPECT_EQ(pixel_at(cache, 0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    published, HeatColourTest,
    ::testing::Values(
        HeatCase{"fresh_just_changed_is_red", 0.0f, {53, 1, 0}, {255, 0, 0, 255}},
        HeatCase{"fresh_unchanged_shows_left", 0.0f, {53, 0, 0}, {53, 0, 0, 255}},
        HeatCase{"scale_10000", 10000.0f, {53, 1, 0}, {15, 239, 0, 255}},
        HeatCase{"full_scale_d2810", 195075.0f, {53, 1, 0}, {0, 61, 193, 255}},
        HeatCase{"full_scale_d10000", 195075.0f, {100, 0, 0}, {0, 115, 139, 255}},
        HeatCase{"full_scale_d50000", 195075.0f, {220, 40, 0}, {3, 251, 0, 255}},
        HeatCase{"full_scale_d100000", 195075.0f, {252, 180, 64}, {110, 144, 0, 255}},
        HeatCase{"full_scale_d195075", 195075.0f, {255, 255, 255}, {255, 0, 0, 255}},
        HeatCase{"nan_scale_counts_as_one", std::numeric_limits<float>::quiet_NaN(),
                 {53, 1, 0}, {255, 0, 0, 255}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(heat_colour_test, endpoints_and_midpoint) {
    std::uint8_t out[4];
    write_heat_colour(out, 1.0f, 0.0f);
    EXPECT_EQ(RgbaPixel(out[0], out[1], out[2], out[3]), (RgbaPixel{0, 0, 255, 255}));
    write_heat_colour(out, 1.0f, 0.25f);  // s = 0.5
    EXPECT_EQ(RgbaPixel(out[0], out[1], out[2], out[3]), (RgbaPixel{0, 255, 0, 255}));
    write_heat_colour(out, 1.0f, std::numeric_limits<float>::quiet_NaN());  // NaN root: s = 1
    EXPECT_EQ(RgbaPixel(out[0], out[1], out[2], out[3]), (RgbaPixel{255, 0, 0, 255}));
}

// ---- figures ---------------------------------------------------------------------

TEST(compute_diff_test, identical_frames_give_perfect_figures_and_left_picture) {
    Random random(7);
    const Bytes frame = random.bytes(37 * 11 * 3);
    FrameCache cache;
    cache.last_max_diff = 5.0f;
    const Metrics m = cache.compute_diff_impl(frame, frame, 37, 11);
    EXPECT_TRUE(same_bits(m.ssim, 1.0f));
    EXPECT_TRUE(same_bits(m.psnr, 100.0f));
    EXPECT_TRUE(same_bits(m.mse, 0.0f));
    EXPECT_TRUE(same_bits(m.max_diff, 0.0f));
    EXPECT_TRUE(same_bits(cache.last_max_diff, 0.0f));
    ASSERT_EQ(cache.diff_rgba.size(), 37u * 11 * 4);
    for (std::size_t i = 0; i < 37 * 11; ++i)
        ASSERT_EQ(pixel_at(cache, i), (RgbaPixel{frame[3 * i], frame[3 * i + 1], frame[3 * i + 2], 255}));
}

TEST(compute_diff_test, white_against_black) {
    FrameCache cache;
    const Metrics m = compare_pixels(cache, {255, 255, 255}, {0, 0, 0});
    EXPECT_TRUE(same_bits(m.ssim, 0.0f));
    EXPECT_NEAR(m.psnr, -4.77121, 1e-4);
    EXPECT_TRUE(same_bits(m.mse, 195075.0f));
    EXPECT_TRUE(same_bits(m.max_diff, 195075.0f));
    EXPECT_TRUE(same_bits(cache.last_max_diff, 195075.0f));
    EXPECT_EQ(pixel_at(cache, 0), (RgbaPixel{255, 0, 0, 255}));
}

TEST(compute_diff_test, distance_2809_is_below_threshold) {
    FrameCache cache;
    const Metrics m = compare_pixels(cache, {53, 0, 0}, {0, 0, 0});
    EXPECT_TRUE(same_bits(m.ssim, 0.95581257f));
    EXPECT_NEAR(m.psnr, 13.6453, 1e-4);
    EXPECT_TRUE(same_bits(m.mse, 2809.0f));
    EXPECT_TRUE(same_bits(m.max_diff, 2809.0f));
}

TEST(compute_diff_test, no_pixels) {
    for (const float alpha : {1.0f, 0.5f}) {
        FrameCache cache;
        cache.ema_alpha = alpha;
        cache.diff_rgba.assign(12, 9);
        cache.ema_buffer.assign(3, 1.0f);
        cache.last_max_diff = 42.0f;
        const Metrics m = cache.compute_diff_impl({}, {}, 1280, 0);
        EXPECT_TRUE(std::isnan(m.ssim));
        EXPECT_TRUE(same_bits(m.psnr, 100.0f));
        EXPECT_TRUE(std::isnan(m.mse));
        EXPECT_TRUE(same_bits(m.max_diff, 0.0f));
        EXPECT_TRUE(cache.diff_rgba.empty());
        EXPECT_TRUE(same_bits(cache.last_max_diff, 0.0f));
        if (alpha < 1.0f) {
            EXPECT_TRUE(cache.ema_buffer.empty());
            EXPECT_TRUE(cache.ema_primed);
        } else {
            EXPECT_EQ(cache.ema_buffer.size(), 3u);  // smoothing off: untouched
            EXPECT_FALSE(cache.ema_primed);
        }
    }
}

TEST(compute_diff_test, extra_bytes_are_ignored) {
    FrameCache exact, longer;
    const Metrics a = exact.compute_diff_impl(Bytes{10, 20, 30, 40, 50, 60},
                                              Bytes{0, 0, 0, 90, 90, 90}, 2, 1);
    const Metrics b = longer.compute_diff_impl(Bytes{10, 20, 30, 40, 50, 60, 1, 2, 3},
                                               Bytes{0, 0, 0, 90, 90, 90, 255}, 2, 1);
    EXPECT_TRUE(same_bits(a.ssim, b.ssim) && same_bits(a.mse, b.mse) &&
                same_bits(a.max_diff, b.max_diff) && same_bits(a.psnr, b.psnr));
    EXPECT_EQ(exact.diff_rgba, longer.diff_rgba);
}

// ---- smoothing -------------------------------------------------------------------

TEST(compute_diff_test, smoothing_sequence_with_alpha_half) {
    FrameCache cache;
    cache.ema_alpha = 0.5f;

    Metrics m = compare_pixels(cache, {100, 0, 0}, {0, 0, 0});  // priming
    EXPECT_TRUE(cache.ema_primed);
    ASSERT_EQ(cache.ema_buffer.size(), 1u);
    EXPECT_TRUE(same_bits(cache.ema_buffer[0], 10000.0f));
    EXPECT_TRUE(same_bits(m.max_diff, 10000.0f));
    EXPECT_EQ(pixel_at(cache, 0), (RgbaPixel{255, 0, 0, 255}));

    m = compare_pixels(cache, {0, 0, 0}, {0, 0, 0});  // smoothing, k = 1/10000
    EXPECT_TRUE(same_bits(m.ssim, 1.0f));
    EXPECT_TRUE(same_bits(m.psnr, 100.0f));
    EXPECT_TRUE(same_bits(m.mse, 0.0f));
    EXPECT_TRUE(same_bits(m.max_diff, 5000.0f));
    EXPECT_EQ(pixel_at(cache, 0), (RgbaPixel{105, 149, 0, 255}));

    m = compare_pixels(cache, {0, 0, 0}, {0, 0, 0});  // 2500 is below the threshold
    EXPECT_TRUE(same_bits(m.max_diff, 2500.0f));
    EXPECT_TRUE(same_bits(cache.ema_buffer[0], 2500.0f));
    EXPECT_EQ(pixel_at(cache, 0), (RgbaPixel{0, 0, 0, 255}));
}

TEST(compute_diff_test, smoothing_off_leaves_history_for_later) {
    FrameCache cache;
    cache.ema_alpha = 0.5f;
    compare_pixels(cache, {100, 0, 0}, {0, 0, 0});
    cache.ema_alpha = 1.0f;
    compare_pixels(cache, {0, 0, 0}, {200, 0, 0});  // plain: history untouched
    EXPECT_TRUE(same_bits(cache.ema_buffer[0], 10000.0f));
    EXPECT_TRUE(cache.ema_primed);
    cache.ema_alpha = 0.25f;
    const Metrics m = compare_pixels(cache, {0, 0, 0}, {0, 0, 0});
    EXPECT_TRUE(same_bits(m.max_diff, 7500.0f));  // 0.75 * 10000 + 0.25 * 0
}

TEST(compute_diff_test, nan_alpha_is_a_plain_pass) {
    FrameCache cache;
    cache.ema_alpha = std::numeric_limits<float>::quiet_NaN();
    compare_pixels(cache, {100, 0, 0}, {0, 0, 0});
    EXPECT_TRUE(cache.ema_buffer.empty());
    EXPECT_FALSE(cache.ema_primed);
}

TEST(compute_diff_test, new_pixel_count_replaces_history) {
    FrameCache cache;
    cache.ema_alpha = 0.5f;
    compare_pixels(cache, {100, 0, 0}, {0, 0, 0});
    const Metrics m = cache.compute_diff_impl(Bytes(6, 0), Bytes{0, 0, 0, 60, 0, 0}, 2, 1);
    ASSERT_EQ(cache.ema_buffer.size(), 2u);  // priming again, from the raw distances
    EXPECT_TRUE(same_bits(cache.ema_buffer[0], 0.0f));
    EXPECT_TRUE(same_bits(cache.ema_buffer[1], 3600.0f));
    EXPECT_TRUE(same_bits(m.max_diff, 3600.0f));
}

// ---- short frames ----------------------------------------------------------------

TEST(compute_diff_test, short_right_frame_stops_at_first_missing_byte) {
    FrameCache cache;
    cache.ema_alpha = 0.5f;
    cache.last_max_diff = 77.0f;
    try {
        cache.compute_diff_impl(Bytes{7, 8, 9, 1, 2, 3}, Bytes{7, 8, 9, 0, 0}, 2, 1);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(), "index out of bounds: the len is 5 but the index is 5");
    }
    ASSERT_EQ(cache.diff_rgba.size(), 8u);
    EXPECT_EQ(pixel_at(cache, 0), (RgbaPixel{7, 8, 9, 255}));
    EXPECT_EQ(pixel_at(cache, 1), (RgbaPixel{0, 0, 0, 0}));
    ASSERT_EQ(cache.ema_buffer.size(), 2u);  // replaced, first entry written
    EXPECT_TRUE(same_bits(cache.ema_buffer[0], 0.0f));
    EXPECT_FALSE(cache.ema_primed);
    EXPECT_TRUE(same_bits(cache.last_max_diff, 77.0f));
}

TEST(compute_diff_test, both_frames_short_reports_left_first) {
    FrameCache cache;
    try {
        cache.compute_diff_impl(Bytes(4, 1), Bytes(4, 1), 2, 1);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(), "index out of bounds: the len is 4 but the index is 4");
    }
}

TEST(compute_diff_test, short_failure_keeps_earlier_picture_bytes) {
    FrameCache cache;
    cache.diff_rgba.assign(16, 0xAB);
    EXPECT_THROW(cache.compute_diff_impl(Bytes(6, 0), Bytes(8, 0), 3, 1), Panic);
    ASSERT_EQ(cache.diff_rgba.size(), 12u);
    EXPECT_EQ(pixel_at(cache, 0), (RgbaPixel{0, 0, 0, 255}));
    EXPECT_EQ(pixel_at(cache, 1), (RgbaPixel{0, 0, 0, 255}));
    EXPECT_EQ(pixel_at(cache, 2), (RgbaPixel{0xAB, 0xAB, 0xAB, 0xAB}));
}

// ---- randomised check against a double-precision restatement ---------------------

// Heat colour computed in double precision; binary32 may differ by one step.
RgbaPixel heat_in_double(double k, double v) {
    const double s = std::min(std::sqrt(k * v), 1.0);
    const double q = 2 * s - 1;
    auto to_byte = [](double x) { return static_cast<std::uint8_t>(std::clamp(x, 0.0, 255.0)); };
    return {to_byte(255 * std::max(q, 0.0)), to_byte(255 * (1 - std::fabs(q))),
            to_byte(255 * std::max(1 - 2 * s, 0.0)), 255};
}

TEST(compute_diff_test, random_frames_match_restated_formulas) {
    Random random(2024);
    for (int round = 0; round < 40; ++round) {
        const int width = 1 + static_cast<int>(random.below(90));
        const int height = 1 + static_cast<int>(random.below(40));
        const std::size_t n = static_cast<std::size_t>(width) * height;
        Bytes left = random.bytes(3 * n);
        Bytes right = left;
        // Mix of untouched pixels, small changes near the threshold and large ones.
        for (std::size_t i = 0; i < 3 * n; ++i) {
            const std::uint32_t kind = random.below(4);
            if (kind == 1) right[i] = static_cast<std::uint8_t>(right[i] ^ (random.byte() & 0x3F));
            if (kind == 2) right[i] = random.byte();
        }
        FrameCache cache;
        cache.last_max_diff = static_cast<float>(random.below(200000));
        const double k = 1.0 / std::max<double>(cache.last_max_diff, 1.0);
        const Metrics m = cache.compute_diff_impl(left, right, width, height);

        float total = 0.0f, max = 0.0f;
        double similarity = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* l = &left[3 * i];
            const std::uint8_t* r = &right[3 * i];
            int d = 0;
            for (int c = 0; c < 3; ++c) d += (l[c] - r[c]) * (l[c] - r[c]);
            total += static_cast<float>(d);
            max = std::max(max, static_cast<float>(d));
            const double yl = 0.2126 * l[0] + 0.7152 * l[1] + 0.0722 * l[2];
            const double yr = 0.2126 * r[0] + 0.7152 * r[1] + 0.0722 * r[2];
            similarity += 1 - std::fabs(yl - yr) / 255;

            const RgbaPixel got = pixel_at(cache, i);
            if (d < 2810) {
                ASSERT_EQ(got, (RgbaPixel{l[0], l[1], l[2], 255})) << "pixel " << i;
            } else {
                const RgbaPixel want = heat_in_double(k, d);
                ASSERT_NEAR(got.r, want.r, 1) << "pixel " << i;
                ASSERT_NEAR(got.g, want.g, 1) << "pixel " << i;
                ASSERT_NEAR(got.b, want.b, 1) << "pixel " << i;
                ASSERT_EQ(got.a, 255);
            }
        }
        EXPECT_TRUE(same_bits(m.mse, total / static_cast<float>(n)));
        EXPECT_TRUE(same_bits(m.max_diff, max));
        EXPECT_NEAR(m.ssim, similarity / static_cast<double>(n), 1e-5);
        if (total > 0)
            EXPECT_NEAR(m.psnr, 10 * std::log10(65025.0 / (total / n)), 1e-3);
        else
            EXPECT_TRUE(same_bits(m.psnr, 100.0f));
    }
}

}  // namespace
}  // namespace quillet
