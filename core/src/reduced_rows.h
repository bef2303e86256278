// The comparison of frames larger than the comparison size, sampled row by row
// from the cached frames instead of being reduced into whole copies first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frame_cache.h"
#include "numeric.h"
#include "row_by_row.h"
#include "row_sampling.h"

namespace quillet {

// The rows of the point-sampled reductions (as downsample_bilinear makes them)
// of two packed frames, made one row of each at a time in buffers that stay in L1.
class SampledRows {
public:
    // Plans the reduction of `left` and `right`, both taken as src_width x
    // src_height, to dst_width x dst_height. False when a sampled byte would
    // lie outside either frame (the reduction would fail) or the size is one
    // this path does not take. The frames must outlive the rows taken.
    bool prepare(std::span<const std::uint8_t> left, std::span<const std::uint8_t> right,
                 std::int32_t src_width, std::int32_t src_height, std::int32_t dst_width,
                 std::int32_t dst_height);

    // Points the pass's frames at sampled row y of each frame, valid until the
    // next call, and, for large comparisons, its bytes ahead at the source
    // bytes of row y + 1.
    void rows(std::int32_t y, PixelPass& pass);

    // Writes sampled row y of each frame to `left` and `right`: 3 * dst_width
    // bytes each, and possibly one more byte after them.
    void rows_into(std::int32_t y, std::uint8_t* left, std::uint8_t* right) const;

    // The offset of the source row that sampled row y is taken from.
    std::int64_t row_offset(std::int32_t y) const {
        return std::int64_t{saturating_to_i32(static_cast<float>(y) * step_y_)} * src_width_ * 3;
    }

private:
    std::span<const std::uint8_t> left_, right_;
    float step_y_ = 0.0f;
    std::int32_t src_width_ = 0;
    std::int32_t dst_height_ = 0;
    std::size_t last_column_ = 0;
    std::size_t row_span_ = 0;  // source bytes from a row's start to its last sampled byte
    bool ask_ahead_ = false;    // whether the pass asks for the next row's bytes
    bool planned_ = false;
    RowSampler vector_sample_ = nullptr;
    std::int32_t column_offsets_[kMaxCompareWidth];  // sx * 3 for every destination column
    alignas(64) std::uint8_t left_row_[3 * kMaxCompareWidth + 4];
    alignas(64) std::uint8_t right_row_[3 * kMaxCompareWidth + 4];
    SamplePlan plan_;
};

// Compares the sampled reductions of `left` and `right` (see SampledRows) and
// returns true with `result` set. Returns false, having changed nothing, where
// SampledRows::prepare does; the caller then reduces literally, which fails at
// the same byte with the same message.
bool compare_sampled(FrameCache& cache, std::span<const std::uint8_t> left,
                     std::span<const std::uint8_t> right, std::int32_t src_width,
                     std::int32_t src_height, std::int32_t dst_width, std::int32_t dst_height,
                     Metrics& result);

// The comparison of rows prepared by `sampled`, as compare_sampled makes it,
// drawn and reported as `targets` asks.
Metrics compare_sampled_rows(FrameCache& cache, SampledRows& sampled, std::int32_t dst_width,
                             std::int32_t dst_height, RowTargets targets = {});

}  // namespace quillet
