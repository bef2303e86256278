// The squared-error pass, written once as plain loops and compiled once per
// instruction set (standard_psnr_*.cc). The frames are walked in blocks of 64
// pixels: inside a block, byte j always belongs to channel j % 3, so each byte
// position keeps its own 32-bit sum, which the compiler turns into vector
// lanes. Integer sums are exact, so the order of additions cannot change the
// result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "standard_psnr.h"

namespace quillet::standard_psnr_detail {
// Each including translation unit gets its own copy, compiled with its own
// instruction set: the linker must never merge them.
namespace {

inline constexpr std::size_t kBlockPixels = 64;
inline constexpr std::size_t kBlockBytes = 3 * kBlockPixels;
// A lane gains at most 255^2 per block: 65536 blocks stay below 2^32.
inline constexpr std::size_t kBlocksPerFlush = 65536;

inline std::uint32_t squared(std::uint8_t a, std::uint8_t b) noexcept {
    const std::int32_t d = static_cast<std::int32_t>(a) - static_cast<std::int32_t>(b);
    return static_cast<std::uint32_t>(d * d);
}

inline SquaredErrorSums squared_error_sums(const std::uint8_t* left, const std::uint8_t* right,
                                           std::size_t pixel_count) noexcept {
    std::uint64_t channel[3] = {0, 0, 0};
    const std::size_t blocks = pixel_count / kBlockPixels;
    std::size_t block = 0;
    while (block < blocks) {
        alignas(64) std::uint32_t lane[kBlockBytes] = {};
        const std::size_t stop = blocks - block < kBlocksPerFlush ? blocks : block + kBlocksPerFlush;
        for (; block < stop; ++block) {
            const std::uint8_t* l = left + block * kBlockBytes;
            const std::uint8_t* r = right + block * kBlockBytes;
            for (std::size_t j = 0; j < kBlockBytes; ++j) lane[j] += squared(l[j], r[j]);
        }
        for (std::size_t j = 0; j < kBlockBytes; ++j) channel[j % 3] += lane[j];
    }
    for (std::size_t i = blocks * kBlockBytes; i < 3 * pixel_count; ++i)
        channel[i % 3] += squared(left[i], right[i]);
    return {channel[0], channel[1], channel[2]};
}

}  // namespace
}  // namespace quillet::standard_psnr_detail
