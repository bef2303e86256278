// Comparisons fed to the pixel pass one row at a time, each row continuing the
// running figures of the rows before it, which gives the bits of one pass over
// the packed frame: frames read in place with a row stride, and large frames
// sampled row by row straight from the cached frames (no reduced copies).
#include <algorithm>
#include <cstring>

#include "comparison_pass.h"
#include "compute_diff.h"
#include "frame_cache.h"
#include "numeric.h"
#include "panic.h"
#include "reduced_rows.h"
#include "row_sampling.h"

namespace quillet {

namespace {

// `rows(y, left, right)` sets the pointers to row y of both frames.
template <typename Rows>
Metrics compare_row_by_row(FrameCache& cache, std::int32_t width, std::int32_t height, Rows&& rows) {
    const ComparisonPass comparison = begin_comparison(cache, width, height);
    const DiffKernel kernel = active_diff_kernel();
    const auto row_pixels = static_cast<std::size_t>(width);
    PixelPass pass = comparison.pass;
    pass.pixel_count = row_pixels;
    PassSums sums{0.0f, 0.0f, 0.0f};
    if (comparison.pixels != 0) {
        for (std::int32_t y = 0; y < height; ++y) {
            const auto row = static_cast<std::size_t>(y);
            rows(y, pass.left, pass.right);
            pass.rgba = comparison.pass.rgba + 4 * row_pixels * row;
            if (pass.ema != nullptr) pass.ema = comparison.pass.ema + row_pixels * row;
            pass.start = sums;
            sums = kernel(pass);
        }
    }
    return finish_comparison(cache, comparison, sums);
}

}  // namespace

Metrics FrameCache::compare_rows(const FrameRows& left, const FrameRows& right) {
    if (left.width < 0 || left.height < 0) panic("compare_rows: negative frame size");
    return compare_row_by_row(
        *this, left.width, left.height,
        [&](std::int32_t y, const std::uint8_t*& left_row, const std::uint8_t*& right_row) {
            left_row = left.row(y);
            right_row = right.row(y);
        });
}

bool compare_sampled(FrameCache& cache, std::span<const std::uint8_t> left,
                     std::span<const std::uint8_t> right, std::int32_t src_width,
                     std::int32_t src_height, std::int32_t dst_width, std::int32_t dst_height,
                     Metrics& result) {
    if (src_width < 1 || src_height < 1 || dst_width < 1 || dst_height < 1 ||
        dst_width > kMaxCompareWidth || dst_height > kMaxCompareHeight)
        return false;

    // The positions exactly as the reduction computes them (see utils.cc).
    const float step_x =
        static_cast<float>(static_cast<std::uint32_t>(src_width)) / static_cast<float>(dst_width);
    const float step_y =
        static_cast<float>(static_cast<std::uint32_t>(src_height)) / static_cast<float>(dst_height);
    std::int32_t column_offsets[kMaxCompareWidth];  // sx * 3 for every destination column
    for (std::int32_t x = 0; x < dst_width; ++x) {
        const std::int64_t offset =
            std::int64_t{saturating_to_i32(static_cast<float>(x) * step_x)} * 3;
        if (offset < 0 || offset > INT32_MAX) return false;
        column_offsets[x] = static_cast<std::int32_t>(offset);
    }
    auto row_offset = [&](std::int32_t y) {
        return std::int64_t{saturating_to_i32(static_cast<float>(y) * step_y)} * src_width * 3;
    };

    // Positions never decrease along a row or down the rows, so the last pixel
    // has the largest offset: when it and every offset before it are exact in
    // the reduction's 32-bit arithmetic and inside both frames, every sampled
    // byte is present and the reduction could not fail.
    const std::int64_t last = row_offset(dst_height - 1) + column_offsets[dst_width - 1] + 2;
    if (row_offset(0) < 0 || last > INT32_MAX || static_cast<std::size_t>(last) >= left.size() ||
        static_cast<std::size_t>(last) >= right.size())
        return false;

    // One sampled row of each frame at a time, in buffers that stay in L1; the
    // 4-byte copies may write one byte past a row's 3 * dst_width bytes.
    alignas(64) std::uint8_t left_row[3 * kMaxCompareWidth + 4];
    alignas(64) std::uint8_t right_row[3 * kMaxCompareWidth + 4];
    const std::size_t last_column = static_cast<std::size_t>(dst_width - 1);
    // The planned vector copy where there is one; it reads only bytes between a
    // row's first and last sampled ones, all present.
    SamplePlan plan;
    const RowSampler vector_sample = active_row_sampler();
    const bool planned = vector_sample != nullptr &&
                         plan_row_sampling(column_offsets, static_cast<std::size_t>(dst_width), plan);
    auto sample = [&](const std::uint8_t* from, std::uint8_t* to, bool fourth_byte_present) {
        if (planned) {
            vector_sample(from, plan, to);
            return;
        }
        std::size_t x = 0;
        if (fourth_byte_present)
            for (; x < last_column; ++x) std::memcpy(to + 3 * x, from + column_offsets[x], 4);
        for (; x <= last_column; ++x) std::memcpy(to + 3 * x, from + column_offsets[x], 3);
    };
    result = compare_row_by_row(
        cache, dst_width, dst_height,
        [&](std::int32_t y, const std::uint8_t*& left_sampled, const std::uint8_t*& right_sampled) {
            const std::int64_t base = row_offset(y);
            // The byte after a row's last sampled pixel, read by the 4-byte copies.
            const auto after = static_cast<std::size_t>(base + column_offsets[last_column] + 3);
            sample(left.data() + base, left_row, after < left.size());
            sample(right.data() + base, right_row, after < right.size());
            left_sampled = left_row;
            right_sampled = right_row;
        });
    return true;
}

}  // namespace quillet
