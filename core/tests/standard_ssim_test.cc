// SSIM: every row kernel against the portable one bit for bit over widths
// with every tail, the same bits for any number of threads, agreement with a
// direct two-dimensional window computed in long double, and the known values.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "random_bytes.h"
#include "standard_ssim.h"

namespace quillet {
namespace {

using testing::Random;

std::vector<const SsimKernelInfo*> runnable_kernels() {
    std::vector<const SsimKernelInfo*> kernels;
    for (const SsimKernelInfo& kernel : ssim_kernels())
        if (kernel.runs()) kernels.push_back(&kernel);
    return kernels;
}

const SsimKernelInfo& portable_kernel() { return ssim_kernels().back(); }

// A smooth picture with noise: flat areas and edges, where cancellation shows.
std::vector<std::uint8_t> picture(std::size_t width, std::size_t height, std::uint64_t seed,
                                  int noise) {
    Random random(seed);
    std::vector<std::uint8_t> rgb(3 * width * height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < 3; ++c) {
                int v = static_cast<int>((x * 7 + y * 3 + c * 60) % 256);
                if (x > width / 2) v = 250;  // a flat bright area
                if (noise > 0) v += static_cast<int>(random.below(2 * noise + 1)) - noise;
                rgb[3 * (y * width + x) + c] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
            }
    return rgb;
}

void expect_same_bits(const StandardSsim& a, const StandardSsim& b, const std::string& where) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.r), std::bit_cast<std::uint64_t>(b.r)) << where;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.g), std::bit_cast<std::uint64_t>(b.g)) << where;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.b), std::bit_cast<std::uint64_t>(b.b)) << where;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.y), std::bit_cast<std::uint64_t>(b.y)) << where;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.rgb), std::bit_cast<std::uint64_t>(b.rgb)) << where;
}

class SsimKernel : public ::testing::TestWithParam<const SsimKernelInfo*> {};

TEST_P(SsimKernel, gives_the_portable_bits_on_every_tail) {
    for (std::size_t width = 11; width <= 11 + 2 * 16 + 1; ++width) {
        const std::size_t height = 11 + width % 5;
        std::vector<std::uint8_t> left = picture(width, height, width, 0);
        std::vector<std::uint8_t> right = picture(width, height, width + 1, 20);
        const SsimFrames frames{left.data(), right.data(), width, height};
        expect_same_bits(standard_ssim(frames, *GetParam(), 1), standard_ssim(frames, portable_kernel(), 1),
                         std::to_string(width) + " x " + std::to_string(height));
    }
}

// Rows wider than the stretches the columns are filtered in, ending on every
// kind of last stretch: full, one column, a vector and a half.
TEST_P(SsimKernel, gives_the_portable_bits_across_column_stretches) {
    for (std::size_t width : {11u + 255u, 11u + 256u, 11u + 257u, 11u + 383u, 11u + 384u, 11u + 385u, 11u + 396u,
                              1291u}) {
        const std::size_t height = 13;
        std::vector<std::uint8_t> left = picture(width, height, width, 3);
        std::vector<std::uint8_t> right = picture(width, height, width + 1, 25);
        const SsimFrames frames{left.data(), right.data(), width, height};
        expect_same_bits(standard_ssim(frames, *GetParam(), 1), standard_ssim(frames, portable_kernel(), 1),
                         std::to_string(width) + " x " + std::to_string(height));
    }
}

TEST_P(SsimKernel, unaligned_rows_give_the_same_bits) {
    const std::size_t width = 37, height = 23;
    std::vector<std::uint8_t> left = picture(width, height, 1, 5), right = picture(width, height, 2, 30);
    std::vector<std::uint8_t> shifted_left(left.size() + 1), shifted_right(right.size() + 1);
    std::copy(left.begin(), left.end(), shifted_left.begin() + 1);
    std::copy(right.begin(), right.end(), shifted_right.begin() + 1);
    expect_same_bits(standard_ssim({shifted_left.data() + 1, shifted_right.data() + 1, width, height},
                                   *GetParam(), 1),
                     standard_ssim({left.data(), right.data(), width, height}, portable_kernel(), 1),
                     "unaligned");
}

INSTANTIATE_TEST_SUITE_P(kernels, SsimKernel, ::testing::ValuesIn(runnable_kernels()),
                         [](const auto& info) { return std::string(info.param->name); });

class SsimThreads : public ::testing::TestWithParam<unsigned> {};

TEST_P(SsimThreads, results_do_not_depend_on_the_thread_count) {
    const std::size_t width = 203, height = 157;
    std::vector<std::uint8_t> left = picture(width, height, 5, 3), right = picture(width, height, 6, 40);
    const SsimFrames frames{left.data(), right.data(), width, height};
    expect_same_bits(standard_ssim(frames, GetParam()), standard_ssim(frames, 1u),
                     std::to_string(GetParam()) + " threads");
}

// More threads than map rows, and thread counts that do not divide the rows.
INSTANTIATE_TEST_SUITE_P(counts, SsimThreads, ::testing::Values(2u, 3u, 7u, 200u));

// The definition, evaluated directly: 2-D window weights, moments and the map in long double.
long double direct_ssim_plane(const std::vector<std::uint8_t>& left, const std::vector<std::uint8_t>& right,
                              std::size_t width, std::size_t height, std::size_t channel) {
    long double g[11], total = 0;
    for (int k = 0; k < 11; ++k) total += g[k] = std::exp(-0.5L * (k - 5) * (k - 5) / 2.25L);
    for (long double& v : g) v /= total;
    long double sum = 0;
    for (std::size_t y = 5; y + 5 < height; ++y)
        for (std::size_t x = 5; x + 5 < width; ++x) {
            long double mx = 0, my = 0, mxx = 0, myy = 0, mxy = 0;
            for (int i = 0; i < 11; ++i)
                for (int j = 0; j < 11; ++j) {
                    const std::size_t at = 3 * ((y + i - 5) * width + (x + j - 5)) + channel;
                    const long double w = g[i] * g[j], a = left[at], b = right[at];
                    mx += w * a, my += w * b, mxx += w * a * a, myy += w * b * b, mxy += w * a * b;
                }
            const long double c1 = 6.5025L, c2 = 58.5225L;
            const long double vx = mxx - mx * mx, vy = myy - my * my, vxy = mxy - mx * my;
            sum += ((2 * mx * my + c1) * (2 * vxy + c2)) / ((mx * mx + my * my + c1) * (vx + vy + c2));
        }
    return sum / static_cast<long double>((width - 10) * (height - 10));
}

TEST(standard_ssim_test, agrees_with_the_direct_definition) {
    for (const auto& [width, height] : std::vector<std::pair<std::size_t, std::size_t>>{{11, 11}, {12, 29}, {40, 17}}) {
        std::vector<std::uint8_t> left = picture(width, height, 9, 2), right = picture(width, height, 10, 25);
        const StandardSsim got = standard_ssim({left.data(), right.data(), width, height});
        EXPECT_NEAR(got.r, static_cast<double>(direct_ssim_plane(left, right, width, height, 0)), 1e-12);
        EXPECT_NEAR(got.g, static_cast<double>(direct_ssim_plane(left, right, width, height, 1)), 1e-12);
        EXPECT_NEAR(got.b, static_cast<double>(direct_ssim_plane(left, right, width, height, 2)), 1e-12);
    }
}

TEST(standard_ssim_test, identical_frames_give_exactly_one) {
    std::vector<std::uint8_t> frame = picture(31, 19, 4, 60);
    const StandardSsim got = standard_ssim({frame.data(), frame.data(), 31, 19});
    EXPECT_EQ(got.r, 1.0);
    EXPECT_EQ(got.g, 1.0);
    EXPECT_EQ(got.b, 1.0);
    EXPECT_EQ(got.y, 1.0);
    EXPECT_EQ(got.rgb, 1.0);
}

TEST(standard_ssim_test, black_against_white_is_c1_over_the_peak) {
    // Flat frames: no variance, so SSIM = C1 / (255^2 + C1).
    std::vector<std::uint8_t> black(3 * 16 * 12, 0), white(3 * 16 * 12, 255);
    const StandardSsim got = standard_ssim({black.data(), white.data(), 16, 12});
    EXPECT_NEAR(got.rgb, 6.5025 / (65025.0 + 6.5025), 1e-15);
    EXPECT_NEAR(got.y, 6.5025 / (65025.0 + 6.5025), 1e-12);
}

TEST(standard_ssim_test, frames_smaller_than_the_window_are_refused) {
    std::vector<std::uint8_t> frame(3 * 11 * 10);
    EXPECT_THROW(standard_ssim({frame.data(), frame.data(), 11, 10}), std::invalid_argument);
    EXPECT_THROW(standard_ssim({frame.data(), frame.data(), 10, 11}), std::invalid_argument);
}

}  // namespace
}  // namespace quillet
