// The per-pixel pass of a comparison: builds the difference picture, updates the
// smoothing history and accumulates the three running figures. Every kernel must
// give the same bits as the scalar reference in compute_diff_scalar.cc.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "numeric.h"

namespace quillet {

// The constants by their bit patterns, so the values are exact on every compiler.
inline constexpr float kChangeThreshold = std::bit_cast<float>(0x452F9148u);  // 2809.080078125
inline constexpr float kLumaR = std::bit_cast<float>(0x3E59B3D0u);            // 0.2126
inline constexpr float kLumaG = std::bit_cast<float>(0x3F371759u);            // 0.7152
inline constexpr float kLumaB = std::bit_cast<float>(0x3D93DD98u);            // 0.0722
inline constexpr float kSimilarityStep = std::bit_cast<float>(0xBB808081u);   // -1/255
inline constexpr float kPeak = std::bit_cast<float>(0x477E0100u);             // 65025
inline constexpr float kPsnrCeiling = std::bit_cast<float>(0x42C80000u);      // 100
inline constexpr float kByteScale = std::bit_cast<float>(0x437F0000u);        // 255

// How the smoothing history takes part in a pass.
enum class SmoothingPass : std::uint8_t {
    plain,      // smoothing off: the history is untouched
    priming,    // smoothing on, no history yet: the history becomes the raw distances
    smoothing,  // smoothing on with history: tested value = beta * old + alpha * d
};

// The running figures of a pass, each updated strictly in pixel order. A pass
// may continue from the figures of the pixels before it (a frame fed row by
// row gives the same bits as one pass over all of it).
struct PassSums {
    float similarity_sum;  // sum of the luma similarity terms
    float distance_total;  // sum of the raw squared distances
    float max_tested;      // largest tested value; never NaN, never below +0
};

// Pixels first ... end - 1 of a pass.
struct PixelRange {
    std::size_t first;
    std::size_t end;
};

// One pass over `pixel_count` pixels whose bytes are all present. The caller has
// sized `rgba` to 4 bytes and (unless plain) `ema` to one float per pixel.
struct PixelPass {
    const std::uint8_t* left;
    const std::uint8_t* right;
    std::uint8_t* rgba;
    float* ema;  // null in the plain pass
    std::size_t pixel_count;
    SmoothingPass mode;
    float colour_scale;  // k = 1 / max(last_max_diff, 1)
    float alpha;
    float beta;  // 1 - alpha, rounded once
    PassSums start{0.0f, 0.0f, 0.0f};  // the figures of the pixels before this pass
    // Plain pass only: each changed pixel is left in the picture as its
    // distance (see write_distance_pixel) instead of its heat colour, for a
    // HeatKernel to colour once the scale is known.
    bool heat_later = false;
    // When set, receives a range of the pass's pixels that holds every changed
    // one: empty (first == end) when none is, otherwise from at or before the
    // first to at or after the last (a kernel may round out to its blocks).
    PixelRange* changed_span = nullptr;
    // Bytes the caller reads next (the source rows that a sampled comparison
    // copies after this pass): the vector kernels ask for a share of them with
    // every block, so that they arrive while the pass computes. A hint only:
    // nothing is read from them here. None while ahead_bytes is 0.
    const std::uint8_t* ahead_left = nullptr;
    const std::uint8_t* ahead_right = nullptr;
    std::size_t ahead_bytes = 0;
};

// Colour scale k of a picture whose heat colours are scaled to `max_diff`.
inline float colour_scale_for(float max_diff) noexcept {
    return 1.0f / max_ignoring_nan(max_diff, 1.0f);
}

// Heat colour of a changed pixel: blue at s = 0, green at 0.5, red at 1, where
// s = min(sqrt(k * v), 1). Each step rounds by itself.
inline void write_heat_colour(std::uint8_t* out, float colour_scale, float tested) noexcept {
    const float s = min_ignoring_nan(std::sqrt(colour_scale * tested), 1.0f);
    const float u = s + s;
    const float q = u - 1.0f;
    out[0] = saturating_to_u8(kByteScale * max_ignoring_nan(q, 0.0f));
    out[1] = saturating_to_u8(kByteScale * (1.0f - std::fabs(q)));
    out[2] = saturating_to_u8(kByteScale * max_ignoring_nan(1.0f - u, 0.0f));
    out[3] = 255;
}

// A changed pixel whose heat colour is drawn later: its distance d as a
// little-endian 32-bit word. d < 2^24, so the alpha byte is 0, which no drawn
// pixel has (their alpha is 255): the mark that the pixel awaits its colour.
inline void write_distance_pixel(std::uint8_t* out, std::int32_t distance) noexcept {
    const auto d = static_cast<std::uint32_t>(distance);
    out[0] = static_cast<std::uint8_t>(d);
    out[1] = static_cast<std::uint8_t>(d >> 8);
    out[2] = static_cast<std::uint8_t>(d >> 16);
    out[3] = 0;
}

// One pixel of the difference picture: the left pixel's colour while the tested
// value stays below the change threshold, its heat colour otherwise.
inline void write_picture_pixel(std::uint8_t* out, const std::uint8_t* left_pixel,
                                float colour_scale, float tested) noexcept {
    if (tested < kChangeThreshold) {
        out[0] = left_pixel[0];
        out[1] = left_pixel[1];
        out[2] = left_pixel[2];
        out[3] = 255;
    } else {  // NaN counts as changed
        write_heat_colour(out, colour_scale, tested);
    }
}

// Luma similarity term 1 - |Yl - Yr| / 255, with Y = (R*wr + G*wg) + B*wb and the
// division done as a multiplication by the rounded constant.
inline float similarity_term(const std::uint8_t* l, const std::uint8_t* r) noexcept {
    const float yl = (static_cast<float>(l[0]) * kLumaR + static_cast<float>(l[1]) * kLumaG) +
                     static_cast<float>(l[2]) * kLumaB;
    const float yr = (static_cast<float>(r[0]) * kLumaR + static_cast<float>(r[1]) * kLumaG) +
                     static_cast<float>(r[2]) * kLumaB;
    return std::fabs(yl - yr) * kSimilarityStep + 1.0f;
}

inline std::int32_t squared_distance(const std::uint8_t* l, const std::uint8_t* r) noexcept {
    const std::int32_t dr = static_cast<std::int32_t>(l[0]) - r[0];
    const std::int32_t dg = static_cast<std::int32_t>(l[1]) - r[1];
    const std::int32_t db = static_cast<std::int32_t>(l[2]) - r[2];
    return dr * dr + dg * dg + db * db;
}

// Pixel i of the pass, folded into `sums`: the reference step that vectorised
// kernels also use for their tails. Returns whether the pixel is changed.
inline bool scalar_pixel(const PixelPass& pass, std::size_t i, PassSums& sums) noexcept {
    const std::uint8_t* l = pass.left + 3 * i;
    const std::uint8_t* r = pass.right + 3 * i;
    const std::int32_t d = squared_distance(l, r);
    const float distance = static_cast<float>(d);  // exact: d <= 195075
    float tested = distance;
    if (pass.mode == SmoothingPass::priming) {
        pass.ema[i] = distance;
    } else if (pass.mode == SmoothingPass::smoothing) {
        tested = pass.beta * pass.ema[i] + pass.alpha * distance;
        pass.ema[i] = tested;
    }
    const bool changed = !(tested < kChangeThreshold);
    if (changed && pass.heat_later && pass.mode == SmoothingPass::plain)
        write_distance_pixel(pass.rgba + 4 * i, d);
    else
        write_picture_pixel(pass.rgba + 4 * i, l, pass.colour_scale, tested);
    sums.distance_total = sums.distance_total + distance;
    sums.max_tested = max_ignoring_nan(sums.max_tested, tested);
    sums.similarity_sum = sums.similarity_sum + similarity_term(l, r);
    return changed;
}

// Grows `span` (empty: first == end) to hold pixel i.
inline void extend_span(PixelRange& span, std::size_t i) noexcept {
    if (span.first == span.end) span.first = i;
    span.end = i + 1;
}

using DiffKernel = PassSums (*)(const PixelPass&);

// The largest squared distance between the pass's left and right pixels, as
// a float (exact: at most 195075), +0 for no pixels: the max_diff a plain pass
// over them reports. Reads left, right and pixel_count.
using DistanceKernel = float (*)(const PixelPass&);

// Colours, at pass.colour_scale, the changed pixels that a plain pass with
// heat_later left in the picture as distances: each pixel whose alpha byte is
// 0 takes the heat colour of its distance; the others are left as they are.
// Reads rgba, pixel_count and colour_scale; no frames.
using HeatKernel = void (*)(const PixelPass&);

// Pixels begin ... end - 1 of HeatKernel, one at a time: the reference that
// vectorised ones also use for their tails (defined in a baseline unit, so no
// vector-flagged copy of it exists).
void colour_distances_range(const PixelPass& pass, std::size_t begin, std::size_t end) noexcept;

// `largest` and the distances of pixels begin ... end - 1, one at a time.
inline float largest_distance_range(const PixelPass& pass, std::size_t begin, std::size_t end,
                                    float largest) noexcept {
    for (std::size_t i = begin; i < end; ++i)
        largest = max_ignoring_nan(
            largest, static_cast<float>(squared_distance(pass.left + 3 * i, pass.right + 3 * i)));
    return largest;
}

// The definition of the pass: plain scalar code, one pixel at a time.
PassSums compute_diff_scalar(const PixelPass& pass);
float largest_distance_scalar(const PixelPass& pass);
void colour_distances_scalar(const PixelPass& pass);
#if defined(QUILLET_HAVE_AVX512_KERNEL)
PassSums compute_diff_avx512(const PixelPass& pass);
#endif

// The kernel used by compute_diff_impl; chosen once per process (see
// select_diff_kernel, read from the environment variable QUILLET_KERNEL).
DiffKernel active_diff_kernel();
// The largest-distance pass of the kernel that active_diff_kernel chose.
DistanceKernel active_distance_kernel();
// The colouring of distances left by heat_later, of the same kernel.
HeatKernel active_heat_kernel();

// The kernels built into this library, best first, the scalar one last.
struct DiffKernelInfo {
    const char* name;  // "avx512", "avx2", "neon", "scalar"
    DiffKernel run;
    bool (*runs)() noexcept;  // whether this processor can run it
    DistanceKernel largest;   // the largest distance, in the same instruction set
    HeatKernel heat;          // the colouring of distances left by heat_later, likewise
};
std::span<const DiffKernelInfo> diff_kernels() noexcept;

// The kernel that QUILLET_KERNEL=`forced` selects; null or empty selects the
// best one this processor runs. Panics when the name is not a kernel, or names
// one that this build lacks or this processor cannot run.
const DiffKernelInfo& select_diff_kernel(const char* forced);

}  // namespace quillet
