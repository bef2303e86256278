// The pixel pass with AVX-512 F, BW and VBMI: the operations of 16 pixels per
// vector for the shared driver (compute_diff_driver.h).
#include "avx512_intrinsics.h"

#include <array>

#include "compute_diff.h"
#include "compute_diff_driver.h"

namespace quillet {

namespace {

constexpr __mmask64 kPixelBytes = 0x0000FFFFFFFFFFFFull;   // 48 bytes = 16 RGB pixels
constexpr __mmask64 kColourBytes = 0x7777777777777777ull;  // bytes R, G, B of each RGBA dword

// Byte b of pixel p's dword is index(p, b): byte permutes over 16 RGB pixels
// loaded as 48 bytes with 16 bytes after them: zeros, but 0x4B at byte 62
// (index 63 reads a zero).
// Plain data, so nothing runs before the processor has been checked.
template <typename Index>
constexpr std::array<std::uint8_t, 64> byte_index(Index index) {
    std::array<std::uint8_t, 64> bytes{};
    for (unsigned p = 0; p < 16; ++p)
        for (unsigned b = 0; b < 4; ++b) bytes[4 * p + b] = static_cast<std::uint8_t>(index(p, b));
    return bytes;
}

// Channel c of pixel p to byte 4p under the exponent bits of 2^23 (byte 62 of
// a loaded block is 0x4B, see load): the float 2^23 + v.
alignas(64) constexpr auto kPickR =
    byte_index([](unsigned p, unsigned b) { return b == 0 ? 3 * p : b == 3 ? 62 : 63; });
alignas(64) constexpr auto kPickG =
    byte_index([](unsigned p, unsigned b) { return b == 0 ? 3 * p + 1 : b == 3 ? 62 : 63; });
alignas(64) constexpr auto kPickB =
    byte_index([](unsigned p, unsigned b) { return b == 0 ? 3 * p + 2 : b == 3 ? 62 : 63; });
// Bytes R and G of pixel p to bytes 4p and 4p + 2.
alignas(64) constexpr auto kPickRG =
    byte_index([](unsigned p, unsigned b) { return b == 0 || b == 2 ? 3 * p + b / 2 : 63; });
// The 3 bytes of pixel p to bytes 4p ... 4p + 2.
alignas(64) constexpr auto kPickRGB = byte_index([](unsigned p, unsigned b) { return b < 3 ? 3 * p + b : 63; });
// See heat_picture.
alignas(64) constexpr auto kHeatIndex = byte_index([](unsigned p, unsigned b) -> unsigned {
    const unsigned word = 16 * (p / 4) + 2 * (p % 4);  // pixel p's R word in rb
    return b == 0 ? word : b == 1 ? 64 + 4 * p : b == 2 ? word + 8 : 0xFF;
});

inline __m512i load_table(const std::array<std::uint8_t, 64>& table) {
    return _mm512_load_si512(table.data());
}

struct Avx512Ops {
    static constexpr std::size_t kLanes = 16;
    using Pixels = __m512i;  // 48 bytes, then zeros but for 0x4B at byte 62
    using Int = __m512i;
    using Float = __m512;
    using Mask = __mmask16;
    using Picture = __m512i;  // 16 RGBA dwords
    using Shift = __m128i;

    struct Channels {
        Int left_r, left_g, left_b, right_r, right_g, right_b, distance;
    };

    // Colour lanes are the floats 2^23 + v (see the driver's luma).
    static constexpr bool kBiasedChannels = true;

    struct Tables {
        __m512i pick_r, pick_g, pick_b, pick_rg, pick_rgb, heat_index, alpha;

        explicit Tables(const PixelPass&)
            : pick_r(load_table(kPickR)),
              pick_g(load_table(kPickG)),
              pick_b(load_table(kPickB)),
              pick_rg(load_table(kPickRG)),
              pick_rgb(load_table(kPickRGB)),
              heat_index(load_table(kHeatIndex)),
              alpha(_mm512_set1_epi32(static_cast<int>(0xFF000000u))) {}
    };

    // Masked loads read only the block's own 48 bytes.
    static std::size_t vector_blocks(std::size_t pixels) { return pixels / kLanes; }
    // Masked-off bytes come from the tail: 0x4B at byte 62 for the channel picks.
    static Pixels load(const std::uint8_t* p) {
        return _mm512_mask_loadu_epi8(_mm512_set_epi32(0x004B0000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                       0, 0, 0, 0),
                                      kPixelBytes, p);
    }
    static bool same(Pixels left, Pixels right) { return _mm512_cmpneq_epi8_mask(left, right) == 0; }

    // Each colour byte under the exponent bits of 2^23 (the float 2^23 + v).
    // d from word differences [dr, dg] and [db, 0] per dword (the biased
    // blue dwords differ by [db, 0x4B00 - 0x4B00]), squared and paired up.
    static Channels channels(const Tables& t, Pixels left, Pixels right) {
        Channels c;
        c.left_r = _mm512_permutexvar_epi8(t.pick_r, left);
        c.left_g = _mm512_permutexvar_epi8(t.pick_g, left);
        c.left_b = _mm512_permutexvar_epi8(t.pick_b, left);
        c.right_r = _mm512_permutexvar_epi8(t.pick_r, right);
        c.right_g = _mm512_permutexvar_epi8(t.pick_g, right);
        c.right_b = _mm512_permutexvar_epi8(t.pick_b, right);
        const __m512i drg = _mm512_sub_epi16(_mm512_permutexvar_epi8(t.pick_rg, left),
                                             _mm512_permutexvar_epi8(t.pick_rg, right));
        const __m512i db = _mm512_sub_epi16(c.left_b, c.right_b);
        c.distance = _mm512_add_epi32(_mm512_madd_epi16(drg, drg), _mm512_madd_epi16(db, db));
        return c;
    }

    static Picture left_picture(const Tables& t, Pixels left) {
        return _mm512_mask_permutexvar_epi8(t.alpha, kColourBytes, t.pick_rgb, left);
    }

    // Unsigned saturation gives max(t, 0) and max(-t, 0) as words: per 128-bit
    // lane the 4 R words, then the 4 B words. Bytes R, G, B of each pixel come
    // from them and from green; the alpha bytes (mask bit 0) keep the index
    // byte 0xFF.
    static Picture heat_picture(const Tables& t, Int red_minus_blue, Int green) {
        const __m512i rb = _mm512_packus_epi32(
            red_minus_blue, _mm512_sub_epi32(_mm512_setzero_si512(), red_minus_blue));
        return _mm512_mask2_permutex2var_epi8(rb, t.heat_index, kColourBytes, green);
    }

    static Picture select(Mask changed, Picture heat, Picture left) {
        return _mm512_mask_mov_epi32(left, changed, heat);
    }
    static void store(std::uint8_t* out, Picture p) { _mm512_storeu_si512(out, p); }
    static Picture distance_picture(const Tables&, Int distance) { return distance; }
    static Picture load_picture(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    static Mask awaiting_colour(const Tables& t, Picture p) {
        return _mm512_testn_epi32_mask(p, t.alpha);
    }
    static Int picture_words(Picture p) { return p; }

    static Float set(float x) { return _mm512_set1_ps(x); }
    static Float load_floats(const float* p) { return _mm512_loadu_ps(p); }
    static void store_floats(float* p, Float x) { _mm512_storeu_ps(p, x); }
    static Float add(Float a, Float b) { return _mm512_add_ps(a, b); }
    static Float sub(Float a, Float b) { return _mm512_sub_ps(a, b); }
    static Float mul(Float a, Float b) { return _mm512_mul_ps(a, b); }
    static Float sqrt(Float a) { return _mm512_sqrt_ps(a); }
    static Float fused_mul_sub(Float a, Float b, Float c) { return _mm512_fmsub_ps(a, b, c); }
    static Float fused_neg_mul_add(Float a, Float b, Float c) { return _mm512_fnmadd_ps(a, b, c); }
    static Float abs(Float a) {
        return _mm512_castsi512_ps(
            _mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7FFFFFFF)));
    }
    static Float to_float(Int a) { return _mm512_cvtepi32_ps(a); }
    static Float as_float(Int a) { return _mm512_castsi512_ps(a); }
    static Int truncate(Float a) { return _mm512_cvttps_epi32(a); }
    static Float min_or_second(Float a, Float b) { return _mm512_min_ps(a, b); }
    static Float max_keep(Float x, Float acc) { return _mm512_max_ps(x, acc); }
    static Mask not_less(Float a, Float b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLT_UQ); }
    static bool none(Mask m) { return m == 0; }
    // Whole-register shuffles (the library's reduce helpers trip a false
    // uninitialised-value warning in GCC 12).
    static float lane_max(Float x) {
        x = _mm512_max_ps(x, _mm512_shuffle_f32x4(x, x, 0x4E));
        x = _mm512_max_ps(x, _mm512_shuffle_f32x4(x, x, 0xB1));
        x = _mm512_max_ps(x, _mm512_permute_ps(x, 0x4E));
        x = _mm512_max_ps(x, _mm512_permute_ps(x, 0xB1));
        return _mm512_cvtss_f32(x);
    }

    static Int set_int(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
    static Int add_int(Int a, Int b) { return _mm512_add_epi32(a, b); }
    static Int and_int(Int a, Int b) { return _mm512_and_si512(a, b); }
    static Int min_u32(Int a, Int b) { return _mm512_min_epu32(a, b); }
    static Shift shift(std::uint32_t count) { return _mm_cvtsi32_si128(static_cast<int>(count)); }
    static Int shift_right(Int a, Shift count) { return _mm512_srl_epi32(a, count); }
    static std::uint64_t zero_lanes(Int a) { return _mm512_testn_epi32_mask(a, a); }
    static std::uint64_t nonzero_lanes(Int a) { return _mm512_test_epi32_mask(a, a); }
    static bool any_zero(Int a) { return zero_lanes(a) != 0; }
    static std::uint64_t zero_lanes_under(Int a, Int bits) { return _mm512_testn_epi32_mask(a, bits); }
    // Both totals in one reduction: the halves of a and b side by side, then
    // each 256-bit half reduced to its lowest lane.
    static void lane_totals(Int a, Int b, std::uint64_t (&out)[2]) {
        __m512i x = _mm512_add_epi32(_mm512_shuffle_i64x2(a, b, 0x44), _mm512_shuffle_i64x2(a, b, 0xEE));
        x = _mm512_add_epi32(x, _mm512_shuffle_i64x2(x, x, 0xB1));
        x = _mm512_add_epi32(x, _mm512_shuffle_epi32(x, _MM_PERM_BADC));
        x = _mm512_add_epi32(x, _mm512_shuffle_epi32(x, _MM_PERM_CDAB));
        out[0] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(x)));
        out[1] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_extracti32x4_epi32(x, 2)));
    }
    // At most 256 lanes' r <= 2^23 each (a group, see the driver): the total
    // fits in 32 bits.
    static std::uint64_t lane_total(Int units) {
        __m256i sum = _mm256_add_epi32(_mm512_castsi512_si256(units),
                                       _mm512_extracti64x4_epi64(units, 1));
        __m128i half = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
        half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4E));
        half = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0xB1));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(half));
    }
};

}  // namespace

PassSums compute_diff_avx512(const PixelPass& pass) {
    return run_vector_kernel<Avx512Ops>(pass);
}

float largest_distance_avx512(const PixelPass& pass) {
    return run_largest_distance<Avx512Ops>(pass);
}

void colour_distances_avx512(const PixelPass& pass) {
    run_colour_distances<Avx512Ops>(pass);
}

}  // namespace quillet
