// Point-sampling reduction of packed RGB frames (nearest source pixel at the
// truncated position; the grids share their top-left corner).
#include "utils.h"

#include <cstdint>
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

    // Speed: the source column of every destination column, as a byte offset
    // sx * 3, computed once per call instead of once per pixel. Offsets add
    // modulo 2^32, so (row + sx) * 3 = row * 3 + sx * 3 in wrapping arithmetic;
    // when no value wraps, the offsets grow with x (sx never decreases) and a
    // row's first and last offsets bound all the others. A row whose bounds are
    // inside both buffers is copied without per-pixel checks; any other row
    // takes the checked per-pixel path, which fails exactly where it should.
    constexpr std::int32_t kTableColumns = 2048;
    std::int32_t column_offsets[kTableColumns];  // 8 KiB on the stack, no allocation
    bool table = dst_width <= kTableColumns;
    for (std::int32_t x = 0; table && x < dst_width; ++x) {
        const std::int64_t offset =
            std::int64_t{saturating_to_i32(static_cast<float>(x) * step_x)} * 3;
        table = offset >= 0 && offset <= INT32_MAX;
        column_offsets[x] = static_cast<std::int32_t>(offset);
    }

    for (std::int32_t y = 0; y < dst_height; ++y) {
        const std::int32_t sy = saturating_to_i32(static_cast<float>(y) * step_y);
        const std::int32_t src_row = wrapping_mul(sy, src_width);
        const std::int32_t dst_row = wrapping_mul(y, dst_width);
        if (table) {
            const std::int64_t src_base = wrapping_mul(src_row, 3);
            const std::int64_t dst_base = wrapping_mul(dst_row, 3);
            const std::int64_t s_first = src_base + column_offsets[0];
            const std::int64_t s_last = src_base + column_offsets[dst_width - 1];
            const std::int64_t d_first = dst_base;
            const std::int64_t d_last = dst_base + std::int64_t{dst_width - 1} * 3;
            if (s_first >= 0 && d_first >= 0 && s_last <= INT32_MAX && d_last <= INT32_MAX &&
                static_cast<std::size_t>(s_last) + 2 < src.size() &&
                static_cast<std::size_t>(d_last) + 2 < dst.size()) {
                const std::uint8_t* from = src.data() + src_base;
                std::uint8_t* to = dst.data() + d_first;
                std::int32_t x = 0;
                if (static_cast<std::size_t>(s_last) + 3 < src.size()) {
                    // Four bytes at a time; the fourth is rewritten by the next pixel.
                    for (; x + 1 < dst_width; ++x, to += 3) std::memcpy(to, from + column_offsets[x], 4);
                }
                for (; x < dst_width; ++x, to += 3) std::memcpy(to, from + column_offsets[x], 3);
                continue;
            }
        }
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
