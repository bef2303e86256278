// The squared-error pass with AVX-512 VBMI and VNNI. A block is 64 pixels,
// three vectors of |left - right| bytes; two-source byte permutes gather each
// channel's 64 differences into one vector, which is widened to 16 bits and
// squared and summed into 32-bit lanes by fused multiply-adds (vpdpwssd). Each
// channel keeps its own lanes, so no sum mixes channels. Integer sums: the
// portable kernel's results exactly.
#include <immintrin.h>

#include <cstdint>

#include "standard_psnr_kernel.h"

namespace quillet {

namespace {

constexpr std::size_t kBlockPixels = 64;
constexpr std::size_t kBlockBytes = 3 * kBlockPixels;
// A lane gains at most 2 * 255^2 per block: 16384 blocks stay below 2^31, the
// signed lanes of the multiply-add.
constexpr std::size_t kBlocksPerFlush = 16384;

// Index vectors of the two permutes per channel: byte j of channel c's vector
// is block byte 3j + c, taken from the first two vectors by the first permute
// and from the third by the second (which keeps the first permute's bytes).
struct ChannelGather {
    __m512i from_first_two[3];
    __m512i from_third[3];
};

ChannelGather make_channel_gather() noexcept {
    ChannelGather gather;
    for (std::size_t channel = 0; channel < 3; ++channel) {
        alignas(64) std::uint8_t first_two[64], third[64];
        for (std::size_t j = 0; j < 64; ++j) {
            const std::size_t source = 3 * j + channel;
            first_two[j] = static_cast<std::uint8_t>(source < 128 ? source : 0);
            third[j] = static_cast<std::uint8_t>(source < 128 ? j : 64 + (source - 128));
        }
        gather.from_first_two[channel] = _mm512_load_si512(first_two);
        gather.from_third[channel] = _mm512_load_si512(third);
    }
    return gather;
}

__m512i absolute_differences(const std::uint8_t* left, const std::uint8_t* right) noexcept {
    const __m512i l = _mm512_loadu_si512(left);
    const __m512i r = _mm512_loadu_si512(right);
    return _mm512_sub_epi8(_mm512_max_epu8(l, r), _mm512_min_epu8(l, r));
}

}  // namespace

SquaredErrorSums squared_error_sums_avx512vnni(const std::uint8_t* left, const std::uint8_t* right,
                                               std::size_t pixel_count) {
    const ChannelGather gather = make_channel_gather();
    const __m512i zero = _mm512_setzero_si512();
    const std::size_t blocks = pixel_count / kBlockPixels;
    std::uint64_t channel_sums[3] = {0, 0, 0};
    std::size_t block = 0;
    while (block < blocks) {
        // Two sums per channel (low and high halves of the widening), so that
        // consecutive multiply-adds do not wait on each other.
        __m512i sums[3][2];
        for (auto& pair : sums) pair[0] = pair[1] = zero;
        const std::size_t stop = blocks - block < kBlocksPerFlush ? blocks : block + kBlocksPerFlush;
        for (; block < stop; ++block) {
            const std::uint8_t* l = left + block * kBlockBytes;
            const std::uint8_t* r = right + block * kBlockBytes;
            const __m512i d0 = absolute_differences(l, r);
            const __m512i d1 = absolute_differences(l + 64, r + 64);
            const __m512i d2 = absolute_differences(l + 128, r + 128);
            for (std::size_t channel = 0; channel < 3; ++channel) {
                const __m512i own = _mm512_permutex2var_epi8(
                    _mm512_permutex2var_epi8(d0, gather.from_first_two[channel], d1),
                    gather.from_third[channel], d2);
                const __m512i low = _mm512_unpacklo_epi8(own, zero);
                const __m512i high = _mm512_unpackhi_epi8(own, zero);
                sums[channel][0] = _mm512_dpwssd_epi32(sums[channel][0], low, low);
                sums[channel][1] = _mm512_dpwssd_epi32(sums[channel][1], high, high);
            }
        }
        for (std::size_t channel = 0; channel < 3; ++channel) {
            alignas(64) std::uint32_t lanes[16];
            _mm512_store_si512(lanes, _mm512_add_epi32(sums[channel][0], sums[channel][1]));
            for (const std::uint32_t lane : lanes) channel_sums[channel] += lane;
        }
    }
    const std::size_t done = blocks * kBlockPixels;
    const SquaredErrorSums tail =
        standard_psnr_detail::squared_error_sums(left + 3 * done, right + 3 * done, pixel_count - done);
    return {tail.r + channel_sums[0], tail.g + channel_sums[1], tail.b + channel_sums[2]};
}

}  // namespace quillet
