// Multi-scale SSIM: each plane (r, g, b, luma) as double samples, filtered
// separably at each scale (vertically into a row of moments, then
// horizontally), then averaged 2 x 2 into the next scale. Samples stay exact
// at every scale: bytes (or luma as the integer 2126 R + 7152 G + 722 B)
// averaged four times need at most 30 significant bits.
#include "ms_ssim.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_features.h"
#include "ms_ssim_kernel.h"
#include "row_bands.h"

namespace quillet {

namespace {

constexpr double kExponents[kMsSsimScales] = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
constexpr double kLumaScale = 10000.0;

bool always_runs() noexcept { return true; }
[[maybe_unused]] bool avx2_runs() noexcept { return cpu_features().avx2 && cpu_features().fma; }
[[maybe_unused]] bool avx512_runs() noexcept { return cpu_features().avx512bw && cpu_features().fma; }

struct ScaleKernel {
    ScaleMeansKernel run;
    bool (*runs)() noexcept;
};
constexpr ScaleKernel kKernels[] = {
#if defined(QUILLET_HAVE_AVX512_KERNEL)
    {ms_ssim_scale_means_avx512, avx512_runs},
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
    {ms_ssim_scale_means_avx2, avx2_runs},
#endif
    {ms_ssim_scale_means_portable, always_runs},
};

ScaleMeansKernel active_scale_kernel() noexcept {
    static const ScaleMeansKernel chosen = [] {
        for (const ScaleKernel& kernel : kKernels)
            if (kernel.runs()) return kernel.run;
        return ms_ssim_scale_means_portable;
    }();
    return chosen;
}

// A plane pair at one scale, row-major.
struct PlanePair {
    std::vector<double> x, y;
    std::size_t width = 0, height = 0;
};

// The next scale: means of 2 x 2 blocks, an odd last row or column dropped.
void halve(const std::vector<double>& from, std::size_t width, std::size_t height,
           std::vector<double>& to) {
    const std::size_t half_width = width / 2, half_height = height / 2;
    to.resize(half_width * half_height);
    for (std::size_t r = 0; r < half_height; ++r) {
        const double* top = from.data() + 2 * r * width;
        const double* bottom = top + width;
        for (std::size_t c = 0; c < half_width; ++c)
            to[r * half_width + c] =
                ((top[2 * c] + top[2 * c + 1]) + (bottom[2 * c] + bottom[2 * c + 1])) * 0.25;
    }
}

// Plane 0, 1, 2: the channels; 3: luma times 10^4.
double plane_ms_ssim(const SsimFrames& frames, std::size_t plane) {
    PlanePair planes;
    planes.width = frames.width;
    planes.height = frames.height;
    const std::size_t pixels = frames.width * frames.height;
    planes.x.resize(pixels);
    planes.y.resize(pixels);
    const auto sample = [plane](const std::uint8_t* rgb) {
        if (plane < 3) return static_cast<double>(rgb[plane]);
        return static_cast<double>(2126 * rgb[0] + 7152 * rgb[1] + 722 * rgb[2]);
    };
    for (std::size_t i = 0; i < pixels; ++i) {
        planes.x[i] = sample(frames.left + 3 * i);
        planes.y[i] = sample(frames.right + 3 * i);
    }
    const double scale = plane < 3 ? 1.0 : kLumaScale;
    double product = 1.0;
    PlanePair next;
    for (std::size_t level = 0; level < kMsSsimScales; ++level) {
        const ScaleMeans means =
            active_scale_kernel()(planes.x.data(), planes.y.data(), planes.width, planes.height, scale);
        const double term = level + 1 < kMsSsimScales ? means.contrast_structure : means.ssim;
        product = product * std::pow(std::max(term, 0.0), kExponents[level]);
        if (level + 1 == kMsSsimScales) break;
        halve(planes.x, planes.width, planes.height, next.x);
        halve(planes.y, planes.width, planes.height, next.y);
        next.width = planes.width / 2;
        next.height = planes.height / 2;
        std::swap(planes, next);
    }
    return product;
}

}  // namespace

MsSsim ms_ssim(const SsimFrames& frames, unsigned threads) {
    if (frames.width < kMsSsimMinSide || frames.height < kMsSsimMinSide)
        throw std::invalid_argument("MS-SSIM needs frames of at least " + std::to_string(kMsSsimMinSide) +
                                    " x " + std::to_string(kMsSsimMinSide) +
                                    " pixels (an 11 x 11 window at the fifth scale); got " +
                                    std::to_string(frames.width) + " x " + std::to_string(frames.height));
    if (threads == 0) threads = default_ssim_threads(frames.width, frames.height);
    double values[4];
    run_row_bands(4, threads, [&](unsigned, std::size_t first, std::size_t end) {
        for (std::size_t plane = first; plane < end; ++plane) values[plane] = plane_ms_ssim(frames, plane);
    });
    return {(values[0] + values[1] + values[2]) / 3.0, values[0], values[1], values[2], values[3]};
}

}  // namespace quillet
