// The comparison of frames larger than the comparison size, sampled row by row
// from the cached frames instead of being reduced into whole copies first.
#pragma once

#include <cstdint>
#include <span>

#include "frame_cache.h"

namespace quillet {

// Compares the point-sampled reductions (as downsample_bilinear makes them) of
// `left` and `right`, both taken as src_width x src_height, at dst_width x
// dst_height, and returns true with `result` set. Returns false, having changed
// nothing, when a sampled byte would lie outside either frame (the reduction
// would fail) or the size is one this path does not take; the caller then
// reduces literally, which fails at the same byte with the same message.
bool compare_sampled(FrameCache& cache, std::span<const std::uint8_t> left,
                     std::span<const std::uint8_t> right, std::int32_t src_width,
                     std::int32_t src_height, std::int32_t dst_width, std::int32_t dst_height,
                     Metrics& result);

}  // namespace quillet
