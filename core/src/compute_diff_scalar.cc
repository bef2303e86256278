// The scalar reference kernel: the definition every other kernel is tested against.
#include "compute_diff.h"

namespace quillet {

PassSums compute_diff_scalar(const PixelPass& pass) {
    PassSums sums = pass.start;
    PixelRange changed{0, 0};
    for (std::size_t i = 0; i < pass.pixel_count; ++i)
        if (scalar_pixel(pass, i, sums)) extend_span(changed, i);
    if (pass.changed_span != nullptr) *pass.changed_span = changed;
    return sums;
}

float largest_distance_scalar(const PixelPass& pass) {
    return largest_distance_range(pass, 0, pass.pixel_count, 0.0f);
}

void colour_distances_range(const PixelPass& pass, std::size_t begin, std::size_t end) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        std::uint8_t* const out = pass.rgba + 4 * i;
        if (out[3] != 0) continue;
        const std::uint32_t distance =
            out[0] | (std::uint32_t{out[1]} << 8) | (std::uint32_t{out[2]} << 16);
        write_heat_colour(out, pass.colour_scale, static_cast<float>(distance));
    }
}

void colour_distances_scalar(const PixelPass& pass) {
    colour_distances_range(pass, 0, pass.pixel_count);
}

}  // namespace quillet
