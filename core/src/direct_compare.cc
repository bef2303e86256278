// DirectComparer: the frame cache's comparison over frames read in place.
#include "direct_compare.h"

#include <algorithm>
#include <cstdint>

#include "compute_diff.h"
#include "numeric.h"
#include "panic.h"
#include "reduced_rows.h"
#include "row_by_row.h"
#include "utils.h"

namespace quillet {

std::span<const std::uint8_t> DirectComparer::compared_pixels(const FrameRows& frame,
                                                               CompareSize size,
                                                               std::vector<std::uint8_t>& scratch) {
    const std::size_t row_bytes = static_cast<std::size_t>(size.width) * 3;
    // resize() keeps the capacity: a stream of same-size frames allocates once.
    scratch.resize(row_bytes * static_cast<std::size_t>(size.height));
    // The whole-frame reduction indexes in 32 bits; larger frames go row by row.
    if (frame.packed() && frame.packed_bytes() <= static_cast<std::size_t>(INT32_MAX)) {
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
        check_index(static_cast<std::size_t>(frame.height), static_cast<std::size_t>(source_row));
        downsample_bilinear({frame.row(source_row), frame.row_bytes()}, frame.width, 1,
                            {scratch.data() + static_cast<std::size_t>(y) * row_bytes, row_bytes},
                            size.width, 1);
    }
    return scratch;
}

namespace {

// Row y of both frames.
auto rows_of(const FrameRows& left, const FrameRows& right) {
    return [&left, &right](std::int32_t y, PixelPass& pass) {
        pass.left = left.row(y);
        pass.right = right.row(y);
    };
}

// Colours, at the scale of `max_diff`, the changed pixels that a pass left as
// distances (RowTargets::changed) in the rows' `changed` ranges of a width x
// height picture.
void colour_changed_rows(std::int32_t width, std::int32_t height, float max_diff,
                         const PixelRange* changed, std::uint8_t* picture) {
    const HeatKernel colour = active_heat_kernel();
    const auto row_pixels = static_cast<std::size_t>(width);
    PixelPass pass{};
    pass.colour_scale = colour_scale_for(max_diff);
    for (std::int32_t y = 0; y < height; ++y) {
        const PixelRange range = changed[y];
        if (range.first == range.end) continue;
        pass.rgba = picture + 4 * (row_pixels * static_cast<std::size_t>(y) + range.first);
        pass.pixel_count = range.end - range.first;
        colour(pass);
    }
}

}  // namespace

Metrics DirectComparer::compare_drawing(const FrameRows& left, const FrameRows& right,
                                        bool scaled_picture, std::uint8_t* picture) {
    if (left.width < 0 || left.height < 0) panic("compare: negative frame size");
    const CompareSize size = reduced_size(left.width, left.height);
    const bool reduced = size.width != left.width || size.height != left.height;
    // A picture scaled to this pair's own max_diff cannot be drawn before the
    // pass has found it: the pass leaves the changed pixels as their distances,
    // noting each row's span of them, and these are coloured afterwards.
    RowTargets targets{picture};
    if (scaled_picture) {
        // Every row's span starts empty: rows the pass does not reach (no
        // pixels at all) keep it.
        changed_.assign(static_cast<std::size_t>(std::max(size.height, 0)), PixelRange{0, 0});
        targets.changed = changed_.data();
    }
    const auto coloured = [&](const Metrics& metrics) {
        if (scaled_picture)
            colour_changed_rows(size.width, size.height, metrics.max_diff, changed_.data(),
                                picture != nullptr ? picture : state_.diff_rgba.data());
        return metrics;
    };

    if (!reduced)
        return coloured(
            compare_row_by_row(state_, size.width, size.height, rows_of(left, right), targets));

    // Packed frames are sampled row by row straight from where they lie, as
    // the frame cache samples them.
    if (left.packed() && right.packed() &&
        left.packed_bytes() <= static_cast<std::size_t>(INT32_MAX)) {
        SampledRows sampled;
        if (sampled.prepare({left.data, left.packed_bytes()}, {right.data, right.packed_bytes()},
                            left.width, left.height, size.width, size.height))
            return coloured(
                compare_sampled_rows(state_, sampled, size.width, size.height, targets));
    }

    // Otherwise the reduced frames are made first, in buffers kept for the next call.
    const std::span<const std::uint8_t> left_pixels = compared_pixels(left, size, left_scratch_);
    const std::span<const std::uint8_t> right_pixels =
        compared_pixels(right, size, right_scratch_);
    const auto reduced_row_bytes = static_cast<std::size_t>(size.width) * 3;
    const FrameRows left_reduced{left_pixels.data(), reduced_row_bytes, size.width, size.height};
    const FrameRows right_reduced{right_pixels.data(), reduced_row_bytes, size.width, size.height};
    return coloured(compare_row_by_row(state_, size.width, size.height,
                                       rows_of(left_reduced, right_reduced), targets));
}

Metrics DirectComparer::compare(const FrameRows& left, const FrameRows& right,
                                bool scaled_picture) {
    return compare_drawing(left, right, scaled_picture, nullptr);
}

Metrics DirectComparer::compare_into(const FrameRows& left, const FrameRows& right,
                                     std::span<std::uint8_t> out) {
    const CompareSize size = reduced_size(left.width, left.height);
    if (size.width < 0 || size.height < 0 ||
        out.size() != static_cast<std::size_t>(size.width) *
                          static_cast<std::size_t>(size.height) * 4)
        panic("compare_into: the picture buffer does not fit the compared size");
    return compare_drawing(left, right, true, out.data());
}

}  // namespace quillet
