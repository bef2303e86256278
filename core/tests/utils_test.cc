// downsample_bilinear: which source pixels are sampled, empty destinations, and
// failures on sources that lack sampled bytes.
#include <gtest/gtest.h>

#include <string>

#include "panic.h"
#include "test_support.h"
#include "utils.h"

namespace quillet {
namespace {

using testing::Bytes;

// A frame whose every pixel spells its own column and row.
Bytes coordinate_frame(int width, int height) {
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(x & 0xFF);
            p[1] = static_cast<std::uint8_t>((x >> 8) | ((y >> 8) << 4));
            p[2] = static_cast<std::uint8_t>(y & 0xFF);
        }
    return rgb;
}

int column_of(const Bytes& rgb, std::size_t pixel) {
    return rgb[3 * pixel] | ((rgb[3 * pixel + 1] & 0x0F) << 8);
}
int row_of(const Bytes& rgb, std::size_t pixel) {
    return rgb[3 * pixel + 2] | ((rgb[3 * pixel + 1] >> 4) << 8);
}

struct ColumnCase {
    int src_width, dst_width;
    std::vector<int> first_columns, last_columns;
};

class SampledColumnsTest : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(SampledColumnsTest, uses_truncated_positions) {
    const ColumnCase c = GetParam();
    const Bytes src = coordinate_frame(c.src_width, 1);
    Bytes dst(static_cast<std::size_t>(c.dst_width) * 3);
    downsample_bilinear(src, c.src_width, 1, dst, c.dst_width, 1);
    for (std::size_t i = 0; i < c.first_columns.size(); ++i)
        EXPECT_EQ(column_of(dst, i), c.first_columns[i]) << "destination column " << i;
    const std::size_t tail = c.dst_width - c.last_columns.size();
    for (std::size_t i = 0; i < c.last_columns.size(); ++i)
        EXPECT_EQ(column_of(dst, tail + i), c.last_columns[i]) << "destination column " << tail + i;
}

INSTANTIATE_TEST_SUITE_P(
    table, SampledColumnsTest,
    ::testing::Values(ColumnCase{1920, 1280, {0, 1, 3, 4, 6, 7}, {1915, 1917, 1918}},
                      ColumnCase{3840, 1280, {0, 3, 6, 9}, {3831, 3834, 3837}},
                      ColumnCase{4096, 1280, {0, 3, 6, 9, 12, 16, 19, 22}, {4086, 4089, 4092}},
                      ColumnCase{1281, 1280, {0, 1, 2}, {1277, 1278, 1279}},
                      ColumnCase{1000, 720, {0, 1, 2, 4, 5, 6, 8, 9}, {995, 997, 998}}),
    [](const auto& info) {
        return std::to_string(info.param.src_width) + "_to_" + std::to_string(info.param.dst_width);
    });

TEST(downsample_test, equal_sizes_copy_the_frame) {
    testing::Random random(3);
    const Bytes src = random.bytes(17 * 9 * 3);
    Bytes dst(src.size());
    downsample_bilinear(src, 17, 9, dst, 17, 9);
    EXPECT_EQ(dst, src);
}

TEST(downsample_test, thirds_in_both_directions) {
    const Bytes src = coordinate_frame(3840, 2160);
    Bytes dst(1280 * 720 * 3);
    downsample_bilinear(src, 3840, 2160, dst, 1280, 720);
    for (int y = 0; y < 720; y += 7)
        for (int x = 0; x < 1280; x += 13) {
            const std::size_t i = static_cast<std::size_t>(y) * 1280 + x;
            ASSERT_EQ(column_of(dst, i), 3 * x);
            ASSERT_EQ(row_of(dst, i), 3 * y);
        }
}

TEST(downsample_test, empty_destination_writes_nothing) {
    const Bytes src(2000 * 3, 7);
    Bytes dst(6, 0xEE);
    downsample_bilinear(src, 2000, 1, dst, 1280, 0);
    downsample_bilinear(src, 2000, 1, dst, 0, 1);
    downsample_bilinear(Bytes{}, 2000, 1, dst, -3, 1);
    EXPECT_EQ(dst, Bytes(6, 0xEE));
}

TEST(downsample_test, unsampled_last_row_may_be_missing) {
    Bytes src = coordinate_frame(1281, 720);
    src.resize(1281 * 719 * 3);  // row 719 is never sampled at 1280 x 719
    Bytes dst(1280 * 719 * 3);
    EXPECT_NO_THROW(downsample_bilinear(src, 1281, 720, dst, 1280, 719));
    EXPECT_EQ(row_of(dst, 1280u * 718), 718);
}

TEST(downsample_test, short_source_fails_after_copying_what_it_could) {
    const Bytes full = coordinate_frame(4, 2);
    const Bytes src(full.begin(), full.begin() + 13);  // pixel (0,1) starts at 12
    Bytes dst(2 * 2 * 3, 0);
    try {
        downsample_bilinear(src, 4, 2, dst, 2, 2);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(), "index out of bounds: the len is 13 but the index is 13");
    }
    EXPECT_EQ(column_of(dst, 1), 2);  // first row done
    EXPECT_EQ(dst[6], full[12]);      // the failing pixel's first channel was copied
    EXPECT_EQ(dst[7], 0);
}

// A 4 x 1 frame halved samples columns 0 and 2; column 2 needs bytes 6, 7 and 8,
// so an 8-byte source fails at index 8 after copying bytes 6 and 7. Every row
// here is one whose last sampled pixel ends exactly one byte past the source:
// a fast path that skips the per-byte checks one byte too early would read
// past the buffer (caught under AddressSanitizer) and fail to panic.
struct ShortSourceCase {
    const char* name;
    int src_width, src_height, dst_width, dst_height;
    std::size_t src_bytes, failing_index;
};

class ShortSourceTest : public ::testing::TestWithParam<ShortSourceCase> {};

TEST_P(ShortSourceTest, fails_exactly_at_the_first_missing_byte) {
    const ShortSourceCase c = GetParam();
    const Bytes full = coordinate_frame(c.src_width, c.src_height);
    // A heap buffer of exactly src_bytes, so any read beyond it is an overflow.
    const Bytes src(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.src_bytes));
    ASSERT_EQ(src.capacity(), c.src_bytes);
    Bytes dst(static_cast<std::size_t>(c.dst_width) * c.dst_height * 3, 0);
    try {
        downsample_bilinear(src, c.src_width, c.src_height, dst, c.dst_width, c.dst_height);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(), "index out of bounds: the len is " +
                                         std::to_string(c.src_bytes) + " but the index is " +
                                         std::to_string(c.failing_index));
    }
    // The failing pixel's channels before the missing byte were copied, nothing after.
    const std::size_t failing_pixel_start = c.failing_index - 2;
    const std::size_t dst_pixel = dst.size() - 3;
    EXPECT_EQ(dst[dst_pixel], full[failing_pixel_start]);
    EXPECT_EQ(dst[dst_pixel + 1], full[failing_pixel_start + 1]);
    EXPECT_EQ(dst[dst_pixel + 2], 0);
}

INSTANTIATE_TEST_SUITE_P(
    table, ShortSourceTest,
    ::testing::Values(ShortSourceCase{"4x1_to_2x1", 4, 1, 2, 1, 8, 8},
                      ShortSourceCase{"6x1_to_2x1", 6, 1, 2, 1, 11, 11},
                      ShortSourceCase{"1x1_to_1x1", 1, 1, 1, 1, 2, 2},
                      ShortSourceCase{"4x2_to_2x2", 4, 2, 2, 2, 20, 20}),
    [](const auto& info) { return std::string(info.param.name); });

// Upscaling repeats a source pixel; the last copy of the only pixel must not read
// a fourth byte from a three-byte source.
TEST(downsample_test, repeated_last_pixel_reads_only_its_own_bytes) {
    const Bytes src{10, 20, 30};
    ASSERT_EQ(src.capacity(), 3u);
    Bytes dst(3 * 3, 0);
    downsample_bilinear(src, 1, 1, dst, 3, 1);
    EXPECT_EQ(dst, (Bytes{10, 20, 30, 10, 20, 30, 10, 20, 30}));
}

TEST(downsample_test, short_destination_fails_after_source_check) {
    const Bytes src = coordinate_frame(2, 1);
    Bytes dst(4, 0);
    try {
        downsample_bilinear(src, 2, 1, dst, 2, 1);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message(), "index out of bounds: the len is 4 but the index is 4");
    }
}

// Offsets are wrapping 32-bit values; one that wraps negative must be refused,
// never used to read before the buffer.
TEST(downsample_test, wrapped_negative_offset_is_refused) {
    const Bytes src(64, 1);
    Bytes dst(2 * 2 * 3, 0);
    try {
        downsample_bilinear(src, 0x40000000, 4, dst, 2, 2);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        EXPECT_EQ(failure.message().rfind("index out of bounds: the len is 64 but the index is ", 0),
                  0u);
    }
}

}  // namespace
}  // namespace quillet
