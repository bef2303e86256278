// The pixel pass with AVX2: 8 pixels per vector, the two running totals summed
// exactly in groups of 64 pixels (see compute_diff_simd.h).
#include <immintrin.h>

#include "compute_diff.h"
#include "compute_diff_simd.h"

namespace quillet {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kBlocksPerGroup = kGroupPixels / kLanes;

// Built inside the kernel, never at namespace scope: nothing may run with these
// instructions before the processor has been checked.
struct Constants {
    __m256i spread;  // dword gather: 12 bytes (4 pixels) into each 128-bit lane
    __m256i pick_r, pick_g, pick_b, pick_rgb;
    __m256i alpha;
    __m256 luma_r, luma_g, luma_b, step, one, zero, byte_scale, threshold, colour_scale;
    __m256 alpha_w, beta_w;
    __m256i sign_clear;

    explicit Constants(const PixelPass& pass)
        : spread(_mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0)),
          pick_r(lane_bytes(0)),
          pick_g(lane_bytes(1)),
          pick_b(lane_bytes(2)),
          pick_rgb(_mm256_broadcastsi128_si256(
              _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1))),
          alpha(_mm256_set1_epi32(static_cast<int>(0xFF000000u))),
          luma_r(_mm256_set1_ps(kLumaR)),
          luma_g(_mm256_set1_ps(kLumaG)),
          luma_b(_mm256_set1_ps(kLumaB)),
          step(_mm256_set1_ps(kSimilarityStep)),
          one(_mm256_set1_ps(1.0f)),
          zero(_mm256_setzero_ps()),
          byte_scale(_mm256_set1_ps(kByteScale)),
          threshold(_mm256_set1_ps(kChangeThreshold)),
          colour_scale(_mm256_set1_ps(pass.colour_scale)),
          alpha_w(_mm256_set1_ps(pass.alpha)),
          beta_w(_mm256_set1_ps(pass.beta)),
          sign_clear(_mm256_set1_epi32(0x7FFFFFFF)) {}

    // Byte c of each of the 4 pixels of a lane, zero-extended to a dword.
    static __m256i lane_bytes(char c) {
        return _mm256_broadcastsi128_si256(_mm_setr_epi8(
            c, -1, -1, -1, static_cast<char>(c + 3), -1, -1, -1, static_cast<char>(c + 6), -1, -1,
            -1, static_cast<char>(c + 9), -1, -1, -1));
    }
};

// 8 RGB pixels (24 bytes, nothing read beyond them), 4 pixels per 128-bit lane.
inline __m256i load_pixels(const std::uint8_t* p, const Constants& k) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
    return _mm256_permutevar8x32_epi32(_mm256_set_m128i(high, low), k.spread);
}

inline __m256 abs_ps(__m256 x, const Constants& k) {
    return _mm256_castsi256_ps(_mm256_and_si256(_mm256_castps_si256(x), k.sign_clear));
}

inline __m256 luma(__m256i r, __m256i g, __m256i b, const Constants& k) {
    const __m256 rg = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(r), k.luma_r),
                                    _mm256_mul_ps(_mm256_cvtepi32_ps(g), k.luma_g));
    return _mm256_add_ps(rg, _mm256_mul_ps(_mm256_cvtepi32_ps(b), k.luma_b));
}

// Heat colours of all lanes, packed as RGBA dwords. s = min(sqrt(k v), 1) is
// in [0, 1] (a NaN root gives 1; a root is never below -0), so q = 2s - 1 is
// in [-1, 1] and p = 255 q in [-255, 255]. Then, with t = trunc(p):
//   R = byte(255 max(q, 0)) = max(t, 0), since 255 q = p when q > 0;
//   B = byte(255 max(1 - u, 0)) = max(-t, 0), since 1 - u rounds to exactly -q
//       (rounding to nearest is symmetric) and trunc(-p) = -trunc(p);
//   G = byte(255 (1 - |q|)), whose argument lies in [0, 255].
// Within [0, 255] byte() is plain truncation.
inline __m256i heat_colours(__m256 tested, const Constants& k) {
    const __m256 s = _mm256_min_ps(_mm256_sqrt_ps(_mm256_mul_ps(k.colour_scale, tested)), k.one);
    const __m256 q = _mm256_sub_ps(_mm256_add_ps(s, s), k.one);
    const __m256i t = _mm256_cvttps_epi32(_mm256_mul_ps(k.byte_scale, q));
    const __m256i r = _mm256_max_epi32(t, _mm256_setzero_si256());
    const __m256i b = _mm256_max_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), t), _mm256_setzero_si256());
    const __m256i g =
        _mm256_cvttps_epi32(_mm256_mul_ps(k.byte_scale, _mm256_sub_ps(k.one, abs_ps(q, k))));
    const __m256i rg = _mm256_or_si256(r, _mm256_slli_epi32(g, 8));
    return _mm256_or_si256(_mm256_or_si256(rg, _mm256_slli_epi32(b, 16)), k.alpha);
}

inline std::uint8_t lane_bits(__m256i mask) {
    return static_cast<std::uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
}

struct LaneMasks {
    std::uint8_t parity;
    std::uint8_t ties;
};

// r = t/u rounded half up with ties kept at q, given q and the shifted-out
// bits moved to the top (exactly half is 0x80000000); adds r lane-wise and
// returns the parity and tie masks.
inline LaneMasks round_and_add(__m256i& units, __m256i q, __m256i rest) {
    const __m256i half = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    // rest > 0x80000000 as unsigned, by a signed compare after flipping the top bit.
    const __m256i up = _mm256_cmpgt_epi32(_mm256_xor_si256(rest, half), _mm256_setzero_si256());
    const __m256i r = _mm256_sub_epi32(q, up);  // up is -1 where set
    units = _mm256_add_epi32(units, r);
    return {lane_bits(_mm256_slli_epi32(r, 31)), lane_bits(_mm256_cmpeq_epi32(rest, half))};
}

// Similarity terms, which always lie in [0, 1] (|Yl - Yr| is at most the luma
// of white, Y being monotonic in each channel, and white against black gives
// the term 0; a term is x + 1 with x in [-1, 0], a multiple of 2^-24 or 0), in a
// binade with exponent field `exponent` >= 127 (sum >= 1): no term lies above
// it. A zero term gets shift >= 127, so both of its shifts give 0 and r = 0.
inline LaneMasks add_similarity_terms(__m256i& units, __m256 terms, __m256i exponent) {
    const __m256i bits = _mm256_castps_si256(terms);
    const __m256i m = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF)),
                                   _mm256_set1_epi32(0x800000));
    const __m256i shift = _mm256_sub_epi32(exponent, _mm256_srli_epi32(bits, 23));
    const __m256i q = _mm256_srlv_epi32(m, shift);  // counts >= 32 give 0
    const __m256i rest = _mm256_sllv_epi32(m, _mm256_sub_epi32(_mm256_set1_epi32(32), shift));
    return round_and_add(units, q, rest);
}

// Integer distances with the power-of-two ulp 2^shift (0 below 2^24).
inline LaneMasks add_integer_terms(__m256i& units, __m256i terms, __m128i shift,
                                   __m128i complement) {
    // A count of 32 (shift 0) gives rest = 0: no rounding.
    return round_and_add(units, _mm256_srl_epi32(terms, shift), _mm256_sll_epi32(terms, complement));
}

// At most 64 lanes of r <= 2^24 each: the total fits in 32 bits.
inline std::uint64_t lane_total(__m256i units) {
    __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(units), _mm256_extracti128_si256(units, 1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));
}

// The lanes hold no NaN (max_lanes never takes one), so the order is free.
inline float lane_max(__m256 x) {
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, 0x4E));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, 0xB1));
    return _mm_cvtss_f32(m);
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
    __m256 max_lanes = k.zero;

    std::size_t first = 0;
    while (first < blocks) {
        if constexpr (Mode != SmoothingPass::smoothing) {
            // A run of identical blocks: the picture is the left frame, the
            // history (priming) zeros, the distance total and the maximum stay,
            // and the similarity sum takes one 1.0 per pixel.
            std::size_t run = 0;
            while (first < blocks) {
                const std::size_t pixel = first * kLanes;
                const __m256i left_lanes = load_pixels(left_frame + 3 * pixel, k);
                const __m256i right_lanes = load_pixels(right_frame + 3 * pixel, k);
                if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(left_lanes, right_lanes)) != -1) break;
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(picture + 4 * pixel),
                                    _mm256_or_si256(_mm256_shuffle_epi8(left_lanes, k.pick_rgb), k.alpha));
                if constexpr (Mode == SmoothingPass::priming) _mm256_storeu_ps(history + pixel, k.zero);
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
        const __m256i similarity_exponent_lanes =
            _mm256_set1_epi32(static_cast<int>(similarity_exponent));
        const std::uint32_t distance_exponent = binade_exponent(distance);
        const std::uint32_t distance_shift = distance_exponent > 150 ? distance_exponent - 150 : 0;
        const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(distance_shift));
        const __m128i complement = _mm_cvtsi32_si128(static_cast<int>(32 - distance_shift));
        __m256i similarity_units = _mm256_setzero_si256();
        __m256i distance_units = _mm256_setzero_si256();
        GroupMasks masks{};
        std::uint32_t identical_blocks = 0;

        for (std::size_t b = 0; b < group_blocks; ++b) {
            const std::size_t pixel = (first + b) * kLanes;
            const __m256i left_lanes = load_pixels(left_frame + 3 * pixel, k);
            const __m256i right_lanes = load_pixels(right_frame + 3 * pixel, k);
            const __m256i left_rgba =
                _mm256_or_si256(_mm256_shuffle_epi8(left_lanes, k.pick_rgb), k.alpha);
            std::uint8_t* out = picture + 4 * pixel;

            if constexpr (Mode != SmoothingPass::smoothing) {
                // Identical pixels: d = 0 is unchanged, total + 0 = total, max
                // stays, each similarity term is exactly 1.0; nothing to store.
                if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(left_lanes, right_lanes)) == -1) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), left_rgba);
                    if constexpr (Mode == SmoothingPass::priming)
                        _mm256_storeu_ps(history + pixel, k.zero);
                    identical_blocks |= 1u << b;
                    continue;
                }
            }

            const __m256i lr = _mm256_shuffle_epi8(left_lanes, k.pick_r);
            const __m256i lg = _mm256_shuffle_epi8(left_lanes, k.pick_g);
            const __m256i lb = _mm256_shuffle_epi8(left_lanes, k.pick_b);
            const __m256i rr = _mm256_shuffle_epi8(right_lanes, k.pick_r);
            const __m256i rg = _mm256_shuffle_epi8(right_lanes, k.pick_g);
            const __m256i rb = _mm256_shuffle_epi8(right_lanes, k.pick_b);

            // d in integers (at most 195075, so its float is exact).
            const __m256i dr = _mm256_sub_epi32(lr, rr);
            const __m256i dg = _mm256_sub_epi32(lg, rg);
            const __m256i db = _mm256_sub_epi32(lb, rb);
            const __m256i d = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(dr, dr), _mm256_mullo_epi32(dg, dg)),
                _mm256_mullo_epi32(db, db));
            const __m256 distance_f = _mm256_cvtepi32_ps(d);

            __m256 tested = distance_f;
            if constexpr (Mode == SmoothingPass::priming) {
                _mm256_storeu_ps(history + pixel, distance_f);
            } else if constexpr (Mode == SmoothingPass::smoothing) {
                const __m256 old = _mm256_loadu_ps(history + pixel);
                tested = _mm256_add_ps(_mm256_mul_ps(k.beta_w, old),
                                       _mm256_mul_ps(k.alpha_w, distance_f));
                _mm256_storeu_ps(history + pixel, tested);
            }

            // Changed unless tested < threshold (NaN counts as changed).
            const __m256 changed = _mm256_cmp_ps(tested, k.threshold, _CMP_NLT_UQ);
            if (_mm256_movemask_ps(changed) == 0) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), left_rgba);
            } else {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                                    _mm256_blendv_epi8(left_rgba, heat_colours(tested, k),
                                                       _mm256_castps_si256(changed)));
            }
            max_lanes = _mm256_max_ps(tested, max_lanes);  // a NaN tested keeps max_lanes

            const __m256 difference = _mm256_sub_ps(luma(lr, lg, lb, k), luma(rr, rg, rb, k));
            const __m256 term = _mm256_add_ps(_mm256_mul_ps(abs_ps(difference, k), k.step), k.one);
            const LaneMasks s = add_similarity_terms(similarity_units, term, similarity_exponent_lanes);
            const LaneMasks t = add_integer_terms(distance_units, d, shift, complement);
            masks.similarity_parity[b] = s.parity;
            masks.similarity_ties[b] = s.ties;
            masks.distance_parity[b] = t.parity;
            masks.distance_ties[b] = t.ties;
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

PassSums compute_diff_avx2(const PixelPass& pass) {
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
