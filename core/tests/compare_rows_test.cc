// Row-by-row comparisons against the literal ones: large frames sampled
// straight from the cached frames give what reducing them into copies and
// comparing those gives (figures, picture, history, state), and frames read in
// place with a row stride give what their packed copies give.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "frame_cache.h"
#include "panic.h"
#include "reduced_rows.h"
#include "row_sampling.h"
#include "test_support.h"
#include "utils.h"

namespace quillet {
namespace {

using testing::Bytes;
using testing::Random;
using testing::same_bits;

// Random content with a tenth of the pixels equal in both frames and runs of
// identical rows, so that every kind of block occurs.
struct Pair {
    Bytes left, right;
};
Pair pair_of(std::size_t width, std::size_t height, std::uint64_t seed) {
    Random random(seed);
    Pair p{random.bytes(3 * width * height), {}};
    p.right = p.left;
    for (std::size_t y = 0; y < height; ++y) {
        if (y % 7 == 3) continue;  // an identical row
        for (std::size_t x = 0; x < width; ++x)
            if (random.below(10) != 0)
                for (std::size_t c = 0; c < 3; ++c)
                    p.right[3 * (y * width + x) + c] =
                        static_cast<std::uint8_t>(p.left[3 * (y * width + x) + c] + random.below(90));
    }
    return p;
}

void expect_same_state(const FrameCache& got, const FrameCache& want, const std::string& where) {
    EXPECT_EQ(got.diff_rgba, want.diff_rgba) << where;
    ASSERT_EQ(got.ema_buffer.size(), want.ema_buffer.size()) << where;
    for (std::size_t i = 0; i < got.ema_buffer.size(); ++i)
        ASSERT_TRUE(same_bits(got.ema_buffer[i], want.ema_buffer[i])) << where << " entry " << i;
    EXPECT_TRUE(same_bits(got.last_max_diff, want.last_max_diff)) << where;
    EXPECT_EQ(got.ema_primed, want.ema_primed) << where;
}

void expect_same_metrics(const Metrics& got, const Metrics& want, const std::string& where) {
    EXPECT_TRUE(same_bits(got.ssim, want.ssim)) << where << " ssim " << got.ssim << " " << want.ssim;
    EXPECT_TRUE(same_bits(got.psnr, want.psnr)) << where;
    EXPECT_TRUE(same_bits(got.mse, want.mse)) << where;
    EXPECT_TRUE(same_bits(got.max_diff, want.max_diff)) << where;
}

// compute_diff_impl on the literal reductions, on a cache of its own.
Metrics literal_reduced(FrameCache& model, const Bytes& left, const Bytes& right, int w, int h) {
    const CompareSize size = reduced_size(w, h);
    Bytes left_small(3 * static_cast<std::size_t>(size.width) * size.height);
    Bytes right_small(left_small.size());
    downsample_bilinear(left, w, h, left_small, size.width, size.height);
    downsample_bilinear(right, w, h, right_small, size.width, size.height);
    return model.compute_diff_impl(left_small, right_small, size.width, size.height);
}

struct SizeCase {
    int width, height;
    std::size_t drop;  // bytes missing at the end of the right frame (never sampled ones)
};

class SampledTest : public ::testing::TestWithParam<SizeCase> {};

// Three comparisons in a row with smoothing off, then on (priming, then
// smoothing): each one's figures and state equal the literal path's.
TEST_P(SampledTest, matches_the_literal_reduction_in_every_pass) {
    const SizeCase c = GetParam();
    const auto w = static_cast<std::size_t>(c.width), h = static_cast<std::size_t>(c.height);
    testing::on_fresh_thread([&] {
        FrameCache model, direct;
        for (int step = 0; step < 4; ++step) {
            Pair p = pair_of(w, h, 100 + static_cast<std::uint64_t>(step));
            p.right.resize(p.right.size() - c.drop);
            const float alpha = step < 2 ? 1.0f : 0.4f;
            set_ema_alpha(alpha);
            model.ema_alpha = direct.ema_alpha = alpha;
            cache_frame_slot(0, p.left, c.width, c.height);
            cache_frame_slot(1, p.right, c.width, c.height);
            const Metrics got = compare_cached();
            const Metrics want = literal_reduced(model, p.left, p.right, c.width, c.height);
            const std::string where = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                      " step " + std::to_string(step);
            expect_same_metrics(got, want, where);
            const FrameCache state = testing::snapshot_cache();
            expect_same_state(state, model, where);
            EXPECT_EQ(state.slots[0].rgb, p.left) << where;  // the slots keep their frames
            EXPECT_EQ(state.slots[1].rgb, p.right) << where;
            // The row-by-row path itself takes these frames (no literal fallback).
            const CompareSize size = reduced_size(c.width, c.height);
            Metrics sampled{};
            ASSERT_TRUE(compare_sampled(direct, p.left, p.right, c.width, c.height, size.width,
                                        size.height, sampled))
                << where;
            expect_same_metrics(sampled, want, where);
            expect_same_state(direct, model, where);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    sizes, SampledTest,
    ::testing::Values(SizeCase{1281, 720, 0}, SizeCase{1280, 721, 0}, SizeCase{1366, 768, 0},
                      SizeCase{1920, 1080, 0}, SizeCase{1920, 1200, 0}, SizeCase{2560, 1440, 0},
                      SizeCase{3840, 2160, 0}, SizeCase{4096, 2160, 0},
                      SizeCase{1000, 1000, 0}, SizeCase{720, 1280, 0},
                      // The last row of 1281 x 720 and the last column of 1920 x 1080
                      // are never sampled: frames without them still compare.
                      SizeCase{1281, 720, 3 * 1281}, SizeCase{1920, 1080, 3}),
    [](const auto& info) {
        return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
               (info.param.drop != 0 ? "_short" : "");
    });

// A frame that lacks a sampled byte fails as the literal reduction does, at
// the same byte, leaving the slots, the picture and the history alone.
TEST(sampled_test, frame_short_of_a_sampled_byte_fails_as_before) {
    for (const std::size_t missing : {std::size_t{1}, std::size_t{3 * 1920 * 2 + 5}}) {
        testing::on_fresh_thread([&] {
            const Pair p = pair_of(1920, 1080, 7);
            Bytes right = p.right;
            // The last sampled pixel of 1920 x 1080 is source (1918, 1078).
            right.resize(3 * (1078 * 1920 + 1918) + 3 - missing);
            init_cache(2, 2);
            cache_frame_slot(0, p.left, 1920, 1080);
            cache_frame_slot(1, right, 1920, 1080);
            Bytes small(3 * 1280 * 720), left_small(3 * 1280 * 720);
            std::string want;
            try {
                downsample_bilinear(p.left, 1920, 1080, left_small, 1280, 720);
                downsample_bilinear(right, 1920, 1080, small, 1280, 720);
            } catch (const Panic& failure) {
                want = failure.what();
            }
            ASSERT_FALSE(want.empty());
            std::string got;
            try {
                compare_cached();
            } catch (const Panic& failure) {
                got = failure.what();
            }
            EXPECT_EQ(got, want);
            FrameCache untouched;
            Metrics unused{};
            EXPECT_FALSE(compare_sampled(untouched, p.left, right, 1920, 1080, 1280, 720, unused));
            EXPECT_TRUE(untouched.diff_rgba.empty());
            const FrameCache state = testing::snapshot_cache();
            EXPECT_EQ(state.slots[1].rgb, right);
            EXPECT_EQ(state.diff_rgba, Bytes(16, 0));
        });
    }
}

struct StrideCase {
    int width, height;
    std::ptrdiff_t padding;  // bytes between rows
};

class StridedTest : public ::testing::TestWithParam<StrideCase> {};

// Rows with padding between them (filled with bytes that would change every
// figure if read) give what the packed frames give, in every pass.
TEST_P(StridedTest, matches_the_packed_comparison) {
    const StrideCase c = GetParam();
    const auto w = static_cast<std::size_t>(c.width), h = static_cast<std::size_t>(c.height);
    const Pair p = pair_of(w, h, 31);
    const std::size_t stride = 3 * w + static_cast<std::size_t>(c.padding);
    Bytes left(stride * h + 1, 0xEE), right(stride * h + 1, 0x11);
    for (std::size_t y = 0; y < h; ++y) {
        std::copy_n(p.left.begin() + static_cast<std::ptrdiff_t>(3 * w * y), 3 * w, left.begin() + static_cast<std::ptrdiff_t>(stride * y));
        std::copy_n(p.right.begin() + static_cast<std::ptrdiff_t>(3 * w * y), 3 * w, right.begin() + static_cast<std::ptrdiff_t>(stride * y));
    }
    FrameCache strided, packed;
    for (const float alpha : {1.0f, 0.5f, 0.5f}) {
        strided.ema_alpha = packed.ema_alpha = alpha;
        const Metrics got = strided.compare_rows({left.data(), stride, c.width, c.height},
                                                 {right.data(), stride, c.width, c.height});
        const Metrics want = packed.compute_diff_impl(p.left, p.right, c.width, c.height);
        const std::string where = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                  " alpha " + std::to_string(alpha);
        expect_same_metrics(got, want, where);
        expect_same_state(strided, packed, where);
    }
}

INSTANTIATE_TEST_SUITE_P(
    sizes, StridedTest,
    ::testing::Values(StrideCase{1280, 720, 0}, StrideCase{1279, 33, 5}, StrideCase{17, 300, 64},
                      StrideCase{1, 5, 1}, StrideCase{640, 0, 3}, StrideCase{0, 4, 3},
                      StrideCase{2001, 9, 13}),
    [](const auto& info) {
        return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) + "_pad" +
               std::to_string(info.param.padding);
    });

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

// The planned copy of a row against the plain one, for steps from 1 (every
// column) to past the largest step a plan holds; a plan that needs too many
// chunks is refused.
struct SamplingCase {
    int source_width, columns;
    bool fits;  // whether 128 chunks hold the plan
};

// A source row that ends at its last sampled byte, just before a page that
// cannot be read: a copy that reads past that byte faults.
class GuardedRow {
public:
    explicit GuardedRow(const Bytes& row) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t pages = (row.size() + page - 1) / page;
        size_ = (pages + 1) * page;
        void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<std::uint8_t*>(mapped);
        mprotect(base_ + pages * page, page, PROT_NONE);
        data_ = base_ + pages * page - row.size();
        std::memcpy(data_, row.data(), row.size());
    }
    ~GuardedRow() { munmap(base_, size_); }
    GuardedRow(const GuardedRow&) = delete;
    GuardedRow& operator=(const GuardedRow&) = delete;
    const std::uint8_t* data() const { return data_; }

private:
    std::uint8_t* base_;
    std::uint8_t* data_;
    std::size_t size_;
};

class RowSamplingTest : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(RowSamplingTest, planned_copy_equals_column_by_column_copy) {
    const auto [source_width, columns, fits] = GetParam();
    const float step = static_cast<float>(source_width) / static_cast<float>(columns);
    std::vector<std::int32_t> offsets(static_cast<std::size_t>(columns));
    for (int x = 0; x < columns; ++x)
        offsets[static_cast<std::size_t>(x)] = 3 * static_cast<std::int32_t>(static_cast<float>(x) * step);
    SamplePlan plan;
    const bool planned = plan_row_sampling(offsets.data(), offsets.size(), plan);
    // Chunks hold at most 21 pixels within 128 bytes: at a step s a chunk
    // holds about 42 / s of them.
    EXPECT_EQ(planned, fits) << source_width << " -> " << columns;
    const RowSampler sampler = active_row_sampler();
    if (!planned) return;  // refused, as it must be: the columns are copied one by one
    if (sampler == nullptr) GTEST_SKIP() << "no vector row copy on this processor";
    Random random(static_cast<std::uint64_t>(source_width));
    // Each row ends at its last sampled byte: the copy must read nothing after it.
    const Bytes left_row = random.bytes(static_cast<std::size_t>(offsets.back()) + 3);
    const Bytes right_row = random.bytes(left_row.size());
    const GuardedRow left(left_row), right(right_row);
    const Bytes ahead = random.bytes(left_row.size());
    Bytes want_left(3 * offsets.size() + 64, 0x5A), want_right(want_left);
    for (std::size_t x = 0; x < offsets.size(); ++x) {
        std::memcpy(want_left.data() + 3 * x, left_row.data() + offsets[x], 3);
        std::memcpy(want_right.data() + 3 * x, right_row.data() + offsets[x], 3);
    }
    // Both rows in one call, each written exactly (the bytes after the row keep
    // their value), whatever the rows asked for ahead.
    Bytes got_left(want_left.size(), 0x5A), got_right(want_right.size(), 0x5A);
    sampler({left.data(), right.data(), ahead.data(), ahead.data(), got_left.data(), got_right.data()},
            plan);
    EXPECT_EQ(got_left, want_left);
    EXPECT_EQ(got_right, want_right);
    // A second copy over other bytes replaces every pixel of the first.
    const GuardedRow swapped_left(right_row), swapped_right(left_row);
    sampler({swapped_left.data(), swapped_right.data(), left.data(), right.data(), got_left.data(),
             got_right.data()},
            plan);
    EXPECT_EQ(got_left, want_right);
    EXPECT_EQ(got_right, want_left);
}

INSTANTIATE_TEST_SUITE_P(steps, RowSamplingTest,
                         ::testing::Values(SamplingCase{1280, 1280, true},
                                           SamplingCase{1281, 1280, true},
                                           SamplingCase{1920, 1280, true},
                                           SamplingCase{3840, 1280, true},
                                           SamplingCase{4096, 1280, true},
                                           SamplingCase{1000, 720, true}, SamplingCase{7, 5, true},
                                           SamplingCase{2000, 1999, true},
                                           SamplingCase{2559, 1280, true},
                                           SamplingCase{2560, 1280, true},
                                           SamplingCase{1920, 1152, true},
                                           SamplingCase{1366, 1280, true},
                                           SamplingCase{3840, 1279, true},
                                           SamplingCase{1920, 21, true},
                                           SamplingCase{48, 16, true},
                                           SamplingCase{8000, 1280, false},
                                           SamplingCase{8000, 600, false},
                                           SamplingCase{2100, 2100, true},
                                           SamplingCase{2700, 2700, false},
                                           // Repeating every 4 columns would need 160
                                           // chunks: cut as they fit instead.
                                           SamplingCase{5440, 1280, true}),
                         [](const auto& info) {
                             return std::to_string(info.param.source_width) + "_to_" +
                                    std::to_string(info.param.columns);
                         });

}  // namespace
}  // namespace quillet
