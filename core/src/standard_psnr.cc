// PSNR from exact squared-error sums, and the choice of the kernel that sums them.
#include "standard_psnr.h"

#include <cmath>
#include <iterator>
#include <limits>

#include "cpu_features.h"

namespace quillet {

SquaredErrorSums squared_error_sums_portable(const std::uint8_t*, const std::uint8_t*, std::size_t);
#if defined(QUILLET_HAVE_AVX2_KERNEL)
SquaredErrorSums squared_error_sums_avx2(const std::uint8_t*, const std::uint8_t*, std::size_t);
#endif
#if defined(QUILLET_HAVE_AVX512_KERNEL)
SquaredErrorSums squared_error_sums_avx512(const std::uint8_t*, const std::uint8_t*, std::size_t);
#endif

namespace {

bool always_runs() noexcept { return true; }
[[maybe_unused]] bool avx2_runs() noexcept { return cpu_features().avx2; }
[[maybe_unused]] bool avx512_runs() noexcept { return cpu_features().avx512bw; }

constexpr SquaredErrorKernelInfo kKernels[] = {
#if defined(QUILLET_HAVE_AVX512_KERNEL)
    {"avx512", squared_error_sums_avx512, avx512_runs},
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
    {"avx2", squared_error_sums_avx2, avx2_runs},
#endif
    {"portable", squared_error_sums_portable, always_runs},
};

}  // namespace

std::span<const SquaredErrorKernelInfo> squared_error_kernels() noexcept { return kKernels; }

const SquaredErrorKernelInfo& active_squared_error_kernel() noexcept {
    static const SquaredErrorKernelInfo& chosen = [] () -> const SquaredErrorKernelInfo& {
        for (const SquaredErrorKernelInfo& kernel : kKernels)
            if (kernel.runs()) return kernel;
        return kKernels[std::size(kKernels) - 1];
    }();
    return chosen;
}

double psnr_from_sum(std::uint64_t squared_error_sum, std::uint64_t sample_count) noexcept {
    if (squared_error_sum == 0) return std::numeric_limits<double>::infinity();
    // Both conversions are exact below 2^53, far beyond any frame.
    const double mse = static_cast<double>(squared_error_sum) / static_cast<double>(sample_count);
    return 10.0 * std::log10(65025.0 / mse);
}

StandardPsnr standard_psnr(const std::uint8_t* left, const std::uint8_t* right,
                           std::size_t pixel_count) {
    const SquaredErrorSums sums = active_squared_error_kernel().run(left, right, pixel_count);
    const std::uint64_t samples = pixel_count;
    return {psnr_from_sum(sums.r + sums.g + sums.b, 3 * samples), psnr_from_sum(sums.r, samples),
            psnr_from_sum(sums.g, samples), psnr_from_sum(sums.b, samples)};
}

}  // namespace quillet
