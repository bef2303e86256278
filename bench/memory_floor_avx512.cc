// The memory floor with AVX-512: 16 pixels per step, the least work that
// still reads both frames in full and writes every picture byte.
#include "avx512_intrinsics.h"

#include "memory_floor.h"

namespace quillet::bench {

std::uint64_t memory_pass_avx512(const std::uint8_t* left, const std::uint8_t* right,
                                 std::uint8_t* rgba, std::size_t pixels) {
    const __m512i spread = _mm512_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0);
    const __m512i pick = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
    const __m512i alpha = _mm512_set1_epi32(static_cast<int>(0xFF000000u));
    const __mmask64 bytes = 0x0000FFFFFFFFFFFFull;
    __m512i check = _mm512_setzero_si512();
    const std::size_t blocks = pixels / 16;
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m512i l = _mm512_maskz_loadu_epi8(bytes, left + 48 * b);
        const __m512i r = _mm512_maskz_loadu_epi8(bytes, right + 48 * b);
        check = _mm512_xor_si512(check, r);
        const __m512i out =
            _mm512_or_si512(_mm512_shuffle_epi8(_mm512_permutexvar_epi32(spread, l), pick), alpha);
        _mm512_storeu_si512(rgba + 64 * b, out);
    }
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, check);
    std::uint64_t sum = 0;
    for (std::uint64_t lane : lanes) sum ^= lane;
    const std::size_t done = blocks * 16;
    return sum + memory_pass_portable(left + 3 * done, right + 3 * done, rgba + 4 * done,
                                      pixels - done);
}

std::uint64_t rows_pass_avx512(const std::uint8_t* left, const std::uint8_t* right,
                               const std::size_t* row_offsets, std::size_t rows,
                               std::size_t row_bytes) {
    __m512i check = _mm512_setzero_si512();
    const std::size_t blocks = row_bytes / 64;
    for (std::size_t y = 0; y < rows; ++y) {
        const std::uint8_t* l = left + row_offsets[y];
        const std::uint8_t* r = right + row_offsets[y];
        const std::size_t ahead = row_offsets[y + 1 < rows ? y + 1 : y];
        for (std::size_t b = 0; b < blocks; ++b) {
            __builtin_prefetch(left + ahead + 64 * b, 0, 2);
            __builtin_prefetch(right + ahead + 64 * b, 0, 2);
            check = _mm512_xor_si512(check, _mm512_xor_si512(_mm512_loadu_si512(l + 64 * b),
                                                             _mm512_loadu_si512(r + 64 * b)));
        }
    }
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, check);
    std::uint64_t sum = 0;
    for (std::uint64_t lane : lanes) sum ^= lane;
    return sum;
}

}  // namespace quillet::bench
