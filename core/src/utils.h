// Reduction of large frames by point sampling.
#pragma once

#include <cstdint>
#include <span>

namespace quillet {

// Copies into `dst` (dst_width x dst_height packed RGB) the source pixel at
// (trunc(x * src_width / dst_width), trunc(y * src_height / dst_height)) for every
// destination pixel, with the steps and positions in binary32 and offsets in
// wrapping signed 32-bit arithmetic. Panics at the first byte outside either
// buffer, after the bytes before it were copied.
void downsample_bilinear(std::span<const std::uint8_t> src, std::int32_t src_width,
                         std::int32_t src_height, std::span<std::uint8_t> dst,
                         std::int32_t dst_width, std::int32_t dst_height);

}  // namespace quillet
