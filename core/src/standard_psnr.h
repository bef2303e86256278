// PSNR as image and video tools report it: 10 log10(255^2 / MSE), MSE the mean
// squared difference over the pixels of one channel or of all three, from exact
// integer sums at full resolution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillet {

// Sums of squared differences per channel of two packed RGB frames. Exact: a
// frame would need more than 2^64 / 65025 pixels to overflow them.
struct SquaredErrorSums {
    std::uint64_t r = 0;
    std::uint64_t g = 0;
    std::uint64_t b = 0;
};

struct StandardPsnr {
    double rgb;  // over all three channels
    double r;
    double g;
    double b;
};

// 10 log10(65025 / (sum / count)) in double; +inf when sum is 0.
double psnr_from_sum(std::uint64_t squared_error_sum, std::uint64_t sample_count) noexcept;

// The threads `standard_psnr` uses for a frame of this size when none are asked for.
unsigned default_psnr_threads(std::size_t width, std::size_t height) noexcept;

// The PSNR of two packed RGB frames of width x height pixels (at least 1 x 1).
// `threads` 0 picks default_psnr_threads; the sums are exact, so the result
// does not depend on the thread count.
StandardPsnr standard_psnr(const std::uint8_t* left, const std::uint8_t* right, std::size_t width,
                           std::size_t height, unsigned threads = 0);

// The squared-error kernels built into this library, best first, the portable
// one last. Integer sums are exact, so every kernel gives the same sums.
using SquaredErrorKernel = SquaredErrorSums (*)(const std::uint8_t* left, const std::uint8_t* right,
                                                std::size_t pixel_count);
struct SquaredErrorKernelInfo {
    const char* name;  // "avx512vnni", "avx512", "avx2", "portable"
    SquaredErrorKernel run;
    bool (*runs)() noexcept;
};
std::span<const SquaredErrorKernelInfo> squared_error_kernels() noexcept;

// The best kernel this processor runs, chosen once.
const SquaredErrorKernelInfo& active_squared_error_kernel() noexcept;

}  // namespace quillet
