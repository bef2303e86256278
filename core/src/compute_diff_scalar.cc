// The scalar reference kernel: the definition every other kernel is tested against.
#include "compute_diff.h"

namespace quillet {

PassSums compute_diff_scalar(const PixelPass& pass) {
    PassSums sums = pass.start;
    for (std::size_t i = 0; i < pass.pixel_count; ++i) scalar_pixel(pass, i, sums);
    return sums;
}

}  // namespace quillet
