// SSIM over a whole frame: the Gaussian weights, the choice of the row kernel,
// and the split of the map's rows into bands computed by several threads. Each
// row's sums land in their own place and are added in row order afterwards, so
// the result does not depend on the number of threads.
#include "standard_ssim.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_features.h"
#include "row_bands.h"

namespace quillet {

void ssim_rows_portable(const SsimFrames&, std::size_t, std::size_t, double*);
#if defined(QUILLET_HAVE_AVX2_KERNEL)
void ssim_rows_avx2(const SsimFrames&, std::size_t, std::size_t, double*);
#endif
#if defined(QUILLET_HAVE_AVX512_KERNEL)
void ssim_rows_avx512(const SsimFrames&, std::size_t, std::size_t, double*);
#endif

namespace {

bool always_runs() noexcept { return true; }
// Both vector builds use fused multiply-adds.
[[maybe_unused]] bool avx2_runs() noexcept { return cpu_features().avx2 && cpu_features().fma; }
[[maybe_unused]] bool avx512_runs() noexcept { return cpu_features().avx512bw && cpu_features().fma; }

constexpr SsimKernelInfo kKernels[] = {
#if defined(QUILLET_HAVE_AVX512_KERNEL)
    {"avx512", ssim_rows_avx512, avx512_runs},
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
    {"avx2", ssim_rows_avx2, avx2_runs},
#endif
    {"portable", ssim_rows_portable, always_runs},
};

// Below this many map values per thread, starting a thread costs more than it saves.
constexpr std::size_t kMinValuesPerThread = 128 * 1024;

GaussianWeights make_gaussian_weights() noexcept {
    constexpr double sigma = 1.5;
    double raw[kSsimWindow];
    double total = 0.0;
    for (std::size_t k = 0; k < kSsimWindow; ++k) {
        const double x = static_cast<double>(k) - static_cast<double>(kSsimRadius);
        raw[k] = std::exp(-0.5 / (sigma * sigma) * x * x);
        total = total + raw[k];
    }
    GaussianWeights weights{};
    for (std::size_t d = 0; d <= kSsimRadius; ++d) weights.weight[d] = raw[kSsimRadius + d] / total;
    return weights;
}

// Row sums of the calling thread, reused across calls.
thread_local std::vector<double> row_sums_buffer;

}  // namespace

const GaussianWeights& ssim_gaussian_weights() noexcept {
    static const GaussianWeights weights = make_gaussian_weights();
    return weights;
}

std::span<const SsimKernelInfo> ssim_kernels() noexcept { return kKernels; }

const SsimKernelInfo& active_ssim_kernel() noexcept {
    static const SsimKernelInfo& chosen = []() -> const SsimKernelInfo& {
        for (const SsimKernelInfo& kernel : kKernels)
            if (kernel.runs()) return kernel;
        return kKernels[std::size(kKernels) - 1];
    }();
    return chosen;
}

unsigned default_ssim_threads(std::size_t width, std::size_t height) noexcept {
    if (width < kSsimWindow || height < kSsimWindow) return 1;
    return band_thread_count((width - 2 * kSsimRadius) * (height - 2 * kSsimRadius),
                             kMinValuesPerThread);
}

StandardSsim standard_ssim(const SsimFrames& frames, unsigned threads) {
    return standard_ssim(frames, active_ssim_kernel(), threads);
}

StandardSsim standard_ssim(const SsimFrames& frames, const SsimKernelInfo& kernel,
                           unsigned threads) {
    if (frames.width < kSsimWindow || frames.height < kSsimWindow)
        throw std::invalid_argument("SSIM needs frames of at least 11 x 11 pixels (the Gaussian window); got " +
                                    std::to_string(frames.width) + " x " +
                                    std::to_string(frames.height));
    const std::size_t rows = frames.height - 2 * kSsimRadius;
    const std::size_t columns = frames.width - 2 * kSsimRadius;
    if (threads == 0) threads = default_ssim_threads(frames.width, frames.height);

    std::vector<double>& row_sums = row_sums_buffer;
    row_sums.resize(4 * rows);
    run_row_bands(rows, threads, [&](unsigned, std::size_t first, std::size_t end) {
        kernel.run(frames, first, end, row_sums.data() + 4 * first);
    });

    double totals[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t row = 0; row < rows; ++row)
        for (std::size_t plane = 0; plane < 4; ++plane)
            totals[plane] = totals[plane] + row_sums[4 * row + plane];
    const double count = static_cast<double>(rows) * static_cast<double>(columns);
    const double r = totals[0] / count;
    const double g = totals[1] / count;
    const double b = totals[2] / count;
    return {(r + g + b) / 3.0, r, g, b, totals[3] / count};
}

}  // namespace quillet
