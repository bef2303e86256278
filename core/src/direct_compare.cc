// DirectComparer: the frame cache's comparison over frames read in place.
#include "direct_compare.h"

#include <cstdint>
#include <cstring>

#include "compute_diff.h"
#include "numeric.h"
#include "panic.h"
#include "reduced_rows.h"
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

bool DirectComparer::rescale_red_pixels(const FrameRows& left, const FrameRows& right,
                                        float max_diff) {
    // Drawn with k = 1, every changed pixel is pure red (k * d >= 1 for d >= 2810),
    // and only changed pixels depend on the scale. So the red pixels are the
    // candidates: those whose distance reaches the threshold get the heat colour
    // of the new scale, which is the picture a pass with that scale draws. A red
    // pixel below the threshold is a left pixel that happens to be red.
    std::uint8_t* out = state_.diff_rgba.data();
    const auto width = static_cast<std::size_t>(left.width);
    const std::size_t most_redrawn = width * static_cast<std::size_t>(left.height) / 16;
    const float colour_scale = colour_scale_for(max_diff);
    constexpr std::uint8_t kRed[4] = {255, 0, 0, 255};
    std::size_t redrawn = 0;
    for (std::int32_t y = 0; y < left.height; ++y) {
        const std::uint8_t* l = left.row(y);
        const std::uint8_t* r = right.row(y);
        // Most rows hold no red pixel: a branch-free test over the row first.
        std::uint32_t red_word;
        std::memcpy(&red_word, kRed, 4);
        bool any_red = false;
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t word;
            std::memcpy(&word, out + 4 * x, 4);
            any_red |= word == red_word;
        }
        if (!any_red) {
            out += 4 * width;
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, out += 4) {
            if (std::memcmp(out, kRed, 4) != 0) continue;
            const float distance = static_cast<float>(squared_distance(l + 3 * x, r + 3 * x));
            if (distance < kChangeThreshold) continue;
            // Past a sixteenth of the picture a vector pass is the quicker way.
            if (++redrawn > most_redrawn) return false;
            write_heat_colour(out, colour_scale, distance);
        }
    }
    return true;
}

Metrics DirectComparer::compare(const FrameRows& left, const FrameRows& right,
                                bool scaled_picture) {
    const CompareSize size = reduced_size(left.width, left.height);
    const bool reduced = size.width != left.width || size.height != left.height;
    // A picture to be scaled to this pair's own max_diff is drawn first with
    // k = 1 (as after a cleared cache), which rescale_red_pixels relies on.
    if (scaled_picture) state_.last_max_diff = 0.0f;
    // Below the change threshold no pixel takes a heat colour, so the scale
    // cannot show; otherwise the picture is redrawn at the pair's own scale,
    // which the first pass has set (last_max_diff = max_diff).
    const auto needs_rescale = [&](const Metrics& metrics) {
        return scaled_picture && !(metrics.max_diff < kChangeThreshold);
    };

    if (!reduced) {
        const Metrics metrics = state_.compare_rows(left, right);
        if (needs_rescale(metrics) && !rescale_red_pixels(left, right, metrics.max_diff))
            return state_.compare_rows(left, right);
        return metrics;
    }

    // Packed frames are sampled row by row straight from where they lie. (A
    // picture to rescale goes through reduced copies, whose changed pixels can
    // be redrawn without a second pass.)
    if (!scaled_picture && left.packed() && right.packed() &&
        left.packed_bytes() <= static_cast<std::size_t>(INT32_MAX)) {
        const std::span<const std::uint8_t> left_bytes{left.data, left.packed_bytes()};
        const std::span<const std::uint8_t> right_bytes{right.data, right.packed_bytes()};
        Metrics metrics;
        if (compare_sampled(state_, left_bytes, right_bytes, left.width, left.height, size.width,
                            size.height, metrics))
            return metrics;
    }

    // Otherwise the reduced frames are made first, in buffers kept for the next call.
    const std::span<const std::uint8_t> left_pixels = compared_pixels(left, size, left_scratch_);
    const std::span<const std::uint8_t> right_pixels =
        compared_pixels(right, size, right_scratch_);
    const auto reduced_row_bytes = static_cast<std::size_t>(size.width) * 3;
    const FrameRows left_reduced{left_pixels.data(), reduced_row_bytes, size.width, size.height};
    const FrameRows right_reduced{right_pixels.data(), reduced_row_bytes, size.width, size.height};
    const Metrics metrics =
        state_.compute_diff_impl(left_pixels, right_pixels, size.width, size.height);
    if (needs_rescale(metrics) && !rescale_red_pixels(left_reduced, right_reduced, metrics.max_diff))
        return state_.compute_diff_impl(left_pixels, right_pixels, size.width, size.height);
    return metrics;
}

}  // namespace quillet
