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

// A run of a plan's chunks, and the source bytes they read.
struct RowSegment {
    std::size_t first_chunk, end_chunk;
    std::size_t first_pixel, pixels;
    std::size_t source_begin, source_end;  // from the row's start; end exclusive
};

struct RowSegments {
    std::size_t count = 0;
    RowSegment segment[kMaxSampleChunks];
};

// Cuts a row into segments of at least kSegmentPixels whole vector blocks (16
// pixels), the last taking what remains.
RowSegments split_row(const SamplePlan& plan) {
    constexpr std::size_t kSegmentPixels = 256;
    auto chunk_pixels = [&](std::size_t c) {
        return static_cast<std::size_t>(__builtin_popcountll(plan.chunk[c].store)) / 3;
    };
    auto chunk_source_end = [&](std::size_t c) {
        const SampleChunk& chunk = plan.chunk[c];
        const auto high = static_cast<std::size_t>(__builtin_popcountll(chunk.load_high));
        const std::size_t span =
            high != 0 ? 64 + high : static_cast<std::size_t>(__builtin_popcountll(chunk.load_low));
        return static_cast<std::size_t>(chunk.source_offset) + span;
    };
    RowSegments out;
    std::size_t c = 0;
    std::size_t pixel = 0;
    while (c < plan.chunks) {
        RowSegment& segment = out.segment[out.count++];
        segment.first_chunk = c;
        segment.first_pixel = pixel;
        segment.source_begin = static_cast<std::size_t>(plan.chunk[c].source_offset);
        std::size_t pixels = 0;
        do {
            pixels += chunk_pixels(c);
            ++c;
        } while (c < plan.chunks && (pixels < kSegmentPixels || pixels % 16 != 0));
        segment.end_chunk = c;
        segment.pixels = pixels;
        segment.source_end = chunk_source_end(c - 1);
        pixel += pixels;
    }
    return out;
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
    last_column_ = static_cast<std::size_t>(dst_width - 1);
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
        vector_sample_(left_.data() + base, plan_, 0, plan_.chunks, left);
        vector_sample_(right_.data() + base, plan_, 0, plan_.chunks, right);
        return;
    }
    // The byte after a row's last sampled pixel, read by the 4-byte copies.
    const auto after = static_cast<std::size_t>(base + column_offsets_[last_column_] + 3);
    copy_columns(left_.data() + base, column_offsets_, last_column_, after < left_.size(), left);
    copy_columns(right_.data() + base, column_offsets_, last_column_, after < right_.size(), right);
}

void SampledRows::rows(std::int32_t y, const std::uint8_t*& left_sampled,
                       const std::uint8_t*& right_sampled) {
    rows_into(y, left_row_, right_row_);
    left_sampled = left_row_;
    right_sampled = right_row_;
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
    if (!sampled.planned())
        return compare_row_by_row(
            cache, dst_width, dst_height,
            [&](std::int32_t y, const std::uint8_t*& l, const std::uint8_t*& r) { sampled.rows(y, l, r); },
            targets);
    const std::span<const std::uint8_t> left = sampled.left_frame();
    const std::span<const std::uint8_t> right = sampled.right_frame();
    const SamplePlan& plan = sampled.plan();
    const RowSampler vector_sample = sampled.sampler();
    const auto row_offset = [&](std::int32_t y) { return sampled.row_offset(y); };
    alignas(64) std::uint8_t left_row[3 * kMaxCompareWidth + 4];
    alignas(64) std::uint8_t right_row[3 * kMaxCompareWidth + 4];

    // With a plan, each row goes in segments of a few hundred pixels: a segment
    // is sampled, the source bytes of the next one are asked for, and the pass
    // runs over the segment while they arrive from memory. Splitting a row
    // changes no bit (the pass continues its figures), and segments of whole
    // vector blocks leave no scalar tails.
    const RowSegments segments = split_row(plan);
    const ComparisonPass comparison = begin_comparison(cache, dst_width, dst_height);
    const DiffKernel kernel = active_diff_kernel();
    const RangeKernel differing = targets.changed != nullptr ? active_range_kernel() : nullptr;
    std::uint8_t* const picture = targets.picture != nullptr ? targets.picture : comparison.pass.rgba;
    const auto row_pixels = static_cast<std::size_t>(dst_width);
    PixelPass pass = comparison.pass;
    PassSums sums{0.0f, 0.0f, 0.0f};
    auto prefetch = [&](std::int32_t y, std::size_t segment) {
        if (segment == segments.count) {
            if (++y == dst_height) return;
            segment = 0;
        }
        const RowSegment& next = segments.segment[segment];
        const auto base = static_cast<std::size_t>(row_offset(y));
        for (std::size_t offset = next.source_begin; offset < next.source_end; offset += 64) {
            __builtin_prefetch(left.data() + base + offset, 0, 3);
            __builtin_prefetch(right.data() + base + offset, 0, 3);
        }
        __builtin_prefetch(left.data() + base + next.source_end - 1, 0, 3);
        __builtin_prefetch(right.data() + base + next.source_end - 1, 0, 3);
    };
    if (comparison.pixels != 0) {
        prefetch(0, 0);
        for (std::int32_t y = 0; y < dst_height; ++y) {
            const auto base = static_cast<std::size_t>(row_offset(y));
            const std::size_t row = static_cast<std::size_t>(y) * row_pixels;
            float row_max = 0.0f;
            for (std::size_t s = 0; s < segments.count; ++s) {
                const RowSegment& segment = segments.segment[s];
                vector_sample(left.data() + base, plan, segment.first_chunk, segment.end_chunk,
                              left_row);
                vector_sample(right.data() + base, plan, segment.first_chunk, segment.end_chunk,
                              right_row);
                prefetch(y, s + 1 < segments.count ? s + 1 : segments.count);
                pass.left = left_row + 3 * segment.first_pixel;
                pass.right = right_row + 3 * segment.first_pixel;
                pass.rgba = picture + 4 * (row + segment.first_pixel);
                if (pass.ema != nullptr) pass.ema = comparison.pass.ema + row + segment.first_pixel;
                pass.pixel_count = segment.pixels;
                if (targets.changed == nullptr) {
                    sums = continue_pass(kernel, pass, sums);
                    continue;
                }
                float segment_max;
                sums = continue_pass(kernel, pass, sums, &segment_max);
                row_max = max_ignoring_nan(row_max, segment_max);
            }
            if (targets.changed != nullptr)
                note_changed_row(targets, differing, static_cast<std::size_t>(y), row_pixels, row_max,
                                 left_row, right_row);
        }
    }
    return finish_comparison(cache, comparison, sums);
}

}  // namespace quillet
