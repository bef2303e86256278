// One multi-scale SSIM scale compiled for the avx2 target.
#include "ms_ssim_kernel.h"

namespace quillet {

ScaleMeans ms_ssim_scale_means_avx2(const double* x, const double* y, std::size_t width, std::size_t height,
                                   double scale) {
    return ms_ssim_detail::scale_means(x, y, width, height, scale);
}

}  // namespace quillet
