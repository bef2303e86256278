// Chooses the kernel of the per-pixel pass, once per process: the first kernel
// of the table that this build contains and this processor runs, unless the
// environment variable QUILLET_KERNEL names one. A name that is unknown, or
// whose kernel cannot run here, makes every comparison fail with a Panic naming
// the variable and the valid names: a forced kernel must never be replaced by a
// different one without notice (a benchmark or a test would silently measure
// the wrong code).
#include <cstdlib>
#include <cstring>
#include <string>

#include "compute_diff.h"
#include "compute_diff_simd.h"
#include "cpu_features.h"
#include "panic.h"

namespace quillet {

#if defined(QUILLET_HAVE_AVX512_KERNEL)
PassSums compute_diff_avx512(const PixelPass& pass);
float largest_distance_avx512(const PixelPass& pass);
void colour_distances_avx512(const PixelPass& pass);
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
PassSums compute_diff_avx2(const PixelPass& pass);
float largest_distance_avx2(const PixelPass& pass);
void colour_distances_avx2(const PixelPass& pass);
#endif
#if defined(QUILLET_HAVE_NEON_KERNEL)
PassSums compute_diff_neon(const PixelPass& pass);
float largest_distance_neon(const PixelPass& pass);
void colour_distances_neon(const PixelPass& pass);
#endif

namespace {

bool scalar_runs() noexcept { return true; }
[[maybe_unused]] bool avx512_runs() noexcept {
    // The avx512 kernel deinterleaves pixels and builds heat colours with VBMI
    // byte permutes; AVX-512 processors without VBMI take the avx2 kernel.
    const CpuFeatures& cpu = cpu_features();
    return cpu.avx512bw && cpu.avx512vbmi && cpu.popcnt;
}
[[maybe_unused]] bool avx2_runs() noexcept { return cpu_features().avx2 && cpu_features().popcnt; }
[[maybe_unused]] bool neon_runs() noexcept { return cpu_features().neon; }

// Best first; the scalar reference is always last.
constexpr DiffKernelInfo kKernels[] = {
#if defined(QUILLET_HAVE_NEON_KERNEL)
    {"neon", compute_diff_neon, neon_runs, largest_distance_neon, colour_distances_neon},
#endif
#if defined(QUILLET_HAVE_AVX512_KERNEL)
    {"avx512", compute_diff_avx512, avx512_runs, largest_distance_avx512, colour_distances_avx512},
#endif
#if defined(QUILLET_HAVE_AVX2_KERNEL)
    {"avx2", compute_diff_avx2, avx2_runs, largest_distance_avx2, colour_distances_avx2},
#endif
    {"scalar", compute_diff_scalar, scalar_runs, largest_distance_scalar, colour_distances_scalar},
};

constexpr const char* kKnownNames = "scalar, avx2, avx512, neon";

std::string runnable_names() {
    std::string names;
    for (const DiffKernelInfo& kernel : kKernels) {
        if (!kernel.runs()) continue;
        if (!names.empty()) names += ", ";
        names += kernel.name;
    }
    return names;
}

}  // namespace

std::span<const DiffKernelInfo> diff_kernels() noexcept {
    return kKernels;
}

const DiffKernelInfo& select_diff_kernel(const char* forced) {
    if (forced == nullptr || forced[0] == '\0') {
        for (const DiffKernelInfo& kernel : kKernels)
            if (kernel.runs()) return kernel;
    } else {
        for (const DiffKernelInfo& kernel : kKernels) {
            if (std::strcmp(kernel.name, forced) != 0) continue;
            if (kernel.runs()) return kernel;
            panic(std::string("QUILLET_KERNEL=") + forced +
                  " names a kernel that this processor cannot run; available here: " +
                  runnable_names());
        }
        const bool known = std::strcmp(forced, "scalar") == 0 || std::strcmp(forced, "avx2") == 0 ||
                           std::strcmp(forced, "avx512") == 0 || std::strcmp(forced, "neon") == 0;
        if (known)
            panic(std::string("QUILLET_KERNEL=") + forced +
                  " names a kernel that this build does not contain; available here: " +
                  runnable_names());
        panic(std::string("QUILLET_KERNEL=") + forced + " is not a kernel name; valid names: " +
              kKnownNames);
    }
    return kKernels[std::size(kKernels) - 1];
}

DiffKernel active_diff_kernel() {
    // A failed selection throws, leaving `chosen` uninitialised: every later
    // call tries again and fails the same way.
    static const DiffKernel chosen = select_diff_kernel(std::getenv("QUILLET_KERNEL")).run;
    return chosen;
}

DistanceKernel active_distance_kernel() {
    static const DistanceKernel chosen = select_diff_kernel(std::getenv("QUILLET_KERNEL")).largest;
    return chosen;
}

HeatKernel active_heat_kernel() {
    static const HeatKernel chosen = select_diff_kernel(std::getenv("QUILLET_KERNEL")).heat;
    return chosen;
}

PixelRange compute_diff_scalar_range(const PixelPass& pass, std::size_t begin, std::size_t end,
                                     PassSums& sums) {
    PixelRange changed{0, 0};
    for (std::size_t i = begin; i < end; ++i)
        if (scalar_pixel(pass, i, sums)) extend_span(changed, i);
    return changed;
}

float add_similarity_in_order(const PixelPass& pass, std::size_t begin, std::size_t end,
                              float sum) {
    for (std::size_t i = begin; i < end; ++i)
        sum = sum + similarity_term(pass.left + 3 * i, pass.right + 3 * i);
    return sum;
}

float add_distance_in_order(const PixelPass& pass, std::size_t begin, std::size_t end, float sum) {
    for (std::size_t i = begin; i < end; ++i)
        sum = sum + static_cast<float>(squared_distance(pass.left + 3 * i, pass.right + 3 * i));
    return sum;
}

}  // namespace quillet
