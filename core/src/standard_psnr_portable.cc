// The squared-error pass compiled for the portable target.
#include "standard_psnr_kernel.h"

namespace quillet {

SquaredErrorSums squared_error_sums_portable(const std::uint8_t* left, const std::uint8_t* right,
                                       std::size_t pixel_count) {
    return standard_psnr_detail::squared_error_sums(left, right, pixel_count);
}

}  // namespace quillet
