// DirectComparer and the full-size picture against the frame cache: the same
// figures and picture bytes for packed and strided frames, reduced or not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "direct_compare.h"
#include "full_size_diff.h"
#include "panic.h"
#include "test_support.h"

namespace quillet::testing {
namespace {

// A right frame that differs from `left` in a scattered share of its pixels.
Bytes changed_copy(const Bytes& left, Random& random, std::uint32_t one_in) {
    Bytes right = left;
    for (std::size_t i = 0; i + 2 < right.size(); i += 3)
        if (random.below(one_in) == 0)
            for (std::size_t c = 0; c < 3; ++c) right[i + c] = random.byte();
    return right;
}

// A right frame that differs from `left` in every pixel of a band of rows,
// the first third of the frame down, a tenth of its height (one row at least):
// changes in a few rows, as against changes in nearly all of them.
Bytes changed_band(const Bytes& left, Random& random, int width, int height) {
    Bytes right = left;
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    const int first = height / 3;
    for (int y = first; y < first + std::max(1, height / 10); ++y)
        for (std::size_t i = 0; i < row; ++i) right[y * row + i] = random.byte();
    return right;
}

// A right frame that differs from `left` in three patches of random pixels:
// one at the left edge, one in the middle, one at the right edge (so rows end
// in changed pixels), of widths that are no multiple of a vector block.
Bytes changed_patches(const Bytes& left, Random& random, int width, int height) {
    Bytes right = left;
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    const int patch_height = height / 8 + 1;
    const int starts[][2] = {{0, 0},
                             {width / 3, height / 3},
                             {width - std::max(1, width / 7 + 3), height - patch_height}};
    for (const auto& start : starts) {
        const int x0 = std::max(0, start[0]);
        const int x1 = std::min(width, x0 + std::max(1, width / 7 + 3));
        for (int y = start[1]; y < std::min(height, start[1] + patch_height); ++y)
            for (int x = x0; x < x1; ++x)
                for (std::size_t c = 0; c < 3; ++c) right[y * row + 3 * x + c] = random.byte();
    }
    return right;
}

// The layouts of changes in DirectCompareTest: `one_in` 0 is a band of
// changed rows, kPatches the patches above, any other value one changed
// pixel in `one_in`.
constexpr std::uint32_t kPatches = 0xFFFFFFFFu;

// The same frame with `gap` bytes after every row.
Bytes with_row_gap(const Bytes& packed, int width, int height, std::size_t gap) {
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    Bytes out((row + gap) * static_cast<std::size_t>(height), 0xA5);
    for (int y = 0; y < height; ++y)
        std::memcpy(out.data() + y * (row + gap), packed.data() + y * row, row);
    return out;
}

struct CoreResult {
    Metrics metrics;
    Bytes picture;
};

// The cache's result with the picture scaled to the pair's own max_diff.
CoreResult cache_result(const Bytes& left, const Bytes& right, int width, int height) {
    CoreResult result;
    on_fresh_thread([&] {
        for (int pass = 0; pass < 2; ++pass) {
            init_cache(width, height);
            cache_frame_slot(0, left, width, height);
            cache_frame_slot(1, right, width, height);
            result.metrics = compare_cached();
        }
        result.picture = get_diff_rgba();
    });
    return result;
}

void expect_same(const Metrics& a, const Metrics& b) {
    EXPECT_TRUE(same_bits(a.ssim, b.ssim));
    EXPECT_TRUE(same_bits(a.psnr, b.psnr));
    EXPECT_TRUE(same_bits(a.mse, b.mse));
    EXPECT_TRUE(same_bits(a.max_diff, b.max_diff));
}

class DirectCompareTest
    : public ::testing::TestWithParam<std::tuple<int, int, std::size_t, std::uint32_t>> {};

TEST_P(DirectCompareTest, gives_the_frame_cache_figures_and_picture) {
    const auto [width, height, gap, one_in] = GetParam();
    Random random(static_cast<std::uint64_t>(width * 7 + height + gap));
    const Bytes left = random.bytes(static_cast<std::size_t>(width) * height * 3);
    const Bytes right = one_in == 0          ? changed_band(left, random, width, height)
                        : one_in == kPatches ? changed_patches(left, random, width, height)
                                             : changed_copy(left, random, one_in);
    const CoreResult expected = cache_result(left, right, width, height);

    const Bytes left_rows = with_row_gap(left, width, height, gap);
    const Bytes right_rows = with_row_gap(right, width, height, gap);
    const std::size_t stride = static_cast<std::size_t>(width) * 3 + gap;
    const FrameRows l{left_rows.data(), stride, width, height};
    const FrameRows r{right_rows.data(), stride, width, height};
    DirectComparer comparer;
    expect_same(comparer.compare(l, r, false), expected.metrics);
    for (int repeat = 0; repeat < 2; ++repeat) {
        expect_same(comparer.compare(l, r, true), expected.metrics);
        const auto picture = comparer.picture();
        EXPECT_EQ(Bytes(picture.begin(), picture.end()), expected.picture);
    }
    // The picture made in a caller's buffer, after a comparison at another
    // scale, as the first call of a fresh comparer, and repeated.
    for (int repeat = 0; repeat < 2; ++repeat) {
        Bytes into(expected.picture.size(), 0x5A);
        expect_same(comparer.compare_into(l, r, into), expected.metrics);
        EXPECT_EQ(into, expected.picture);
    }
    DirectComparer fresh;
    Bytes into(expected.picture.size(), 0x5A);
    expect_same(fresh.compare_into(l, r, into), expected.metrics);
    EXPECT_EQ(into, expected.picture);
}

TEST(direct_compare_into_test, refuses_a_buffer_of_another_size) {
    const int width = 1300, height = 10;  // compared at 1280 x 9
    Random random(9);
    const Bytes left = random.bytes(static_cast<std::size_t>(width) * height * 3);
    const FrameRows frame{left.data(), static_cast<std::size_t>(width) * 3, width, height};
    DirectComparer comparer;
    Bytes too_big(static_cast<std::size_t>(width) * height * 4);
    EXPECT_THROW(comparer.compare_into(frame, frame, too_big), Panic);
    Bytes fits(std::size_t{1280} * 9 * 4);
    comparer.compare_into(frame, frame, fits);
    EXPECT_EQ(Bytes(fits.begin(), fits.begin() + 3), Bytes(left.begin(), left.begin() + 3));
}

INSTANTIATE_TEST_SUITE_P(
    sizes_layouts_and_shares, DirectCompareTest,
    ::testing::Combine(::testing::Values(1, 37, 1281), ::testing::Values(1, 29, 721),
                       ::testing::Values(std::size_t{0}, std::size_t{5}),
                       ::testing::Values(0u, 1u, 3u, 200u, kPatches)));

// Patches of changes on widths around the vector blocks, whose rows end in
// scalar tails, and on the widest frame compared as it is.
INSTANTIATE_TEST_SUITE_P(patches_on_block_boundaries, DirectCompareTest,
                         ::testing::Combine(::testing::Values(15, 16, 17, 31, 33, 1279, 1280),
                                            ::testing::Values(9, 720),
                                            ::testing::Values(std::size_t{0}, std::size_t{3}),
                                            ::testing::Values(kPatches)));

// Reductions that skip rows and columns (sampled from packed frames in place).
INSTANTIATE_TEST_SUITE_P(large_reductions, DirectCompareTest,
                         ::testing::Combine(::testing::Values(1923), ::testing::Values(1083),
                                            ::testing::Values(std::size_t{0}, std::size_t{2}),
                                            ::testing::Values(0u, 3u, 400u, kPatches)));

TEST(full_size_diff_test, rows_match_the_cache_picture_in_every_band) {
    const int width = 23, height = 17;
    Random random(4);
    const Bytes left = random.bytes(static_cast<std::size_t>(width) * height * 3);
    const Bytes right = changed_copy(left, random, 3);
    const CoreResult expected = cache_result(left, right, width, height);
    const FrameRows l{left.data(), static_cast<std::size_t>(width) * 3, width, height};
    const FrameRows r{right.data(), static_cast<std::size_t>(width) * 3, width, height};
    const std::int32_t largest = max_squared_distance(l, r);
    EXPECT_EQ(static_cast<float>(largest), expected.metrics.max_diff);

    for (int band : {1, 2, 5, height, height + 3}) {
        const std::size_t row_bytes = static_cast<std::size_t>(width) * 4 + 1;
        Bytes picture;
        Bytes rows(row_bytes * static_cast<std::size_t>(band));
        for (int first = 0; first < height; first += band) {
            const int count = std::min(band, height - first);
            full_size_diff_rows(l, r, static_cast<float>(largest), first, count, rows.data(), 1);
            for (int y = 0; y < count; ++y) {
                EXPECT_EQ(rows[y * row_bytes], 0);
                picture.insert(picture.end(), rows.begin() + y * row_bytes + 1,
                               rows.begin() + (y + 1) * row_bytes);
            }
        }
        EXPECT_EQ(picture, expected.picture) << "bands of " << band;
    }
}

}  // namespace
}  // namespace quillet::testing
