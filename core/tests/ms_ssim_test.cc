// Multi-scale SSIM: every scale kernel against the portable one bit for bit,
// identical frames, the smallest size, and thread counts.
#include <gtest/gtest.h>

#include <bit>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_features.h"
#include "ms_ssim.h"
#include "ms_ssim_kernel.h"
#include "random_bytes.h"

namespace quillet {
namespace {

using testing::Random;

struct NamedScaleKernel {
    const char* name;
    ScaleMeansKernel run;
};

std::vector<NamedScaleKernel> vector_scale_kernels() {
    std::vector<NamedScaleKernel> kernels;
#if defined(QUILLET_HAVE_AVX512_KERNEL)
    if (cpu_features().avx512bw && cpu_features().fma) kernels.push_back({"avx512", ms_ssim_scale_means_avx512});
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
    if (cpu_features().avx2 && cpu_features().fma) kernels.push_back({"avx2", ms_ssim_scale_means_avx2});
#endif
    return kernels;
}

// Planes like a later scale's: quarter steps, smooth with noise.
std::vector<double> plane(std::size_t width, std::size_t height, std::uint64_t seed) {
    Random random(seed);
    std::vector<double> values(width * height);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<double>((i % width) * 2 % 256) + 0.25 * random.below(40);
    return values;
}

TEST(ms_ssim_test, vector_scale_kernels_give_the_portable_bits) {
    for (std::size_t width : {11u, 12u, 19u, 27u, 64u, 101u}) {
        const std::size_t height = 11 + width % 7;
        const std::vector<double> x = plane(width, height, width), y = plane(width, height, width + 1);
        for (double scale : {1.0, 10000.0}) {
            const ScaleMeans want = ms_ssim_scale_means_portable(x.data(), y.data(), width, height, scale);
            for (const NamedScaleKernel& kernel : vector_scale_kernels()) {
                const ScaleMeans got = kernel.run(x.data(), y.data(), width, height, scale);
                EXPECT_EQ(std::bit_cast<std::uint64_t>(got.contrast_structure),
                          std::bit_cast<std::uint64_t>(want.contrast_structure))
                    << kernel.name << " " << width;
                EXPECT_EQ(std::bit_cast<std::uint64_t>(got.ssim), std::bit_cast<std::uint64_t>(want.ssim))
                    << kernel.name << " " << width;
            }
        }
    }
}

TEST(ms_ssim_test, identical_frames_give_exactly_one) {
    const std::size_t width = 181, height = 190;
    std::vector<std::uint8_t> frame = Random(4).bytes(3 * width * height);
    const MsSsim got = ms_ssim({frame.data(), frame.data(), width, height});
    EXPECT_EQ(got.r, 1.0);
    EXPECT_EQ(got.g, 1.0);
    EXPECT_EQ(got.b, 1.0);
    EXPECT_EQ(got.y, 1.0);
    EXPECT_EQ(got.rgb, 1.0);
}

TEST(ms_ssim_test, frames_below_the_fifth_scale_window_are_refused) {
    std::vector<std::uint8_t> frame(3 * 176 * 176, 7);
    EXPECT_THROW(ms_ssim({frame.data(), frame.data(), 175, 176}), std::invalid_argument);
    EXPECT_THROW(ms_ssim({frame.data(), frame.data(), 176, 175}), std::invalid_argument);
    EXPECT_EQ(ms_ssim({frame.data(), frame.data(), 176, 176}).y, 1.0);
}

TEST(ms_ssim_test, results_do_not_depend_on_the_thread_count) {
    const std::size_t width = 200, height = 177;
    Random random(8);
    std::vector<std::uint8_t> left = random.bytes(3 * width * height), right = left;
    for (std::size_t i = 0; i < right.size(); i += 7) right[i] = static_cast<std::uint8_t>(right[i] ^ 0x15);
    const MsSsim one = ms_ssim({left.data(), right.data(), width, height}, 1);
    for (unsigned threads : {2u, 3u, 4u, 9u}) {
        const MsSsim got = ms_ssim({left.data(), right.data(), width, height}, threads);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got.rgb), std::bit_cast<std::uint64_t>(one.rgb)) << threads;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got.y), std::bit_cast<std::uint64_t>(one.y)) << threads;
    }
    EXPECT_LT(one.rgb, 1.0);
    EXPECT_GT(one.rgb, 0.0);
}

}  // namespace
}  // namespace quillet
