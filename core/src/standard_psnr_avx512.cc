// The squared-error pass with AVX-512 BW: 32 bytes per vector, 192-byte
// (64-pixel) blocks, through the shared multiply-add driver.
#include <immintrin.h>

#include "standard_psnr_madd.h"

namespace quillet {

namespace {

struct Avx512Ops {
    using Vector = __m512i;
    static constexpr std::size_t kLanes16 = 32;
    static Vector zero() noexcept { return _mm512_setzero_si512(); }
    static Vector even_lanes() noexcept { return _mm512_set1_epi32(0xFFFF); }
    static Vector differences(const std::uint8_t* left, const std::uint8_t* right) noexcept {
        const __m512i l = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(left)));
        const __m512i r = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(right)));
        return _mm512_sub_epi16(l, r);
    }
    static Vector multiply_add(Vector sums, Vector a, Vector b) noexcept {
        return _mm512_add_epi32(sums, _mm512_madd_epi16(a, b));
    }
    static Vector bit_and(Vector a, Vector b) noexcept { return _mm512_and_si512(a, b); }
    static void store(std::uint32_t* out, Vector v) noexcept { _mm512_store_si512(out, v); }
};

}  // namespace

SquaredErrorSums squared_error_sums_avx512(const std::uint8_t* left, const std::uint8_t* right,
                                           std::size_t pixel_count) {
    return standard_psnr_detail::squared_error_sums_madd<Avx512Ops>(left, right, pixel_count);
}

}  // namespace quillet
