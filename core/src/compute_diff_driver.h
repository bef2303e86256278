// The vector pixel pass, written once: the group loop, the exact-sum bookkeeping
// of the two running totals (see compute_diff_simd.h), the heat colours and the
// smoothing modes. Each instruction set supplies a small operations type `Ops`
// and instantiates run_vector_pass<Ops> in its own translation unit, compiled
// with its own flags; this header has internal linkage throughout, so no
// vector-flagged copy leaks into another unit.
//
// What an operations type provides (V = one vector of Ops::kLanes pixels):
//   kLanes                      pixels per block; a divisor of kGroupPixels
//   Pixels, Int, Float, Mask, Picture, Shift   the vector types
//   Tables(pass)                constants built inside the kernel (never at
//                               namespace scope: nothing may run with these
//                               instructions before the processor is checked)
//   vector_blocks(n)            blocks of a pass of n pixels whose loads stay
//                               inside the 3n bytes of each frame
//   load(p), same(l, r)         one block's bytes; whether two blocks are equal
//   channels(t, l, r)           {left R, G, B; right R, G, B; d} as 32-bit lanes
//                               (optionally, with kBiasedChannels, the colours as
//                               the floats 2^23 + v and as_float(Int); see luma)
//   left_picture(t, l)          the left pixels as RGBA with alpha 255
//   heat_picture(t, q255, g)    RGBA from trunc(255 q) and trunc(255 (1 - |q|))
//   select(m, heat, left), store(out, picture)
//   distance_picture(t, d)      the distances d as RGBA words (write_distance_pixel)
//   load_picture(p), awaiting_colour(t, picture) (the lanes whose alpha byte is
//     0), picture_words(picture) (each pixel's 4 bytes as a little-endian lane)
//   float lane arithmetic: set(x), load_floats, store_floats, add, sub, mul,
//     sqrt, abs, to_float(Int), truncate(Float) -> Int,
//     optionally fused_mul_sub(a, b, c) = a b - c and fused_neg_mul_add(a, b, c)
//     = c - a b, each rounded once (see heat_colours), min_or_second(a, b)
//     (b when either is NaN), max_keep(x, acc) (acc when x is NaN),
//     not_less(a, b) (unordered counts), none(Mask), lane_max(Float)
//   integer lanes: set_int(u32), add_int, and_int, min_u32, shift(s), shift_right(a, Shift),
//     zero_lanes(Int) / nonzero_lanes(Int) (one bit per lane), any_zero(Int),
//     lane_total(Int) (the sum of all lanes, which fits in 32 bits here), optionally
//     lane_totals(a, b, out) (both sums at once)
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>

#include "compute_diff.h"
#include "compute_diff_simd.h"

namespace quillet {
namespace {

// A group's terms in units of the ulp u = 2^shift of its running total, from
// integers n (the term is n ulps of 2^-24 for the similarity, n itself for the
// distance): with a = n + 2^(shift-1), r' = a >> shift is n / 2^shift rounded to
// nearest with ties rounded up, a tie is exactly (a & (2^shift - 1)) == 0, and
// bit `shift` of a is the parity of r'. A block adds its r' to the lane totals,
// keeps its n, and records in a TieWatch whether any lane tied. Only then are
// the parity masks made (group_masks), which also turns the ties back to q (one
// unit less each, parity flipped) as commit_group expects. In the integer
// regime (shift 0) a = n, r' = n, and nothing else is used.
template <typename Ops>
struct UnitShift {
    typename Ops::Shift count;
    typename Ops::Int half;    // 2^(shift-1), 0 for shift 0
    typename Ops::Int low;     // 2^shift - 1
    typename Ops::Int parity;  // 2^shift

    explicit UnitShift(std::uint32_t shift)
        : count(Ops::shift(shift)),
          half(Ops::set_int(shift == 0 ? 0u : 1u << (shift - 1))),
          low(Ops::set_int((1u << shift) - 1)),
          parity(Ops::set_int(1u << shift)) {}
};

// Whether any term of a group ties. Instruction sets that test lanes straight
// into a bit mask (one instruction) OR each block's tie bits together; the
// others fold a & (2^shift - 1) into a lane-wise minimum, which is 0 somewhere
// exactly when the group has a tie. Either way the tie masks themselves are
// made later, only for a group that has one (group_masks).
template <typename Ops>
concept TestsLanesToBits = requires(typename Ops::Int x) {
    { Ops::zero_lanes_under(x, x) } -> std::same_as<std::uint64_t>;
};

template <typename Ops, bool = TestsLanesToBits<Ops>>
struct TieWatch {
    std::uint64_t tied_lanes = 0;

    void add(typename Ops::Int a, const UnitShift<Ops>& shift) {
        tied_lanes |= Ops::zero_lanes_under(a, shift.low);
    }
    bool any() const { return tied_lanes != 0; }
};

template <typename Ops>
struct TieWatch<Ops, false> {
    typename Ops::Int lowest = Ops::set_int(0xFFFFFFFFu);

    void add(typename Ops::Int a, const UnitShift<Ops>& shift) {
        lowest = Ops::min_u32(lowest, Ops::and_int(a, shift.low));
    }
    bool any() const { return Ops::any_zero(lowest); }
};

template <typename Ops>
inline void add_units(typename Ops::Int& units, TieWatch<Ops>& watch, typename Ops::Int n,
                      const UnitShift<Ops>& shift) {
    const typename Ops::Int a = Ops::add_int(n, shift.half);
    units = Ops::add_int(units, Ops::shift_right(a, shift.count));
    watch.add(a, shift);
}

// The shift of each running total for the next group, known before the
// current group is committed: blocks add their units with it (so they need not
// wait for the commit), and a group whose totals turn out to lie in another
// binade when it is committed sums its kept terms again with the right shift.
template <typename Ops>
struct PredictedShift {
    std::uint32_t shift;
    UnitShift<Ops> units;

    explicit PredictedShift(std::uint32_t s) : shift(s), units(s) {}
    // Makes `actual` the prediction; true when it already was.
    bool confirm(std::uint32_t actual) {
        if (actual == shift) return true;
        shift = actual;
        units = UnitShift<Ops>(actual);
        return false;
    }
};

// The units and ties of a group's kept terms n (blocks not skipped as
// identical) under `shift`.
template <typename Ops>
inline void sum_units_again(const typename Ops::Int* kept, std::size_t blocks,
                            std::uint64_t identical_blocks, const UnitShift<Ops>& shift,
                            typename Ops::Int& units, TieWatch<Ops>& watch) {
    units = Ops::set_int(0);
    watch = TieWatch<Ops>{};
    for (std::size_t b = 0; b < blocks; ++b)
        if (((identical_blocks >> b) & 1u) == 0) add_units<Ops>(units, watch, kept[b], shift);
}

// The tie bits and the parity bits (of r', flipped at the ties, which turns
// them back to q) of one block's kept terms n under `shift`.
struct BlockMasks {
    std::uint64_t ties;
    std::uint64_t parity;
};

template <typename Ops>
inline BlockMasks block_masks(typename Ops::Int n, const UnitShift<Ops>& shift) {
    const typename Ops::Int a = Ops::add_int(n, shift.half);
    const std::uint64_t ties = Ops::zero_lanes(Ops::and_int(a, shift.low));
    return {ties, Ops::nonzero_lanes(Ops::and_int(a, shift.parity)) ^ ties};
}

// Makes a group's masks for commit_group when `watch` shows a tie, from the
// kept terms n of its blocks; zero bits for blocks skipped as identical (an
// identical block adds 1.0, an even number of units, and keeps no n). Returns
// the number of ties, which the lane totals counted one unit high.
template <typename Ops>
inline std::uint64_t group_masks(const typename Ops::Int* kept, std::size_t blocks,
                                 std::uint64_t identical_blocks, const TieWatch<Ops>& watch,
                                 const UnitShift<Ops>& shift, TieMasks& masks) {
    if (!watch.any()) return 0;
    masks.any = true;
    for (std::size_t w = 0; w < kGroupMaskWords; ++w) masks.parity[w] = masks.ties[w] = 0;
    std::uint64_t tie_count = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        if ((identical_blocks >> b) & 1u) continue;
        const BlockMasks m = block_masks<Ops>(kept[b], shift);
        const std::size_t word = b * Ops::kLanes / kMaskWordPixels;
        const std::size_t bit = b * Ops::kLanes % kMaskWordPixels;
        masks.ties[word] |= m.ties << bit;
        masks.parity[word] |= m.parity << bit;
        tie_count += static_cast<std::uint64_t>(__builtin_popcountll(m.ties));
    }
    return tie_count;
}

// Whether the instruction set supplies fused multiply-adds (see heat_colours).
template <typename Ops>
concept HasFusedMultiplyAdd = requires(typename Ops::Float x) {
    Ops::fused_mul_sub(x, x, x);
    Ops::fused_neg_mul_add(x, x, x);
};

// The float constants of a pass, as vectors.
template <typename Ops>
struct PassConstants {
    typename Ops::Float luma_r, luma_g, luma_b, scaled_step, scaled_one;  // scaled: times 2^24
    typename Ops::Float biased_luma_r, biased_luma_g, biased_luma_b;      // times 2^23 (see luma)
    typename Ops::Float one, two, zero, byte_scale, threshold, colour_scale, alpha, beta;

    explicit PassConstants(const PixelPass& pass)
        : luma_r(Ops::set(kLumaR)),
          luma_g(Ops::set(kLumaG)),
          luma_b(Ops::set(kLumaB)),
          scaled_step(Ops::set(kSimilarityStep * 16777216.0f)),
          scaled_one(Ops::set(16777216.0f)),
          biased_luma_r(Ops::set(kLumaR * 8388608.0f)),
          biased_luma_g(Ops::set(kLumaG * 8388608.0f)),
          biased_luma_b(Ops::set(kLumaB * 8388608.0f)),
          one(Ops::set(1.0f)),
          two(Ops::set(2.0f)),
          zero(Ops::set(0.0f)),
          byte_scale(Ops::set(kByteScale)),
          threshold(Ops::set(kChangeThreshold)),
          colour_scale(Ops::set(pass.colour_scale)),
          alpha(Ops::set(pass.alpha)),
          beta(Ops::set(pass.beta)) {}
};

// Instruction sets whose channels() gives each colour byte v as the float
// 2^23 + v (the byte under the exponent bits of 2^23), so that no conversion
// is needed: with c = 2^23 w (exact, a power-of-two scaling), the fused
// (2^23 + v) w - c is v w exactly before its one rounding, which is therefore
// fl(v w), the reference's product. Needs fused_mul_sub.
template <typename Ops>
concept BiasedChannels = requires {
    requires Ops::kBiasedChannels;
} && HasFusedMultiplyAdd<Ops>;

// Y = (R wr + G wg) + B wb, each step rounded as in the reference.
template <typename Ops>
inline typename Ops::Float luma(typename Ops::Int r, typename Ops::Int g, typename Ops::Int b,
                                const PassConstants<Ops>& k) {
    if constexpr (BiasedChannels<Ops>) {
        const typename Ops::Float rg =
            Ops::add(Ops::fused_mul_sub(Ops::as_float(r), k.luma_r, k.biased_luma_r),
                     Ops::fused_mul_sub(Ops::as_float(g), k.luma_g, k.biased_luma_g));
        return Ops::add(rg, Ops::fused_mul_sub(Ops::as_float(b), k.luma_b, k.biased_luma_b));
    } else {
        const typename Ops::Float rg = Ops::add(Ops::mul(Ops::to_float(r), k.luma_r),
                                                Ops::mul(Ops::to_float(g), k.luma_g));
        return Ops::add(rg, Ops::mul(Ops::to_float(b), k.luma_b));
    }
}

// Heat colours of all lanes. s = min(sqrt(k v), 1) is in [0, 1] (a NaN root
// gives 1; a root is never below -0), so q = 2s - 1 is in [-1, 1] and
// p = 255 q in [-255, 255]. Then, with t = trunc(p):
//   R = byte(255 max(q, 0)) = max(t, 0), since 255 q = p when q > 0;
//   B = byte(255 max(1 - u, 0)) = max(-t, 0), since 1 - u rounds to exactly -q
//       (rounding to nearest is symmetric) and trunc(-p) = -trunc(p);
//   G = byte(255 (1 - |q|)), whose argument lies in [0, 255].
// Within [0, 255] byte() is plain truncation; heat_picture takes the two
// maxima and packs the bytes.
//
// Where the instruction set has fused multiply-adds (Ops::fused_mul_sub and
// Ops::fused_neg_mul_add, each rounding once), two roundings of the reference
// are exact and fold into one instruction each:
//   2s is exact (doubling a float in [0, 1]), so fl(fl(2s) - 1) = fl(2s - 1);
//   1 - |q| is exact: for s >= 1/4, u = 2s lies in [1/2, 2], so q = u - 1 is
//       exact (Sterbenz) and a multiple of 2^-24 in [-1/2, 1], and 1 - |q| is a
//       multiple of 2^-24 in [0, 1]; for s < 1/4, |q| lies in [1/2, 1] and
//       1 - |q| is exact by Sterbenz again. Hence fl(255 fl(1 - |q|)) equals
//       fl(255 - 255 |q|), the fused result.

template <typename Ops>
inline typename Ops::Picture heat_colours(typename Ops::Float tested, const PassConstants<Ops>& k,
                                          const typename Ops::Tables& t) {
    using Float = typename Ops::Float;
    const Float s = Ops::min_or_second(Ops::sqrt(Ops::mul(k.colour_scale, tested)), k.one);
    Float q, green_scaled;
    if constexpr (HasFusedMultiplyAdd<Ops>) {
        q = Ops::fused_mul_sub(s, k.two, k.one);
        green_scaled = Ops::fused_neg_mul_add(Ops::abs(q), k.byte_scale, k.byte_scale);
    } else {
        q = Ops::sub(Ops::add(s, s), k.one);
        green_scaled = Ops::mul(k.byte_scale, Ops::sub(k.one, Ops::abs(q)));
    }
    const typename Ops::Int red_minus_blue = Ops::truncate(Ops::mul(k.byte_scale, q));
    return Ops::heat_picture(t, red_minus_blue, Ops::truncate(green_scaled));
}

// The lane totals of a group's similarity and distance units, each made when
// first asked for; instruction sets with Ops::lane_totals reduce both at once.
template <typename Ops>
concept ReducesTwoAtOnce = requires(typename Ops::Int x, std::uint64_t (&out)[2]) {
    Ops::lane_totals(x, x, out);
};

template <typename Ops>
struct LaneTotals {
    typename Ops::Int similarity_units, distance_units;
    std::uint64_t totals[2] = {0, 0};
    bool made[2] = {false, false};

    std::uint64_t similarity() { return get(0); }
    std::uint64_t distance() { return get(1); }

private:
    std::uint64_t get(int which) {
        if (!made[which]) {
            if constexpr (ReducesTwoAtOnce<Ops>) {
                Ops::lane_totals(similarity_units, distance_units, totals);
                made[0] = made[1] = true;
            } else {
                totals[which] = Ops::lane_total(which == 0 ? similarity_units : distance_units);
                made[which] = true;
            }
        }
        return totals[which];
    }
};

// The binades of both running totals, as the group loop uses them. A
// similarity term is n ulps of 2^-24 with n <= 2^24 (see run_vector_pass), and
// the ulp of a total with exponent field e >= 127 is 2^(e-150), so its shift is
// e - 126; clamped to [1, 26], which changes nothing: from 26 on every n
// rounds to 0 without a tie (commit_group ignores e < 127). Distances are at
// most 195075 < 2^23: a shift clamped at 24 gives the same units (all 0, no
// tie) as any larger one.
struct Shifts {
    std::uint32_t similarity_exponent;
    std::uint32_t similarity_units;  // the shift of the similarity terms
    std::uint32_t distance_shift;    // 0 in the integer regime
    std::uint32_t distance_units;    // the shift of the distances
};

inline Shifts shifts_of(float similarity, float distance) {
    const std::uint32_t similarity_exponent = binade_exponent(similarity);
    const std::uint32_t distance_exponent = binade_exponent(distance);
    const std::uint32_t distance_shift = distance_exponent > 150 ? distance_exponent - 150 : 0;
    return {similarity_exponent,
            similarity_exponent < 127 ? 1 : std::min<std::uint32_t>(similarity_exponent - 126, 26),
            distance_shift, std::min<std::uint32_t>(distance_shift, 24)};
}

enum class Total { similarity, distance };

// The shift of a running total's terms in its binade, or false where the
// exact sum does not apply at the total's value (a similarity sum below 1) or
// the total is in the integer regime (shift 0 for a distance total).
template <Total Which>
inline bool block_shift(float sum, std::uint32_t& shift) {
    const Shifts shifts = shifts_of(sum, sum);
    if constexpr (Which == Total::similarity) {
        shift = shifts.similarity_units;
        return shifts.similarity_exponent >= 127;
    } else {
        shift = shifts.distance_units;
        return shifts.distance_shift != 0;
    }
}

// One block's terms n committed to a running total in its binade, with the
// units of its shift; false (sum untouched) when the block would carry the
// total out of the binade.
template <typename Ops>
inline bool commit_block(typename Ops::Int n, const UnitShift<Ops>& units, float& sum) {
    const BlockMasks masks = block_masks<Ops>(n, units);
    const std::uint64_t total =
        Ops::lane_total(Ops::shift_right(Ops::add_int(n, units.half), units.count)) -
        static_cast<std::uint64_t>(__builtin_popcountll(masks.ties));
    return masks.ties == 0 ? commit_binade(sum, total, nullptr, nullptr, 0)
                           : commit_binade(sum, total, &masks.parity, &masks.ties, 1);
}

// Commits a group's blocks one at a time to a running total that could not
// take the group as a whole (see commit_group): each block with the shift of
// the total as it then is, in ordered additions where even that fails.
// `group_shift` is the shift the group began with: blocks before the one that
// leaves the binade keep it, so their units do not wait for the commits before
// them. Identical blocks kept no terms: their similarity terms are 1.0 each,
// their distances 0.
template <typename Ops, Total Which>
void commit_block_by_block(const PixelPass& pass, const typename Ops::Int* kept,
                           std::size_t first_pixel, std::size_t blocks,
                           std::uint64_t identical_blocks, const PredictedShift<Ops>& group_shift,
                           float& sum) {
    constexpr std::size_t kLanes = Ops::kLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t begin = first_pixel + b * kLanes;
        if ((identical_blocks >> b) & 1u) {
            if constexpr (Which == Total::similarity) sum = add_ones(sum, kLanes);
            continue;
        }
        std::uint32_t shift = 0;
        if (block_shift<Which>(sum, shift)) {
            const bool done = shift == group_shift.shift
                                  ? commit_block<Ops>(kept[b], group_shift.units, sum)
                                  : commit_block<Ops>(kept[b], UnitShift<Ops>(shift), sum);
            if (done) continue;
        } else if constexpr (Which == Total::distance) {
            if (commit_integer(sum, Ops::lane_total(kept[b]))) continue;
        }
        sum = Which == Total::similarity ? add_similarity_in_order(pass, begin, begin + kLanes, sum)
                                         : add_distance_in_order(pass, begin, begin + kLanes, sum);
    }
}

// Asks for the caller's next bytes (PixelPass::ahead_*) into the second-level
// cache, one share per block, 64-byte line by line, so that the requests
// spread over the pass instead of queueing up at once.
class AheadRequests {
public:
    AheadRequests(const PixelPass& pass, std::size_t blocks)
        : left_(pass.ahead_left),
          right_(pass.ahead_right),
          bytes_(pass.ahead_bytes),
          per_block_(blocks == 0 ? 0 : (pass.ahead_bytes + blocks - 1) / blocks) {}

    void next_block() {
        due_ += per_block_;
        for (; asked_ < due_ && asked_ < bytes_; asked_ += 64) {
            __builtin_prefetch(left_ + asked_, 0, 2);
            __builtin_prefetch(right_ + asked_, 0, 2);
        }
    }

private:
    const std::uint8_t* left_;
    const std::uint8_t* right_;
    std::size_t bytes_;
    std::size_t per_block_;
    std::size_t due_ = 0;
    std::size_t asked_ = 0;
};

// The pass over the vector blocks of `pass`, continuing pass.start, then the
// scalar step for the pixels after them. AsksAhead: whether the pass has bytes
// ahead (PixelPass::ahead_bytes) to ask for; a pass without them keeps its
// loops free of the requests' bookkeeping.
template <typename Ops, SmoothingPass Mode, bool AsksAhead>
PassSums run_vector_pass(const PixelPass& pass) {
    using Int = typename Ops::Int;
    using Float = typename Ops::Float;
    using Picture = typename Ops::Picture;
    constexpr std::size_t kLanes = Ops::kLanes;
    constexpr std::size_t kBlocksPerGroup = kGroupPixels / kLanes;
    // A group's lane totals stay in 32 bits: similarity units r' <= 2^23 (shift
    // >= 1, n <= 2^24) and distances below 2^18, over at most 256 lanes.
    static_assert(kBlocksPerGroup * kLanes == kGroupPixels && kBlocksPerGroup <= 64);
    static_assert(kGroupPixels <= 256);

    // Local copies: stores through the byte pointers could otherwise alias `pass`.
    const std::uint8_t* const left_frame = pass.left;
    const std::uint8_t* const right_frame = pass.right;
    std::uint8_t* const picture = pass.rgba;
    float* const history = pass.ema;
    const typename Ops::Tables t(pass);
    const PassConstants<Ops> k(pass);
    const std::size_t blocks = Ops::vector_blocks(pass.pixel_count);
    AheadRequests ahead(pass, blocks);
    float similarity = pass.start.similarity_sum;
    float distance = pass.start.distance_total;
    // The running maximum is never NaN and never below +0, so lane order is free.
    Float max_lanes = Ops::set(pass.start.max_tested);
    // When k times the threshold rounds to 1 or more, so does k v for every
    // changed pixel (rounding is monotonic), and its heat colour is s = 1: red.
    // The scale of a first comparison (k = 1) is one such.
    const bool all_red = !(pass.colour_scale * kChangeThreshold < 1.0f);
    const Picture red = Ops::heat_picture(t, Ops::set_int(255), Ops::set_int(0));
    // Changed pixels keep their distances for a HeatKernel (plain pass only).
    const bool heat_later = Mode == SmoothingPass::plain && pass.heat_later;
    // The blocks first_changed ... end_changed - 1 hold every changed pixel of
    // the vector blocks (none while end_changed is 0).
    std::size_t first_changed = blocks;
    std::size_t end_changed = 0;

    // A changed block whose heat colours are drawn one block later, so that
    // their steps (the square root above all) overlap the next block's work
    // instead of delaying everything after them.
    bool heat_pending = false;
    std::uint8_t* pending_out = nullptr;
    typename Ops::Mask pending_changed{};
    Float pending_tested = k.zero;
    Picture pending_left = red;
    const auto draw_pending_heat = [&] {
        if (heat_pending)
            Ops::store(pending_out, Ops::select(pending_changed,
                                                heat_colours<Ops>(pending_tested, k, t), pending_left));
        heat_pending = false;
    };
    const Shifts start_shifts = shifts_of(similarity, distance);
    PredictedShift<Ops> similarity_predicted(start_shifts.similarity_units);
    PredictedShift<Ops> distance_predicted(start_shifts.distance_units);
    std::size_t first = 0;
    // Whether the block before `first` was identical (true at the start): a run
    // can only begin there, so frames that differ everywhere never look for one.
    bool after_identical = true;
    while (first < blocks) {
        if constexpr (Mode != SmoothingPass::smoothing) {
            // A run of identical blocks: the picture is the left frame, the
            // history (priming) zeros, the distance total and the maximum stay,
            // and the similarity sum takes one 1.0 per pixel.
            std::size_t run = 0;
            while (after_identical && first < blocks) {
                const std::size_t pixel = first * kLanes;
                const typename Ops::Pixels left = Ops::load(left_frame + 3 * pixel);
                const typename Ops::Pixels right = Ops::load(right_frame + 3 * pixel);
                if (!Ops::same(left, right)) break;
                if constexpr (AsksAhead) ahead.next_block();
                Ops::store(picture + 4 * pixel, Ops::left_picture(t, left));
                if constexpr (Mode == SmoothingPass::priming) Ops::store_floats(history + pixel, k.zero);
                ++first;
                ++run;
            }
            if (run != 0) similarity = add_ones(similarity, run * kLanes);
            if (first == blocks) break;
        }
        const std::size_t group_blocks =
            blocks - first < kBlocksPerGroup ? blocks - first : kBlocksPerGroup;

        Int similarity_units = Ops::set_int(0);
        Int distance_units = Ops::set_int(0);
        TieWatch<Ops> similarity_ties_seen;
        TieWatch<Ops> distance_ties_seen;
        Int kept_similarity[kBlocksPerGroup];  // each block's terms n (see add_units)
        Int kept_distance[kBlocksPerGroup];
        std::uint64_t identical_blocks = 0;
        // Local copies of the shifts, which the loops below then hold in registers.
        const UnitShift<Ops> distance_units_shift = distance_predicted.units;

        for (std::size_t b = 0; b < group_blocks; ++b) {
            const std::size_t pixel = (first + b) * kLanes;
            if constexpr (AsksAhead) ahead.next_block();
            const typename Ops::Pixels left = Ops::load(left_frame + 3 * pixel);
            const typename Ops::Pixels right = Ops::load(right_frame + 3 * pixel);
            const Picture left_picture = Ops::left_picture(t, left);
            std::uint8_t* out = picture + 4 * pixel;

            if constexpr (Mode != SmoothingPass::smoothing) {
                // Identical pixels: d = 0 is unchanged, total + 0 = total, max
                // stays, each similarity term is exactly 1.0; nothing to store.
                if (Ops::same(left, right)) {
                    Ops::store(out, left_picture);
                    if constexpr (Mode == SmoothingPass::priming)
                        Ops::store_floats(history + pixel, k.zero);
                    identical_blocks |= std::uint64_t{1} << b;
                    continue;
                }
            }

            // d in integers, at most 195075, so its float is exact.
            const typename Ops::Channels c = Ops::channels(t, left, right);
            const Float distance_f = Ops::to_float(c.distance);

            Float tested = distance_f;
            if constexpr (Mode == SmoothingPass::priming) {
                Ops::store_floats(history + pixel, distance_f);
            } else if constexpr (Mode == SmoothingPass::smoothing) {
                const Float old = Ops::load_floats(history + pixel);
                tested = Ops::add(Ops::mul(k.beta, old), Ops::mul(k.alpha, distance_f));
                Ops::store_floats(history + pixel, tested);
            }

            // Changed unless tested < threshold (NaN counts as changed).
            const typename Ops::Mask changed = Ops::not_less(tested, k.threshold);
            if (Ops::none(changed)) [[unlikely]] {
                Ops::store(out, left_picture);
            } else {
                if (heat_later || all_red) {
                    const Picture heat = heat_later ? Ops::distance_picture(t, c.distance) : red;
                    Ops::store(out, Ops::select(changed, heat, left_picture));
                } else {
                    draw_pending_heat();
                    heat_pending = true;
                    pending_out = out;
                    pending_changed = changed;
                    pending_tested = tested;
                    pending_left = left_picture;
                }
                first_changed = std::min(first_changed, first + b);
                end_changed = first + b + 1;
            }
            max_lanes = Ops::max_keep(tested, max_lanes);
            kept_distance[b] = c.distance;
            add_units<Ops>(distance_units, distance_ties_seen, c.distance, distance_units_shift);
        }

        draw_pending_heat();
        // The similarity terms in a second loop over the group's blocks (now in
        // the first-level cache), which picks the colour channels again: each
        // loop then holds its constants in registers, where one loop for both
        // would reload many of them for every block.
        const UnitShift<Ops> similarity_units_shift = similarity_predicted.units;
        // Blocks taken by bit (not tested one by one), so a mix of identical
        // and changed blocks costs no mispredicted branches here.
        const std::uint64_t every_block =
            group_blocks >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << group_blocks) - 1;
        for (std::uint64_t todo = every_block & ~identical_blocks; todo != 0; todo &= todo - 1) {
            const auto b = static_cast<std::size_t>(__builtin_ctzll(todo));
            const std::size_t pixel = (first + b) * kLanes;
            const typename Ops::Channels c = Ops::channels(t, Ops::load(left_frame + 3 * pixel),
                                                           Ops::load(right_frame + 3 * pixel));
            const Float difference = Ops::sub(luma<Ops>(c.left_r, c.left_g, c.left_b, k),
                                              luma<Ops>(c.right_r, c.right_g, c.right_b, k));
            // 2^24 times the term |Yl - Yr| * step + 1: scaling both roundings by a
            // power of two changes no bit (every value stays normal), and the
            // result is the integer n <= 2^24 that the term has ulps of 2^-24.
            // Terms lie in [0, 1] (|Yl - Yr| is at most the luma of white, Y
            // being monotonic in each channel, and white against black gives 0)
            // and are x + 1 with x in [-1, 0]: exact when x <= -1/2, x being a
            // multiple of 2^-24 there, and otherwise rounded to a float in
            // [1/2, 1], again a multiple of 2^-24.
            const Float scaled_term =
                Ops::add(Ops::mul(Ops::abs(difference), k.scaled_step), k.scaled_one);
            kept_similarity[b] = Ops::truncate(scaled_term);
            add_units<Ops>(similarity_units, similarity_ties_seen, kept_similarity[b],
                           similarity_units_shift);
        }

        // Fixed for the group: the binades of both running totals at its start
        // (the commit of the group before is done by now).
        const Shifts shifts = shifts_of(similarity, distance);
        const std::uint32_t similarity_exponent = shifts.similarity_exponent;
        const std::uint32_t distance_shift = shifts.distance_shift;
        if (!similarity_predicted.confirm(shifts.similarity_units))
            sum_units_again<Ops>(kept_similarity, group_blocks, identical_blocks,
                                 similarity_predicted.units, similarity_units, similarity_ties_seen);
        if (!distance_predicted.confirm(shifts.distance_units))
            sum_units_again<Ops>(kept_distance, group_blocks, identical_blocks,
                                 distance_predicted.units, distance_units, distance_ties_seen);
        const UnitShift<Ops>& similarity_shift = similarity_predicted.units;
        const UnitShift<Ops>& distance_shift_units = distance_predicted.units;

        // The masks only matter in the binade regimes, and are only made there.
        TieMasks similarity_masks, distance_masks;
        const std::uint64_t similarity_ties =
            similarity_exponent < 127
                ? 0
                : group_masks<Ops>(kept_similarity, group_blocks, identical_blocks,
                                   similarity_ties_seen, similarity_shift, similarity_masks);
        const std::uint64_t distance_ties =
            distance_shift == 0
                ? 0
                : group_masks<Ops>(kept_distance, group_blocks, identical_blocks,
                                   distance_ties_seen, distance_shift_units, distance_masks);
        LaneTotals<Ops> unit_totals{similarity_units, distance_units};
        const Committed committed = commit_group(
            Group{group_blocks, kLanes, identical_blocks, similarity_exponent, distance_shift,
                  similarity_masks, distance_masks,
                  [&] { return unit_totals.similarity() - similarity_ties; },
                  [&] { return unit_totals.distance() - distance_ties; }},
            similarity, distance);
        if (!committed.similarity)
            commit_block_by_block<Ops, Total::similarity>(pass, kept_similarity, first * kLanes,
                                                          group_blocks, identical_blocks,
                                                          similarity_predicted, similarity);
        if (!committed.distance)
            commit_block_by_block<Ops, Total::distance>(pass, kept_distance, first * kLanes,
                                                        group_blocks, identical_blocks,
                                                        distance_predicted, distance);
        first += group_blocks;
        after_identical = (identical_blocks >> (group_blocks - 1)) & 1u;
    }

    PassSums sums{similarity, distance, Ops::lane_max(max_lanes)};
    const PixelRange tail_changed =
        compute_diff_scalar_range(pass, blocks * kLanes, pass.pixel_count, sums);
    if (pass.changed_span != nullptr) {
        PixelRange span{first_changed * kLanes, end_changed * kLanes};
        if (end_changed == 0) span = tail_changed;
        else if (tail_changed.first != tail_changed.end) span.end = tail_changed.end;
        *pass.changed_span = span;
    }
    return sums;
}

// The heat colours of the distances that a plain pass with heat_later left in
// the picture (see HeatKernel): blocks without such a pixel are skipped, the
// others take their colours from the same steps as in run_vector_pass. A
// block's picture is its own 4 kLanes bytes, so every whole block is loaded.
template <typename Ops>
void run_colour_distances(const PixelPass& pass) {
    constexpr std::size_t kLanes = Ops::kLanes;
    const typename Ops::Tables t(pass);
    const PassConstants<Ops> k(pass);
    const std::size_t blocks = pass.pixel_count / kLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint8_t* const out = pass.rgba + 4 * b * kLanes;
        const typename Ops::Picture drawn = Ops::load_picture(out);
        const typename Ops::Mask waiting = Ops::awaiting_colour(t, drawn);
        if (Ops::none(waiting)) continue;
        // Lanes already drawn have alpha 255 and read as negative words; their
        // colours are computed and dropped.
        const typename Ops::Float tested = Ops::to_float(Ops::picture_words(drawn));
        Ops::store(out, Ops::select(waiting, heat_colours<Ops>(tested, k, t), drawn));
    }
    colour_distances_range(pass, blocks * kLanes, pass.pixel_count);
}

// The largest squared distance of a pass's pixels (see DistanceKernel):
// blocks equal in both frames are skipped, the others' distances are exact
// floats whose maximum does not depend on the order of the lanes.
template <typename Ops>
float run_largest_distance(const PixelPass& pass) {
    constexpr std::size_t kLanes = Ops::kLanes;
    const typename Ops::Tables t(pass);
    const std::size_t blocks = Ops::vector_blocks(pass.pixel_count);
    typename Ops::Float largest = Ops::set(0.0f);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t pixel = b * kLanes;
        const typename Ops::Pixels left = Ops::load(pass.left + 3 * pixel);
        const typename Ops::Pixels right = Ops::load(pass.right + 3 * pixel);
        if (Ops::same(left, right)) continue;
        largest = Ops::max_keep(Ops::to_float(Ops::channels(t, left, right).distance), largest);
    }
    return largest_distance_range(pass, blocks * kLanes, pass.pixel_count, Ops::lane_max(largest));
}

// The kernel entry point of an instruction set: one instantiation per mode.
template <typename Ops>
PassSums run_vector_kernel(const PixelPass& pass) {
    return run_in_mode(pass, [&]<SmoothingPass Mode>() {
        return pass.ahead_bytes != 0 ? run_vector_pass<Ops, Mode, true>(pass)
                                     : run_vector_pass<Ops, Mode, false>(pass);
    });
}

}  // namespace
}  // namespace quillet
