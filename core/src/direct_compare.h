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
    // scaled to this pair's own max_diff (its changed pixels redrawn, or a
    // second pass over the same pixels when many changed); otherwise to the
    // previous comparison's.
    Metrics compare(const FrameRows& left, const FrameRows& right, bool scaled_picture);

    // The picture of the last comparison, 4 bytes per compared pixel.
    std::span<const std::uint8_t> picture() const noexcept { return state_.diff_rgba; }

private:
    // The packed pixels of `frame` reduced to `size`, made in `scratch`.
    std::span<const std::uint8_t> compared_pixels(const FrameRows& frame, CompareSize size,
                                                  std::vector<std::uint8_t>& scratch);

    // Redraws the changed pixels of a picture drawn with k = 1 at the scale of
    // `max_diff`; false (picture partly redrawn) when too many pixels changed
    // for this to beat a second pass.
    bool rescale_red_pixels(const FrameRows& left, const FrameRows& right, float max_diff);

    FrameCache state_;  // the picture buffer and the colour scale; smoothing stays off
    std::vector<std::uint8_t> left_scratch_;
    std::vector<std::uint8_t> right_scratch_;
};

}  // namespace quillet
