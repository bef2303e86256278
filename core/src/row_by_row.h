// A comparison fed to the pixel pass one row at a time, each row continuing the
// running figures of the rows before it, which gives the bits of one pass over
// the packed frame. Optionally drawn into a caller's buffer, with the changed
// pixels left as distances and their span reported row by row, for colouring
// once the pass has found the scale.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comparison_pass.h"
#include "compute_diff.h"
#include "frame_cache.h"

namespace quillet {

struct RowTargets {
    std::uint8_t* picture = nullptr;  // 4 bytes per pixel; null: the cache's own picture
    // One range per row. When set (a plain pass only), the changed pixels are
    // left in the picture as their distances for a HeatKernel
    // (PixelPass::heat_later), and each row's range receives the span of its
    // changed pixels: empty for a row without one. Null: not wanted.
    PixelRange* changed = nullptr;
};

// One call of the pixel pass on `pass`, continuing `sums`.
inline PassSums continue_pass(DiffKernel kernel, PixelPass& pass, const PassSums& sums) {
    pass.start = sums;
    return kernel(pass);
}

// `rows(y, pass)` sets pass.left and pass.right to row y of both frames (and
// may set the pass's bytes ahead).
template <typename Rows>
Metrics compare_row_by_row(FrameCache& cache, std::int32_t width, std::int32_t height, Rows&& rows,
                           RowTargets targets = {}) {
    const ComparisonPass comparison = begin_comparison(cache, width, height);
    const DiffKernel kernel = active_diff_kernel();
    const auto row_pixels = static_cast<std::size_t>(width);
    std::uint8_t* const picture = targets.picture != nullptr ? targets.picture : comparison.pass.rgba;
    PixelPass pass = comparison.pass;
    pass.pixel_count = row_pixels;
    pass.heat_later = targets.changed != nullptr;
    PassSums sums{0.0f, 0.0f, 0.0f};
    if (comparison.pixels != 0) {
        for (std::int32_t y = 0; y < height; ++y) {
            const auto row = static_cast<std::size_t>(y);
            rows(y, pass);
            pass.rgba = picture + 4 * row_pixels * row;
            if (pass.ema != nullptr) pass.ema = comparison.pass.ema + row_pixels * row;
            if (targets.changed != nullptr) pass.changed_span = targets.changed + row;
            sums = continue_pass(kernel, pass, sums);
        }
    }
    return finish_comparison(cache, comparison, sums);
}

}  // namespace quillet
