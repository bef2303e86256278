// PSNR from exact squared-error sums, and the choice of the kernel that sums them.
#include "standard_psnr.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

#include "cpu_features.h"
#include "row_bands.h"

namespace quillet {

SquaredErrorSums squared_error_sums_portable(const std::uint8_t*, const std::uint8_t*, std::size_t);
#if defined(QUILLET_HAVE_AVX2_KERNEL)
SquaredErrorSums squared_error_sums_avx2(const std::uint8_t*, const std::uint8_t*, std::size_t);
#endif
#if defined(QUILLET_HAVE_AVX512VNNI_KERNEL)
SquaredErrorSums squared_error_sums_avx512vnni(const std::uint8_t*, const std::uint8_t*, std::size_t);
#endif
#if defined(QUILLET_HAVE_AVX512_KERNEL)
SquaredErrorSums squared_error_sums_avx512(const std::uint8_t*, const std::uint8_t*, std::size_t);
#endif

namespace {

bool always_runs() noexcept { return true; }
[[maybe_unused]] bool avx2_runs() noexcept { return cpu_features().avx2; }
[[maybe_unused]] bool avx512_runs() noexcept { return cpu_features().avx512bw; }
[[maybe_unused]] bool avx512vnni_runs() noexcept {
    return cpu_features().avx512vbmi && cpu_features().avx512vnni;
}

constexpr SquaredErrorKernelInfo kKernels[] = {
#if defined(QUILLET_HAVE_AVX512VNNI_KERNEL)
    {"avx512vnni", squared_error_sums_avx512vnni, avx512vnni_runs},
#endif
#if defined(QUILLET_HAVE_AVX512_KERNEL)
    {"avx512", squared_error_sums_avx512, avx512_runs},
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
    {"avx2", squared_error_sums_avx2, avx2_runs},
#endif
    {"portable", squared_error_sums_portable, always_runs},
};

// One thread already sums at about the speed one core reads memory, so a
// second one only pays on frames beyond 1080p (4K and up): below this many
// pixels per thread, starting it costs more than it saves.
constexpr std::size_t kMinPixelsPerThread = 3 * 1024 * 1024;

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

unsigned default_psnr_threads(std::size_t width, std::size_t height) noexcept {
    return band_thread_count(width * height, kMinPixelsPerThread);
}

StandardPsnr standard_psnr(const std::uint8_t* left, const std::uint8_t* right, std::size_t width,
                           std::size_t height, unsigned threads) {
    if (threads == 0) threads = default_psnr_threads(width, height);
    const SquaredErrorKernel kernel = active_squared_error_kernel().run;
    const unsigned bands = row_band_count(height, threads);
    // One slot per band, added afterwards: integer sums, so any split gives the same total.
    SquaredErrorSums few_bands[8];
    std::vector<SquaredErrorSums> many_bands(bands > std::size(few_bands) ? bands : 0);
    SquaredErrorSums* band_sums = many_bands.empty() ? few_bands : many_bands.data();
    const std::size_t row_bytes = 3 * width;
    run_row_bands(height, bands, [&](unsigned index, std::size_t first, std::size_t end) {
        band_sums[index] = kernel(left + first * row_bytes, right + first * row_bytes, (end - first) * width);
    });
    SquaredErrorSums sums;
    for (unsigned index = 0; index < bands; ++index) {
        sums.r += band_sums[index].r;
        sums.g += band_sums[index].g;
        sums.b += band_sums[index].b;
    }
    const std::uint64_t samples = static_cast<std::uint64_t>(width) * height;
    return {psnr_from_sum(sums.r + sums.g + sums.b, 3 * samples), psnr_from_sum(sums.r, samples),
            psnr_from_sum(sums.g, samples), psnr_from_sum(sums.b, samples)};
}

}  // namespace quillet
