// A comparison fed to the pixel pass one row at a time, each row continuing the
// running figures of the rows before it, which gives the bits of one pass over
// the packed frame. Optionally drawn into a caller's buffer, with the pixels
// whose picture may depend on the colour scale reported row by row (and their
// bytes kept), found while each row is still in the nearest cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comparison_pass.h"
#include "compute_diff.h"
#include "frame_cache.h"
#include "numeric.h"

namespace quillet {

struct RowTargets {
    std::uint8_t* picture = nullptr;  // 4 bytes per pixel; null: the cache's own picture
    // One range per row: empty for a row without a changed pixel, otherwise
    // a range outside which the row's pixels are equal in both frames. Null:
    // not wanted.
    PixelRange* changed = nullptr;
    // Where the bytes of those ranges are copied, at their places in packed
    // frames of the compared size; null: not kept.
    std::uint8_t* keep_left = nullptr;
    std::uint8_t* keep_right = nullptr;
    // With `changed`, in a plain pass: the changed pixels are left in the
    // picture as their distances for a HeatKernel (PixelPass::heat_later),
    // and each row's range is the pass's own span of its changed pixels.
    bool heat_later = false;
};

// Records, for `targets`, row `row` of a pass whose largest tested value in
// that row is `row_max`, while the row's bytes at `left` and `right` are still
// in cache: its changed range, and those bytes where they are kept.
inline void note_changed_row(const RowTargets& targets, RangeKernel differing, std::size_t row,
                             std::size_t row_pixels, float row_max, const std::uint8_t* left,
                             const std::uint8_t* right) {
    PixelRange changed{0, 0};
    if (!(row_max < kChangeThreshold)) {
        PixelPass pass{};
        pass.left = left;
        pass.right = right;
        pass.pixel_count = row_pixels;
        changed = differing(pass);
        if (targets.keep_left != nullptr) {
            const std::size_t at = 3 * (row_pixels * row + changed.first);
            const std::size_t bytes = 3 * (changed.end - changed.first);
            std::memcpy(targets.keep_left + at, left + 3 * changed.first, bytes);
            std::memcpy(targets.keep_right + at, right + 3 * changed.first, bytes);
        }
    }
    targets.changed[row] = changed;
}

// One call of the pixel pass on `pass`, continuing `sums`. With `own_max` it
// also gives the stretch's own largest tested value: the pass then starts its
// maximum from the same +0 the running one starts at, and the running maximum
// taken afterwards gives the value an unbroken pass would.
inline PassSums continue_pass(DiffKernel kernel, PixelPass& pass, const PassSums& sums,
                              float* own_max = nullptr) {
    pass.start = sums;
    if (own_max == nullptr) return kernel(pass);
    pass.start.max_tested = 0.0f;
    const PassSums part = kernel(pass);
    *own_max = part.max_tested;
    return {part.similarity_sum, part.distance_total,
            max_ignoring_nan(sums.max_tested, part.max_tested)};
}

// `rows(y, left, right)` sets the pointers to row y of both frames.
template <typename Rows>
Metrics compare_row_by_row(FrameCache& cache, std::int32_t width, std::int32_t height, Rows&& rows,
                           RowTargets targets = {}) {
    const ComparisonPass comparison = begin_comparison(cache, width, height);
    const DiffKernel kernel = active_diff_kernel();
    const RangeKernel differing = targets.changed != nullptr ? active_range_kernel() : nullptr;
    const auto row_pixels = static_cast<std::size_t>(width);
    std::uint8_t* const picture = targets.picture != nullptr ? targets.picture : comparison.pass.rgba;
    PixelPass pass = comparison.pass;
    pass.pixel_count = row_pixels;
    pass.heat_later = targets.heat_later;
    PassSums sums{0.0f, 0.0f, 0.0f};
    if (comparison.pixels != 0) {
        for (std::int32_t y = 0; y < height; ++y) {
            const auto row = static_cast<std::size_t>(y);
            rows(y, pass.left, pass.right);
            pass.rgba = picture + 4 * row_pixels * row;
            if (pass.ema != nullptr) pass.ema = comparison.pass.ema + row_pixels * row;
            if (targets.changed == nullptr || targets.heat_later) {
                pass.changed_span = targets.changed != nullptr ? targets.changed + row : nullptr;
                sums = continue_pass(kernel, pass, sums);
                continue;
            }
            float row_max;
            sums = continue_pass(kernel, pass, sums, &row_max);
            note_changed_row(targets, differing, row, row_pixels, row_max, pass.left, pass.right);
        }
    }
    return finish_comparison(cache, comparison, sums);
}

}  // namespace quillet
