// The squared-error pass with 16-bit multiply-adds, written once over a small
// per-instruction-set operations type (standard_psnr_avx2.cc, _avx512.cc).
// A block is six vectors of `Ops::kLanes16` bytes widened to 16-bit
// differences. One multiply-add gives d[2m]^2 + d[2m+1]^2, a second one with the
// odd lanes masked gives d[2m]^2; byte 2m of a block belongs to channel 2m % 3
// and byte 2m + 1 to the next, so the two 32-bit lane sums are folded into the
// channel sums before they can overflow. Integer sums: the portable kernel's
// results exactly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "standard_psnr_kernel.h"

namespace quillet::standard_psnr_detail {
namespace {

// Ops provides: `Vector`, `kLanes16` (16-bit lanes per vector), `zero()`,
// `even_lanes()` (0xFFFF in every 32-bit lane), `differences(left, right)` (the
// next kLanes16 bytes as 16-bit left - right), `multiply_add(sums, a, b)` (sums
// plus the 16-bit multiply-add of a and b, in 32-bit lanes), `bit_and`, and
// `store(std::uint32_t*, Vector)` (kLanes16 / 2 aligned 32-bit lanes).
template <typename Ops>
SquaredErrorSums squared_error_sums_madd(const std::uint8_t* left, const std::uint8_t* right,
                                         std::size_t pixel_count) noexcept {
    using Vector = typename Ops::Vector;
    constexpr std::size_t kVectorBytes = Ops::kLanes16;
    constexpr std::size_t kBlockBytes = 6 * kVectorBytes;  // a multiple of 3: channels line up
    constexpr std::size_t kLanes32 = kVectorBytes / 2;
    // A lane gains at most 2 * 255^2 per block: 32768 blocks stay below 2^32.
    constexpr std::size_t kBlocksPerFlush = 32768;

    const std::size_t blocks = 3 * pixel_count / kBlockBytes;
    std::uint64_t channel[3] = {0, 0, 0};
    std::size_t block = 0;
    while (block < blocks) {
        Vector pairs_sum[6], even_sum[6];  // d[2m]^2 + d[2m+1]^2 and d[2m]^2
        for (std::size_t h = 0; h < 6; ++h) pairs_sum[h] = even_sum[h] = Ops::zero();
        const Vector even_lanes = Ops::even_lanes();
        const std::size_t stop = blocks - block < kBlocksPerFlush ? blocks : block + kBlocksPerFlush;
        for (; block < stop; ++block) {
            const std::uint8_t* l = left + block * kBlockBytes;
            const std::uint8_t* r = right + block * kBlockBytes;
            for (std::size_t h = 0; h < 6; ++h) {
                const Vector d = Ops::differences(l + kVectorBytes * h, r + kVectorBytes * h);
                pairs_sum[h] = Ops::multiply_add(pairs_sum[h], d, d);
                even_sum[h] = Ops::multiply_add(even_sum[h], d, Ops::bit_and(d, even_lanes));
            }
        }
        for (std::size_t h = 0; h < 6; ++h) {
            alignas(64) std::uint32_t pair[kLanes32], even[kLanes32];
            Ops::store(pair, pairs_sum[h]);
            Ops::store(even, even_sum[h]);
            for (std::size_t m = 0; m < kLanes32; ++m) {
                const std::size_t first = (kVectorBytes * h + 2 * m) % 3;
                channel[first] += even[m];
                channel[(first + 1) % 3] += pair[m] - even[m];
            }
        }
    }
    const std::size_t done = blocks * kBlockBytes / 3;
    const SquaredErrorSums tail = squared_error_sums(left + 3 * done, right + 3 * done, pixel_count - done);
    return {tail.r + channel[0], tail.g + channel[1], tail.b + channel[2]};
}

}  // namespace
}  // namespace quillet::standard_psnr_detail
