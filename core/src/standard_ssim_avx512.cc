// The SSIM rows compiled for the avx512 target.
#include "standard_ssim_kernel.h"

namespace quillet {

void ssim_rows_avx512(const SsimFrames& frames, std::size_t first, std::size_t end,
                    double* row_sums) {
    standard_ssim_detail::ssim_rows(frames, first, end, row_sums);
}

}  // namespace quillet
