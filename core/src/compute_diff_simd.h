// Scalar helpers shared by the vector kernels: exact group sums of the two
// running totals, tie resolution on lane bit masks and the ordered replay.
// Everything here has internal linkage, so each kernel translation unit gets its
// own copy compiled with its own instruction-set flags.
//
// Why a group of terms may be summed in any order (the exactness argument):
//
// Let s be a float with 2^e <= s < 2^(e+1); every float in [2^e, 2^(e+1)] is a
// multiple of u = 2^(e-23), spaced u apart. Let t >= 0 be a float and write
// t = (q + f) * u with q an integer and 0 <= f < 1 (f may be non-zero only when
// t's exponent is below e). Put r = q when f < 1/2, r = q + 1 when f > 1/2, and
// for f = 1/2 (a tie) r = q + c with c in {0, 1} chosen so that s/u + r is even.
// If s + r*u < 2^(e+1), then fl(s + t) = s + r*u:
//   x = s + t >= s >= 2^e and x < s + r*u + u/2 <= 2^(e+1) - u/2, so x lies in
//   the interval where floats are spaced u apart; s + r*u is such a float, within
//   u/2 of x; it is the unique nearest one when f != 1/2, and when f = 1/2 it is
//   the even neighbour, which round-to-nearest-even picks.
// By induction over a run of terms, as long as the running value s/u + r_1 + ...
// + r_j stays below 2^24 (it only grows, so checking the last one suffices), the
// ordered float sum equals s + (r_1 + ... + r_m) * u, which is an integer sum in
// units of u: lanes may add their r in any order. Only the tie choices c depend
// on the order, through the parity of the running value: after a tie the value
// is even, after any other term its parity flips with r's parity. So c_i is the
// parity of the r's since the previous tie (or since the start, counting the
// starting value), which resolve_ties computes with bit operations on masks.
//
// The distance total has a simpler regime before it reaches 2^24: all terms are
// integers, so every partial sum is an integer below 2^24 and is held exactly.
//
// Identical pixels add the similarity term 1.0 exactly (|Yl - Yr| = 0 gives
// 0 * step + 1 = 1); in units of u that is 2^(23-e), an integer with no rounding,
// so identical pixels inside a group go through the same exact sum; longer runs
// of identical pixels use add_ones below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compute_diff.h"

namespace quillet {
namespace {

// Pixels per group: the group loop commits its terms to the running totals
// once per group, so larger groups pay that commit less often. The tie masks of
// a group are 64-bit words, one bit per pixel.
constexpr std::size_t kGroupPixels = 256;
constexpr std::size_t kMaskWordPixels = 64;
constexpr std::size_t kGroupMaskWords = kGroupPixels / kMaskWordPixels;

struct TieResolution {
    std::uint32_t round_ups;   // ties rounded up (c_i = 1)
    std::uint32_t parity_out;  // parity of the running value after the last lane
};

// `parity`: bit i is the parity of r_i (of q_i for a tie lane); `ties`: bit i set
// for a tie; `parity_in`: parity of the running value before lane 0.
inline TieResolution resolve_ties(std::uint64_t parity, std::uint64_t ties,
                                  std::uint32_t parity_in) noexcept {
    // prefix[i] = parity[0] ^ ... ^ parity[i]
    std::uint64_t prefix = parity;
    prefix ^= prefix << 1;
    prefix ^= prefix << 2;
    prefix ^= prefix << 4;
    prefix ^= prefix << 8;
    prefix ^= prefix << 16;
    prefix ^= prefix << 32;
    // last_tie[i] = prefix at the last tie at or before i, or parity_in when none.
    std::uint64_t last_tie = prefix & ties;
    std::uint64_t seen = ties;
    for (unsigned shift = 1; shift < 64; shift <<= 1) {
        last_tie |= (last_tie << shift) & ~seen;
        seen |= seen << shift;
    }
    if (parity_in != 0) last_tie |= ~seen;
    // The running value before tie i has parity prefix[i-1] ^ last_tie[i-1]; the
    // tie rounds up when that plus q_i is odd, i.e. when prefix[i] ^ last_tie[i-1].
    const std::uint64_t before = (last_tie << 1) | (parity_in & 1u);
    const std::uint64_t ups = ties & (prefix ^ before);
    return {static_cast<std::uint32_t>(__builtin_popcountll(ups)),
            static_cast<std::uint32_t>(((prefix ^ last_tie) >> 63) & 1u)};
}

inline std::uint32_t float_bits(float x) noexcept { return std::bit_cast<std::uint32_t>(x); }
inline float bits_float(std::uint32_t b) noexcept { return std::bit_cast<float>(b); }

// Exponent field of a running sum usable for the binade method: a positive
// normal float; 0 when the method does not apply.
inline std::uint32_t binade_exponent(float sum) noexcept {
    const std::uint32_t e = float_bits(sum) >> 23;  // the sign bit makes negatives >= 256
    return (e >= 1 && e <= 254) ? e : 0;
}

// Ties rounded up among terms whose masks fill `words` 64-bit words in order,
// after a running value of parity `parity_in`: each word continues from the
// parity the word before it left.
inline std::uint64_t round_ups_in_order(const std::uint64_t* parity, const std::uint64_t* ties,
                                        std::size_t words, std::uint32_t parity_in) noexcept {
    std::uint64_t round_ups = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const TieResolution r = resolve_ties(parity[w], ties[w], parity_in);
        round_ups += r.round_ups;
        parity_in = r.parity_out;
    }
    return round_ups;
}

// Commits terms to a running sum in the binade regime: `units` is the sum of
// the lanes' r (ties counted at q), `parity`/`ties` their masks in `words`
// words (null when no term ties). Returns false (sum untouched) when the result
// would leave the binade.
inline bool commit_binade(float& sum, std::uint64_t units, const std::uint64_t* parity,
                          const std::uint64_t* ties, std::size_t words) noexcept {
    const std::uint32_t bits = float_bits(sum);
    std::uint64_t added = units;
    if (ties != nullptr) added += round_ups_in_order(parity, ties, words, bits & 1u);
    const std::uint64_t significand = (bits & 0x7FFFFFu) | 0x800000u;
    if (significand + added >= (1u << 24)) return false;
    sum = bits_float(bits + static_cast<std::uint32_t>(added));
    return true;
}

// The distance total below 2^24 is an exact integer; a group of integer terms
// keeps it exact while the result stays <= 2^24.
inline bool commit_integer(float& sum, std::uint64_t units) noexcept {
    const std::uint64_t result = static_cast<std::uint64_t>(sum) + units;
    if (result > (1u << 24)) return false;
    sum = static_cast<float>(result);
    return true;
}

// r of a similarity term 1.0 (an identical pixel) in the binade with exponent
// field `exponent`: 1.0 / u = 2^(150 - exponent), an even integer for exponents
// 127 ... 149, so identical pixels never tie and never change the parity. 0
// when 1.0 lies above the binade or is not an even number of ulps (the group
// then takes the ordered additions).
inline std::uint32_t units_of_one(std::uint32_t exponent) noexcept {
    return (exponent >= 127 && exponent <= 149) ? (1u << (150 - exponent)) : 0u;
}

// `count` ordered additions of 1.0 to `sum` (the similarity terms of a run of
// identical pixels), in few additions: count additions of 1.0 equal one
// addition of float(count) when sum == 0 (the partial sums 1, 2, ... are exact
// up to 2^24) or when count <= sum < 2^22. Proof of the second case: with
// 2^e <= sum < 2^(e+1), e <= 21, the ulp u of the sum divides 1, so additions
// are exact until the sum first reaches 2^(e+1); that one addition rounds to a
// multiple of 2u (a tie at worst, decided by the parity of its result in units
// of 2u); count <= sum keeps the rest below 2^(e+2), where 1 is a multiple of 2u
// and the additions are exact again. One addition of float(count) rounds the
// same exact value, shifted by the integer count - j (j additions before the
// crossing), which is a multiple of 4u <= 1 and so preserves that parity: both
// give the same float. Above 2^22 the last step fails (a tie can go either
// way), and with sum < count more than one boundary may be crossed, so
// those cases take smaller steps: chunks of floor(sum) <= sum, single
// additions below 1.
inline float add_ones(float sum, std::uint64_t count) noexcept {
    while (count > 0) {
        if (sum == 0.0f) {
            const std::uint64_t chunk = count < (1u << 24) ? count : (1u << 24);
            sum = static_cast<float>(chunk);
            count -= chunk;
        } else if (sum >= 1.0f && sum < 4194304.0f) {
            const auto whole = static_cast<std::uint64_t>(sum);
            const std::uint64_t chunk = count < whole ? count : whole;
            sum = sum + static_cast<float>(chunk);
            count -= chunk;
        } else {
            sum = sum + 1.0f;
            --count;
        }
    }
    return sum;
}

// The tie masks of one running total over a group, one bit per pixel: made
// only for a group in which some term ties (`any` false: no masks, no ties).
struct TieMasks {
    bool any = false;
    std::uint64_t parity[kGroupMaskWords];  // of r, or of q for a tie lane
    std::uint64_t ties[kGroupMaskWords];
};

}  // namespace

// The scalar reference step over pixels [begin, end), continuing `sums`; defined
// in the baseline dispatch unit so that no vector-flagged copy of it exists.
// Returns the span of its changed pixels (see PixelPass::changed_span).
PixelRange compute_diff_scalar_range(const PixelPass& pass, std::size_t begin, std::size_t end,
                                     PassSums& sums);

// The ordered fallback for a block whose exact sum does not apply: the real
// additions of the terms of pixels [begin, end), recomputed by the reference
// helpers.
float add_similarity_in_order(const PixelPass& pass, std::size_t begin, std::size_t end,
                              float sum);
float add_distance_in_order(const PixelPass& pass, std::size_t begin, std::size_t end, float sum);

namespace {

// Calls body.operator()<Mode>() for the pass's smoothing mode, so that each
// kernel body is compiled once per mode with the mode's branches removed.
template <typename Body>
inline PassSums run_in_mode(const PixelPass& pass, Body&& body) {
    switch (pass.mode) {
        case SmoothingPass::plain:
            return body.template operator()<SmoothingPass::plain>();
        case SmoothingPass::priming:
            return body.template operator()<SmoothingPass::priming>();
        case SmoothingPass::smoothing:
            break;
    }
    return body.template operator()<SmoothingPass::smoothing>();
}

// One group of blocks as a kernel leaves it: which blocks were identical in both
// frames, the binades the running totals were in when it began, the tie masks
// of both totals, and the lane totals of its terms in units (read lazily, only
// when the exact sum applies).
template <typename SimilarityTotal, typename DistanceTotal>
struct Group {
    std::size_t blocks;
    std::size_t lanes;
    std::uint64_t identical_blocks;
    std::uint32_t similarity_exponent;
    std::uint32_t distance_shift;
    const TieMasks& similarity_masks;
    const TieMasks& distance_masks;
    SimilarityTotal similarity_units;  // () -> std::uint64_t
    DistanceTotal distance_units;      // () -> std::uint64_t
};

template <typename SimilarityTotal, typename DistanceTotal>
Group(std::size_t, std::size_t, std::uint64_t, std::uint32_t, std::uint32_t, const TieMasks&,
      const TieMasks&, SimilarityTotal, DistanceTotal) -> Group<SimilarityTotal, DistanceTotal>;

// Which running totals took a group.
struct Committed {
    bool similarity;
    bool distance;
};

inline bool commit_binade(float& sum, std::uint64_t units, const TieMasks& masks) noexcept {
    return masks.any ? commit_binade(sum, units, masks.parity, masks.ties, kGroupMaskWords)
                     : commit_binade(sum, units, nullptr, nullptr, 0);
}

// Folds a group into the running totals, one exact integer sum per total, where
// that gives the ordered result. A total it cannot take (the group's terms
// would carry it out of its binade, or the exact sum does not apply at its
// value) is left untouched, for the kernel to commit block by block.
template <typename SimilarityTotal, typename DistanceTotal>
inline Committed commit_group(const Group<SimilarityTotal, DistanceTotal>& group, float& similarity,
                              float& distance) {
    const std::uint64_t every_block =
        group.blocks >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << group.blocks) - 1;
    const bool all_identical = group.identical_blocks == every_block;
    const std::uint32_t one_units = units_of_one(group.similarity_exponent);
    const std::uint64_t identical_units =
        std::uint64_t{one_units} * group.lanes *
        static_cast<unsigned>(__builtin_popcountll(group.identical_blocks));
    const bool similarity_done =
        group.similarity_exponent >= 127 && (group.identical_blocks == 0 || one_units != 0) &&
        commit_binade(similarity, (all_identical ? 0 : group.similarity_units()) + identical_units,
                      group.similarity_masks);
    if (all_identical) return {similarity_done, true};  // the distance total adds only zeros
    const bool distance_done =
        group.distance_shift == 0
            ? commit_integer(distance, group.distance_units())
            : commit_binade(distance, group.distance_units(), group.distance_masks);
    return {similarity_done, distance_done};
}

}  // namespace

}  // namespace quillet
