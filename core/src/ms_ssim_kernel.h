// One scale of multi-scale SSIM: the means of the contrast-structure and SSIM
// maps of a pair of double planes, written once as plain loops and compiled
// once per instruction set (ms_ssim_*.cc). No fused multiply-adds and
// contraction off: every build gives the same bits.
#pragma once

#include <cstddef>
#include <vector>

#include "standard_ssim.h"

namespace quillet {

struct ScaleMeans {
    double contrast_structure;
    double ssim;
};

// x and y are width x height planes, row-major, at least 11 x 11; their
// samples carry the factor `scale` (C1 and C2 are scaled alike).
using ScaleMeansKernel = ScaleMeans (*)(const double* x, const double* y, std::size_t width,
                                        std::size_t height, double scale);
ScaleMeans ms_ssim_scale_means_portable(const double*, const double*, std::size_t, std::size_t, double);
#if defined(QUILLET_HAVE_AVX2_KERNEL)
ScaleMeans ms_ssim_scale_means_avx2(const double*, const double*, std::size_t, std::size_t, double);
#endif
#if defined(QUILLET_HAVE_AVX512_KERNEL)
ScaleMeans ms_ssim_scale_means_avx512(const double*, const double*, std::size_t, std::size_t, double);
#endif

namespace ms_ssim_detail {
// Each including translation unit gets its own copy, compiled with its own
// instruction set: the linker must never merge them.
namespace {

inline constexpr double kC1 = (0.01 * 255.0) * (0.01 * 255.0);
inline constexpr double kC2 = (0.03 * 255.0) * (0.03 * 255.0);

// The vertical pass of the map row centred on frame row `centre`: E[x], E[y],
// E[x^2 + y^2] and E[xy] for every column, the two rows at each distance added first.
inline void filter_columns(const double* x, const double* y, std::size_t width, std::size_t centre,
                           const double (&w)[kSsimRadius + 1], double* __restrict mean_x,
                           double* __restrict mean_y, double* __restrict mean_squares,
                           double* __restrict mean_xy) noexcept {
    const double* __restrict xc = x + centre * width;
    const double* __restrict yc = y + centre * width;
    for (std::size_t c = 0; c < width; ++c) {
        mean_x[c] = w[0] * xc[c];
        mean_y[c] = w[0] * yc[c];
        mean_squares[c] = w[0] * (xc[c] * xc[c] + yc[c] * yc[c]);
        mean_xy[c] = w[0] * (xc[c] * yc[c]);
    }
    for (std::size_t d = 1; d <= kSsimRadius; ++d) {
        const double weight = w[d];
        const double* __restrict xa = x + (centre - d) * width;
        const double* __restrict xb = x + (centre + d) * width;
        const double* __restrict ya = y + (centre - d) * width;
        const double* __restrict yb = y + (centre + d) * width;
        for (std::size_t c = 0; c < width; ++c) {
            mean_x[c] = mean_x[c] + weight * (xa[c] + xb[c]);
            mean_y[c] = mean_y[c] + weight * (ya[c] + yb[c]);
            mean_squares[c] =
                mean_squares[c] + weight * ((xa[c] * xa[c] + ya[c] * ya[c]) + (xb[c] * xb[c] + yb[c] * yb[c]));
            mean_xy[c] = mean_xy[c] + weight * (xa[c] * ya[c] + xb[c] * yb[c]);
        }
    }
}

inline double filter_row_at(const double* __restrict v, std::size_t c,
                            const double (&w)[kSsimRadius + 1]) noexcept {
    double m = w[0] * v[c];
#pragma GCC unroll 8
    for (std::size_t d = 1; d <= kSsimRadius; ++d) m = m + w[d] * (v[c - d] + v[c + d]);
    return m;
}

inline ScaleMeans scale_means(const double* x, const double* y, std::size_t width, std::size_t height,
                              double scale) {
    const double c1 = kC1 * (scale * scale);
    const double c2 = kC2 * (scale * scale);
    const std::size_t rows = height - 2 * kSsimRadius, columns = width - 2 * kSsimRadius;
    double w[kSsimRadius + 1];
    for (std::size_t d = 0; d <= kSsimRadius; ++d) w[d] = ssim_gaussian_weights().weight[d];
    thread_local std::vector<double> buffer;
    buffer.resize(4 * width + 2 * columns);
    double* mean_x = buffer.data();
    double* mean_y = mean_x + width;
    double* mean_squares = mean_y + width;
    double* mean_xy = mean_squares + width;
    double* __restrict cs_map = mean_xy + width;
    double* __restrict ssim_map = cs_map + columns;
    double cs_total = 0.0, ssim_total = 0.0;
    for (std::size_t o = 0; o < rows; ++o) {
        filter_columns(x, y, width, o + kSsimRadius, w, mean_x, mean_y, mean_squares, mean_xy);
        const double* __restrict mx = mean_x + kSsimRadius;
        const double* __restrict my = mean_y + kSsimRadius;
        const double* __restrict msq = mean_squares + kSsimRadius;
        const double* __restrict mxy = mean_xy + kSsimRadius;
        for (std::size_t c = 0; c < columns; ++c) {
            const double ux = filter_row_at(mx, c, w);
            const double uy = filter_row_at(my, c, w);
            const double usq = filter_row_at(msq, c, w);
            const double uxy = filter_row_at(mxy, c, w);
            const double uxuy = ux * uy;
            const double squared_means = ux * ux + uy * uy;
            const double contrast_structure = (2.0 * (uxy - uxuy) + c2) / ((usq - squared_means) + c2);
            cs_map[c] = contrast_structure;
            ssim_map[c] = (2.0 * uxuy + c1) / (squared_means + c1) * contrast_structure;
        }
        // Each row's sums in column order, then the rows in order.
        double cs_row = 0.0, ssim_row = 0.0;
        for (std::size_t c = 0; c < columns; ++c) {
            cs_row = cs_row + cs_map[c];
            ssim_row = ssim_row + ssim_map[c];
        }
        cs_total = cs_total + cs_row;
        ssim_total = ssim_total + ssim_row;
    }
    const double count = static_cast<double>(rows) * static_cast<double>(columns);
    return {cs_total / count, ssim_total / count};
}

}  // namespace
}  // namespace ms_ssim_detail
}  // namespace quillet
