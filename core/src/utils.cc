// Point-sampling reduction of packed RGB frames (nearest source pixel at the
// truncated position; the grids share their top-left corner).
#include "utils.h"

#include <cstring>

#include "numeric.h"
#include "panic.h"

namespace quillet {

namespace {

// A signed 32-bit offset widened with its sign and then taken as an index: a
// negative offset becomes a huge index and fails the bounds check.
inline std::size_t as_index(std::int32_t offset) noexcept {
    return static_cast<std::size_t>(static_cast<std::int64_t>(offset));
}

}  // namespace

void downsample_bilinear(std::span<const std::uint8_t> src, std::int32_t src_width,
                         std::int32_t src_height, std::span<std::uint8_t> dst,
                         std::int32_t dst_width, std::int32_t dst_height) {
    if (dst_height < 1 || dst_width < 1) return;

    // Source dimensions are taken as unsigned, destination ones as signed.
    const float step_x =
        static_cast<float>(static_cast<std::uint32_t>(src_width)) / static_cast<float>(dst_width);
    const float step_y =
        static_cast<float>(static_cast<std::uint32_t>(src_height)) / static_cast<float>(dst_height);

    for (std::int32_t y = 0; y < dst_height; ++y) {
        const std::int32_t sy = saturating_to_i32(static_cast<float>(y) * step_y);
        const std::int32_t src_row = wrapping_mul(sy, src_width);
        const std::int32_t dst_row = wrapping_mul(y, dst_width);
        for (std::int32_t x = 0; x < dst_width; ++x) {
            const std::int32_t sx = saturating_to_i32(static_cast<float>(x) * step_x);
            const std::size_t s = as_index(wrapping_mul(wrapping_add(src_row, sx), 3));
            const std::size_t d = as_index(wrapping_mul(wrapping_add(dst_row, x), 3));
            if (s + 2 < src.size() && d + 2 < dst.size() && s + 2 > s && d + 2 > d) [[likely]] {
                std::memcpy(dst.data() + d, src.data() + s, 3);
                continue;
            }
            // Slow path: byte by byte, source test before destination test.
            for (std::size_t c = 0; c < 3; ++c) {
                check_index(src.size(), s + c);
                check_index(dst.size(), d + c);
                dst[d + c] = src[s + c];
            }
        }
    }
}

}  // namespace quillet
