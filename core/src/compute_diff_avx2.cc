// The pixel pass with AVX2: 8 pixels per vector, the two running totals summed
// exactly in groups of 64 pixels (see compute_diff_simd.h).
#include <immintrin.h>

#include <algorithm>

#include "compute_diff.h"
#include "compute_diff_simd.h"

namespace quillet {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kBlocksPerGroup = kGroupPixels / kLanes;

// Built inside the kernel, never at namespace scope: nothing may run with these
// instructions before the processor has been checked.
struct Constants {
    __m256i pick_r, pick_b;
    __m256i pick_rg;  // bytes R and G of each pixel as the two words of a dword
    __m256i pick_rgb;
    __m256i pick_heat;  // see heat_colours
    __m256i byte_max;   // 255 in every dword
    __m256i alpha;
    __m256 luma_r, luma_g, luma_b, scaled_step, scaled_one;  // scaled: times 2^24
    __m256 one, zero, byte_scale, threshold, colour_scale;
    __m256 alpha_w, beta_w;
    __m256i sign_clear;

    explicit Constants(const PixelPass& pass)
        : pick_r(lane_bytes(0)),
          pick_b(lane_bytes(2)),
          pick_rg(_mm256_broadcastsi128_si256(
              _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1))),
          pick_rgb(_mm256_broadcastsi128_si256(
              _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1))),
          pick_heat(_mm256_broadcastsi128_si256(
              _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15))),
          byte_max(_mm256_set1_epi32(255)),
          alpha(_mm256_set1_epi32(static_cast<int>(0xFF000000u))),
          luma_r(_mm256_set1_ps(kLumaR)),
          luma_g(_mm256_set1_ps(kLumaG)),
          luma_b(_mm256_set1_ps(kLumaB)),
          scaled_step(_mm256_set1_ps(kSimilarityStep * 16777216.0f)),
          scaled_one(_mm256_set1_ps(16777216.0f)),
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

// 8 RGB pixels, 4 per 128-bit lane: bytes 0 ... 15 and 12 ... 27, which reads
// 4 bytes beyond the 24 of the block (the kernel keeps those inside the frame).
inline __m256i load_pixels(const std::uint8_t* p) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Whether the 8 pixels of two loads are equal (bytes 12 ... 15 of each lane
// are not part of the lane's 4 pixels).
inline bool same_pixels(__m256i left, __m256i right) {
    constexpr std::uint32_t kPixelBytes = 0x0FFF0FFFu;
    const auto equal = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(left, right)));
    return (equal & kPixelBytes) == kPixelBytes;
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
    const __m256i g =
        _mm256_cvttps_epi32(_mm256_mul_ps(k.byte_scale, _mm256_sub_ps(k.one, abs_ps(q, k))));
    // Unsigned saturation gives max(t, 0) and max(-t, 0): per 128-bit lane the
    // words R0..R3 G0..G3 and B0..B3 255 x 4, then the bytes R0..R3 G0..G3
    // B0..B3 255 x 4, which one byte shuffle puts in pixel order.
    const __m256i rg = _mm256_packus_epi32(t, g);
    const __m256i ba = _mm256_packus_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), t), k.byte_max);
    return _mm256_shuffle_epi8(_mm256_packus_epi16(rg, ba), k.pick_heat);
}

// A group's terms in units of the ulp u = 2^shift of its running total, from
// integers n (the term is n ulps of 2^-24 for the similarity, n itself for the
// distance): with a = n + 2^(shift-1), r' = a >> shift is n / 2^shift rounded to
// nearest with ties rounded up, a tie is exactly (a & (2^shift - 1)) == 0, and
// bit `shift` of a is the parity of r'. A block adds its r' to the lane totals,
// keeps its a, and folds a & (2^shift - 1) into a lane-wise minimum, which is 0
// somewhere exactly when the group has a tie. Only then are the masks made
// (store_masks), which also turns the ties back to q (one unit less each,
// parity flipped) as commit_group expects. In the integer regime (shift 0)
// a = n, r' = n, and nothing else is used.
struct UnitShift {
    __m128i count;   // shift
    __m256i half;    // 2^(shift-1), 0 for shift 0
    __m256i low;     // 2^shift - 1
    __m256i parity;  // 2^shift

    explicit UnitShift(std::uint32_t shift)
        : count(_mm_cvtsi32_si128(static_cast<int>(shift))),
          half(_mm256_set1_epi32(shift == 0 ? 0 : static_cast<int>(1u << (shift - 1)))),
          low(_mm256_set1_epi32(static_cast<int>((1u << shift) - 1))),
          parity(_mm256_set1_epi32(static_cast<int>(1u << shift))) {}
};

inline __m256i add_units(__m256i& units, __m256i& lowest, __m256i n, const UnitShift& shift) {
    const __m256i a = _mm256_add_epi32(n, shift.half);
    units = _mm256_add_epi32(units, _mm256_srl_epi32(a, shift.count));
    lowest = _mm256_min_epu32(lowest, _mm256_and_si256(a, shift.low));
    return a;
}

inline std::uint64_t lane_bits(__m256i mask) {
    return static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
}

// Completes a group's masks for commit_group when `lowest` shows a tie: the
// ties and the parity bits (of r', flipped at the ties, which turns them back
// to q) of the blocks not skipped as identical, zero for those (an identical
// block adds 1.0, an even number of units, and keeps no a). Returns the
// number of ties, which the lane totals counted one unit high.
inline std::uint64_t store_masks(const __m256i* kept, std::size_t blocks,
                                 std::uint32_t identical_blocks, __m256i lowest,
                                 const UnitShift& shift, std::uint8_t (&parity)[8],
                                 std::uint8_t (&ties)[8]) {
    const __m256i zero = _mm256_setzero_si256();
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(lowest, zero)) == 0) return 0;
    std::uint64_t tie_mask = 0;
    std::uint64_t parity_mask = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        if ((identical_blocks >> b) & 1u) continue;
        const __m256i a = kept[b];
        tie_mask |= lane_bits(_mm256_cmpeq_epi32(_mm256_and_si256(a, shift.low), zero)) << (kLanes * b);
        parity_mask |= lane_bits(_mm256_cmpeq_epi32(_mm256_and_si256(a, shift.parity), shift.parity))
                       << (kLanes * b);
    }
    parity_mask ^= tie_mask;
    std::memcpy(ties, &tie_mask, sizeof tie_mask);
    std::memcpy(parity, &parity_mask, sizeof parity_mask);
    return static_cast<std::uint64_t>(__builtin_popcountll(tie_mask));
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
    // Block j reads bytes up to 24 j + 28 of each frame (load_pixels), which
    // stay within its 3 n bytes while 8 j + 10 <= n; the pixels after the last
    // such block take the scalar step.
    const std::size_t blocks = pass.pixel_count >= 2 ? (pass.pixel_count - 2) / kLanes : 0;
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
                const __m256i left_lanes = load_pixels(left_frame + 3 * pixel);
                const __m256i right_lanes = load_pixels(right_frame + 3 * pixel);
                if (!same_pixels(left_lanes, right_lanes)) break;
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
        __m256i similarity_units = _mm256_setzero_si256();
        __m256i distance_units = _mm256_setzero_si256();
        GroupMasks masks{};
        __m256i kept_similarity[kBlocksPerGroup];  // each block's a (see add_units)
        __m256i kept_distance[kBlocksPerGroup];
        __m256i lowest_similarity = _mm256_set1_epi32(-1);
        __m256i lowest_distance = _mm256_set1_epi32(-1);
        std::uint32_t identical_blocks = 0;

        for (std::size_t b = 0; b < group_blocks; ++b) {
            const std::size_t pixel = (first + b) * kLanes;
            const __m256i left_lanes = load_pixels(left_frame + 3 * pixel);
            const __m256i right_lanes = load_pixels(right_frame + 3 * pixel);
            const __m256i left_rgba =
                _mm256_or_si256(_mm256_shuffle_epi8(left_lanes, k.pick_rgb), k.alpha);
            std::uint8_t* out = picture + 4 * pixel;

            if constexpr (Mode != SmoothingPass::smoothing) {
                // Identical pixels: d = 0 is unchanged, total + 0 = total, max
                // stays, each similarity term is exactly 1.0; nothing to store.
                if (same_pixels(left_lanes, right_lanes)) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), left_rgba);
                    if constexpr (Mode == SmoothingPass::priming)
                        _mm256_storeu_ps(history + pixel, k.zero);
                    identical_blocks |= 1u << b;
                    continue;
                }
            }

            // Channels zero-extended to dwords; R and G also as the two words
            // of one dword (G from there by a shift, which is not a shuffle).
            const __m256i lrg = _mm256_shuffle_epi8(left_lanes, k.pick_rg);
            const __m256i rrg = _mm256_shuffle_epi8(right_lanes, k.pick_rg);
            const __m256i lr = _mm256_shuffle_epi8(left_lanes, k.pick_r);
            const __m256i lg = _mm256_srli_epi32(lrg, 16);
            const __m256i lb = _mm256_shuffle_epi8(left_lanes, k.pick_b);
            const __m256i rr = _mm256_shuffle_epi8(right_lanes, k.pick_r);
            const __m256i rg = _mm256_srli_epi32(rrg, 16);
            const __m256i rb = _mm256_shuffle_epi8(right_lanes, k.pick_b);

            // d in integers (at most 195075, so its float is exact): word
            // differences [dr, dg] and [db, 0] per dword, squared and paired up.
            const __m256i drg = _mm256_sub_epi16(lrg, rrg);
            const __m256i db = _mm256_sub_epi16(lb, rb);
            const __m256i d = _mm256_add_epi32(_mm256_madd_epi16(drg, drg), _mm256_madd_epi16(db, db));
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
            // 2^24 times the term |Yl - Yr| * step + 1: scaling both roundings by a
            // power of two changes no bit (every value stays normal), and the
            // result is the integer n <= 2^24 that the term has ulps of 2^-24
            // (a term in [0, 1] is x + 1 with x in [-1, 0]: exact when x <= -1/2,
            // a multiple of 2^-24 then, and rounded to a float in [1/2, 1] else).
            const __m256 scaled_term = _mm256_add_ps(
                _mm256_mul_ps(abs_ps(difference, k), k.scaled_step), k.scaled_one);
            kept_similarity[b] = add_units(similarity_units, lowest_similarity,
                                           _mm256_cvttps_epi32(scaled_term), similarity_shift);
            kept_distance[b] = add_units(distance_units, lowest_distance, d, distance_units_shift);
        }

        // The masks only matter in the binade regimes, and are only made there.
        const std::uint64_t similarity_ties =
            similarity_exponent < 127
                ? 0
                : store_masks(kept_similarity, group_blocks, identical_blocks, lowest_similarity,
                              similarity_shift, masks.similarity_parity, masks.similarity_ties);
        const std::uint64_t distance_ties =
            distance_shift == 0
                ? 0
                : store_masks(kept_distance, group_blocks, identical_blocks, lowest_distance,
                              distance_units_shift, masks.distance_parity, masks.distance_ties);
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

PassSums compute_diff_avx2(const PixelPass& pass) {
    return run_in_mode(pass, [&]<SmoothingPass Mode>() { return run<Mode>(pass); });
}

}  // namespace quillet
