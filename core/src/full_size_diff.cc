// The full-size difference picture, band by band.
#include "full_size_diff.h"

#include <algorithm>
#include <cstring>

#include "compute_diff.h"

namespace quillet {

std::int32_t max_squared_distance(const FrameRows& left, const FrameRows& right) {
    const DistanceKernel largest = active_distance_kernel();
    PixelPass pass{};
    pass.pixel_count = static_cast<std::size_t>(left.width);
    float result = 0.0f;
    for (std::int32_t y = 0; y < left.height; ++y) {
        pass.left = left.row(y);
        pass.right = right.row(y);
        result = std::max(result, largest(pass));
    }
    return static_cast<std::int32_t>(result);  // exact: at most 195075
}

void full_size_diff_rows(const FrameRows& left, const FrameRows& right, float max_diff,
                         std::int32_t first_row, std::int32_t row_count, std::uint8_t* out,
                         std::size_t row_prefix) noexcept {
    const float colour_scale = colour_scale_for(max_diff);
    const auto width = static_cast<std::size_t>(left.width);
    for (std::int32_t y = first_row; y < first_row + row_count; ++y) {
        std::memset(out, 0, row_prefix);
        out += row_prefix;
        const std::uint8_t* l = left.row(y);
        const std::uint8_t* r = right.row(y);
        if (std::memcmp(l, r, width * 3) == 0) {
            // Every distance is 0, below the threshold: the left row, opaque.
            for (std::size_t x = 0; x < width; ++x, out += 4, l += 3) {
                out[0] = l[0];
                out[1] = l[1];
                out[2] = l[2];
                out[3] = 255;
            }
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, out += 4, l += 3, r += 3)
            write_picture_pixel(out, l, colour_scale, static_cast<float>(squared_distance(l, r)));
    }
}

}  // namespace quillet
