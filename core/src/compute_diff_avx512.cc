// The pixel pass with AVX-512 F, BW and VBMI: 16 pixels per vector, the two running
// totals summed exactly in groups of 64 pixels (see compute_diff_simd.h).
// GCC 12's AVX-512 headers build their "undefined" vectors as `__m512 __Y = __Y;`,
// which -Wuninitialized reports at every inlined use (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <algorithm>

#include "compute_diff.h"
#include "compute_diff_simd.h"

namespace quillet {

namespace {

constexpr std::size_t kLanes = 16;
constexpr std::size_t kBlocksPerGroup = kGroupPixels / kLanes;
constexpr __mmask64 kPixelBytes = 0x0000FFFFFFFFFFFFull;  // 48 bytes = 16 RGB pixels
constexpr __mmask64 kColourBytes = 0x7777777777777777ull;  // bytes R, G, B of each RGBA dword

// Constants built inside the kernel (never at namespace scope, so nothing runs
// with these instructions before the processor has been checked).
struct Constants {
    // Byte indexes into 16 RGB pixels loaded as 48 bytes with 16 zero bytes
    // after them (index 63 reads a zero).
    __m512i pick_r, pick_g, pick_b;  // channel c of pixel p to byte 4p, zero-extended
    __m512i pick_rg;                 // bytes R and G of pixel p to bytes 4p and 4p + 2
    __m512i pick_rgb;                // the 3 bytes of pixel p to bytes 4p ... 4p + 2
    __m512i heat_index;              // see heat_colours
    __m512i alpha;
    __m512 luma_r, luma_g, luma_b, scaled_step, scaled_one;  // scaled: times 2^24
    __m512 one, zero, byte_scale, threshold, colour_scale;
    __m512 alpha_w, beta_w;
    __m512i sign_clear;

    explicit Constants(const PixelPass& pass)
        : pick_r(byte_index([](unsigned p, unsigned b) { return b == 0 ? 3 * p : 63; })),
          pick_g(byte_index([](unsigned p, unsigned b) { return b == 0 ? 3 * p + 1 : 63; })),
          pick_b(byte_index([](unsigned p, unsigned b) { return b == 0 ? 3 * p + 2 : 63; })),
          pick_rg(byte_index(
              [](unsigned p, unsigned b) { return b == 0 || b == 2 ? 3 * p + b / 2 : 63; })),
          pick_rgb(byte_index([](unsigned p, unsigned b) { return b < 3 ? 3 * p + b : 63; })),
          heat_index(byte_index([](unsigned p, unsigned b) -> unsigned {
              const unsigned word = 16 * (p / 4) + 2 * (p % 4);  // pixel p's R word in rb
              return b == 0 ? word : b == 1 ? 64 + 4 * p : b == 2 ? word + 8 : 0xFF;
          })),
          alpha(_mm512_set1_epi32(static_cast<int>(0xFF000000u))),
          luma_r(_mm512_set1_ps(kLumaR)),
          luma_g(_mm512_set1_ps(kLumaG)),
          luma_b(_mm512_set1_ps(kLumaB)),
          scaled_step(_mm512_set1_ps(kSimilarityStep * 16777216.0f)),
          scaled_one(_mm512_set1_ps(16777216.0f)),
          one(_mm512_set1_ps(1.0f)),
          zero(_mm512_setzero_ps()),
          byte_scale(_mm512_set1_ps(kByteScale)),
          threshold(_mm512_set1_ps(kChangeThreshold)),
          colour_scale(_mm512_set1_ps(pass.colour_scale)),
          alpha_w(_mm512_set1_ps(pass.alpha)),
          beta_w(_mm512_set1_ps(pass.beta)),
          sign_clear(_mm512_set1_epi32(0x7FFFFFFF)) {}

    // Byte b of pixel p's dword is `index(p, b)`.
    template <typename Index>
    static __m512i byte_index(Index index) {
        alignas(64) std::uint8_t bytes[64];
        for (unsigned p = 0; p < 16; ++p)
            for (unsigned b = 0; b < 4; ++b) bytes[4 * p + b] = static_cast<std::uint8_t>(index(p, b));
        return _mm512_load_si512(bytes);
    }
};

// The picture of unchanged pixels: the left frame's bytes with alpha 255.
inline __m512i left_rgba(__m512i left, const Constants& k) {
    return _mm512_mask_permutexvar_epi8(k.alpha, kColourBytes, k.pick_rgb, left);
}

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
    // Unsigned saturation gives max(t, 0) and max(-t, 0) as words: per 128-bit
    // lane the 4 R words, then the 4 B words.
    const __m512i rb = _mm512_packus_epi32(t, _mm512_sub_epi32(_mm512_setzero_si512(), t));
    const __m512i g =
        _mm512_cvttps_epi32(_mm512_mul_ps(k.byte_scale, _mm512_sub_ps(k.one, abs_ps(q, k))));
    // Bytes R, G, B of each pixel from rb and g; the alpha bytes (mask bit 0)
    // keep the index byte 0xFF.
    return _mm512_mask2_permutex2var_epi8(rb, k.heat_index, kColourBytes, g);
}

// A group's terms in units of the ulp u = 2^shift of its running total, from
// integers n (the term is n ulps of 2^-24 for the similarity, n itself for the
// distance): with a = n + 2^(shift-1), r' = a >> shift is n / 2^shift rounded to
// nearest with ties rounded up, a tie is exactly (a & (2^shift - 1)) == 0, and
// bit `shift` of a is the parity of r'. A block adds its r' to the lane totals,
// keeps its a and marks its tie lanes (block_ties); only a group with ties
// gets parity masks (store_masks), which also turn the ties back to q (one
// unit less each, parity flipped) as commit_group expects. In the integer
// regime (shift 0) a = n, r' = n, and the masks are not used.
struct UnitShift {
    __m128i count;   // shift
    __m512i half;    // 2^(shift-1), 0 for shift 0
    __m512i low;     // 2^shift - 1
    __m512i parity;  // 2^shift

    explicit UnitShift(std::uint32_t shift)
        : count(_mm_cvtsi32_si128(static_cast<int>(shift))),
          half(_mm512_set1_epi32(shift == 0 ? 0 : static_cast<int>(1u << (shift - 1)))),
          low(_mm512_set1_epi32(static_cast<int>((1u << shift) - 1))),
          parity(_mm512_set1_epi32(static_cast<int>(1u << shift))) {}
};

inline __m512i add_units(__m512i& units, __m512i n, const UnitShift& shift) {
    const __m512i a = _mm512_add_epi32(n, shift.half);
    units = _mm512_add_epi32(units, _mm512_srl_epi32(a, shift.count));
    return a;
}

inline std::uint64_t popcount(std::uint64_t x) {
    return static_cast<std::uint64_t>(__builtin_popcountll(x));
}

// The tie lanes of a block, placed at the block's bits of the group masks.
inline std::uint64_t block_ties(__m512i a, const UnitShift& shift, std::size_t block) {
    return std::uint64_t{_mm512_testn_epi32_mask(a, shift.low)} << (kLanes * block);
}

// Completes a group's masks for commit_group once its ties are known: the
// ties, and the parity bits (of r', flipped at the ties, which turns them back
// to q) of the blocks not skipped as identical, zero for those (an identical
// block adds 1.0, an even number of units, and keeps no a). Returns the number
// of ties, which the lane totals counted one unit high.
inline std::uint64_t store_masks(const __m512i* kept, std::size_t blocks,
                                 std::uint32_t identical_blocks, std::uint64_t tie_mask,
                                 const UnitShift& shift, std::uint8_t (&parity)[8],
                                 std::uint8_t (&ties)[8]) {
    std::memcpy(ties, &tie_mask, sizeof tie_mask);
    if (tie_mask == 0) return 0;
    std::uint64_t parity_mask = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        if ((identical_blocks >> b) & 1u) continue;
        parity_mask |= std::uint64_t{_mm512_test_epi32_mask(kept[b], shift.parity)} << (kLanes * b);
    }
    parity_mask ^= tie_mask;
    std::memcpy(parity, &parity_mask, sizeof parity_mask);
    return popcount(tie_mask);
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
                _mm512_storeu_si512(picture + 4 * pixel, left_rgba(left, k));
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
        // A similarity term is n ulps of 2^-24 with n <= 2^24 (see below), and
        // the ulp of a total with exponent field e >= 127 is 2^(e-150), so its
        // shift is e - 126; clamped to [1, 26], which changes nothing: from 26
        // on every n rounds to 0 without a tie (commit_group ignores e < 127).
        const std::uint32_t similarity_exponent = binade_exponent(similarity);
        const UnitShift similarity_shift(
            similarity_exponent < 127 ? 1 : std::min<std::uint32_t>(similarity_exponent - 126, 26));
        // Distances are at most 195075 < 2^23: a shift clamped at 24 gives the
        // same units (all 0, no tie) as any larger one.
        const std::uint32_t distance_exponent = binade_exponent(distance);
        const std::uint32_t distance_shift = distance_exponent > 150 ? distance_exponent - 150 : 0;
        const UnitShift distance_units_shift(std::min<std::uint32_t>(distance_shift, 24));
        __m512i similarity_units = _mm512_setzero_si512();
        __m512i distance_units = _mm512_setzero_si512();
        GroupMasks masks{};
        __m512i kept_similarity[kBlocksPerGroup];  // each block's a (see add_units)
        __m512i kept_distance[kBlocksPerGroup];
        std::uint64_t similarity_tie_mask = 0;  // one bit per pixel of the group
        std::uint64_t distance_tie_mask = 0;
        std::uint32_t identical_blocks = 0;

        for (std::size_t b = 0; b < group_blocks; ++b) {
            const std::size_t pixel = (first + b) * kLanes;
            const __m512i left = _mm512_maskz_loadu_epi8(kPixelBytes, left_frame + 3 * pixel);
            const __m512i right = _mm512_maskz_loadu_epi8(kPixelBytes, right_frame + 3 * pixel);
            const __m512i left_picture = left_rgba(left, k);
            std::uint8_t* out = picture + 4 * pixel;

            if constexpr (Mode != SmoothingPass::smoothing) {
                // Identical pixels: d = 0 is unchanged, total + 0 = total, max
                // stays, each similarity term is exactly 1.0; nothing to store.
                if (_mm512_cmpneq_epi8_mask(left, right) == 0) {
                    _mm512_storeu_si512(out, left_picture);
                    if constexpr (Mode == SmoothingPass::priming)
                        _mm512_storeu_ps(history + pixel, k.zero);
                    identical_blocks |= 1u << b;
                    continue;
                }
            }

            const __m512i lr = _mm512_permutexvar_epi8(k.pick_r, left);
            const __m512i lg = _mm512_permutexvar_epi8(k.pick_g, left);
            const __m512i lb = _mm512_permutexvar_epi8(k.pick_b, left);
            const __m512i rr = _mm512_permutexvar_epi8(k.pick_r, right);
            const __m512i rg = _mm512_permutexvar_epi8(k.pick_g, right);
            const __m512i rb = _mm512_permutexvar_epi8(k.pick_b, right);

            // d in integers (at most 195075, so its float is exact): word
            // differences [dr, dg] and [db, 0] per dword, squared and paired up.
            const __m512i drg = _mm512_sub_epi16(_mm512_permutexvar_epi8(k.pick_rg, left),
                                                 _mm512_permutexvar_epi8(k.pick_rg, right));
            const __m512i db = _mm512_sub_epi16(lb, rb);
            const __m512i d = _mm512_add_epi32(_mm512_madd_epi16(drg, drg), _mm512_madd_epi16(db, db));
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
                _mm512_storeu_si512(out, left_picture);
            } else {
                _mm512_storeu_si512(
                    out, _mm512_mask_mov_epi32(left_picture, changed, heat_colours(tested, k)));
            }
            max_lanes = _mm512_max_ps(tested, max_lanes);  // a NaN tested keeps max_lanes

            const __m512 difference = _mm512_sub_ps(luma(lr, lg, lb, k), luma(rr, rg, rb, k));
            // 2^24 times the term |Yl - Yr| * step + 1: scaling both roundings by a
            // power of two changes no bit (every value stays normal), and the
            // result is the integer n <= 2^24 that the term has ulps of 2^-24.
            // Terms lie in [0, 1] (|Yl - Yr| is at most the luma of white, Y
            // being monotonic in each channel, and white against black gives 0)
            // and are x + 1 with x in [-1, 0]: exact when x <= -1/2, x being a
            // multiple of 2^-24 there, and otherwise rounded to a float in
            // [1/2, 1], again a multiple of 2^-24.
            const __m512 scaled_term = _mm512_add_ps(
                _mm512_mul_ps(abs_ps(difference, k), k.scaled_step), k.scaled_one);
            kept_similarity[b] = add_units(similarity_units, _mm512_cvttps_epi32(scaled_term),
                                           similarity_shift);
            kept_distance[b] = add_units(distance_units, d, distance_units_shift);
            similarity_tie_mask |= block_ties(kept_similarity[b], similarity_shift, b);
            distance_tie_mask |= block_ties(kept_distance[b], distance_units_shift, b);
        }

        // The masks only matter in the binade regimes, and are only made there.
        const std::uint64_t similarity_ties =
            similarity_exponent < 127
                ? 0
                : store_masks(kept_similarity, group_blocks, identical_blocks, similarity_tie_mask,
                              similarity_shift,
                              masks.similarity_parity, masks.similarity_ties);
        const std::uint64_t distance_ties =
            distance_shift == 0
                ? 0
                : store_masks(kept_distance, group_blocks, identical_blocks, distance_tie_mask,
                              distance_units_shift,
                              masks.distance_parity, masks.distance_ties);
        commit_group(pass,
                     Group{first * kLanes, group_blocks * kLanes, kLanes, identical_blocks,
                           similarity_exponent, distance_shift, masks,
                           [&] { return lane_total(similarity_units) - similarity_ties; },
                           [&] { return lane_total(distance_units) - distance_ties; }},
                     similarity, distance);
        first += group_blocks;
    }

    PassSums sums{similarity, distance, lane_max(max_lanes)};
    compute_diff_scalar_range(pass, blocks * kLanes, pass.pixel_count, sums);
    return sums;
}

}  // namespace

PassSums compute_diff_avx512(const PixelPass& pass) {
    return run_in_mode(pass, [&]<SmoothingPass Mode>() { return run<Mode>(pass); });
}

}  // namespace quillet
