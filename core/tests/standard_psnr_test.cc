// The squared-error sums and PSNR: every kernel against a plain loop over
// every tail length and unaligned starts, the 32-bit lane flush, and the
// figures of known pairs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "random_bytes.h"
#include "standard_psnr.h"

namespace quillet {
namespace {

using testing::Random;

SquaredErrorSums plain_sums(const std::uint8_t* left, const std::uint8_t* right, std::size_t pixels) {
    SquaredErrorSums sums;
    std::uint64_t* channel[3] = {&sums.r, &sums.g, &sums.b};
    for (std::size_t i = 0; i < 3 * pixels; ++i) {
        const std::int64_t d = static_cast<std::int64_t>(left[i]) - right[i];
        *channel[i % 3] += static_cast<std::uint64_t>(d * d);
    }
    return sums;
}

std::vector<const SquaredErrorKernelInfo*> runnable_kernels() {
    std::vector<const SquaredErrorKernelInfo*> kernels;
    for (const SquaredErrorKernelInfo& kernel : squared_error_kernels())
        if (kernel.runs()) kernels.push_back(&kernel);
    return kernels;
}

class SquaredErrorKernel : public ::testing::TestWithParam<const SquaredErrorKernelInfo*> {};

TEST_P(SquaredErrorKernel, equals_plain_sums_on_every_tail_and_offset) {
    Random random(11);
    for (std::size_t pixels = 1; pixels <= 3 * 64 + 5; ++pixels) {
        for (std::size_t offset : {0u, 1u, 7u}) {
            std::vector<std::uint8_t> left = random.bytes(offset + 3 * pixels);
            std::vector<std::uint8_t> right = random.bytes(offset + 3 * pixels);
            const SquaredErrorSums got = GetParam()->run(left.data() + offset, right.data() + offset, pixels);
            const SquaredErrorSums want = plain_sums(left.data() + offset, right.data() + offset, pixels);
            ASSERT_EQ(got.r, want.r) << pixels << " pixels, offset " << offset;
            ASSERT_EQ(got.g, want.g) << pixels << " pixels, offset " << offset;
            ASSERT_EQ(got.b, want.b) << pixels << " pixels, offset " << offset;
        }
    }
}

// Black against white over more blocks than one 32-bit lane can hold.
TEST_P(SquaredErrorKernel, lanes_do_not_overflow_past_a_flush) {
    const std::size_t pixels = 65537 * 64 + 3;
    std::vector<std::uint8_t> black(3 * pixels, 0), white(3 * pixels, 255);
    const SquaredErrorSums got = GetParam()->run(black.data(), white.data(), pixels);
    const std::uint64_t want = static_cast<std::uint64_t>(pixels) * 65025u;
    EXPECT_EQ(got.r, want);
    EXPECT_EQ(got.g, want);
    EXPECT_EQ(got.b, want);
}

INSTANTIATE_TEST_SUITE_P(kernels, SquaredErrorKernel, ::testing::ValuesIn(runnable_kernels()),
                         [](const auto& info) { return std::string(info.param->name); });

TEST(standard_psnr_test, identical_frames_give_infinity) {
    std::vector<std::uint8_t> frame = Random(3).bytes(3 * 100);
    const StandardPsnr psnr = standard_psnr(frame.data(), frame.data(), 100, 1);
    EXPECT_EQ(psnr.rgb, std::numeric_limits<double>::infinity());
    EXPECT_EQ(psnr.r, std::numeric_limits<double>::infinity());
    EXPECT_EQ(psnr.b, std::numeric_limits<double>::infinity());
}

TEST(standard_psnr_test, black_against_white_is_zero_db) {
    std::vector<std::uint8_t> black(3 * 77, 0), white(3 * 77, 255);
    const StandardPsnr psnr = standard_psnr(black.data(), white.data(), 7, 11);
    EXPECT_EQ(psnr.rgb, 0.0);
    EXPECT_EQ(psnr.g, 0.0);
}

TEST(standard_psnr_test, one_channel_differs) {
    // Only green differs, by 1 in one of 10 pixels: green MSE 0.1, RGB MSE 1/30.
    std::vector<std::uint8_t> left(30, 9), right(30, 9);
    right[3 * 4 + 1] = 10;
    const StandardPsnr psnr = standard_psnr(left.data(), right.data(), 5, 2);
    EXPECT_EQ(psnr.r, std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(psnr.g, 10.0 * std::log10(65025.0 / 0.1));
    EXPECT_DOUBLE_EQ(psnr.rgb, 10.0 * std::log10(65025.0 * 30.0));
}

// Frames split over threads by rows: the figures of every split are the single
// thread's, including more threads than rows and splits that leave bands of
// unequal size.
TEST(standard_psnr_test, results_do_not_depend_on_the_thread_count) {
    Random random(29);
    for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{131, 97}, {1, 5}, {640, 3}}) {
        std::vector<std::uint8_t> left = random.bytes(3 * width * height);
        std::vector<std::uint8_t> right = random.bytes(3 * width * height);
        const SquaredErrorSums plain = plain_sums(left.data(), right.data(), width * height);
        for (unsigned threads : {1u, 2u, 3u, 7u, 200u}) {
            const StandardPsnr got = standard_psnr(left.data(), right.data(), width, height, threads);
            const std::uint64_t samples = width * height;
            EXPECT_EQ(got.rgb, psnr_from_sum(plain.r + plain.g + plain.b, 3 * samples)) << threads;
            EXPECT_EQ(got.r, psnr_from_sum(plain.r, samples)) << threads;
            EXPECT_EQ(got.g, psnr_from_sum(plain.g, samples)) << threads;
            EXPECT_EQ(got.b, psnr_from_sum(plain.b, samples)) << threads;
        }
    }
}

}  // namespace
}  // namespace quillet
