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

template <typename Rows>
void DirectComparer::redraw_red_rows(std::int32_t width, std::int32_t height, float max_diff,
                                     std::uint8_t* out, Rows&& rows) {
    // Drawn with k = 1, every changed pixel is pure red (k * d >= 1 for d >= 2810),
    // and only changed pixels depend on the scale. So a row without a red pixel
    // is already the row a pass at the new scale draws, and the others are
    // drawn again by the pixel pass at that scale (a red pixel below the
    // threshold is a left pixel that happens to be red, drawn the same again).
    const std::uint8_t* drawn = state_.diff_rgba.data();
    const bool copy_rows = out != drawn;
    const auto row_pixels = static_cast<std::size_t>(width);
    constexpr std::uint8_t kRed[4] = {255, 0, 0, 255};
    std::uint32_t red_word;
    std::memcpy(&red_word, kRed, 4);
    const DiffKernel kernel = active_diff_kernel();
    PixelPass pass{};
    pass.pixel_count = row_pixels;
    pass.mode = SmoothingPass::plain;
    pass.colour_scale = colour_scale_for(max_diff);
    pass.alpha = 1.0f;
    pass.beta = 0.0f;
    // The sums are thrown away; starting them large keeps the pass off the
    // pixel-by-pixel steps it takes while running totals are small.
    pass.start = PassSums{1048576.0f, 1048576.0f, 0.0f};
    for (std::int32_t y = 0; y < height; ++y, out += 4 * row_pixels, drawn += 4 * row_pixels) {
        // The row is still in cache from the copy when it is scanned.
        if (copy_rows) std::memcpy(out, drawn, 4 * row_pixels);
        // A count rather than a flag, so that the scan vectorises.
        std::uint32_t red_pixels = 0;
        for (std::size_t x = 0; x < row_pixels; ++x) {
            std::uint32_t word;
            std::memcpy(&word, out + 4 * x, 4);
            red_pixels += word == red_word ? 1u : 0u;
        }
        if (red_pixels == 0) continue;
        rows(y, pass.left, pass.right);
        pass.rgba = out;
        kernel(pass);  // only the picture is kept; the sums are the first pass's
    }
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

// The picture of the cache's last comparison, copied into `out` (its size).
void copy_picture(const FrameCache& state, std::span<std::uint8_t> out) {
    if (!out.empty()) std::memcpy(out.data(), state.diff_rgba.data(), out.size());
}

}  // namespace

bool DirectComparer::compare_sampled_into(const FrameRows& left, const FrameRows& right,
                                          CompareSize size, std::span<std::uint8_t> out,
                                          Metrics& result) {
    if (!left.packed() || !right.packed() ||
        left.packed_bytes() > static_cast<std::size_t>(INT32_MAX))
        return false;
    const std::span<const std::uint8_t> left_bytes{left.data, left.packed_bytes()};
    const std::span<const std::uint8_t> right_bytes{right.data, right.packed_bytes()};
    state_.last_max_diff = 0.0f;
    if (!compare_sampled(state_, left_bytes, right_bytes, left.width, left.height, size.width,
                         size.height, result))
        return false;
    // A second pass at the scale the first one set, when the scale shows.
    if (needs_rescale(result))
        compare_sampled(state_, left_bytes, right_bytes, left.width, left.height, size.width,
                        size.height, result);
    copy_picture(state_, out);
    return true;
}

Metrics DirectComparer::compare_into(const FrameRows& left, const FrameRows& right,
                                     std::span<std::uint8_t> out) {
    const CompareSize size = reduced_size(left.width, left.height);
    if (size.width < 0 || size.height < 0 ||
        out.size() != static_cast<std::size_t>(size.width) *
                          static_cast<std::size_t>(size.height) * 4)
        panic("compare_into: the picture buffer does not fit the compared size");
    const bool reduced = size.width != left.width || size.height != left.height;
    if (!reduced) {
        state_.last_max_diff = 0.0f;
        Metrics metrics = state_.compare_rows(left, right);
        if (needs_rescale(metrics))
            redraw_red_rows(size.width, size.height, metrics.max_diff, out.data(),
                            rows_of(left, right));
        else
            copy_picture(state_, out);
        return metrics;
    }
    Metrics metrics;
    if (compare_sampled_into(left, right, size, out, metrics)) return metrics;
    metrics = compare(left, right, true);
    copy_picture(state_, out);
    return metrics;
}

Metrics DirectComparer::compare(const FrameRows& left, const FrameRows& right,
                                bool scaled_picture) {
    const CompareSize size = reduced_size(left.width, left.height);
    const bool reduced = size.width != left.width || size.height != left.height;
    // A picture to be scaled to this pair's own max_diff is drawn first with
    // k = 1 (as after a cleared cache), which redraw_red_rows relies on.
    if (scaled_picture) state_.last_max_diff = 0.0f;
    // Otherwise the picture is redrawn at the pair's own scale, which the
    // first pass has set (last_max_diff = max_diff).
    const auto redraw = [&](const Metrics& metrics) {
        return scaled_picture && needs_rescale(metrics);
    };

    if (!reduced) {
        const Metrics metrics = state_.compare_rows(left, right);
        if (redraw(metrics))
            redraw_red_rows(size.width, size.height, metrics.max_diff, state_.diff_rgba.data(),
                            rows_of(left, right));
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
    if (redraw(metrics))
        redraw_red_rows(size.width, size.height, metrics.max_diff, state_.diff_rgba.data(),
                        rows_of(left_reduced, right_reduced));
    return metrics;
}

}  // namespace quillet
