// The SSIM rows, written once as plain loops over columns and compiled once per
// instruction set (standard_ssim_*.cc). Columns are independent, so the
// compiler vectorises them without changing any operation: every value is the
// same sequence of IEEE double operations in every build. Contraction is off
// for the whole library; the multiply-adds written here as std::fma are single
// correctly rounded operations in every build (one vector instruction where
// the target has FMA, the C library's fma elsewhere), so they give the same
// bits everywhere. Row sums use eight fixed partial sums instead of one chain,
// so they vectorise without reassociation.
//
// The moments are filtered separably: vertically (exact integer pair sums of
// x, x^2 + y^2 and x*y, then weighted in double) into a stretch of a row of
// moments, then horizontally. Luma is taken exactly, as the integer
// 2126 R + 7152 G + 722 B (10^4 Y). Variances come from E[x^2] - mu^2 in
// double; the cancellation error stays near 1e-11, far below C2 = 58.5.
#pragma once

#include <algorithm>
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
// BT.709 luma times 10^4, an exact integer below 2^24: 2126 R + 7152 G + 722 B.
inline constexpr std::int32_t kLumaScaledR = 2126;
inline constexpr std::int32_t kLumaScaledG = 7152;
inline constexpr std::int32_t kLumaScaledB = 722;
inline constexpr double kLumaScale = 10000.0;
inline constexpr double kC2 = (0.03 * 255.0) * (0.03 * 255.0);



// The four filtered moments of a stretch of one map row, one value per
// column: E[x], E[y], E[x^2 + y^2] and E[xy]. SSIM needs the two variances
// only as their sum, so their second moments are filtered together.
struct MomentRows {
    double* __restrict mean_x;
    double* __restrict mean_y;
    double* __restrict mean_squares;
    double* __restrict mean_xy;
};
inline constexpr std::size_t kMoments = 4;

// Map columns per stretch: the moments of a stretch (with its 10 border
// columns) stay in the first-level cache between the two passes.
inline constexpr std::size_t kStretchColumns = 384;

// One pair of rows at distance d from the centre, added to the four moments
// of a column. Both rows' terms are added before the weight is applied, in
// the type Term: every term up to that point is an exact integer (channels:
// at most 4 * 255^2 in float; luma scaled by 10^4: at most 4 * 2550000^2 in
// double), so only the weighting, a fused multiply-add, rounds.
template <typename Term>
inline void add_pair(double& mean_x, double& mean_y, double& mean_squares, double& mean_xy,
                     double weight, Term xa, Term xb, Term ya, Term yb) noexcept {
    mean_x = std::fma(weight, static_cast<double>(xa + xb), mean_x);
    mean_y = std::fma(weight, static_cast<double>(ya + yb), mean_y);
    mean_squares =
        std::fma(weight, static_cast<double>((xa * xa + ya * ya) + (xb * xb + yb * yb)), mean_squares);
    mean_xy = std::fma(weight, static_cast<double>(xa * ya + xb * yb), mean_xy);
}

// Vertical filtering of `width` columns of one plane, from column `offset`:
// rows_x[k], rows_y[k] are the window's rows (k = 0 the top). Per column the
// centre first, then the pairs, nearest first.
template <typename Term>
inline void filter_columns(const float* const* rows_x, const float* const* rows_y,
                           std::size_t offset, std::size_t width, const GaussianWeights& weights,
                           const MomentRows& out) noexcept {
    // Local copies, so that the compiler sees that the stores change none of them.
    const double w0 = weights.weight[0], w1 = weights.weight[1], w2 = weights.weight[2];
    const double w3 = weights.weight[3], w4 = weights.weight[4], w5 = weights.weight[5];
    const float* __restrict x0 = rows_x[0] + offset;
    const float* __restrict x1 = rows_x[1] + offset;
    const float* __restrict x2 = rows_x[2] + offset;
    const float* __restrict x3 = rows_x[3] + offset;
    const float* __restrict x4 = rows_x[4] + offset;
    const float* __restrict x5 = rows_x[5] + offset;
    const float* __restrict x6 = rows_x[6] + offset;
    const float* __restrict x7 = rows_x[7] + offset;
    const float* __restrict x8 = rows_x[8] + offset;
    const float* __restrict x9 = rows_x[9] + offset;
    const float* __restrict x10 = rows_x[10] + offset;
    const float* __restrict y0 = rows_y[0] + offset;
    const float* __restrict y1 = rows_y[1] + offset;
    const float* __restrict y2 = rows_y[2] + offset;
    const float* __restrict y3 = rows_y[3] + offset;
    const float* __restrict y4 = rows_y[4] + offset;
    const float* __restrict y5 = rows_y[5] + offset;
    const float* __restrict y6 = rows_y[6] + offset;
    const float* __restrict y7 = rows_y[7] + offset;
    const float* __restrict y8 = rows_y[8] + offset;
    const float* __restrict y9 = rows_y[9] + offset;
    const float* __restrict y10 = rows_y[10] + offset;
    double* __restrict out_x = out.mean_x;
    double* __restrict out_y = out.mean_y;
    double* __restrict out_squares = out.mean_squares;
    double* __restrict out_xy = out.mean_xy;
    for (std::size_t c = 0; c < width; ++c) {
        const Term xc = static_cast<Term>(x5[c]), yc = static_cast<Term>(y5[c]);
        double mean_x = w0 * static_cast<double>(xc);
        double mean_y = w0 * static_cast<double>(yc);
        double mean_squares = w0 * static_cast<double>(xc * xc + yc * yc);
        double mean_xy = w0 * static_cast<double>(xc * yc);
        add_pair<Term>(mean_x, mean_y, mean_squares, mean_xy, w1, x4[c], x6[c], y4[c], y6[c]);
        add_pair<Term>(mean_x, mean_y, mean_squares, mean_xy, w2, x3[c], x7[c], y3[c], y7[c]);
        add_pair<Term>(mean_x, mean_y, mean_squares, mean_xy, w3, x2[c], x8[c], y2[c], y8[c]);
        add_pair<Term>(mean_x, mean_y, mean_squares, mean_xy, w4, x1[c], x9[c], y1[c], y9[c]);
        add_pair<Term>(mean_x, mean_y, mean_squares, mean_xy, w5, x0[c], x10[c], y0[c], y10[c]);
        out_x[c] = mean_x;
        out_y[c] = mean_y;
        out_squares[c] = mean_squares;
        out_xy[c] = mean_xy;
    }
}

inline double filter_row_at(const double* __restrict v, std::size_t c,
                            const double (&w)[kRadius + 1]) noexcept {
    double m = w[0] * v[c];
#pragma GCC unroll 8
    for (std::size_t d = 1; d <= kRadius; ++d) m = std::fma(w[d], v[c - d] + v[c + d], m);
    return m;
}

// Horizontal filtering of the moments of a stretch (columns - 10 map values,
// the moments starting 5 columns to the left of the first) and its SSIM map values.
inline void map_stretch(const MomentRows& moments, std::size_t columns,
                        const GaussianWeights& weights, double c1, double c2,
                        double* __restrict map) noexcept {
    double w[kRadius + 1];
    for (std::size_t d = 0; d <= kRadius; ++d) w[d] = weights.weight[d];
    const double* __restrict mean_x = moments.mean_x + kRadius;
    const double* __restrict mean_y = moments.mean_y + kRadius;
    const double* __restrict mean_squares = moments.mean_squares + kRadius;
    const double* __restrict mean_xy = moments.mean_xy + kRadius;
    for (std::size_t o = 0; o < columns; ++o) {
        const double ux = filter_row_at(mean_x, o, w);
        const double uy = filter_row_at(mean_y, o, w);
        const double usq = filter_row_at(mean_squares, o, w);
        const double uxy = filter_row_at(mean_xy, o, w);
        const double uxuy = ux * uy;
        const double squared_means = std::fma(ux, ux, uy * uy);  // ux^2 + uy^2
        const double variances = usq - squared_means;            // var(x) + var(y)
        const double covariance = uxy - uxuy;
        const double a1 = std::fma(2.0, uxuy, c1);
        const double a2 = std::fma(2.0, covariance, c2);
        const double b1 = squared_means + c1;
        const double b2 = variances + c2;
        map[o] = (a1 * a2) / (b1 * b2);
    }
}

// The sum of one map row in the fixed order: eight interleaved partial sums,
// then a fixed tree.
inline double row_sum(const double* __restrict map, std::size_t columns) noexcept {
    double partial[kPartialSums] = {};
    std::size_t o = 0;
    for (; o + kPartialSums <= columns; o += kPartialSums)
        for (std::size_t j = 0; j < kPartialSums; ++j) partial[j] = partial[j] + map[o + j];
    for (std::size_t j = 0; o < columns; ++o, ++j) partial[j] = partial[j] + map[o];
    return ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
           ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

// The map row of one plane, stretch by stretch, and its sum. `scale` is the
// factor the plane's samples carry (SSIM is unchanged when the samples and
// sqrt(C1), sqrt(C2) are scaled alike).
template <typename Term>
inline double plane_row_sum(const float* const* rows_x, const float* const* rows_y,
                            std::size_t width, const GaussianWeights& weights, double scale,
                            const MomentRows& moments, double* map) noexcept {
    const double c1 = kC1 * (scale * scale);
    const double c2 = kC2 * (scale * scale);
    const std::size_t columns = width - 2 * kRadius;
    for (std::size_t first = 0; first < columns; first += kStretchColumns) {
        const std::size_t count = std::min(kStretchColumns, columns - first);
        filter_columns<Term>(rows_x, rows_y, first, count + 2 * kRadius, weights, moments);
        map_stretch(moments, count, weights, c1, c2, map + first);
    }
    return row_sum(map, columns);
}

// Scratch of one worker: the window's frame rows as planes (a ring of 11 rows),
// the moment rows and the map row. Kept per thread and reused across calls.
struct RowsScratch {
    std::vector<float> channels;      // [slot][side][channel][width], exact byte values
    std::vector<float> luma;          // [slot][side][width], 10^4 Y: exact integers
    std::vector<double> moments;      // 4 x (stretch + 10)
    std::vector<double> map;          // width

    void reserve_for(std::size_t width) {
        channels.resize(kWindow * 2 * 3 * width);
        luma.resize(kWindow * 2 * width);
        moments.resize(kMoments * (kStretchColumns + 2 * kRadius));
        map.resize(width);
    }
    float* channel_row(std::size_t slot, std::size_t side, std::size_t channel,
                       std::size_t width) noexcept {
        return channels.data() + ((slot * 2 + side) * 3 + channel) * width;
    }
    float* luma_row(std::size_t slot, std::size_t side, std::size_t width) noexcept {
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
        float* __restrict r = scratch.channel_row(slot, side, 0, width);
        float* __restrict g = scratch.channel_row(slot, side, 1, width);
        float* __restrict b = scratch.channel_row(slot, side, 2, width);
        float* __restrict y = scratch.luma_row(slot, side, width);
        for (std::size_t c = 0; c < width; ++c) {
            r[c] = static_cast<float>(packed[3 * c]);
            g[c] = static_cast<float>(packed[3 * c + 1]);
            b[c] = static_cast<float>(packed[3 * c + 2]);
        }
        for (std::size_t c = 0; c < width; ++c)
            y[c] = static_cast<float>(kLumaScaledR * packed[3 * c] + kLumaScaledG * packed[3 * c + 1] +
                                      kLumaScaledB * packed[3 * c + 2]);
    }
}

inline void ssim_rows(const SsimFrames& frames, std::size_t first, std::size_t end,
                      double* row_sums) {
    const GaussianWeights& weights = ssim_gaussian_weights();
    thread_local RowsScratch scratch;
    const std::size_t width = frames.width;
    scratch.reserve_for(width);
    constexpr std::size_t stride = kStretchColumns + 2 * kRadius;
    double* moment_data = scratch.moments.data();
    const MomentRows moments{moment_data, moment_data + stride, moment_data + 2 * stride,
                             moment_data + 3 * stride};
    for (std::size_t row = first; row + 1 < first + kWindow; ++row) load_row(frames, row, scratch);
    for (std::size_t o = first; o < end; ++o) {
        load_row(frames, o + kWindow - 1, scratch);
        double* sums = row_sums + 4 * (o - first);
        for (std::size_t channel = 0; channel < 3; ++channel) {
            const float* xr[kWindow];
            const float* yr[kWindow];
            for (std::size_t k = 0; k < kWindow; ++k) {
                xr[k] = scratch.channel_row((o + k) % kWindow, 0, channel, width);
                yr[k] = scratch.channel_row((o + k) % kWindow, 1, channel, width);
            }
            sums[channel] = plane_row_sum<float>(xr, yr, width, weights, 1.0, moments, scratch.map.data());
        }
        const float* xl[kWindow];
        const float* yl[kWindow];
        for (std::size_t k = 0; k < kWindow; ++k) {
            xl[k] = scratch.luma_row((o + k) % kWindow, 0, width);
            yl[k] = scratch.luma_row((o + k) % kWindow, 1, width);
        }
        sums[3] = plane_row_sum<double>(xl, yl, width, weights, kLumaScale, moments, scratch.map.data());
    }
}

}  // namespace
}  // namespace quillet::standard_ssim_detail
