// Comparison of frames read in place (any row stride), with a state of its
// own: the figures and picture bytes of compare_cached for the same frames,
// without copying packed frames into a cache first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "compute_diff.h"
#include "frame_cache.h"
#include "frame_rows.h"

namespace quillet {

class DirectComparer {
public:
    // Compares two frames of the same size, reduced to fit 1280 x 720 as
    // compare_cached reduces them, with smoothing off. The caller guarantees
    // that both frames hold all their rows. Packed frames are sampled where
    // they lie; others (and frames of more than 2^31 - 1 bytes, which the frame
    // cache cannot reduce) are reduced into copies first, row by row. With
    // `scaled_picture` the picture's heat colours are scaled to this pair's own
    // max_diff; otherwise to the previous comparison's.
    Metrics compare(const FrameRows& left, const FrameRows& right, bool scaled_picture);

    // The picture of the last comparison, 4 bytes per compared pixel.
    std::span<const std::uint8_t> picture() const noexcept { return state_.diff_rgba; }

    // compare(left, right, true), with the picture drawn straight into `out`,
    // which must hold 4 bytes per pixel of reduced_size(width, height).
    // picture() is then left as it was.
    Metrics compare_into(const FrameRows& left, const FrameRows& right,
                         std::span<std::uint8_t> out);

private:
    // The comparison of compare(), drawn into `picture` (null: the state's own).
    // With `scaled_picture` the changed pixels are coloured after the pass, at
    // the pair's own scale.
    Metrics compare_drawing(const FrameRows& left, const FrameRows& right, bool scaled_picture,
                            std::uint8_t* picture);

    // The packed pixels of `frame` reduced to `size`, made in `scratch`.
    std::span<const std::uint8_t> compared_pixels(const FrameRows& frame, CompareSize size,
                                                  std::vector<std::uint8_t>& scratch);

    FrameCache state_;  // the picture buffer and the colour scale; smoothing stays off
    std::vector<std::uint8_t> left_scratch_;
    std::vector<std::uint8_t> right_scratch_;
    std::vector<PixelRange> changed_;  // each compared row's span of changed pixels
};

}  // namespace quillet
