// Every vector kernel against the scalar reference: the three running figures
// (bit for bit), the picture and the smoothing history, over sizes, tails,
// unaligned starts, all passes, colour scales and contents chosen to drive the
// running sums through binade changes and rounding ties. Also the tie
// resolution on masks, the "k times 1.0" statement, and kernel selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "compute_diff.h"
#include "compute_diff_simd.h"
#include "panic.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::Bytes;
using testing::Random;

std::vector<std::string> vector_kernels_here() {
    std::vector<std::string> names;
    for (const DiffKernelInfo& kernel : diff_kernels())
        if (kernel.runs() && std::string(kernel.name) != "scalar") names.push_back(kernel.name);
    return names;
}

DiffKernel kernel_named(const std::string& name) {
    for (const DiffKernelInfo& kernel : diff_kernels())
        if (name == kernel.name) return kernel.run;
    return nullptr;
}

DistanceKernel largest_named(const std::string& name) {
    for (const DiffKernelInfo& kernel : diff_kernels())
        if (name == kernel.name) return kernel.largest;
    return nullptr;
}

HeatKernel heat_named(const std::string& name) {
    for (const DiffKernelInfo& kernel : diff_kernels())
        if (name == kernel.name) return kernel.heat;
    return nullptr;
}

struct Frames {
    Bytes left, right;
};

// `largest` on the frames placed `offset` bytes into their buffers.
float largest_of(DistanceKernel largest, const Frames& frames, std::size_t pixels,
                 std::size_t offset) {
    Bytes left(offset + 3 * pixels), right(offset + 3 * pixels);
    if (pixels > 0) {
        std::memcpy(left.data() + offset, frames.left.data(), 3 * pixels);
        std::memcpy(right.data() + offset, frames.right.data(), 3 * pixels);
    }
    PixelPass pass{};
    pass.left = left.data() + offset;
    pass.right = right.data() + offset;
    pass.pixel_count = pixels;
    return largest(pass);
}

// One pass of `kernel` on frames placed `offset` bytes into their buffers.
struct Outcome {
    PassSums sums;
    Bytes rgba;
    std::vector<float> ema;
};

// `ahead_bytes` > 0: the pass is given that many bytes ahead to ask for.
Outcome run_pass(DiffKernel kernel, const Frames& frames, std::size_t pixels, SmoothingPass mode,
                 float colour_scale, float alpha, const std::vector<float>& ema_in,
                 std::size_t offset, std::size_t ahead_bytes = 0) {
    Bytes left(offset + 3 * pixels), right(offset + 3 * pixels);
    if (pixels > 0) {
        std::memcpy(left.data() + offset, frames.left.data(), 3 * pixels);
        std::memcpy(right.data() + offset, frames.right.data(), 3 * pixels);
    }
    Outcome out;
    Bytes rgba(offset + 4 * pixels, 0xAB);
    std::vector<float> ema = ema_in;
    ema.resize(pixels + 1, 0.0f);  // + 1: room to start the history at an odd float
    const std::size_t ema_offset = offset % 2;
    if (ema_offset != 0) ema.insert(ema.begin(), -7.0f);
    PixelPass pass{left.data() + offset,
                   right.data() + offset,
                   rgba.data() + offset,
                   mode == SmoothingPass::plain ? nullptr : ema.data() + ema_offset,
                   pixels,
                   mode,
                   colour_scale,
                   alpha,
                   1.0f - alpha};
    const Bytes ahead_left(ahead_bytes, 1), ahead_right(ahead_bytes, 2);
    pass.ahead_left = ahead_left.data();
    pass.ahead_right = ahead_right.data();
    pass.ahead_bytes = ahead_bytes;
    out.sums = kernel(pass);
    out.rgba.assign(rgba.begin() + static_cast<std::ptrdiff_t>(offset), rgba.end());
    out.ema.assign(ema.begin() + static_cast<std::ptrdiff_t>(ema_offset),
                   ema.begin() + static_cast<std::ptrdiff_t>(ema_offset + pixels));
    return out;
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Whether a kernel's pass gave the scalar pass's sums, bit for bit, and picture.
::testing::AssertionResult same_pass(const PassSums& got, const PassSums& want,
                                     const Bytes& got_rgba, const Bytes& want_rgba) {
    if (bits(got.similarity_sum) != bits(want.similarity_sum))
        return ::testing::AssertionFailure() << "similarity sum " << got.similarity_sum
                                             << " != " << want.similarity_sum;
    if (bits(got.distance_total) != bits(want.distance_total))
        return ::testing::AssertionFailure() << "distance total " << got.distance_total
                                             << " != " << want.distance_total;
    if (bits(got.max_tested) != bits(want.max_tested))
        return ::testing::AssertionFailure() << "max " << got.max_tested << " != "
                                             << want.max_tested;
    if (got_rgba != want_rgba) return ::testing::AssertionFailure() << "pictures differ";
    return ::testing::AssertionSuccess();
}

// Compares one pass of `name` with the scalar kernel; returns a description of
// the first difference, or "" when the two agree.
std::string difference(const std::string& name, const Frames& frames, std::size_t pixels,
                       SmoothingPass mode, float colour_scale, float alpha,
                       const std::vector<float>& ema_in, std::size_t offset,
                       std::size_t ahead_bytes = 0) {
    const Outcome want = run_pass(compute_diff_scalar, frames, pixels, mode, colour_scale, alpha,
                                  ema_in, offset);
    const Outcome got = run_pass(kernel_named(name), frames, pixels, mode, colour_scale, alpha,
                                 ema_in, offset, ahead_bytes);
    if (bits(got.sums.similarity_sum) != bits(want.sums.similarity_sum))
        return "similarity sum " + std::to_string(got.sums.similarity_sum) + " != " +
               std::to_string(want.sums.similarity_sum);
    if (bits(got.sums.distance_total) != bits(want.sums.distance_total))
        return "distance total " + std::to_string(got.sums.distance_total) + " != " +
               std::to_string(want.sums.distance_total);
    if (bits(got.sums.max_tested) != bits(want.sums.max_tested))
        return "max " + std::to_string(got.sums.max_tested) + " != " +
               std::to_string(want.sums.max_tested);
    for (std::size_t i = 0; i < got.rgba.size(); ++i)
        if (got.rgba[i] != want.rgba[i]) return "picture byte " + std::to_string(i);
    for (std::size_t i = 0; i < pixels; ++i)
        if (bits(got.ema[i]) != bits(want.ema[i])) return "history entry " + std::to_string(i);
    return "";
}

// ---- frame contents ---------------------------------------------------------------

Frames random_frames(std::size_t pixels, std::uint64_t seed) {
    Random random(seed);
    return {random.bytes(3 * pixels), random.bytes(3 * pixels)};
}

// Right = left except for `changed_percent` of the pixels, either in rectangles
// (clustered) or one by one (scattered); the changes vary in size so that
// some stay below the threshold.
Frames changed_frames(std::size_t width, std::size_t height, unsigned changed_percent,
                      bool clustered, std::uint64_t seed) {
    Random random(seed);
    const std::size_t pixels = width * height;
    Frames f{random.bytes(3 * pixels), {}};
    f.right = f.left;
    auto change = [&](std::size_t i) {
        const unsigned size = random.below(4) == 0 ? 255 : 1 + random.below(60);
        for (std::size_t c = 0; c < 3; ++c)
            f.right[3 * i + c] = static_cast<std::uint8_t>(f.left[3 * i + c] + random.below(size));
    };
    std::size_t target = pixels * changed_percent / 100;
    if (!clustered) {
        for (std::size_t j = 0; j < target; ++j) change(random.below(static_cast<std::uint32_t>(pixels)));
        return f;
    }
    while (target > 0 && width > 0 && height > 0) {
        const std::size_t w = 1 + random.below(static_cast<std::uint32_t>(width < 40 ? width : 40));
        const std::size_t h = 1 + random.below(static_cast<std::uint32_t>(height < 30 ? height : 30));
        const std::size_t x0 = random.below(static_cast<std::uint32_t>(width - w + 1));
        const std::size_t y0 = random.below(static_cast<std::uint32_t>(height - h + 1));
        for (std::size_t y = y0; y < y0 + h; ++y)
            for (std::size_t x = x0; x < x0 + w; ++x) change(y * width + x);
        target = target > w * h ? target - w * h : 0;
    }
    return f;
}

// Colours whose similarity term against black has a short significand, so that
// adding it to a running sum in a suitable binade is an exact tie.
std::vector<testing::Rgb> short_term_colours() {
    std::vector<testing::Rgb> found;
    std::vector<bool> zeros_seen(24, false);
    const std::uint8_t black[3] = {0, 0, 0};
    for (unsigned r = 0; r < 256; ++r)
        for (unsigned g = 0; g < 256; ++g)
            for (unsigned b = 0; b < 256; b += 3) {
                const std::uint8_t colour[3] = {static_cast<std::uint8_t>(r),
                                                static_cast<std::uint8_t>(g),
                                                static_cast<std::uint8_t>(b)};
                const float term = similarity_term(colour, black);
                const std::uint32_t significand = (bits(term) & 0x7FFFFFu) | 0x800000u;
                const int zeros = std::countr_zero(significand);
                if (term > 0.0f && zeros >= 4 && zeros < 24 && !zeros_seen[zeros]) {
                    zeros_seen[zeros] = true;
                    found.push_back({colour[0], colour[1], colour[2]});
                }
            }
    return found;
}

// Every pixel one of a few (colour, black) pairs, in runs: each pair's term
// ties with the running sum in one binade, and the distance is odd for many.
Frames tie_heavy_frames(std::size_t pixels, std::uint64_t seed) {
    static const std::vector<testing::Rgb> colours = short_term_colours();
    Random random(seed);
    Frames f{Bytes(3 * pixels), Bytes(3 * pixels, 0)};
    std::size_t i = 0;
    while (i < pixels) {
        const testing::Rgb c = colours[random.below(static_cast<std::uint32_t>(colours.size()))];
        const std::size_t run = 1 + random.below(3000);
        for (std::size_t j = 0; j < run && i < pixels; ++j, ++i) {
            f.left[3 * i] = c.r;
            f.left[3 * i + 1] = c.g;
            f.left[3 * i + 2] = c.b;
        }
    }
    return f;
}

// Short bursts of changed pixels (which leave fine fractional bits in the
// similarity sum) between identical runs much longer than the sum, so a run
// crosses several binades of the sum.
Frames bursts_between_long_runs(std::size_t pixels, std::uint64_t seed) {
    Random random(seed);
    Frames f{random.bytes(3 * pixels), {}};
    f.right = f.left;
    std::size_t i = random.below(40);
    while (i < pixels) {
        const std::size_t burst = 1 + random.below(24);
        for (std::size_t j = i; j < i + burst && j < pixels; ++j)
            f.right[3 * j + random.below(3)] ^= static_cast<std::uint8_t>(1 + random.below(255));
        i += burst + 16 * (1 + random.below(i < 4096 ? 8 : 4000));
    }
    return f;
}

// Each identical run longer than all pixels before it, so that it adds more
// ones to the similarity sum than the sum holds.
Frames runs_longer_than_the_sum(std::size_t pixels, std::uint64_t seed) {
    Random random(seed);
    Frames f{random.bytes(3 * pixels), {}};
    f.right = f.left;
    std::size_t i = 0;
    while (i < pixels) {
        for (std::size_t j = i; j < i + 3 && j < pixels; ++j) f.right[3 * j] ^= random.byte() | 1u;
        i += 3 + 16 * (1 + (3 * i + i / 2 + random.below(200)) / 16);
    }
    return f;
}

// Segments of maximal distances, which carry the distance total to ulps of 2,
// 4, ... 2^12, alternating with segments of small changes of one size class
// (so that many distances are exact ties in the total's binade, d = u/2 mod u),
// where whole blocks of 16 are identical now and then: identical blocks and tie
// lanes share groups.
Frames distance_ties_after_large_totals(std::size_t pixels, std::uint64_t seed) {
    Random random(seed);
    Frames f{random.bytes(3 * pixels), {}};
    f.right = f.left;
    std::size_t i = 0;
    while (i < pixels) {
        const std::size_t large = random.below(600);
        for (std::size_t j = 0; j < large && i < pixels; ++j, ++i)
            for (std::size_t c = 0; c < 3; ++c) {
                f.left[3 * i + c] = 255;
                f.right[3 * i + c] = 0;
            }
        const unsigned size = 1u << random.below(7);  // channel changes below 1, 2, ... 64
        const std::size_t small = 16 + random.below(4000);
        for (std::size_t j = 0; j < small && i < pixels; ++j, ++i) {
            if ((i / 16) % 5 == 0) continue;  // an identical block (where aligned)
            for (std::size_t c = 0; c < 3; ++c)
                f.right[3 * i + c] = static_cast<std::uint8_t>(f.left[3 * i + c] + random.below(size));
        }
    }
    return f;
}

// A smoothing history as a priming pass of other frames leaves it.
std::vector<float> primed_history(std::size_t pixels, std::uint64_t seed) {
    const Frames earlier = changed_frames(pixels, 1, 30, false, seed);
    std::vector<float> ema(pixels);
    Bytes rgba(4 * pixels);
    const PixelPass pass{earlier.left.data(), earlier.right.data(), rgba.data(), ema.data(),
                         pixels, SmoothingPass::priming, 1.0f, 0.5f, 0.5f};
    compute_diff_scalar(pass);
    return ema;
}

// ---- the kernels against the scalar one ---------------------------------------------

class KernelTest : public ::testing::TestWithParam<std::string> {};

struct PassCase {
    SmoothingPass mode;
    float alpha;
};
constexpr PassCase kPasses[] = {
    {SmoothingPass::plain, 1.0f},
    {SmoothingPass::priming, 0.5f},
    {SmoothingPass::smoothing, 0.5f},
    {SmoothingPass::smoothing, 0.01f},
    {SmoothingPass::smoothing, 0.3f},
};
// 1 (fresh cache), 1/195075 (after a maximal difference), and scales a previous
// comparison's max_diff gives.
const float kColourScales[] = {1.0f, 1.0f / 195075.0f, 1.0f / 10000.0f, 1.0f / 2809.5f,
                               1.0f / 48213.0f};

TEST_P(KernelTest, every_size_tail_and_start_matches_scalar) {
    for (std::size_t pixels = 0; pixels <= 150; ++pixels) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            const std::uint64_t seed = pixels * 7 + offset;
            const Frames frames = (pixels % 3 == 0) ? random_frames(pixels, seed)
                                                    : changed_frames(pixels, 1, 20, pixels % 3 == 1, seed);
            const std::vector<float> ema = primed_history(pixels, seed + 1);
            for (const PassCase& p : kPasses) {
                const float scale = kColourScales[(pixels + offset) % std::size(kColourScales)];
                const std::string diff =
                    difference(GetParam(), frames, pixels, p.mode, scale, p.alpha, ema, offset);
                ASSERT_EQ(diff, "") << "pixels " << pixels << " offset " << offset << " mode "
                                    << static_cast<int>(p.mode) << " alpha " << p.alpha;
            }
        }
    }
}

struct FrameCase {
    const char* name;
    Frames (*make)(std::size_t width, std::size_t height);
};

const FrameCase kLargeFrames[] = {
    {"identical", [](std::size_t w, std::size_t h) { return changed_frames(w, h, 0, true, 11); }},
    {"clustered_5_percent",
     [](std::size_t w, std::size_t h) { return changed_frames(w, h, 5, true, 12); }},
    {"scattered_5_percent",
     [](std::size_t w, std::size_t h) { return changed_frames(w, h, 5, false, 13); }},
    {"random", [](std::size_t w, std::size_t h) { return random_frames(w * h, 14); }},
    {"bursts_between_long_runs",
     [](std::size_t w, std::size_t h) { return bursts_between_long_runs(w * h, 17); }},
    {"runs_longer_than_the_sum_a",
     [](std::size_t w, std::size_t h) { return runs_longer_than_the_sum(w * h, 18); }},
    {"runs_longer_than_the_sum_b",
     [](std::size_t w, std::size_t h) { return runs_longer_than_the_sum(w * h, 19); }},
    {"ties", [](std::size_t w, std::size_t h) { return tie_heavy_frames(w * h, 15); }},
    // Terms near 0 first (the similarity sum stays below 1 for a while), then
    // identical pixels whose terms of 1.0 lie above the sum's binade.
    {"small_sum_then_identical",
     [](std::size_t w, std::size_t h) {
         Frames f = changed_frames(w, h, 0, true, 16);
         for (std::size_t i = 0; i < 200; ++i)
             for (std::size_t c = 0; c < 3; ++c) {
                 f.left[3 * i + c] = 255;
                 f.right[3 * i + c] = (i == 70 || i == 130) ? 40 : 0;
             }
         return f;
     }},
    {"white_on_black",
     [](std::size_t w, std::size_t h) {
         return Frames{testing::solid_frame(static_cast<int>(w), static_cast<int>(h), {255, 255, 255}),
                       Bytes(3 * w * h, 0)};
     }},
};

TEST_P(KernelTest, full_size_frames_match_scalar) {
    const std::size_t width = 1280, height = 720, pixels = width * height;
    const std::vector<float> ema = primed_history(pixels, 99);
    for (const FrameCase& frame_case : kLargeFrames) {
        const Frames frames = frame_case.make(width, height);
        for (const PassCase& p : kPasses) {
            for (const float scale : {1.0f, 1.0f / 195075.0f, 1.0f / 23456.0f}) {
                const std::string diff =
                    difference(GetParam(), frames, pixels, p.mode, scale, p.alpha, ema, 1);
                ASSERT_EQ(diff, "") << frame_case.name << " mode " << static_cast<int>(p.mode)
                                    << " scale " << scale;
            }
        }
    }
}

TEST_P(KernelTest, odd_sizes_and_clustered_changes_match_scalar) {
    const std::size_t sizes[][2] = {{641, 359}, {333, 17}, {1279, 1}, {17, 1023}, {1000, 720}};
    for (const auto& size : sizes) {
        const std::size_t pixels = size[0] * size[1];
        const std::vector<float> ema = primed_history(pixels, size[0]);
        const Frames frames = changed_frames(size[0], size[1], 5, true, size[1]);
        for (const PassCase& p : kPasses) {
            const std::string diff =
                difference(GetParam(), frames, pixels, p.mode, 1.0f / 31000.0f, p.alpha, ema, 3);
            ASSERT_EQ(diff, "") << size[0] << "x" << size[1] << " mode " << static_cast<int>(p.mode);
        }
    }
}

// A pass given bytes ahead to ask for (as a sampled comparison gives its rows)
// runs loops of its own: the same bits in every mode, whatever the number of
// bytes against the number of blocks.
TEST_P(KernelTest, passes_asking_for_bytes_ahead_match_scalar) {
    const std::size_t sizes[][2] = {{1280, 3}, {641, 7}, {333, 17}, {31, 1}, {1, 1}};
    for (const auto& size : sizes) {
        const std::size_t pixels = size[0] * size[1];
        const std::vector<float> ema = primed_history(pixels, size[0]);
        const Frames frames = changed_frames(size[0], size[1], 30, true, size[0] + size[1]);
        for (const PassCase& p : kPasses)
            for (const std::size_t ahead :
                 {std::size_t{1}, std::size_t{63}, 3 * size[0], 11520 * size[1]}) {
                const std::string diff = difference(GetParam(), frames, pixels, p.mode,
                                                    1.0f / 31000.0f, p.alpha, ema, 1, ahead);
                ASSERT_EQ(diff, "") << size[0] << "x" << size[1] << " mode "
                                    << static_cast<int>(p.mode) << " ahead " << ahead;
            }
    }
}

TEST_P(KernelTest, distance_ties_in_high_binades_match_scalar) {
    for (const std::size_t pixels : {std::size_t{40000}, std::size_t{300017}}) {
        for (std::uint64_t seed = 1; seed <= 3; ++seed) {
            const Frames frames = distance_ties_after_large_totals(pixels, seed);
            const std::vector<float> ema = primed_history(pixels, seed + 40);
            for (const PassCase& p : kPasses) {
                const std::string diff = difference(GetParam(), frames, pixels, p.mode,
                                                    1.0f / 195075.0f, p.alpha, ema, seed % 2);
                ASSERT_EQ(diff, "") << pixels << " pixels, seed " << seed << " mode "
                                    << static_cast<int>(p.mode) << " alpha " << p.alpha;
            }
        }
    }
}

// A history holding values no ordinary stream produces: NaN, infinities,
// negatives, values right at the threshold.
TEST_P(KernelTest, unusual_history_values_match_scalar) {
    const std::size_t pixels = 4099;
    Random random(5);
    std::vector<float> ema(pixels);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              -1.0f,
                              -5000.0f,
                              kChangeThreshold,
                              std::nextafter(kChangeThreshold, 0.0f),
                              1e30f,
                              0.0f};
    for (float& v : ema) v = specials[random.below(std::size(specials))];
    const Frames frames = changed_frames(pixels, 1, 50, false, 6);
    for (const float alpha : {0.5f, 0.01f, 0.99f}) {
        const std::string diff = difference(GetParam(), frames, pixels, SmoothingPass::smoothing,
                                            1.0f / 7777.0f, alpha, ema, 2);
        ASSERT_EQ(diff, "") << "alpha " << alpha;
    }
}

// Histories of arbitrary values make the tested values (and so the heat
// colours) dense over the whole range, for several colour scales.
TEST_P(KernelTest, random_history_values_give_the_same_heat_colours) {
    const std::size_t pixels = 100003;
    Random random(8);
    std::vector<float> ema(pixels);
    for (float& v : ema) v = static_cast<float>(random.below(1u << 30)) / 4096.0f;  // 0 ... 262144
    const Frames frames = random_frames(pixels, 9);
    for (const float scale : {1.0f, 1.0f / 195075.0f, 1.0f / 3000.0f, 1.0f / 70000.0f, 0.5f}) {
        for (const float alpha : {0.01f, 0.5f}) {
            const std::string diff = difference(GetParam(), frames, pixels, SmoothingPass::smoothing,
                                                scale, alpha, ema, 0);
            ASSERT_EQ(diff, "") << "scale " << scale << " alpha " << alpha;
        }
    }
}

// A pass fed in pieces, each continuing the figures of the pieces before it,
// gives the bits of one scalar pass over the whole (the running totals cross
// piece boundaries inside binades, at ties, and during runs of identical pixels).
// Passes that start with either running total a few terms below a power of
// two: the first groups carry it into the next binade, so the groups after
// them were summed with a shift that no longer holds and must be summed again
// (on frames that differ everywhere, and on frames with identical runs, whose
// additions of 1.0 move the similarity sum between groups).
TEST_P(KernelTest, passes_starting_below_a_binade_match_scalar) {
    const std::size_t pixels = 4096 + 37;
    const Frames differing = random_frames(pixels, 31);
    const Frames runs = changed_frames(pixels, 1, 30, true, 32);
    const DiffKernel kernel = kernel_named(GetParam());
    auto run = [&](DiffKernel k, const Frames& frames, PassSums start, Bytes& rgba) {
        const PixelPass pass{frames.left.data(), frames.right.data(), rgba.data(), nullptr,
                             pixels, SmoothingPass::plain, 1.0f / 60000.0f, 1.0f, 0.0f, start};
        return k(pass);
    };
    for (const Frames* frames : {&differing, &runs}) {
        for (int exponent = 1; exponent <= 40; ++exponent) {
            const float power = std::ldexp(1.0f, exponent);
            for (const float below : {0.5f, 3.0f, 64.0f, 1000.0f, 150000.0f}) {
                if (below >= power) continue;
                // Below a binade of the similarity sum, of the distance total, and of
                // both; a distance total is a sum of integer distances, so whole.
                const float distance = power - std::ceil(below);
                const PassSums starts[] = {{power - below, 0.0f, 0.0f},
                                           {0.0f, distance, 0.0f},
                                           {power - below, distance, 0.0f}};
                for (const PassSums& start : starts) {
                    Bytes want_rgba(4 * pixels), got_rgba(4 * pixels);
                    const PassSums want = run(compute_diff_scalar, *frames, start, want_rgba);
                    const PassSums got = run(kernel, *frames, start, got_rgba);
                    const std::string where = "2^" + std::to_string(exponent) + " - " +
                                              std::to_string(below) + " start " +
                                              std::to_string(start.similarity_sum) + ", " +
                                              std::to_string(start.distance_total);
                    ASSERT_TRUE(same_pass(got, want, got_rgba, want_rgba)) << where;
                }
            }
        }
    }
}

// Passes whose similarity sum or distance total (both never negative) reaches
// a power of two at a chosen pixel: at every block of a group, at its first lane and inside it, in
// several binades of each total (and for the distance total where its integer
// regime ends). The group that leaves the binade is committed block by block,
// and the block that crosses takes ordered additions.
TEST_P(KernelTest, totals_leaving_a_binade_at_any_block_of_a_group_match_scalar) {
    const std::size_t pixels = 2 * kGroupPixels + 37;
    const Frames frames = random_frames(pixels, 41);
    const DiffKernel kernel = kernel_named(GetParam());
    std::vector<double> similarity_before(pixels + 1, 0.0), distance_before(pixels + 1, 0.0);
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t* l = frames.left.data() + 3 * i;
        const std::uint8_t* r = frames.right.data() + 3 * i;
        similarity_before[i + 1] = similarity_before[i] + similarity_term(l, r);
        distance_before[i + 1] = distance_before[i] + squared_distance(l, r);
    }
    auto run = [&](DiffKernel k, PassSums start, Bytes& rgba) {
        const PixelPass pass{frames.left.data(), frames.right.data(), rgba.data(), nullptr,
                             pixels, SmoothingPass::plain, 1.0f / 60000.0f, 1.0f, 0.0f, start};
        return k(pass);
    };
    for (std::size_t block = 0; block < 2 * kGroupPixels / 16; ++block) {
        for (const std::size_t lane : {0u, 5u}) {
            const std::size_t at = 16 * block + lane;
            std::vector<PassSums> starts;
            for (const int exponent : {8, 14, 20})
                starts.push_back({static_cast<float>(std::ldexp(1.0, exponent) - similarity_before[at]),
                                  0.0f, 0.0f});
            for (const int exponent : {24, 27, 33})
                starts.push_back({0.0f,
                                  static_cast<float>(std::ldexp(1.0, exponent) - distance_before[at]),
                                  0.0f});
            for (const PassSums& start : starts) {
                if (start.similarity_sum < 0.0f || start.distance_total < 0.0f) continue;  // past it
                Bytes want_rgba(4 * pixels), got_rgba(4 * pixels);
                const PassSums want = run(compute_diff_scalar, start, want_rgba);
                const PassSums got = run(kernel, start, got_rgba);
                const std::string where = "pixel " + std::to_string(at) + " start " +
                                          std::to_string(start.similarity_sum) + ", " +
                                          std::to_string(start.distance_total);
                ASSERT_TRUE(same_pass(got, want, got_rgba, want_rgba)) << where;
            }
        }
    }
}

TEST_P(KernelTest, pass_continued_piece_by_piece_matches_one_scalar_pass) {
    const std::size_t pixels = 200000;
    const std::vector<float> ema_in = primed_history(pixels, 17);
    const Frames mixed = changed_frames(pixels, 1, 10, true, 18);
    const Frames distance_ties = distance_ties_after_large_totals(pixels, 19);
    const Frames similarity_ties = tie_heavy_frames(pixels, 20);
    const DiffKernel kernel = kernel_named(GetParam());
    for (const Frames* frames : {&mixed, &distance_ties, &similarity_ties}) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{17}, std::size_t{64},
                                        std::size_t{1280}, std::size_t{4099}}) {
            for (const PassCase& p : kPasses) {
                const Outcome want = run_pass(compute_diff_scalar, *frames, pixels, p.mode,
                                              1.0f / 9000.0f, p.alpha, ema_in, 0);
                std::vector<float> ema = ema_in;
                Bytes rgba(4 * pixels, 0xAB);
                PassSums sums{0.0f, 0.0f, 0.0f};
                for (std::size_t begin = 0; begin < pixels; begin += piece) {
                    const std::size_t count = std::min(piece, pixels - begin);
                    PixelPass pass{frames->left.data() + 3 * begin,
                                   frames->right.data() + 3 * begin,
                                   rgba.data() + 4 * begin,
                                   p.mode == SmoothingPass::plain ? nullptr : ema.data() + begin,
                                   count,
                                   p.mode,
                                   1.0f / 9000.0f,
                                   p.alpha,
                                   1.0f - p.alpha};
                    pass.start = sums;
                    sums = kernel(pass);
                }
                const std::string where = "piece " + std::to_string(piece) + " mode " +
                                          std::to_string(static_cast<int>(p.mode));
                ASSERT_EQ(bits(sums.similarity_sum), bits(want.sums.similarity_sum)) << where;
                ASSERT_EQ(bits(sums.distance_total), bits(want.sums.distance_total)) << where;
                ASSERT_EQ(bits(sums.max_tested), bits(want.sums.max_tested)) << where;
                ASSERT_EQ(rgba, want.rgba) << where;
                if (p.mode != SmoothingPass::plain) {
                    ema.resize(pixels);
                    for (std::size_t i = 0; i < pixels; ++i)
                        ASSERT_EQ(bits(ema[i]), bits(want.ema[i])) << where << " entry " << i;
                }
            }
        }
    }
}

// The largest distance equals the max_diff of a plain scalar pass, on every
// length and unaligned start and on whole frames.
TEST_P(KernelTest, largest_distance_matches_the_scalar_pass_max) {
    const DistanceKernel largest = largest_named(GetParam());
    ASSERT_NE(largest, nullptr);
    for (std::size_t pixels = 0; pixels <= 150; ++pixels) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            const std::uint64_t seed = pixels * 3 + offset;
            const Frames frames = (pixels % 3 == 0) ? random_frames(pixels, seed)
                                                    : changed_frames(pixels, 1, 10, pixels % 3 == 1, seed);
            const float want = run_pass(compute_diff_scalar, frames, pixels, SmoothingPass::plain,
                                        1.0f, 1.0f, {}, offset)
                                   .sums.max_tested;
            ASSERT_EQ(bits(largest_of(largest, frames, pixels, offset)), bits(want))
                << "pixels " << pixels << " offset " << offset;
        }
    }
    const std::size_t width = 1280, height = 720;
    for (const FrameCase& frame_case : kLargeFrames) {
        const Frames frames = frame_case.make(width, height);
        const float want = run_pass(compute_diff_scalar, frames, width * height, SmoothingPass::plain,
                                    1.0f, 1.0f, {}, 0)
                               .sums.max_tested;
        ASSERT_EQ(bits(largest_of(largest, frames, width * height, 2)), bits(want)) << frame_case.name;
    }
}

// ---- changed pixels left as distances, coloured once the scale is known ----

// A plain pass of `kernel` with heat_later on frames placed `offset` bytes
// into their buffers, and the span of changed pixels it reports.
struct LaterOutcome {
    PassSums sums;
    Bytes rgba;
    PixelRange span;
};

LaterOutcome run_heat_later(DiffKernel kernel, const Frames& frames, std::size_t pixels,
                            std::size_t offset) {
    Bytes left(offset + 3 * pixels), right(offset + 3 * pixels), rgba(offset + 4 * pixels, 0xAB);
    if (pixels > 0) {
        std::memcpy(left.data() + offset, frames.left.data(), 3 * pixels);
        std::memcpy(right.data() + offset, frames.right.data(), 3 * pixels);
    }
    LaterOutcome out;
    out.span = {pixels + 7, pixels + 3};  // never a valid answer: must be overwritten
    PixelPass pass{};
    pass.left = left.data() + offset;
    pass.right = right.data() + offset;
    pass.rgba = rgba.data() + offset;
    pass.pixel_count = pixels;
    pass.mode = SmoothingPass::plain;
    pass.colour_scale = 1.0f / 777.0f;  // any scale: it must not show
    pass.alpha = 1.0f;
    pass.heat_later = true;
    pass.changed_span = &out.span;
    out.sums = kernel(pass);
    out.rgba.assign(rgba.begin() + static_cast<std::ptrdiff_t>(offset), rgba.end());
    return out;
}

// `rgba` coloured by `heat` at `scale`, placed `offset` bytes into its buffer.
Bytes coloured(HeatKernel heat, const Bytes& rgba, float scale, std::size_t offset) {
    Bytes buffer(offset + rgba.size(), 0x11);
    std::copy(rgba.begin(), rgba.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    PixelPass pass{};
    pass.rgba = buffer.data() + offset;
    pass.pixel_count = rgba.size() / 4;
    pass.colour_scale = scale;
    heat(pass);
    return Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(offset), buffer.end());
}

// The squared distance of pixel i, worked out here.
std::uint32_t distance_at(const Frames& frames, std::size_t i) {
    std::uint32_t d = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        const int delta = int{frames.left[3 * i + c]} - int{frames.right[3 * i + c]};
        d += static_cast<std::uint32_t>(delta * delta);
    }
    return d;
}

// The first and one past the last changed pixel (d >= 2810); {0, 0} for none.
PixelRange true_changed_range(const Frames& frames, std::size_t pixels) {
    PixelRange range{0, 0};
    for (std::size_t i = 0; i < pixels; ++i) {
        if (distance_at(frames, i) < 2810) continue;
        if (range.first == range.end) range.first = i;
        range.end = i + 1;
    }
    return range;
}

std::string span_problem(const PixelRange& got, const PixelRange& want, std::size_t pixels) {
    const std::string where = " want [" + std::to_string(want.first) + ", " +
                              std::to_string(want.end) + ") got [" + std::to_string(got.first) +
                              ", " + std::to_string(got.end) + ")";
    if (got.first > got.end || got.end > pixels) return "span outside the pass" + where;
    if (want.first == want.end) return got.first == got.end ? "" : "span not empty" + where;
    if (got.first > want.first || got.end < want.end) return "span misses a changed pixel" + where;
    return "";
}

// Frames equal but for single pixels at `changed` (a pixel index past the end
// changes nothing).
Frames equal_but(std::size_t pixels, std::initializer_list<std::size_t> changed, std::uint64_t seed) {
    Random random(seed);
    Frames f{random.bytes(3 * pixels), {}};
    f.right = f.left;
    for (const std::size_t i : changed)
        if (i < pixels) f.right[3 * i + i % 3] ^= 0x40;
    return f;
}

// Frames with changed pixels at chosen places: at either end, in the tail,
// nowhere, and changes just below and at the threshold.
std::vector<Frames> span_cases(std::size_t pixels, std::uint64_t seed) {
    std::vector<Frames> cases = {equal_but(pixels, {}, seed), equal_but(pixels, {0}, seed),
                                 equal_but(pixels, {pixels - 1}, seed),
                                 equal_but(pixels, {pixels / 3, pixels - pixels / 4}, seed),
                                 changed_frames(pixels, 1, 5, true, seed)};
    // d = 2809 (unchanged) everywhere but d = 2810 at one pixel past the middle.
    Frames threshold{Bytes(3 * pixels, 0), Bytes(3 * pixels, 0)};
    for (std::size_t i = 0; i < pixels; ++i) threshold.left[3 * i] = 53;
    if (pixels > 0) threshold.left[3 * (pixels / 2) + 1] = 1;
    cases.push_back(threshold);
    return cases;
}

// A plain pass with heat_later gives the scalar pass's figures and picture
// bytes (distances where pixels changed), a span that holds every changed
// pixel, and the kernel's colouring of that picture gives the scalar pass at
// the pair's scale: on every length and start and on whole frames.
TEST_P(KernelTest, heat_later_pass_and_colouring_match_the_scalar_pass) {
    const DiffKernel kernel = kernel_named(GetParam());
    const HeatKernel heat = heat_named(GetParam());
    ASSERT_NE(heat, nullptr);
    const auto check = [&](const Frames& frames, std::size_t pixels, std::size_t offset,
                           const std::string& where) {
        const LaterOutcome want = run_heat_later(compute_diff_scalar, frames, pixels, offset);
        const LaterOutcome got = run_heat_later(kernel, frames, pixels, offset);
        ASSERT_EQ(bits(got.sums.similarity_sum), bits(want.sums.similarity_sum)) << where;
        ASSERT_EQ(bits(got.sums.distance_total), bits(want.sums.distance_total)) << where;
        ASSERT_EQ(bits(got.sums.max_tested), bits(want.sums.max_tested)) << where;
        ASSERT_EQ(got.rgba, want.rgba) << where;
        ASSERT_EQ(span_problem(got.span, true_changed_range(frames, pixels), pixels), "") << where;
        const float scale = colour_scale_for(want.sums.max_tested);
        const Outcome drawn = run_pass(compute_diff_scalar, frames, pixels, SmoothingPass::plain,
                                       scale, 1.0f, {}, offset);
        ASSERT_EQ(coloured(heat, got.rgba, scale, offset), drawn.rgba) << where;
    };
    for (std::size_t pixels = 0; pixels <= 150; ++pixels) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            const std::uint64_t seed = pixels * 13 + offset;
            std::vector<Frames> cases = span_cases(pixels, seed);
            cases.push_back(random_frames(pixels, seed));
            for (std::size_t c = 0; c < cases.size(); ++c)
                check(cases[c], pixels, offset,
                      "pixels " + std::to_string(pixels) + " offset " + std::to_string(offset) +
                          " case " + std::to_string(c));
        }
    }
    const std::size_t width = 1280, height = 720;
    for (const FrameCase& frame_case : kLargeFrames)
        check(frame_case.make(width, height), width * height, 1, frame_case.name);
}

// heat_later belongs to the plain pass: passes with smoothing draw as before.
TEST_P(KernelTest, heat_later_leaves_smoothing_passes_alone) {
    const Frames frames = changed_frames(333, 3, 20, true, 5);
    const std::size_t pixels = 999;
    const std::vector<float> ema = primed_history(pixels, 6);
    for (const PassCase& p : kPasses) {
        if (p.mode == SmoothingPass::plain) continue;
        for (const DiffKernel kernel : {kernel_named(GetParam()), &compute_diff_scalar}) {
            const Outcome want =
                run_pass(kernel, frames, pixels, p.mode, 1.0f / 5000.0f, p.alpha, ema, 0);
            Bytes rgba(4 * pixels);
            std::vector<float> history = ema;
            PixelRange span{};
            PixelPass pass{frames.left.data(), frames.right.data(), rgba.data(), history.data(),
                           pixels, p.mode, 1.0f / 5000.0f, p.alpha, 1.0f - p.alpha};
            pass.heat_later = true;
            pass.changed_span = &span;
            const PassSums sums = kernel(pass);
            EXPECT_EQ(rgba, want.rgba) << "mode " << static_cast<int>(p.mode);
            EXPECT_EQ(bits(sums.max_tested), bits(want.sums.max_tested));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(kernels, KernelTest, ::testing::ValuesIn(vector_kernels_here()),
                         [](const auto& info) { return info.param; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KernelTest);

// The scalar pass with heat_later, against values worked out here: each
// changed pixel holds its distance as a little-endian word with alpha 0,
// every other one the left colour with alpha 255, and the span runs exactly
// from the first changed pixel to the last.
TEST(heat_later_test, scalar_pass_leaves_each_changed_pixel_as_its_distance) {
    const Frames white_on_black{testing::solid_frame(97, 3, {255, 255, 255}), Bytes(3 * 97 * 3, 0)};
    std::vector<Frames> cases = {changed_frames(100, 50, 5, true, 2),
                                 changed_frames(100, 50, 30, false, 3), random_frames(777, 4),
                                 white_on_black};
    for (const Frames& frames : span_cases(200, 9)) cases.push_back(frames);
    for (const Frames& frames : cases) {
        const std::size_t pixels = frames.left.size() / 3;
        const LaterOutcome got = run_heat_later(compute_diff_scalar, frames, pixels, 0);
        const PixelRange want_span = true_changed_range(frames, pixels);
        EXPECT_EQ(got.span.first, want_span.first) << pixels;
        EXPECT_EQ(got.span.end, want_span.end) << pixels;
        for (std::size_t i = 0; i < pixels; ++i) {
            const std::uint32_t d = distance_at(frames, i);
            const std::uint8_t* out = got.rgba.data() + 4 * i;
            const Bytes want =
                d >= 2810 ? Bytes{static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(d >> 8),
                                  static_cast<std::uint8_t>(d >> 16), 0}
                          : Bytes{frames.left[3 * i], frames.left[3 * i + 1], frames.left[3 * i + 2],
                                  255};
            ASSERT_EQ(Bytes(out, out + 4), want) << "pixel " << i << " of " << pixels;
        }
    }
}

// The scalar colouring gives the scalar pass at any scale, and leaves every
// pixel whose alpha is not 0 as it was, whatever its colour bytes.
TEST(heat_later_test, scalar_colouring_gives_the_pass_at_the_scale_and_leaves_drawn_pixels) {
    const Frames cases[] = {changed_frames(100, 50, 5, true, 12), random_frames(3001, 13),
                            changed_frames(640, 3, 50, false, 14)};
    for (const Frames& frames : cases) {
        const std::size_t pixels = frames.left.size() / 3;
        const LaterOutcome later = run_heat_later(compute_diff_scalar, frames, pixels, 0);
        for (const float scale : {1.0f, 1.0f / 195075.0f, 1.0f / 48213.0f, 1.0f / 2810.0f}) {
            const Outcome drawn = run_pass(compute_diff_scalar, frames, pixels,
                                           SmoothingPass::plain, scale, 1.0f, {}, 0);
            EXPECT_EQ(coloured(colour_distances_scalar, later.rgba, scale, 0), drawn.rgba) << scale;
        }
    }
    Random random(15);
    Bytes drawn = random.bytes(4 * 200);
    for (std::size_t i = 0; i < 200; ++i)
        drawn[4 * i + 3] = static_cast<std::uint8_t>(1 + random.below(255));
    EXPECT_EQ(coloured(colour_distances_scalar, drawn, 1.0f / 3000.0f, 0), drawn);
}

// The scalar largest distance against distances worked out here, including
// the extremes 0 (identical) and 3 * 255^2 (black against white).
TEST(largest_distance_test, scalar_pass_gives_the_largest_squared_distance) {
    for (std::size_t pixels : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        Frames frames = random_frames(pixels, pixels + 1);
        std::int64_t want = 0;
        for (std::size_t i = 0; i < pixels; ++i) {
            std::int64_t d = 0;
            for (std::size_t c = 0; c < 3; ++c) {
                const std::int64_t e = std::int64_t{frames.left[3 * i + c]} - frames.right[3 * i + c];
                d += e * e;
            }
            want = std::max(want, d);
        }
        EXPECT_EQ(largest_of(largest_distance_scalar, frames, pixels, 1), static_cast<float>(want));
        frames.right = frames.left;
        EXPECT_EQ(largest_of(largest_distance_scalar, frames, pixels, 0), 0.0f);
    }
    const Frames extremes{Bytes{0, 0, 0, 9, 9, 9}, Bytes{255, 255, 255, 9, 9, 9}};
    EXPECT_EQ(largest_of(largest_distance_scalar, extremes, 2, 0), 195075.0f);
}

// ---- the exactness arguments ------------------------------------------------------

// resolve_ties against a step-by-step simulation of round-half-to-even on a
// running integer value.
TEST(exact_sum_test, tie_resolution_matches_sequential_rounding) {
    Random random(21);
    for (int trial = 0; trial < 20000; ++trial) {
        std::uint64_t start = random.next() & 0xFFFFFF;
        std::uint64_t parity = 0, ties = 0, units = 0;
        std::uint64_t value = start;
        const unsigned density = random.below(4);
        for (unsigned i = 0; i < 64; ++i) {
            const std::uint64_t q = random.below(density == 0 ? 3 : 100000);
            const bool tie = random.below(4) < density;
            // Ordered: value + q + 1/2 rounds to the even neighbour.
            if (tie) {
                value += q;
                if (value & 1) value += 1;
            } else {
                value += q;
            }
            units += q;
            parity |= (q & 1) << i;
            ties |= static_cast<std::uint64_t>(tie) << i;
        }
        const TieResolution resolved = resolve_ties(parity, ties, start & 1);
        ASSERT_EQ(start + units + resolved.round_ups, value) << "trial " << trial;
        ASSERT_EQ(resolved.parity_out, value & 1) << "trial " << trial;
    }
}

// Ties over a group of several mask words, resolved word by word with the
// parity each word leaves to the next, against sequential rounding; the words
// past the terms hold no bits.
TEST(exact_sum_test, ties_resolved_word_by_word_match_sequential_rounding) {
    Random random(22);
    for (std::size_t words = 1; words <= kGroupMaskWords; ++words) {
        for (int trial = 0; trial < 5000; ++trial) {
            const std::uint64_t start = random.next() & 0xFFFFFF;
            std::uint64_t parity[kGroupMaskWords] = {}, ties[kGroupMaskWords] = {};
            std::uint64_t units = 0;
            std::uint64_t value = start;
            const unsigned density = random.below(4);
            const std::size_t terms = 64 * (words - 1) + 1 + random.below(64);
            for (std::size_t i = 0; i < terms; ++i) {
                const std::uint64_t q = random.below(density == 0 ? 3 : 100000);
                const bool tie = random.below(4) < density;
                value += q;
                if (tie && (value & 1)) value += 1;  // value + q + 1/2 to the even neighbour
                units += q;
                parity[i / 64] |= (q & 1) << (i % 64);
                ties[i / 64] |= static_cast<std::uint64_t>(tie) << (i % 64);
            }
            const std::uint64_t round_ups =
                round_ups_in_order(parity, ties, kGroupMaskWords, start & 1);
            ASSERT_EQ(start + units + round_ups, value) << words << " words, trial " << trial;
        }
    }
}

// k ordered additions of 1.0 equal one addition of float(k) when the sum is 0
// or k <= sum < 2^22; just above 2^22 the statement fails, which is why the
// condition is part of it.
TEST(exact_sum_test, adding_ones_in_order_equals_one_addition_under_the_condition) {
    Random random(3);
    auto ordered = [](float sum, unsigned k) {
        for (unsigned i = 0; i < k; ++i) sum = sum + 1.0f;
        return sum;
    };
    for (int trial = 0; trial < 200000; ++trial) {
        const float sum = std::bit_cast<float>(
            static_cast<std::uint32_t>(0x3F800000u + random.below(0x4A800000u - 0x3F800000u)));
        const unsigned k = 1 + random.below(sum < 300.0f ? static_cast<unsigned>(sum) : 300u);
        ASSERT_EQ(bits(ordered(sum, k)), bits(sum + static_cast<float>(k))) << sum << " + " << k;
    }
    for (unsigned k = 0; k <= 4096; ++k) ASSERT_EQ(ordered(0.0f, k), static_cast<float>(k));
    const float just_below = 8388607.5f;  // 2^23 - 1/2, above 2^22
    EXPECT_NE(bits(ordered(just_below, 2)), bits(just_below + 2.0f));
}

// Kernels that pick each colour byte v as the float 2^23 + v form the luma
// products as one fused (2^23 + v) w - 2^23 w: the same float as v * w for
// every byte and each of the three weights.
TEST(fused_step_test, biased_byte_products_equal_the_rounded_products) {
    for (const float weight : {kLumaR, kLumaG, kLumaB}) {
        const float bias = weight * 8388608.0f;  // exact: a power-of-two scaling
        EXPECT_EQ(static_cast<double>(bias), static_cast<double>(weight) * 8388608.0);
        for (std::uint32_t v = 0; v < 256; ++v) {
            const float biased = std::bit_cast<float>(0x4B000000u | v);
            ASSERT_EQ(biased, 8388608.0f + static_cast<float>(v));
            const float fused = std::fma(biased, weight, -bias);
            ASSERT_EQ(bits(fused), bits(static_cast<float>(v) * weight)) << v << " * " << weight;
        }
    }
}

// Kernels with fused multiply-adds draw heat colours with q = fl(2s - 1) and
// fl(255 - 255 |q|) in one rounding each, which needs 1 - |q| to be exact for
// every s in [0, 1] (2s is exact anyway): checked for every such float s.
TEST(fused_step_test, one_minus_abs_q_is_exact_for_every_heat_position) {
    std::uint64_t inexact = 0;
    for (std::uint32_t b = 0; b <= 0x3F800000u; ++b) {
        const float s = std::bit_cast<float>(b);
        const float q = (s + s) - 1.0f;
        const float a = std::fabs(q);
        inexact += static_cast<double>(1.0f - a) != 1.0 - static_cast<double>(a);
    }
    EXPECT_EQ(inexact, 0u);
    const float q = (-0.0f + -0.0f) - 1.0f;  // s = -0, the root of -0
    EXPECT_EQ(static_cast<double>(1.0f - std::fabs(q)), 1.0 - std::fabs(static_cast<double>(q)));
}

// The vector kernels rely on every similarity term lying in [0, 1]: luma is
// monotonic in each channel, so the largest luma difference is white against
// black, whose term is exactly 0.
TEST(exact_sum_test, similarity_terms_lie_between_zero_and_one) {
    const std::uint8_t white[3] = {255, 255, 255};
    const std::uint8_t black[3] = {0, 0, 0};
    EXPECT_EQ(bits(similarity_term(white, black)), 0u);
    EXPECT_EQ(bits(similarity_term(black, white)), 0u);
    Random random(4);
    for (int i = 0; i < 1000000; ++i) {
        std::uint8_t l[3], r[3];
        for (int c = 0; c < 3; ++c) {
            l[c] = random.byte();
            r[c] = random.below(4) == 0 ? static_cast<std::uint8_t>(255 * random.below(2)) : random.byte();
        }
        const float term = similarity_term(l, r);
        ASSERT_TRUE(term >= 0.0f && term <= 1.0f && !std::signbit(term)) << term;
    }
}

// add_ones against the additions it replaces, including counts far above the
// sum and sums with fine fractional bits.
TEST(exact_sum_test, add_ones_equals_ordered_additions_of_one) {
    Random random(12);
    for (int trial = 0; trial < 20000; ++trial) {
        const float sum = random.below(8) == 0
                              ? 0.0f
                              : std::bit_cast<float>(static_cast<std::uint32_t>(
                                    0x33800000u + random.below(0x4A000000u - 0x33800000u)));
        const std::uint64_t count = random.below(random.below(2) == 0 ? 64 : 100000);
        float ordered = sum;
        for (std::uint64_t i = 0; i < count; ++i) ordered = ordered + 1.0f;
        ASSERT_EQ(bits(add_ones(sum, count)), bits(ordered)) << sum << " + " << count << " ones";
    }
}

// ---- kernel selection -----------------------------------------------------------------

TEST(kernel_selection_test, table_is_in_priority_order_and_ends_with_scalar) {
    const auto kernels = diff_kernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_STREQ(kernels.back().name, "scalar");
    EXPECT_EQ(select_diff_kernel(nullptr).run, select_diff_kernel("").run);
    // The automatic choice is the first kernel that runs here.
    for (const DiffKernelInfo& kernel : kernels) {
        if (!kernel.runs()) continue;
        EXPECT_STREQ(select_diff_kernel(nullptr).name, kernel.name);
        break;
    }
}

TEST(kernel_selection_test, every_kernel_has_a_largest_distance_and_a_colouring) {
    for (const DiffKernelInfo& kernel : diff_kernels()) {
        EXPECT_NE(kernel.largest, nullptr) << kernel.name;
        EXPECT_NE(kernel.heat, nullptr) << kernel.name;
    }
}

TEST(kernel_selection_test, every_runnable_kernel_can_be_forced) {
    for (const DiffKernelInfo& kernel : diff_kernels()) {
        if (!kernel.runs()) continue;
        EXPECT_EQ(select_diff_kernel(kernel.name).run, kernel.run) << kernel.name;
    }
}

TEST(kernel_selection_test, unknown_name_fails_naming_the_variable_and_valid_names) {
    try {
        select_diff_kernel("avx1024");
        FAIL() << "no failure";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(),
                  "QUILLET_KERNEL=avx1024 is not a kernel name; valid names: scalar, avx2, "
                  "avx512, neon");
    }
}

TEST(kernel_selection_test, a_kernel_that_cannot_run_here_is_refused) {
    // neon on x86-64 or avx512 on arm64: known, but absent from this build.
    const char* absent = nullptr;
    for (const char* name : {"neon", "avx512", "avx2"}) {
        bool present = false;
        for (const DiffKernelInfo& kernel : diff_kernels())
            present = present || (std::string(kernel.name) == name && kernel.runs());
        if (!present) {
            absent = name;
            break;
        }
    }
    ASSERT_NE(absent, nullptr);
    try {
        select_diff_kernel(absent);
        FAIL() << "no failure";
    } catch (const Panic& failure) {
        EXPECT_NE(failure.message().find(std::string("QUILLET_KERNEL=") + absent), std::string::npos)
            << failure.message();
        EXPECT_NE(failure.message().find("available here: "), std::string::npos);
    }
}

// On a processor with AVX-512 BW and VBMI the automatic choice must be the
// avx512 kernel, both from the table and for the process (variable unset). The
// processor is asked directly, not through cpu_features(), so a detection that
// loses VBMI fails here instead of quietly running a slower kernel.
TEST(kernel_selection_test, avx512_is_chosen_where_the_processor_has_vbmi) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    const bool vbmi = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("popcnt");
    if (!vbmi) GTEST_SKIP() << "this processor lacks AVX-512 BW/VBMI; the avx512 kernel cannot run";
    ASSERT_NE(kernel_named("avx512"), nullptr) << "an x86-64 build must contain the avx512 kernel";
    EXPECT_STREQ(select_diff_kernel(nullptr).name, "avx512");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("QUILLET_KERNEL");
            std::exit(active_diff_kernel() == kernel_named("avx512") ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
#else
    GTEST_SKIP() << "not an x86 processor";
#endif
}

// The environment variable itself, read once per process: checked in a fresh
// process for each value.
class KernelEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(KernelEnvironmentTest, variable_forces_the_named_kernel) {
    for (const DiffKernelInfo& kernel : diff_kernels()) {
        if (!kernel.runs()) continue;
        const std::string name = kernel.name;
        EXPECT_EXIT(
            {
                setenv("QUILLET_KERNEL", name.c_str(), 1);
                std::exit(active_diff_kernel() == kernel_named(name) ? 7 : 1);
            },
            ::testing::ExitedWithCode(7), "")
            << name;
    }
}

// Exits with 7 when both comparisons under an unknown kernel name fail and the
// cached frames survive them (the kernel is resolved before any state changes).
[[noreturn]] void compare_twice_with_unknown_kernel() {
    setenv("QUILLET_KERNEL", "fastest", 1);
    const Bytes frame{1, 2, 3};
    cache_frame_slot(0, frame, 1, 1);
    cache_frame_slot(1, frame, 1, 1);
    int failures = 0;
    for (int i = 0; i < 2; ++i) {
        try {
            compare_cached();
        } catch (const Panic&) {
            ++failures;
        }
    }
    CacheHold hold(CacheHold::Mode::shared);
    const bool kept =
        hold->slots[0].rgb == frame && hold->slots[1].rgb == frame && hold->diff_rgba.empty();
    std::exit(failures == 2 && kept ? 7 : 1);
}

TEST_F(KernelEnvironmentTest, unknown_name_in_the_variable_fails_every_comparison) {
    EXPECT_EXIT(compare_twice_with_unknown_kernel(), ::testing::ExitedWithCode(7),
                "QUILLET_KERNEL=fastest is not a kernel name");
}

}  // namespace
}  // namespace quillet
