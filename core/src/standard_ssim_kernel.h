// The SSIM rows, written once as plain loops over columns and compiled once per
// instruction set (standard_ssim_*.cc). Columns are independent, so the
// compiler can vectorise them without changing any operation: every value is
// the same sequence of IEEE double operations in every build (contraction into
// fused multiply-adds is off for the whole library). Row sums use eight fixed
// partial sums instead of one chain, so they vectorise without reassociation.
//
// The moments are filtered separably: vertically (exact integer pair sums of
// x, x^2 and x*y times the weights, in double) into a row of moments, then
// horizontally. Variances come from E[x^2] - mu^2 in double; with 8-bit inputs
// the cancellation error stays near 1e-11, far below C2 = 58.5.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "standard_ssim.h"

namespace quillet::standard_ssim_detail {
// Each including translation unit gets its own copy, compiled with its own
// instruction set: the linker must never merge them.
namespace {

inline constexpr std::size_t kRadius = kSsimRadius;
inline constexpr std::size_t kWindow = kSsimWindow;
inline constexpr std::size_t kPartialSums = 8;

inline constexpr double kC1 = (0.01 * 255.0) * (0.01 * 255.0);
inline constexpr double kC2 = (0.03 * 255.0) * (0.03 * 255.0);



// The five filtered moments of one row of the map, one value per column.
struct MomentRows {
    double* __restrict mean_x;
    double* __restrict mean_y;
    double* __restrict mean_xx;
    double* __restrict mean_yy;
    double* __restrict mean_xy;
};

// Vertical filtering, first step: the centre row times the centre weight.
template <typename Sample>
inline void start_moments(const Sample* __restrict xc_row, const Sample* __restrict yc_row,
                          std::size_t width, double weight, const MomentRows& out) noexcept {
    using Pair = std::conditional_t<std::is_same_v<Sample, std::uint8_t>, std::int32_t, double>;
    double* __restrict mean_x = out.mean_x;
    double* __restrict mean_y = out.mean_y;
    double* __restrict mean_xx = out.mean_xx;
    double* __restrict mean_yy = out.mean_yy;
    double* __restrict mean_xy = out.mean_xy;
    for (std::size_t c = 0; c < width; ++c) {
        const Pair xc = static_cast<Pair>(xc_row[c]);
        const Pair yc = static_cast<Pair>(yc_row[c]);
        mean_x[c] = weight * static_cast<double>(xc);
        mean_y[c] = weight * static_cast<double>(yc);
        mean_xx[c] = weight * static_cast<double>(xc * xc);
        mean_yy[c] = weight * static_cast<double>(yc * yc);
        mean_xy[c] = weight * static_cast<double>(xc * yc);
    }
}

// Vertical filtering, one more pair of rows at the same distance from the
// centre: bytes are paired as exact integers, luma in double.
template <typename Sample>
inline void add_row_pair(const Sample* __restrict xa_row, const Sample* __restrict xb_row,
                         const Sample* __restrict ya_row, const Sample* __restrict yb_row,
                         std::size_t width, double weight, const MomentRows& out) noexcept {
    using Pair = std::conditional_t<std::is_same_v<Sample, std::uint8_t>, std::int32_t, double>;
    double* __restrict mean_x = out.mean_x;
    double* __restrict mean_y = out.mean_y;
    double* __restrict mean_xx = out.mean_xx;
    double* __restrict mean_yy = out.mean_yy;
    double* __restrict mean_xy = out.mean_xy;
    for (std::size_t c = 0; c < width; ++c) {
        const Pair xa = static_cast<Pair>(xa_row[c]);
        const Pair xb = static_cast<Pair>(xb_row[c]);
        const Pair ya = static_cast<Pair>(ya_row[c]);
        const Pair yb = static_cast<Pair>(yb_row[c]);
        mean_x[c] = mean_x[c] + weight * static_cast<double>(xa + xb);
        mean_y[c] = mean_y[c] + weight * static_cast<double>(ya + yb);
        mean_xx[c] = mean_xx[c] + weight * static_cast<double>(xa * xa + xb * xb);
        mean_yy[c] = mean_yy[c] + weight * static_cast<double>(ya * ya + yb * yb);
        mean_xy[c] = mean_xy[c] + weight * static_cast<double>(xa * ya + xb * yb);
    }
}

// Vertical filtering of one plane: rows_x[k], rows_y[k] are the window's rows
// (k = 0 the top). Per column: the centre, then the pairs nearest first.
template <typename Sample>
inline void filter_columns(const Sample* const* rows_x, const Sample* const* rows_y,
                           std::size_t width, const GaussianWeights& weights,
                           const MomentRows& out) noexcept {
    start_moments(rows_x[kRadius], rows_y[kRadius], width, weights.weight[0], out);
    for (std::size_t d = 1; d <= kRadius; ++d)
        add_row_pair(rows_x[kRadius - d], rows_x[kRadius + d], rows_y[kRadius - d],
                     rows_y[kRadius + d], width, weights.weight[d], out);
}

inline double filter_row_at(const double* __restrict v, std::size_t c,
                            const double (&w)[kRadius + 1]) noexcept {
    double m = w[0] * v[c];
#pragma GCC unroll 8
    for (std::size_t d = 1; d <= kRadius; ++d) m = m + w[d] * (v[c - d] + v[c + d]);
    return m;
}

// Horizontal filtering of the moments and the SSIM map values of one row, for
// the map's width - 10 columns; returns their sum in the fixed order.
inline double map_row_sum(const MomentRows& moments, std::size_t width,
                          const GaussianWeights& weights, double* __restrict map) noexcept {
    const std::size_t columns = width - 2 * kRadius;
    double w[kRadius + 1];
    for (std::size_t d = 0; d <= kRadius; ++d) w[d] = weights.weight[d];
    const double* __restrict mean_x = moments.mean_x + kRadius;
    const double* __restrict mean_y = moments.mean_y + kRadius;
    const double* __restrict mean_xx = moments.mean_xx + kRadius;
    const double* __restrict mean_yy = moments.mean_yy + kRadius;
    const double* __restrict mean_xy = moments.mean_xy + kRadius;
    for (std::size_t o = 0; o < columns; ++o) {
        const double ux = filter_row_at(mean_x, o, w);
        const double uy = filter_row_at(mean_y, o, w);
        const double uxx = filter_row_at(mean_xx, o, w);
        const double uyy = filter_row_at(mean_yy, o, w);
        const double uxy = filter_row_at(mean_xy, o, w);
        const double vx = uxx - ux * ux;
        const double vy = uyy - uy * uy;
        const double vxy = uxy - ux * uy;
        const double a1 = 2.0 * ux * uy + kC1;
        const double a2 = 2.0 * vxy + kC2;
        const double b1 = ux * ux + uy * uy + kC1;
        const double b2 = vx + vy + kC2;
        map[o] = (a1 * a2) / (b1 * b2);
    }
    double partial[kPartialSums] = {};
    std::size_t o = 0;
    for (; o + kPartialSums <= columns; o += kPartialSums)
        for (std::size_t j = 0; j < kPartialSums; ++j) partial[j] = partial[j] + map[o + j];
    for (std::size_t j = 0; o < columns; ++o, ++j) partial[j] = partial[j] + map[o];
    return ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
           ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

// Scratch of one worker: the window's frame rows as planes (a ring of 11 rows),
// the moment rows and the map row. Kept per thread and reused across calls.
struct RowsScratch {
    std::vector<std::uint8_t> bytes;  // [slot][side][channel][width]
    std::vector<double> luma;         // [slot][side][width]
    std::vector<double> moments;      // 5 x width
    std::vector<double> map;          // width

    void reserve_for(std::size_t width) {
        bytes.resize(kWindow * 2 * 3 * width);
        luma.resize(kWindow * 2 * width);
        moments.resize(5 * width);
        map.resize(width);
    }
    std::uint8_t* channel_row(std::size_t slot, std::size_t side, std::size_t channel,
                              std::size_t width) noexcept {
        return bytes.data() + ((slot * 2 + side) * 3 + channel) * width;
    }
    double* luma_row(std::size_t slot, std::size_t side, std::size_t width) noexcept {
        return luma.data() + (slot * 2 + side) * width;
    }
};

// Splits frame row `row` of both sides into planes and their luma, into the
// ring slot row % 11.
inline void load_row(const SsimFrames& frames, std::size_t row, RowsScratch& scratch) noexcept {
    const std::size_t width = frames.width;
    const std::size_t slot = row % kWindow;
    for (std::size_t side = 0; side < 2; ++side) {
        const std::uint8_t* __restrict packed =
            (side == 0 ? frames.left : frames.right) + row * width * 3;
        std::uint8_t* __restrict r = scratch.channel_row(slot, side, 0, width);
        std::uint8_t* __restrict g = scratch.channel_row(slot, side, 1, width);
        std::uint8_t* __restrict b = scratch.channel_row(slot, side, 2, width);
        double* __restrict y = scratch.luma_row(slot, side, width);
        for (std::size_t c = 0; c < width; ++c) {
            r[c] = packed[3 * c];
            g[c] = packed[3 * c + 1];
            b[c] = packed[3 * c + 2];
        }
        for (std::size_t c = 0; c < width; ++c)
            y[c] = (0.2126 * static_cast<double>(r[c]) + 0.7152 * static_cast<double>(g[c])) +
                   0.0722 * static_cast<double>(b[c]);
    }
}

inline void ssim_rows(const SsimFrames& frames, std::size_t first, std::size_t end,
                      double* row_sums) {
    const GaussianWeights& weights = ssim_gaussian_weights();
    thread_local RowsScratch scratch;
    const std::size_t width = frames.width;
    scratch.reserve_for(width);
    const MomentRows moments{scratch.moments.data(), scratch.moments.data() + width,
                             scratch.moments.data() + 2 * width, scratch.moments.data() + 3 * width,
                             scratch.moments.data() + 4 * width};
    for (std::size_t row = first; row + 1 < first + kWindow; ++row) load_row(frames, row, scratch);
    for (std::size_t o = first; o < end; ++o) {
        load_row(frames, o + kWindow - 1, scratch);
        double* sums = row_sums + 4 * (o - first);
        for (std::size_t channel = 0; channel < 3; ++channel) {
            const std::uint8_t* xr[kWindow];
            const std::uint8_t* yr[kWindow];
            for (std::size_t k = 0; k < kWindow; ++k) {
                xr[k] = scratch.channel_row((o + k) % kWindow, 0, channel, width);
                yr[k] = scratch.channel_row((o + k) % kWindow, 1, channel, width);
            }
            filter_columns(xr, yr, width, weights, moments);
            sums[channel] = map_row_sum(moments, width, weights, scratch.map.data());
        }
        const double* xl[kWindow];
        const double* yl[kWindow];
        for (std::size_t k = 0; k < kWindow; ++k) {
            xl[k] = scratch.luma_row((o + k) % kWindow, 0, width);
            yl[k] = scratch.luma_row((o + k) % kWindow, 1, width);
        }
        filter_columns(xl, yl, width, weights, moments);
        sums[3] = map_row_sum(moments, width, weights, scratch.map.data());
    }
}

}  // namespace
}  // namespace quillet::standard_ssim_detail
