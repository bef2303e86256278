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

inline __m512 luma(__m512i r, __m512i g, __m512i b, const Constants& k) {
    const __m512 rg = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(r), k.luma_r),
                                    _mm512_mul_ps(_mm512_cvtepi32_ps(g), k.luma_g));
    return _mm512_add_ps(rg, _mm512_mul_ps(_mm512_cvtepi32_ps(b), k.luma_b));
}

// Heat colours of all lanes, packed as RGBA dwords. s = min(sqrt(k v), 1) is
// in [0, 1] (a NaN root gives 1; a root is never below -0), so q = 2s - 1 is
// in [-1, 1] and p = 255 q in [-255, 255]. Then, with t = trunc(p):
//   R = byte(255 max(q, 0)) = max(t, 0), since 255 q = p when q > 0;
//   B = byte(255 max(1 - u, 0)) = max(-t, 0), since 1 - u rounds to exactly -q
//       (rounding to nearest is symmetric) and trunc(-p) = -trunc(p);
//   G = byte(255 (1 - |q|)), whose argument lies in [0, 255].
// Within [0, 255] byte() is plain truncation.
inline __m512i heat_colours(__m512 tested, const Constants& k) {
    const __m512 s = _mm512_min_ps(_mm512_sqrt_ps(_mm512_mul_ps(k.colour_scale, tested)), k.one);
    const __m512 q = _mm512_sub_ps(_mm512_add_ps(s, s), k.one);
    const __m512i t = _mm512_cvttps_epi32(_mm512_mul_ps(k.byte_scale, q));
    const __m512i r = _mm512_max_epi32(t, _mm512_setzero_si512());
    const __m512i b = _mm512_max_epi32(_mm512_sub_epi32(_mm512_setzero_si512(), t), _mm512_setzero_si512());
    const __m512i g =
        _mm512_cvttps_epi32(_mm512_mul_ps(k.byte_scale, _mm512_sub_ps(k.one, abs_ps(q, k))));
    const __m512i rg = _mm512_or_si512(r, _mm512_slli_epi32(g, 8));
    return _mm512_or_si512(_mm512_or_si512(rg, _mm512_slli_epi32(b, 16)), k.alpha);
}

// r = t/u rounded half up with ties kept at q, given q and the shifted-out
// bits moved to the top (exactly half is 0x80000000); adds r lane-wise and
// returns the parity and tie masks.
struct LaneMasks {
    __mmask16 parity;
    __mmask16 ties;
};

inline LaneMasks round_and_add(__m512i& units, __m512i q, __m512i rest) {
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i half = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    const __mmask16 up = _mm512_cmpgt_epu32_mask(rest, half);
    const __m512i r = _mm512_mask_add_epi32(q, up, q, one);
    units = _mm512_add_epi32(units, r);
    return {_mm512_test_epi32_mask(r, one), _mm512_cmpeq_epi32_mask(rest, half)};
}

// Similarity terms, which always lie in [0, 1] (|Yl - Yr| is at most the luma
// of white, Y being monotonic in each channel, and white against black gives
// the term 0; a term is x + 1 with x in [-1, 0], a multiple of 2^-24 or 0), in a
// binade with exponent field `exponent` >= 127 (sum >= 1): no term lies above
// it. A zero term gets shift >= 127, so both of its shifts give 0 and r = 0.
inline LaneMasks add_similarity_terms(__m512i& units, __m512 terms, __m512i exponent) {
    const __m512i bits = _mm512_castps_si512(terms);
    const __m512i m = _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x7FFFFF)),
                                   _mm512_set1_epi32(0x800000));
    const __m512i shift = _mm512_sub_epi32(exponent, _mm512_srli_epi32(bits, 23));
    const __m512i q = _mm512_srlv_epi32(m, shift);  // counts >= 32 give 0
    const __m512i rest = _mm512_sllv_epi32(m, _mm512_sub_epi32(_mm512_set1_epi32(32), shift));
    return round_and_add(units, q, rest);
}

// Integer distances with the power-of-two ulp 2^shift (0 below 2^24).
inline LaneMasks add_integer_terms(__m512i& units, __m512i terms, __m128i shift,
                                   __m128i complement) {
    // A count of 32 (shift 0) gives rest = 0: no rounding.
    return round_and_add(units, _mm512_srl_epi32(terms, shift), _mm512_sll_epi32(terms, complement));
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
    // Local copies: stores through the byte pointers could otherwise alias `pass`.
    const std::uint8_t* const left_frame = pass.left;
    const std::uint8_t* const right_frame = pass.right;
    std::uint8_t* const picture = pass.rgba;
    float* const history = pass.ema;
    const Constants k(pass);
    const std::size_t blocks = pass.pixel_count / kLanes;
    float similarity = 0.0f;
    float distance = 0.0f;
    __m512 max_lanes = k.zero;

    std::size_t first = 0;
    while (first < blocks) {
        if constexpr (Mode != SmoothingPass::smoothing) {
            // A run of identical blocks: the picture is the left frame, the
            // history (priming) zeros, the distance total and the maximum stay,
            // and the similarity sum takes one 1.0 per pixel.
            std::size_t run = 0;
            while (first < blocks) {
                const std::size_t pixel = first * kLanes;
                const __m512i left = _mm512_maskz_loadu_epi8(kPixelBytes, left_frame + 3 * pixel);
                const __m512i right = _mm512_maskz_loadu_epi8(kPixelBytes, right_frame + 3 * pixel);
                if (_mm512_cmpneq_epi8_mask(left, right) != 0) break;
                const __m512i left_lanes = _mm512_permutexvar_epi32(k.spread, left);
                _mm512_storeu_si512(picture + 4 * pixel,
                                    _mm512_or_si512(_mm512_shuffle_epi8(left_lanes, k.pick_rgb), k.alpha));
                if constexpr (Mode == SmoothingPass::priming) _mm512_storeu_ps(history + pixel, k.zero);
                ++first;
                ++run;
            }
            if (run != 0) similarity = add_ones(similarity, run * kLanes);
            if (first == blocks) break;
        }
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
        __m512i similarity_units = _mm512_setzero_si512();
        __m512i distance_units = _mm512_setzero_si512();
        GroupMasks masks{};
        std::uint32_t identical_blocks = 0;

        for (std::size_t b = 0; b < group_blocks; ++b) {
            const std::size_t pixel = (first + b) * kLanes;
            const __m512i left = _mm512_maskz_loadu_epi8(kPixelBytes, left_frame + 3 * pixel);
            const __m512i right = _mm512_maskz_loadu_epi8(kPixelBytes, right_frame + 3 * pixel);
            const __m512i left_lanes = _mm512_permutexvar_epi32(k.spread, left);
            const __m512i left_rgba =
                _mm512_or_si512(_mm512_shuffle_epi8(left_lanes, k.pick_rgb), k.alpha);
            std::uint8_t* out = picture + 4 * pixel;

            if constexpr (Mode != SmoothingPass::smoothing) {
                // Identical pixels: d = 0 is unchanged, total + 0 = total, max
                // stays, each similarity term is exactly 1.0; nothing to store.
                if (_mm512_cmpneq_epi8_mask(left, right) == 0) {
                    _mm512_storeu_si512(out, left_rgba);
                    if constexpr (Mode == SmoothingPass::priming)
                        _mm512_storeu_ps(history + pixel, k.zero);
                    identical_blocks |= 1u << b;
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
                _mm512_storeu_ps(history + pixel, distance_f);
            } else if constexpr (Mode == SmoothingPass::smoothing) {
                const __m512 old = _mm512_loadu_ps(history + pixel);
                tested = _mm512_add_ps(_mm512_mul_ps(k.beta_w, old),
                                       _mm512_mul_ps(k.alpha_w, distance_f));
                _mm512_storeu_ps(history + pixel, tested);
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
            const LaneMasks s = add_similarity_terms(similarity_units, term, similarity_exponent_lanes);
            const LaneMasks t = add_integer_terms(distance_units, d, shift, complement);
            std::memcpy(masks.similarity_parity + 2 * b, &s.parity, 2);
            std::memcpy(masks.similarity_ties + 2 * b, &s.ties, 2);
            std::memcpy(masks.distance_parity + 2 * b, &t.parity, 2);
            std::memcpy(masks.distance_ties + 2 * b, &t.ties, 2);
        }

        commit_group(pass,
                     Group{first * kLanes, group_blocks * kLanes, kLanes, identical_blocks,
                           similarity_exponent, distance_shift, masks,
                           [&] { return lane_total(similarity_units); },
                           [&] { return lane_total(distance_units); }},
                     similarity, distance);
        first += group_blocks;
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
