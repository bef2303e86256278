// The difference picture at a frame's own size, however large, made in bands of
// rows so that a caller can encode it without holding all of it: the same
// per-pixel rule as a comparison's picture, with the colour scale taken from
// the largest squared distance over the whole frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_rows.h"

namespace quillet {

// The largest squared RGB distance between two frames of the same size, by
// the active kernel's largest-distance pass.
std::int32_t max_squared_distance(const FrameRows& left, const FrameRows& right);

// Writes rows first_row ... first_row + row_count - 1 of the picture to `out`,
// one after the other, each as `row_prefix` zero bytes followed by width * 4
// RGBA bytes. Heat colours are scaled to `max_diff` (see colour_scale_for).
// The caller guarantees the rows exist and `out` holds
// row_count * (row_prefix + width * 4) bytes.
void full_size_diff_rows(const FrameRows& left, const FrameRows& right, float max_diff,
                         std::int32_t first_row, std::int32_t row_count, std::uint8_t* out,
                         std::size_t row_prefix) noexcept;

}  // namespace quillet
