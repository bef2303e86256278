// Comparisons fed to the pixel pass one row at a time, each row continuing the
// running figures of the rows before it, which gives the bits of one pass over
// the packed frame: frames read in place with a row stride, and large frames
// sampled row by row straight from the cached frames (no reduced copies).
#include <cstring>

#include "cpu_features.h"
#include "frame_cache.h"
#include "numeric.h"
#include "panic.h"
#include "reduced_rows.h"
#include "row_by_row.h"
#include "row_sampling.h"

namespace quillet {

namespace {

// Copies the sampled pixels of a source row column by column (4 bytes at a
// time while the byte after each pixel is present).
void copy_columns(const std::uint8_t* from, const std::int32_t* column_offsets,
                  std::size_t last_column, bool fourth_byte_present, std::uint8_t* to) {
    std::size_t x = 0;
    if (fourth_byte_present)
        for (; x < last_column; ++x) std::memcpy(to + 3 * x, from + column_offsets[x], 4);
    for (; x <= last_column; ++x) std::memcpy(to + 3 * x, from + column_offsets[x], 3);
}

}  // namespace

Metrics FrameCache::compare_rows(const FrameRows& left, const FrameRows& right) {
    if (left.width < 0 || left.height < 0) panic("compare_rows: negative frame size");
    return compare_row_by_row(
        *this, left.width, left.height,
        [&](std::int32_t y, PixelPass& pass) {
            pass.left = left.row(y);
            pass.right = right.row(y);
        });
}

bool SampledRows::prepare(std::span<const std::uint8_t> left, std::span<const std::uint8_t> right,
                          std::int32_t src_width, std::int32_t src_height, std::int32_t dst_width,
                          std::int32_t dst_height) {
    if (src_width < 1 || src_height < 1 || dst_width < 1 || dst_height < 1 ||
        dst_width > kMaxCompareWidth || dst_height > kMaxCompareHeight)
        return false;

    // The positions exactly as the reduction computes them (see utils.cc).
    const float step_x =
        static_cast<float>(static_cast<std::uint32_t>(src_width)) / static_cast<float>(dst_width);
    step_y_ =
        static_cast<float>(static_cast<std::uint32_t>(src_height)) / static_cast<float>(dst_height);
    src_width_ = src_width;
    for (std::int32_t x = 0; x < dst_width; ++x) {
        const std::int64_t offset =
            std::int64_t{saturating_to_i32(static_cast<float>(x) * step_x)} * 3;
        if (offset < 0 || offset > INT32_MAX) return false;
        column_offsets_[x] = static_cast<std::int32_t>(offset);
    }

    // Positions never decrease along a row or down the rows, so the last pixel
    // has the largest offset: when it and every offset before it are exact in
    // the reduction's 32-bit arithmetic and inside both frames, every sampled
    // byte is present and the reduction could not fail.
    const std::int64_t last = row_offset(dst_height - 1) + column_offsets_[dst_width - 1] + 2;
    if (row_offset(0) < 0 || last > INT32_MAX || static_cast<std::size_t>(last) >= left.size() ||
        static_cast<std::size_t>(last) >= right.size())
        return false;

    left_ = left;
    right_ = right;
    dst_height_ = dst_height;
    last_column_ = static_cast<std::size_t>(dst_width - 1);
    row_span_ = static_cast<std::size_t>(column_offsets_[last_column_]) + 3;
    // The pass asks for the next row's source bytes once a comparison's bytes
    // (both frames' sampled rows and the picture) outgrow what the last-level
    // cache keeps from one comparison to the next, about half of it: the rows
    // then come partly from memory, and asking early took 10-14 % off at 4K.
    // Below that they come from the cache, and the requests only cost
    // instructions (3 % more at 1080p). An unknown cache counts as 16 MiB.
    const std::size_t cache = cpu_features().last_level_cache_bytes;
    const auto rows = static_cast<std::size_t>(dst_height);
    const std::size_t touched =
        2 * rows * row_span_ + 4 * rows * static_cast<std::size_t>(dst_width);
    ask_ahead_ = touched > (cache != 0 ? cache : std::size_t{16} << 20) / 2;
    // The planned vector copy where there is one; it reads only bytes between a
    // row's first and last sampled ones, all present.
    vector_sample_ = active_row_sampler();
    planned_ = vector_sample_ != nullptr &&
               plan_row_sampling(column_offsets_, static_cast<std::size_t>(dst_width), plan_);
    return true;
}

void SampledRows::rows_into(std::int32_t y, std::uint8_t* left, std::uint8_t* right) const {
    const std::int64_t base = row_offset(y);
    if (planned_) {
        // The next row's bytes are asked for while this one is copied: rows
        // are taken top to bottom.
        const std::int64_t ahead = y + 1 < dst_height_ ? row_offset(y + 1) : base;
        vector_sample_({left_.data() + base, right_.data() + base, left_.data() + ahead,
                        right_.data() + ahead, left, right},
                       plan_);
        return;
    }
    // The byte after a row's last sampled pixel, read by the 4-byte copies.
    const auto after = static_cast<std::size_t>(base + column_offsets_[last_column_] + 3);
    copy_columns(left_.data() + base, column_offsets_, last_column_, after < left_.size(), left);
    copy_columns(right_.data() + base, column_offsets_, last_column_, after < right_.size(), right);
}

void SampledRows::rows(std::int32_t y, PixelPass& pass) {
    rows_into(y, left_row_, right_row_);
    pass.left = left_row_;
    pass.right = right_row_;
    // The pass asks for the next row's source bytes while it computes (see prepare).
    if (ask_ahead_ && y + 1 < dst_height_) {
        const std::int64_t next = row_offset(y + 1);
        pass.ahead_left = left_.data() + next;
        pass.ahead_right = right_.data() + next;
        pass.ahead_bytes = row_span_;
    } else {
        pass.ahead_bytes = 0;
    }
}

bool compare_sampled(FrameCache& cache, std::span<const std::uint8_t> left,
                     std::span<const std::uint8_t> right, std::int32_t src_width,
                     std::int32_t src_height, std::int32_t dst_width, std::int32_t dst_height,
                     Metrics& result) {
    SampledRows sampled;
    if (!sampled.prepare(left, right, src_width, src_height, dst_width, dst_height)) return false;
    result = compare_sampled_rows(cache, sampled, dst_width, dst_height);
    return true;
}

Metrics compare_sampled_rows(FrameCache& cache, SampledRows& sampled, std::int32_t dst_width,
                             std::int32_t dst_height, RowTargets targets) {
    // Each row is sampled whole into buffers that stay in the nearest cache,
    // then compared, while the next row's source bytes arrive from memory.
    return compare_row_by_row(
        cache, dst_width, dst_height,
        [&](std::int32_t y, PixelPass& pass) { sampled.rows(y, pass); },
        targets);
}

}  // namespace quillet
