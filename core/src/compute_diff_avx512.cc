// The pixel pass with AVX-512 F and BW: 16 pixels per vector, the two running
// totals summed exactly in groups of 64 pixels (see compute_diff_simd.h).
// GCC 12's AVX-512 headers build their "undefined" vectors as `__m512 __Y = __Y;`,
// which -Wuninitialized reports at every inlined use (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "compute_diff.h"
#include "compute_diff_simd.h"

namespace quillet {

namespace {

constexpr std::size_t kLanes = 16;
constexpr std::size_t kBlocksPerGroup = kGroupPixels / kLanes;
constexpr __mmask64 kPixelBytes = 0x0000FFFFFFFFFFFFull;  // 48 bytes = 16 RGB pixels

// Constants built inside the kernel (never at namespace scope, so nothing runs
// with these instructions before the processor has been checked).
struct Constants {
    __m512i spread;     // dword gather: 12 bytes (4 pixels) into each 128-bit lane
    __m512i pick_r, pick_g, pick_b, pick_rgb;
    __m512i alpha;
    __m512 luma_r, luma_g, luma_b, step, one, zero, byte_scale, threshold, colour_scale;
    __m512 alpha_w, beta_w;
    __m512i sign_clear;

    explicit Constants(const PixelPass& pass)
        : spread(_mm512_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0)),
          pick_r(lane_bytes(0)),
          pick_g(lane_bytes(1)),
          pick_b(lane_bytes(2)),
          pick_rgb(_mm512_broadcast_i32x4(
              _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1))),
          alpha(_mm512_set1_epi32(static_cast<int>(0xFF000000u))),
          luma_r(_mm512_set1_ps(kLumaR)),
          luma_g(_mm512_set1_ps(kLumaG)),
          luma_b(_mm512_set1_ps(kLumaB)),
          step(_mm512_set1_ps(kSimilarityStep)),
          one(_mm512_set1_ps(1.0f)),
          zero(_mm512_setzero_ps()),
          byte_scale(_mm512_set1_ps(kByteScale)),
          threshold(_mm512_set1_ps(kChangeThreshold)),
          colour_scale(_mm512_set1_ps(pass.colour_scale)),
          alpha_w(_mm512_set1_ps(pass.alpha)),
          beta_w(_mm512_set1_ps(pass.beta)),
          sign_clear(_mm512_set1_epi32(0x7FFFFFFF)) {}

    // Byte c of each of the 4 pixels of a lane, zero-extended to a dword.
    static __m512i lane_bytes(char c) {
        return _mm512_broadcast_i32x4(_mm_setr_epi8(c, -1, -1, -1, static_cast<char>(c + 3), -1,
                                                    -1, -1, static_cast<char>(c + 6), -1, -1, -1,
                                                    static_cast<char>(c + 9), -1, -1, -1));
    }
};

inline __m512 abs_ps(__m512 x, const Constants& k) {
    return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(x), k.sign_clear));
}

// byte(x): NaN and negatives to 0, then at most 255, truncated. max/min return
// their second operand when the first is NaN.
inline __m512i to_byte(__m512 x, const Constants& k) {
    return _mm512_cvttps_epi32(_mm512_min_ps(_mm512_max_ps(x, k.zero), k.byte_scale));
}

inline __m512 luma(__m512i r, __m512i g, __m512i b, const Constants& k) {
    const __m512 rg = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(r), k.luma_r),
                                    _mm512_mul_ps(_mm512_cvtepi32_ps(g), k.luma_g));
    return _mm512_add_ps(rg, _mm512_mul_ps(_mm512_cvtepi32_ps(b), k.luma_b));
}

// Heat colours of all lanes, packed as RGBA dwords.
inline __m512i heat_colours(__m512 tested, const Constants& k) {
    const __m512 s = _mm512_min_ps(_mm512_sqrt_ps(_mm512_mul_ps(k.colour_scale, tested)), k.one);
    const __m512 u = _mm512_add_ps(s, s);
    const __m512 q = _mm512_sub_ps(u, k.one);
    const __m512i r = to_byte(_mm512_mul_ps(k.byte_scale, _mm512_max_ps(q, k.zero)), k);
    const __m512i g = to_byte(_mm512_mul_ps(k.byte_scale, _mm512_sub_ps(k.one, abs_ps(q, k))), k);
    const __m512i b =
        to_byte(_mm512_mul_ps(k.byte_scale, _mm512_max_ps(_mm512_sub_ps(k.one, u), k.zero)), k);
    const __m512i rg = _mm512_or_si512(r, _mm512_slli_epi32(g, 8));
    return _mm512_or_si512(_mm512_or_si512(rg, _mm512_slli_epi32(b, 16)), k.alpha);
}

// One running total's lanes within a group: the sum of r, and the parity and
// tie masks (bit = pixel index within the group).
struct ChainGroup {
    __m512i units;
    std::uint64_t parity;
    std::uint64_t ties;
    std::uint32_t out_of_binade;
};

// Splits t/u into r (rounded half up, ties kept at q) for float terms, u being
// the ulp of the binade with exponent field `exponent` (a vector of it).
inline void add_float_terms(ChainGroup& chain, __m512 terms, __m512i exponent, unsigned offset) {
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i half = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    const __m512i bits = _mm512_castps_si512(terms);
    const __m512i e = _mm512_srli_epi32(bits, 23);  // sign included: negative terms are >= 256
    const __mmask16 normal = _mm512_test_epi32_mask(e, e);
    __m512i m = _mm512_and_si512(bits, _mm512_set1_epi32(0x7FFFFF));
    m = _mm512_mask_or_epi32(m, normal, m, _mm512_set1_epi32(0x800000));
    const __m512i e_eff = _mm512_max_epu32(e, one);  // subnormals share exponent 1
    chain.out_of_binade |= _mm512_cmpgt_epu32_mask(e_eff, exponent);
    const __m512i shift = _mm512_sub_epi32(exponent, e_eff);
    const __m512i q = _mm512_srlv_epi32(m, shift);  // counts >= 32 give 0
    // The shifted-out bits, moved to the top: exactly half is 0x80000000.
    const __m512i rest = _mm512_sllv_epi32(m, _mm512_sub_epi32(_mm512_set1_epi32(32), shift));
    const __mmask16 up = _mm512_cmpgt_epu32_mask(rest, half);
    const __mmask16 tie = _mm512_cmpeq_epi32_mask(rest, half);
    const __m512i r = _mm512_mask_add_epi32(q, up, q, one);
    chain.units = _mm512_add_epi32(chain.units, r);
    chain.parity |= static_cast<std::uint64_t>(_mm512_test_epi32_mask(r, one)) << offset;
    chain.ties |= static_cast<std::uint64_t>(tie) << offset;
}

// The same for integer distances and a power-of-two ulp 2^shift (0 below 2^24).
inline void add_integer_terms(ChainGroup& chain, __m512i terms, __m128i shift,
                              __m128i complement, unsigned offset) {
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i half = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    const __m512i q = _mm512_srl_epi32(terms, shift);
    const __m512i rest = _mm512_sll_epi32(terms, complement);  // a count of 32 gives 0
    const __mmask16 up = _mm512_cmpgt_epu32_mask(rest, half);
    const __mmask16 tie = _mm512_cmpeq_epi32_mask(rest, half);
    const __m512i r = _mm512_mask_add_epi32(q, up, q, one);
    chain.units = _mm512_add_epi32(chain.units, r);
    chain.parity |= static_cast<std::uint64_t>(_mm512_test_epi32_mask(r, one)) << offset;
    chain.ties |= static_cast<std::uint64_t>(tie) << offset;
}

// Horizontal reductions by whole-register shuffles (the library's reduce
// helpers trip a false uninitialised-value warning in GCC 12).
inline std::uint64_t lane_total(__m512i units) {
    const __m512i high = _mm512_shuffle_i64x2(units, units, 0xEE);
    __m512i sum = _mm512_add_epi64(_mm512_cvtepu32_epi64(_mm512_castsi512_si256(units)),
                                   _mm512_cvtepu32_epi64(_mm512_castsi512_si256(high)));
    sum = _mm512_add_epi64(sum, _mm512_shuffle_i64x2(sum, sum, 0x4E));
    sum = _mm512_add_epi64(sum, _mm512_shuffle_i64x2(sum, sum, 0xB1));
    sum = _mm512_add_epi64(sum, _mm512_shuffle_epi32(sum, _MM_PERM_BADC));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(sum)));
}

// The lanes hold no NaN (max_lanes never takes one), so the order is free.
inline float lane_max(__m512 x) {
    x = _mm512_max_ps(x, _mm512_shuffle_f32x4(x, x, 0x4E));
    x = _mm512_max_ps(x, _mm512_shuffle_f32x4(x, x, 0xB1));
    x = _mm512_max_ps(x, _mm512_permute_ps(x, 0x4E));
    x = _mm512_max_ps(x, _mm512_permute_ps(x, 0xB1));
    return _mm512_cvtss_f32(x);
}

template <SmoothingPass Mode>
PassSums run(const PixelPass& pass) {
    const Constants k(pass);
    const std::size_t blocks = pass.pixel_count / kLanes;
    float similarity = 0.0f;
    float distance = 0.0f;
    __m512 max_lanes = k.zero;
    alignas(64) float similarity_terms[kGroupPixels];
    alignas(64) float distance_terms[kGroupPixels];

    for (std::size_t first = 0; first < blocks; first += kBlocksPerGroup) {
        const std::size_t group_blocks =
            blocks - first < kBlocksPerGroup ? blocks - first : kBlocksPerGroup;

        // Fixed for the group: the binades of both running totals at its start.
        const std::uint32_t similarity_exponent = binade_exponent(similarity);
        const __m512i similarity_exponent_lanes =
            _mm512_set1_epi32(static_cast<int>(similarity_exponent));
        const std::uint32_t distance_exponent = binade_exponent(distance);
        const std::uint32_t distance_shift = distance_exponent > 150 ? distance_exponent - 150 : 0;
        const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(distance_shift));
        const __m128i complement = _mm_cvtsi32_si128(static_cast<int>(32 - distance_shift));
        ChainGroup similarity_group{_mm512_setzero_si512(), 0, 0, 0};
        ChainGroup distance_group{_mm512_setzero_si512(), 0, 0, 0};
        // r for an identical block (16 terms of 1.0), computed once per group.
        ChainGroup ones{_mm512_setzero_si512(), 0, 0, 0};
        add_float_terms(ones, k.one, similarity_exponent_lanes, 0);

        for (std::size_t b = 0; b < group_blocks; ++b) {
            const std::size_t pixel = (first + b) * kLanes;
            const unsigned offset = static_cast<unsigned>(b * kLanes);
            const __m512i left = _mm512_maskz_loadu_epi8(kPixelBytes, pass.left + 3 * pixel);
            const __m512i right = _mm512_maskz_loadu_epi8(kPixelBytes, pass.right + 3 * pixel);
            const __m512i left_lanes = _mm512_permutexvar_epi32(k.spread, left);
            const __m512i left_rgba =
                _mm512_or_si512(_mm512_shuffle_epi8(left_lanes, k.pick_rgb), k.alpha);
            std::uint8_t* out = pass.rgba + 4 * pixel;

            if constexpr (Mode != SmoothingPass::smoothing) {
                // Identical pixels: d = 0 is unchanged, total + 0 = total, max
                // stays, each similarity term is exactly 1.0.
                if (_mm512_cmpneq_epi8_mask(left, right) == 0) {
                    _mm512_storeu_si512(out, left_rgba);
                    if constexpr (Mode == SmoothingPass::priming)
                        _mm512_storeu_ps(pass.ema + pixel, k.zero);
                    _mm512_store_ps(similarity_terms + offset, k.one);
                    _mm512_store_ps(distance_terms + offset, k.zero);
                    similarity_group.units = _mm512_add_epi32(similarity_group.units, ones.units);
                    similarity_group.parity |= ones.parity << offset;
                    similarity_group.ties |= ones.ties << offset;
                    similarity_group.out_of_binade |= ones.out_of_binade;
                    continue;
                }
            }

            const __m512i right_lanes = _mm512_permutexvar_epi32(k.spread, right);
            const __m512i lr = _mm512_shuffle_epi8(left_lanes, k.pick_r);
            const __m512i lg = _mm512_shuffle_epi8(left_lanes, k.pick_g);
            const __m512i lb = _mm512_shuffle_epi8(left_lanes, k.pick_b);
            const __m512i rr = _mm512_shuffle_epi8(right_lanes, k.pick_r);
            const __m512i rg = _mm512_shuffle_epi8(right_lanes, k.pick_g);
            const __m512i rb = _mm512_shuffle_epi8(right_lanes, k.pick_b);

            // d in integers (at most 195075, so its float is exact).
            const __m512i dr = _mm512_sub_epi32(lr, rr);
            const __m512i dg = _mm512_sub_epi32(lg, rg);
            const __m512i db = _mm512_sub_epi32(lb, rb);
            const __m512i d = _mm512_add_epi32(
                _mm512_add_epi32(_mm512_mullo_epi32(dr, dr), _mm512_mullo_epi32(dg, dg)),
                _mm512_mullo_epi32(db, db));
            const __m512 distance_f = _mm512_cvtepi32_ps(d);

            __m512 tested = distance_f;
            if constexpr (Mode == SmoothingPass::priming) {
                _mm512_storeu_ps(pass.ema + pixel, distance_f);
            } else if constexpr (Mode == SmoothingPass::smoothing) {
                const __m512 old = _mm512_loadu_ps(pass.ema + pixel);
                tested = _mm512_add_ps(_mm512_mul_ps(k.beta_w, old),
                                       _mm512_mul_ps(k.alpha_w, distance_f));
                _mm512_storeu_ps(pass.ema + pixel, tested);
            }

            // Changed unless tested < threshold (NaN counts as changed).
            const __mmask16 changed = _mm512_cmp_ps_mask(tested, k.threshold, _CMP_NLT_UQ);
            if (changed == 0) {
                _mm512_storeu_si512(out, left_rgba);
            } else {
                _mm512_storeu_si512(
                    out, _mm512_mask_mov_epi32(left_rgba, changed, heat_colours(tested, k)));
            }
            max_lanes = _mm512_max_ps(tested, max_lanes);  // a NaN tested keeps max_lanes

            const __m512 difference = _mm512_sub_ps(luma(lr, lg, lb, k), luma(rr, rg, rb, k));
            const __m512 term = _mm512_add_ps(_mm512_mul_ps(abs_ps(difference, k), k.step), k.one);
            _mm512_store_ps(similarity_terms + offset, term);
            _mm512_store_ps(distance_terms + offset, distance_f);
            add_float_terms(similarity_group, term, similarity_exponent_lanes, offset);
            add_integer_terms(distance_group, d, shift, complement, offset);
        }

        const std::size_t group_pixels = group_blocks * kLanes;
        if (similarity_exponent == 0 || similarity_group.out_of_binade != 0 ||
            !commit_binade(similarity, lane_total(similarity_group.units),
                           similarity_group.parity, similarity_group.ties))
            similarity = add_in_order(similarity, similarity_terms, group_pixels);
        const bool distance_done =
            distance_shift == 0
                ? commit_integer(distance, lane_total(distance_group.units))
                : commit_binade(distance, lane_total(distance_group.units),
                                distance_group.parity, distance_group.ties);
        if (!distance_done) distance = add_in_order(distance, distance_terms, group_pixels);
    }

    PassSums sums{similarity, distance, lane_max(max_lanes)};
    compute_diff_scalar_range(pass, blocks * kLanes, pass.pixel_count, sums);
    return sums;
}

}  // namespace

PassSums compute_diff_avx512(const PixelPass& pass) {
    switch (pass.mode) {
        case SmoothingPass::plain:
            return run<SmoothingPass::plain>(pass);
        case SmoothingPass::priming:
            return run<SmoothingPass::priming>(pass);
        case SmoothingPass::smoothing:
            break;
    }
    return run<SmoothingPass::smoothing>(pass);
}

}  // namespace quillet
