// Comparison of frames read in place (any row stride), with a state of its
// own: the figures and picture bytes of compare_cached for the same frames,
// without copying packed frames into a cache first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "frame_cache.h"
#include "frame_rows.h"

namespace quillet {

class DirectComparer {
public:
    // Compares two frames of the same size, reduced to fit 1280 x 720 as
    // compare_cached reduces them, with smoothing off. The caller guarantees
    // that both frames hold all their rows. Frames of more than 2^31 - 1 bytes,
    // which the frame cache cannot reduce, are reduced row by row. With `scaled_picture` the picture's heat colours are
    // scaled to this pair's own max_diff (the rows holding changed pixels
    // drawn again at that scale); otherwise to the previous comparison's.
    Metrics compare(const FrameRows& left, const FrameRows& right, bool scaled_picture);

    // The picture of the last comparison, 4 bytes per compared pixel.
    std::span<const std::uint8_t> picture() const noexcept { return state_.diff_rgba; }

    // compare(left, right, true), with the picture it gives written into `out`,
    // which must hold 4 bytes per pixel of reduced_size(width, height). Frames
    // compared at their own size have their picture finished in `out` as it
    // is copied there; packed frames larger than the comparison size are
    // sampled in place (a second sampled pass when the scale shows) instead
    // of being reduced into copies.
    Metrics compare_into(const FrameRows& left, const FrameRows& right,
                         std::span<std::uint8_t> out);

private:
    // The packed pixels of `frame` reduced to `size`, made in `scratch`.
    std::span<const std::uint8_t> compared_pixels(const FrameRows& frame, CompareSize size,
                                                  std::vector<std::uint8_t>& scratch);

    // Redraws, in `out`, the picture drawn with k = 1 at the scale of
    // `max_diff`, copying each row of that picture to `out` first unless `out`
    // is the picture itself. `rows(y, l, r)` points l and r at compared row y
    // of each frame, packed.
    template <typename Rows>
    void redraw_red_rows(std::int32_t width, std::int32_t height, float max_diff,
                         std::uint8_t* out, Rows&& rows);

    // The comparison and picture of compare_into for packed frames larger than
    // the comparison size, sampled where they lie; false (picture and
    // figures untouched) where the sampled comparison does not apply.
    bool compare_sampled_into(const FrameRows& left, const FrameRows& right, CompareSize size,
                              std::span<std::uint8_t> out, Metrics& result);

    FrameCache state_;  // the picture buffer and the colour scale; smoothing stays off
    std::vector<std::uint8_t> left_scratch_;
    std::vector<std::uint8_t> right_scratch_;
};

}  // namespace quillet
