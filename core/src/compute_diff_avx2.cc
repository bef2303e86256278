// The pixel pass with AVX2: the operations of 8 pixels per vector for the
// shared driver (compute_diff_driver.h).
#include <immintrin.h>

#include "compute_diff.h"
#include "compute_diff_driver.h"

namespace quillet {

namespace {

struct Avx2Ops {
    static constexpr std::size_t kLanes = 8;
    using Pixels = __m256i;  // 8 RGB pixels, 4 per 128-bit lane (see load)
    using Int = __m256i;
    using Float = __m256;
    using Mask = __m256;
    using Picture = __m256i;  // 8 RGBA dwords
    using Shift = __m128i;

    struct Channels {
        Int left_r, left_g, left_b, right_r, right_g, right_b, distance;
    };

    struct Tables {
        __m256i pick_r, pick_b;
        __m256i pick_rg;  // bytes R and G of each pixel as the two words of a dword
        __m256i pick_rgb;
        __m256i pick_heat;  // see heat_picture
        __m256i byte_max;   // 255 in every dword
        __m256i alpha;

        explicit Tables(const PixelPass&)
            : pick_r(lane_bytes(0)),
              pick_b(lane_bytes(2)),
              pick_rg(_mm256_broadcastsi128_si256(
                  _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1))),
              pick_rgb(_mm256_broadcastsi128_si256(
                  _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1))),
              pick_heat(_mm256_broadcastsi128_si256(
                  _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15))),
              byte_max(_mm256_set1_epi32(255)),
              alpha(_mm256_set1_epi32(static_cast<int>(0xFF000000u))) {}

        // Byte c of each of the 4 pixels of a lane, zero-extended to a dword.
        static __m256i lane_bytes(char c) {
            return _mm256_broadcastsi128_si256(_mm_setr_epi8(
                c, -1, -1, -1, static_cast<char>(c + 3), -1, -1, -1, static_cast<char>(c + 6), -1,
                -1, -1, static_cast<char>(c + 9), -1, -1, -1));
        }
    };

    // Block j reads bytes up to 24 j + 28 of each frame (load), which stay
    // within its 3 n bytes while 8 j + 10 <= n.
    static std::size_t vector_blocks(std::size_t pixels) {
        return pixels >= 2 ? (pixels - 2) / kLanes : 0;
    }

    // Bytes 0 ... 15 and 12 ... 27: 4 bytes beyond the 24 of the block.
    static Pixels load(const std::uint8_t* p) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    }

    // Bytes 12 ... 15 of each lane are not part of the lane's 4 pixels.
    static bool same(Pixels left, Pixels right) {
        constexpr std::uint32_t kPixelBytes = 0x0FFF0FFFu;
        const auto equal =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(left, right)));
        return (equal & kPixelBytes) == kPixelBytes;
    }

    // R and G also as the two words of one dword, G from there by a shift
    // (which is not a shuffle); d from word differences [dr, dg] and [db, 0]
    // per dword, squared and paired up.
    static Channels channels(const Tables& t, Pixels left, Pixels right) {
        const __m256i lrg = _mm256_shuffle_epi8(left, t.pick_rg);
        const __m256i rrg = _mm256_shuffle_epi8(right, t.pick_rg);
        Channels c;
        c.left_r = _mm256_shuffle_epi8(left, t.pick_r);
        c.left_g = _mm256_srli_epi32(lrg, 16);
        c.left_b = _mm256_shuffle_epi8(left, t.pick_b);
        c.right_r = _mm256_shuffle_epi8(right, t.pick_r);
        c.right_g = _mm256_srli_epi32(rrg, 16);
        c.right_b = _mm256_shuffle_epi8(right, t.pick_b);
        const __m256i drg = _mm256_sub_epi16(lrg, rrg);
        const __m256i db = _mm256_sub_epi16(c.left_b, c.right_b);
        c.distance = _mm256_add_epi32(_mm256_madd_epi16(drg, drg), _mm256_madd_epi16(db, db));
        return c;
    }

    static Picture left_picture(const Tables& t, Pixels left) {
        return _mm256_or_si256(_mm256_shuffle_epi8(left, t.pick_rgb), t.alpha);
    }

    // Unsigned saturation gives max(t, 0) and max(-t, 0): per 128-bit lane the
    // words R0..R3 G0..G3 and B0..B3 255 x 4, then the bytes R0..R3 G0..G3
    // B0..B3 255 x 4, which one byte shuffle puts in pixel order.
    static Picture heat_picture(const Tables& t, Int red_minus_blue, Int green) {
        const __m256i rg = _mm256_packus_epi32(red_minus_blue, green);
        const __m256i ba = _mm256_packus_epi32(
            _mm256_sub_epi32(_mm256_setzero_si256(), red_minus_blue), t.byte_max);
        return _mm256_shuffle_epi8(_mm256_packus_epi16(rg, ba), t.pick_heat);
    }

    static Picture select(Mask changed, Picture heat, Picture left) {
        return _mm256_blendv_epi8(left, heat, _mm256_castps_si256(changed));
    }
    static void store(std::uint8_t* out, Picture p) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), p);
    }
    static Picture distance_picture(const Tables&, Int distance) { return distance; }
    static Picture load_picture(const std::uint8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static Mask awaiting_colour(const Tables& t, Picture p) {
        return _mm256_castsi256_ps(
            _mm256_cmpeq_epi32(_mm256_and_si256(p, t.alpha), _mm256_setzero_si256()));
    }
    static Int picture_words(Picture p) { return p; }

    static Float set(float x) { return _mm256_set1_ps(x); }
    static Float load_floats(const float* p) { return _mm256_loadu_ps(p); }
    static void store_floats(float* p, Float x) { _mm256_storeu_ps(p, x); }
    static Float add(Float a, Float b) { return _mm256_add_ps(a, b); }
    static Float sub(Float a, Float b) { return _mm256_sub_ps(a, b); }
    static Float mul(Float a, Float b) { return _mm256_mul_ps(a, b); }
    static Float sqrt(Float a) { return _mm256_sqrt_ps(a); }
    static Float abs(Float a) {
        return _mm256_castsi256_ps(
            _mm256_and_si256(_mm256_castps_si256(a), _mm256_set1_epi32(0x7FFFFFFF)));
    }
    static Float to_float(Int a) { return _mm256_cvtepi32_ps(a); }
    static Int truncate(Float a) { return _mm256_cvttps_epi32(a); }
    static Float min_or_second(Float a, Float b) { return _mm256_min_ps(a, b); }
    static Float max_keep(Float x, Float acc) { return _mm256_max_ps(x, acc); }
    static Mask not_less(Float a, Float b) { return _mm256_cmp_ps(a, b, _CMP_NLT_UQ); }
    static bool none(Mask m) { return _mm256_movemask_ps(m) == 0; }
    static float lane_max(Float x) {
        __m128 m = _mm_max_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, 0x4E));
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, 0xB1));
        return _mm_cvtss_f32(m);
    }

    static Int set_int(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
    static Int add_int(Int a, Int b) { return _mm256_add_epi32(a, b); }
    static Int and_int(Int a, Int b) { return _mm256_and_si256(a, b); }
    static Int min_u32(Int a, Int b) { return _mm256_min_epu32(a, b); }
    static Shift shift(std::uint32_t count) { return _mm_cvtsi32_si128(static_cast<int>(count)); }
    static Int shift_right(Int a, Shift count) { return _mm256_srl_epi32(a, count); }
    static std::uint64_t zero_lanes(Int a) {
        return static_cast<std::uint64_t>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(a, _mm256_setzero_si256()))));
    }
    static std::uint64_t nonzero_lanes(Int a) { return zero_lanes(a) ^ 0xFFu; }
    static bool any_zero(Int a) { return zero_lanes(a) != 0; }
    static std::uint64_t lane_total(Int units) {
        __m128i sum =
            _mm_add_epi32(_mm256_castsi256_si128(units), _mm256_extracti128_si256(units, 1));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));
    }
};

}  // namespace

PassSums compute_diff_avx2(const PixelPass& pass) {
    return run_vector_kernel<Avx2Ops>(pass);
}

float largest_distance_avx2(const PixelPass& pass) {
    return run_largest_distance<Avx2Ops>(pass);
}

void colour_distances_avx2(const PixelPass& pass) {
    run_colour_distances<Avx2Ops>(pass);
}

}  // namespace quillet
