// The squared-error pass with AVX2: blocks of 96 bytes (32 pixels) as six
// 16-byte parts widened to 16-bit differences. One multiply-add gives
// d[2m]^2 + d[2m+1]^2, a second one with the odd lanes masked gives d[2m]^2;
// byte 2m of a block belongs to channel 2m % 3 and byte 2m + 1 to the next, so
// the two 32-bit lane sums are folded into the channel sums before they can
// overflow. Integer sums: the portable kernel's results exactly.
#include <immintrin.h>

#include "standard_psnr_kernel.h"

namespace quillet {

namespace {

constexpr std::size_t kBlockBytes = 96;
// A lane gains at most 2 * 255^2 per block: 32768 blocks stay below 2^32.
constexpr std::size_t kBlocksPerFlush = 32768;

inline __m256i differences(const std::uint8_t* left, const std::uint8_t* right) noexcept {
    const __m256i l = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left)));
    const __m256i r = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(right)));
    return _mm256_sub_epi16(l, r);
}

}  // namespace

SquaredErrorSums squared_error_sums_avx2(const std::uint8_t* left, const std::uint8_t* right,
                                         std::size_t pixel_count) {
    const std::size_t blocks = 3 * pixel_count / kBlockBytes;
    std::uint64_t channel[3] = {0, 0, 0};
    std::size_t block = 0;
    while (block < blocks) {
        // Vector h covers bytes 16h .. 16h + 15 of a block.
        __m256i pairs_sum[6], even_sum[6];  // d[2m]^2 + d[2m+1]^2 and d[2m]^2
        for (std::size_t h = 0; h < 6; ++h) pairs_sum[h] = even_sum[h] = _mm256_setzero_si256();
        const __m256i even_lanes = _mm256_set1_epi32(0xFFFF);
        const std::size_t stop = blocks - block < kBlocksPerFlush ? blocks : block + kBlocksPerFlush;
        for (; block < stop; ++block) {
            const std::uint8_t* l = left + block * kBlockBytes;
            const std::uint8_t* r = right + block * kBlockBytes;
            for (std::size_t h = 0; h < 6; ++h) {
                const __m256i d = differences(l + 16 * h, r + 16 * h);
                pairs_sum[h] = _mm256_add_epi32(pairs_sum[h], _mm256_madd_epi16(d, d));
                even_sum[h] = _mm256_add_epi32(even_sum[h], _mm256_madd_epi16(d, _mm256_and_si256(d, even_lanes)));
            }
        }
        for (std::size_t h = 0; h < 6; ++h) {
            alignas(32) std::uint32_t pair[8], even[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(pair), pairs_sum[h]);
            _mm256_store_si256(reinterpret_cast<__m256i*>(even), even_sum[h]);
            for (std::size_t m = 0; m < 8; ++m) {
                const std::size_t first = (16 * h + 2 * m) % 3;
                channel[first] += even[m];
                channel[(first + 1) % 3] += pair[m] - even[m];
            }
        }
    }
    const std::size_t done = blocks * kBlockBytes / 3;
    const SquaredErrorSums tail =
        standard_psnr_detail::squared_error_sums(left + 3 * done, right + 3 * done, pixel_count - done);
    return {tail.r + channel[0], tail.g + channel[1], tail.b + channel[2]};
}

}  // namespace quillet
