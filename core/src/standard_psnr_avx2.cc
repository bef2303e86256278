// The squared-error pass with AVX2: 16 bytes per vector, 96-byte (32-pixel)
// blocks, through the shared multiply-add driver.
#include <immintrin.h>

#include "standard_psnr_madd.h"

namespace quillet {

namespace {

struct Avx2Ops {
    using Vector = __m256i;
    static constexpr std::size_t kLanes16 = 16;
    static Vector zero() noexcept { return _mm256_setzero_si256(); }
    static Vector even_lanes() noexcept { return _mm256_set1_epi32(0xFFFF); }
    static Vector differences(const std::uint8_t* left, const std::uint8_t* right) noexcept {
        const __m256i l = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left)));
        const __m256i r = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(right)));
        return _mm256_sub_epi16(l, r);
    }
    static Vector multiply_add(Vector sums, Vector a, Vector b) noexcept {
        return _mm256_add_epi32(sums, _mm256_madd_epi16(a, b));
    }
    static Vector bit_and(Vector a, Vector b) noexcept { return _mm256_and_si256(a, b); }
    static void store(std::uint32_t* out, Vector v) noexcept {
        _mm256_store_si256(reinterpret_cast<__m256i*>(out), v);
    }
};

}  // namespace

SquaredErrorSums squared_error_sums_avx2(const std::uint8_t* left, const std::uint8_t* right,
                                         std::size_t pixel_count) {
    return standard_psnr_detail::squared_error_sums_madd<Avx2Ops>(left, right, pixel_count);
}

}  // namespace quillet
