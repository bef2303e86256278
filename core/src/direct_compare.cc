// DirectComparer: the frame cache's comparison over frames read in place.
#include "direct_compare.h"

#include <cstring>

#include "compute_diff.h"
#include "numeric.h"
#include "utils.h"

namespace quillet {

std::span<const std::uint8_t> DirectComparer::compared_pixels(const FrameRows& frame,
                                                               CompareSize size,
                                                               std::vector<std::uint8_t>& scratch) {
    const bool reduced = size.width != frame.width || size.height != frame.height;
    if (!reduced && frame.packed()) return {frame.data, frame.packed_bytes()};

    const std::size_t row_bytes = static_cast<std::size_t>(size.width) * 3;
    // resize() keeps the capacity: a stream of same-size frames allocates once.
    scratch.resize(row_bytes * static_cast<std::size_t>(size.height));
    if (!reduced) {
        for (std::int32_t y = 0; y < frame.height; ++y)
            std::memcpy(scratch.data() + static_cast<std::size_t>(y) * row_bytes, frame.row(y),
                        row_bytes);
        return scratch;
    }
    if (frame.packed()) {
        downsample_bilinear({frame.data, frame.packed_bytes()}, frame.width, frame.height, scratch,
                            size.width, size.height);
        return scratch;
    }
    if (size.width < 1 || size.height < 1) return scratch;
    // One source row per destination row, chosen as downsample_bilinear chooses
    // it; the columns of that row are sampled by downsample_bilinear itself on
    // a one-row frame, whose vertical step is 1 and whose only row is row 0.
    const float step_y = static_cast<float>(static_cast<std::uint32_t>(frame.height)) /
                         static_cast<float>(size.height);
    for (std::int32_t y = 0; y < size.height; ++y) {
        const std::int32_t source_row = saturating_to_i32(static_cast<float>(y) * step_y);
        downsample_bilinear({frame.row(source_row), frame.row_bytes()}, frame.width, 1,
                            {scratch.data() + static_cast<std::size_t>(y) * row_bytes, row_bytes},
                            size.width, 1);
    }
    return scratch;
}

Metrics DirectComparer::compare(const FrameRows& left, const FrameRows& right,
                                bool scaled_picture) {
    const CompareSize size = reduced_size(left.width, left.height);
    const std::span<const std::uint8_t> left_pixels = compared_pixels(left, size, left_scratch_);
    const std::span<const std::uint8_t> right_pixels =
        compared_pixels(right, size, right_scratch_);
    const float previous_max_diff = state_.last_max_diff;
    const Metrics metrics =
        state_.compute_diff_impl(left_pixels, right_pixels, size.width, size.height);
    // The pass has set last_max_diff to this pair's max_diff. Below the change
    // threshold no pixel takes a heat colour, so the scale cannot show, and a
    // pass drawn with the same scale needs no second one.
    if (scaled_picture && !(metrics.max_diff < kChangeThreshold) &&
        previous_max_diff != metrics.max_diff)
        return state_.compute_diff_impl(left_pixels, right_pixels, size.width, size.height);
    return metrics;
}

}  // namespace quillet
