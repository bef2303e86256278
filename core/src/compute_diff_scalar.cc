// The scalar reference kernel: the definition every other kernel is tested against.
#include "compute_diff.h"

#include <cstring>

namespace quillet {

PassSums compute_diff_scalar(const PixelPass& pass) {
    PassSums sums = pass.start;
    for (std::size_t i = 0; i < pass.pixel_count; ++i) scalar_pixel(pass, i, sums);
    return sums;
}

void redraw_picture_scalar(const PixelPass& pass) {
    redraw_picture_range(pass, 0, pass.pixel_count);
}

float largest_distance_scalar(const PixelPass& pass) {
    return largest_distance_range(pass, 0, pass.pixel_count, 0.0f);
}

PixelRange differing_range_scalar(const PixelPass& pass) {
    const auto differs = [&](std::size_t i) {
        return std::memcmp(pass.left + 3 * i, pass.right + 3 * i, 3) != 0;
    };
    std::size_t end = pass.pixel_count;
    while (end > 0 && !differs(end - 1)) --end;
    std::size_t first = 0;
    while (first < end && !differs(first)) ++first;
    return {first, end};
}

}  // namespace quillet
