// Multi-scale SSIM as Wang, Simoncelli and Bovik (2003) define it: five
// scales, each half the previous one's size by 2 x 2 averaging (an odd last
// row or column is dropped); at every scale the SSIM window of standard_ssim.h
// (11 x 11 Gaussian, sigma 1.5, K1 = 0.01, K2 = 0.03, L = 255, population
// moments, the mean over the positions where the whole window fits):
//
//   MS-SSIM = cs_1^0.0448 * cs_2^0.2856 * cs_3^0.3001 * cs_4^0.2363 * ssim_5^0.1333
//
// cs_j is the mean contrast-structure term (2 cov + C2) / (var_x + var_y + C2)
// at scale j, ssim_5 the mean SSIM (luminance times contrast-structure) at the
// fifth. A mean below zero counts as zero (so the figure is 0, not undefined).
// Computed per channel, their mean, and on BT.709 luma taken exactly.
#pragma once

#include <cstddef>

#include "standard_ssim.h"

namespace quillet {

inline constexpr std::size_t kMsSsimScales = 5;
// The fifth scale must still hold one whole window.
inline constexpr std::size_t kMsSsimMinSide = kSsimWindow << (kMsSsimScales - 1);  // 176

struct MsSsim {
    double rgb;  // mean of r, g and b
    double r;
    double g;
    double b;
    double y;  // BT.709 luma
};

// Throws std::invalid_argument when a side is below kMsSsimMinSide. The four
// planes are computed on up to `threads` threads (0: as many as pay); the
// result does not depend on the thread count.
MsSsim ms_ssim(const SsimFrames& frames, unsigned threads = 0);

}  // namespace quillet
