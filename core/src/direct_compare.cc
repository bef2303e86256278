// DirectComparer: the frame cache's comparison over frames read in place.
#include "direct_compare.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

// Whether a picture drawn for a pair with this max_diff must be redrawn at the
// pair's own scale: below the change threshold no pixel takes a heat colour,
// so the scale cannot show.
bool needs_rescale(const Metrics& metrics) { return !(metrics.max_diff < kChangeThreshold); }

// Row y of both frames.
auto rows_of(const FrameRows& left, const FrameRows& right) {
    return [&left, &right](std::int32_t y, const std::uint8_t*& l, const std::uint8_t*& r) {
        l = left.row(y);
        r = right.row(y);
    };
}

// Redraws, at the scale of `max_diff`, the pixels of a width x height picture
// drawn by a plain pass that lie in the rows' `changed` ranges: no pixel
// outside them has a colour that depends on the scale. `rows(y, l, r)` points
// l and r at compared row y of each frame, packed, or at least at its pixels
// in that range.
template <typename Rows>
void redraw_changed_rows(std::int32_t width, std::int32_t height, float max_diff,
                         const PixelRange* changed, std::uint8_t* picture, Rows&& rows) {
    const PictureKernel redraw = active_picture_kernel();
    const auto row_pixels = static_cast<std::size_t>(width);
    PixelPass pass{};
    pass.mode = SmoothingPass::plain;
    pass.colour_scale = colour_scale_for(max_diff);
    pass.alpha = 1.0f;
    for (std::int32_t y = 0; y < height; ++y) {
        const PixelRange range = changed[y];
        if (range.first == range.end) continue;
        const std::uint8_t* left_row;
        const std::uint8_t* right_row;
        rows(y, left_row, right_row);
        pass.left = left_row + 3 * range.first;
        pass.right = right_row + 3 * range.first;
        pass.rgba = picture + 4 * (row_pixels * static_cast<std::size_t>(y) + range.first);
        pass.pixel_count = range.end - range.first;
        redraw(pass);
    }
}

// Colours, at the scale of `max_diff`, the changed pixels that a pass with
// heat_later left as distances in the rows' `changed` ranges of a width x
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

// Whether the picture is better made at its final scale after a pass that
// finds the largest distance, than drawn at once and then redrawn where
// pixels changed: when changed pixels lie in nearly every row, the redraw
// would go over nearly the whole frame again, at a greater cost than the
// largest-distance pass. Judged on a few rows spread over the frame.
template <typename Rows>
bool changes_in_most_rows(std::int32_t width, std::int32_t height, Rows&& rows) {
    constexpr std::int32_t kProbes = 16;
    const DistanceKernel largest = active_distance_kernel();
    PixelPass pass{};
    pass.pixel_count = static_cast<std::size_t>(width);
    const std::int32_t probes = std::min(height, kProbes);
    std::int32_t changed_rows = 0;
    for (std::int32_t i = 0; i < probes; ++i) {
        rows(static_cast<std::int32_t>((2 * std::int64_t{i} + 1) * height / (2 * probes)), pass.left,
             pass.right);
        if (!(largest(pass) < kChangeThreshold)) ++changed_rows;
    }
    return probes > 0 && 4 * changed_rows >= 3 * probes;
}

// The largest distance over all rows: the max_diff that a plain pass over
// them reports.
template <typename Rows>
float largest_distance(std::int32_t width, std::int32_t height, Rows&& rows) {
    const DistanceKernel largest = active_distance_kernel();
    PixelPass pass{};
    pass.pixel_count = static_cast<std::size_t>(width);
    float result = 0.0f;
    for (std::int32_t y = 0; y < height; ++y) {
        rows(y, pass.left, pass.right);
        result = max_ignoring_nan(result, largest(pass));
    }
    return result;
}

}  // namespace

Metrics DirectComparer::compare_drawing(const FrameRows& left, const FrameRows& right,
                                        bool scaled_picture, std::uint8_t* picture) {
    if (left.width < 0 || left.height < 0) panic("compare: negative frame size");
    const CompareSize size = reduced_size(left.width, left.height);
    const bool reduced = size.width != left.width || size.height != left.height;
    changed_.resize(static_cast<std::size_t>(std::max(size.height, 0)));
    // A picture scaled to this pair's own max_diff is drawn at that scale
    // when `scale_first` (a first pass finds it); otherwise the pass leaves
    // the changed pixels as their distances, noting each row's span of them,
    // and these are coloured once the pass has found the scale.
    const auto compare_and_colour = [&](auto&& rows, bool scale_first) {
        const bool colour_later = scaled_picture && !scale_first;
        if (scaled_picture && scale_first)
            state_.last_max_diff = largest_distance(size.width, size.height, rows);
        RowTargets targets{picture};
        if (colour_later) {
            targets.changed = changed_.data();
            targets.heat_later = true;
        }
        const Metrics metrics = compare_row_by_row(state_, size.width, size.height, rows, targets);
        if (colour_later)
            colour_changed_rows(size.width, size.height, metrics.max_diff, changed_.data(),
                                picture != nullptr ? picture : state_.diff_rgba.data());
        return metrics;
    };
    const auto scale_first = [&](auto&& rows) {
        return scaled_picture && changes_in_most_rows(size.width, size.height, rows);
    };

    if (!reduced) {
        const auto rows = rows_of(left, right);
        return compare_and_colour(rows, scale_first(rows));
    }

    // Packed frames are sampled row by row straight from where they lie.
    if (left.packed() && right.packed() &&
        left.packed_bytes() <= static_cast<std::size_t>(INT32_MAX)) {
        const std::span<const std::uint8_t> left_bytes{left.data, left.packed_bytes()};
        const std::span<const std::uint8_t> right_bytes{right.data, right.packed_bytes()};
        if (!scaled_picture) {
            // The frame cache's own sampled comparison.
            Metrics metrics;
            if (compare_sampled(state_, left_bytes, right_bytes, left.width, left.height, size.width,
                                size.height, metrics))
                return metrics;
        }
        SampledRows sampled;
        if (scaled_picture && sampled.prepare(left_bytes, right_bytes, left.width, left.height,
                                              size.width, size.height)) {
            const auto sampled_rows = [&](std::int32_t y, const std::uint8_t*& l,
                                          const std::uint8_t*& r) { sampled.rows(y, l, r); };
            // Sampling costs more than reading a sampled copy again: what a
            // redraw or a second pass reads is sampled once, into buffers kept
            // for the next call.
            const auto row_bytes = static_cast<std::size_t>(size.width) * 3;
            const std::size_t frame_bytes = row_bytes * static_cast<std::size_t>(size.height);
            left_scratch_.resize(frame_bytes + 1);  // + 1: see SampledRows::rows_into
            right_scratch_.resize(frame_bytes + 1);
            const FrameRows left_sampled{left_scratch_.data(), row_bytes, size.width, size.height};
            const FrameRows right_sampled{right_scratch_.data(), row_bytes, size.width, size.height};
            if (!changes_in_most_rows(size.width, size.height, sampled_rows)) {
                // Drawn with k = 1 by the frame cache's own sampled pass, the
                // changed ranges of the sampled rows kept for the redraw.
                state_.last_max_diff = 0.0f;
                const Metrics metrics = compare_sampled_rows(
                    state_, sampled, size.width, size.height,
                    RowTargets{picture, changed_.data(), left_scratch_.data(), right_scratch_.data()});
                if (needs_rescale(metrics))
                    redraw_changed_rows(size.width, size.height, metrics.max_diff, changed_.data(),
                                        picture != nullptr ? picture : state_.diff_rgba.data(),
                                        rows_of(left_sampled, right_sampled));
                return metrics;
            }
            // The sampled frames are made whole, their largest distance taken
            // as each row is made; the picture is then drawn at that scale.
            const DistanceKernel largest = active_distance_kernel();
            PixelPass row{};
            row.pixel_count = static_cast<std::size_t>(size.width);
            float max_diff = 0.0f;
            for (std::int32_t y = 0; y < size.height; ++y) {
                std::uint8_t* const l = left_scratch_.data() + row_bytes * static_cast<std::size_t>(y);
                std::uint8_t* const r = right_scratch_.data() + row_bytes * static_cast<std::size_t>(y);
                sampled.rows_into(y, l, r);
                row.left = l;
                row.right = r;
                max_diff = max_ignoring_nan(max_diff, largest(row));
            }
            state_.last_max_diff = max_diff;
            return compare_row_by_row(state_, size.width, size.height,
                                      rows_of(left_sampled, right_sampled), RowTargets{picture, nullptr});
        }
    }

    // Otherwise the reduced frames are made first, in buffers kept for the next call.
    const std::span<const std::uint8_t> left_pixels = compared_pixels(left, size, left_scratch_);
    const std::span<const std::uint8_t> right_pixels =
        compared_pixels(right, size, right_scratch_);
    const auto reduced_row_bytes = static_cast<std::size_t>(size.width) * 3;
    const FrameRows left_reduced{left_pixels.data(), reduced_row_bytes, size.width, size.height};
    const FrameRows right_reduced{right_pixels.data(), reduced_row_bytes, size.width, size.height};
    const auto reduced_rows = rows_of(left_reduced, right_reduced);
    return compare_and_colour(reduced_rows, scale_first(reduced_rows));
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
