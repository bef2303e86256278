// SSIM as Wang, Bovik, Sheikh and Simoncelli (2004) define it: an 11 x 11
// Gaussian window (sigma 1.5, truncated at 3.5 sigma, weights normalised to
// sum 1), K1 = 0.01, K2 = 0.03, L = 255, population moments, and the mean of
// the SSIM map over the positions where the whole window lies inside the
// frame. Computed per channel and for BT.709 luma; moments in double precision.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillet {

inline constexpr std::size_t kSsimRadius = 5;
inline constexpr std::size_t kSsimWindow = 2 * kSsimRadius + 1;  // smallest width and height

// Normalised Gaussian weights by distance from the centre: weight[0] is the
// centre, weight[5] the edge. Computed once, so every kernel uses the same bits.
struct GaussianWeights {
    std::array<double, kSsimRadius + 1> weight;
};
const GaussianWeights& ssim_gaussian_weights() noexcept;

struct StandardSsim {
    double rgb;  // mean of r, g and b
    double r;
    double g;
    double b;
    double y;  // luma Y = 0.2126 R + 0.7152 G + 0.0722 B, taken exactly (as 2126 R + 7152 G + 722 B)
};

// Two packed RGB frames of the same size.
struct SsimFrames {
    const std::uint8_t* left;
    const std::uint8_t* right;
    std::size_t width;
    std::size_t height;
};

// Computes the SSIM map rows [first, end) (row o is centred on frame row o + 5)
// and writes, for each, the sums of its map values for r, g, b and luma into
// row_sums[4 * (o - first) ...]. A row's sum is taken in a fixed order (eight
// interleaved partial sums, then a fixed tree), the same in every kernel.
using SsimRowsKernel = void (*)(const SsimFrames& frames, std::size_t first, std::size_t end,
                                double* row_sums);
struct SsimKernelInfo {
    const char* name;  // "avx512", "avx2", "portable"
    SsimRowsKernel run;
    bool (*runs)() noexcept;
};
// Best first, the portable one last. Every kernel gives the portable one's bits.
std::span<const SsimKernelInfo> ssim_kernels() noexcept;
const SsimKernelInfo& active_ssim_kernel() noexcept;

// The threads `standard_ssim` uses for a frame of this size when none are asked for.
unsigned default_ssim_threads(std::size_t width, std::size_t height) noexcept;

// Throws std::invalid_argument when a side is below kSsimWindow. `threads` 0
// picks default_ssim_threads; the result does not depend on the thread count.
StandardSsim standard_ssim(const SsimFrames& frames, unsigned threads = 0);
StandardSsim standard_ssim(const SsimFrames& frames, const SsimKernelInfo& kernel,
                           unsigned threads);

}  // namespace quillet
