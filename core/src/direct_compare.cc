// DirectComparer: the frame cache's comparison over frames read in place.
#include "direct_compare.h"

#include <cstdint>
#include <cstring>

#include "compute_diff.h"
#include "numeric.h"
#include "panic.h"
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

bool DirectComparer::rescale_red_pixels(std::span<const std::uint8_t> left,
                                        std::span<const std::uint8_t> right, float max_diff) {
    // Drawn with k = 1, every changed pixel is pure red (k * d >= 1 for d >= 2810),
    // and only changed pixels depend on the scale. So the red pixels are the
    // candidates: those whose distance reaches the threshold get the heat colour
    // of the new scale, which is the picture a pass with that scale draws. A red
    // pixel below the threshold is a left pixel that happens to be red.
    std::uint8_t* picture = state_.diff_rgba.data();
    const std::size_t pixels = state_.diff_rgba.size() / 4;
    const std::size_t most_redrawn = pixels / 16;
    const float colour_scale = colour_scale_for(max_diff);
    constexpr std::uint8_t kRed[4] = {255, 0, 0, 255};
    std::size_t redrawn = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint8_t* out = picture + 4 * i;
        if (std::memcmp(out, kRed, 4) != 0) continue;
        const float distance =
            static_cast<float>(squared_distance(left.data() + 3 * i, right.data() + 3 * i));
        if (distance < kChangeThreshold) continue;
        // Past a sixteenth of the picture a vector pass is the quicker way.
        if (++redrawn > most_redrawn) return false;
        write_heat_colour(out, colour_scale, distance);
    }
    return true;
}

Metrics DirectComparer::compare(const FrameRows& left, const FrameRows& right,
                                bool scaled_picture) {
    const CompareSize size = reduced_size(left.width, left.height);
    const std::span<const std::uint8_t> left_pixels = compared_pixels(left, size, left_scratch_);
    const std::span<const std::uint8_t> right_pixels =
        compared_pixels(right, size, right_scratch_);
    // A picture to be scaled to this pair's own max_diff is drawn first with
    // k = 1 (as after a cleared cache), which rescale_red_pixels relies on.
    if (scaled_picture) state_.last_max_diff = 0.0f;
    const Metrics metrics =
        state_.compute_diff_impl(left_pixels, right_pixels, size.width, size.height);
    // Below the change threshold no pixel takes a heat colour, so the scale
    // cannot show.
    if (scaled_picture && !(metrics.max_diff < kChangeThreshold) &&
        !rescale_red_pixels(left_pixels, right_pixels, metrics.max_diff))
        // The pass has set last_max_diff, and so its colour scale, to max_diff.
        return state_.compute_diff_impl(left_pixels, right_pixels, size.width, size.height);
    return metrics;
}

}  // namespace quillet
