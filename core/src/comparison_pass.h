// The steps of a comparison around its pixel pass, shared by the comparison of
// whole frames (compute_diff_impl) and the row-by-row one (compare_rows): the
// picture and history sized, the pass chosen, and afterwards the state updated
// and the four figures made from the running sums.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compute_diff.h"
#include "frame_cache.h"

namespace quillet {

struct ComparisonPass {
    std::size_t pixels;  // n
    PixelPass pass;      // frames unset; picture and history at pixel 0
};

// Steps 1 to 5 of a comparison of width x height pixels on `cache`: panics
// with "capacity overflow" when the 32-bit pixel count is negative.
ComparisonPass begin_comparison(FrameCache& cache, std::int32_t width, std::int32_t height);

// The state after a completed pass and the four figures.
Metrics finish_comparison(FrameCache& cache, const ComparisonPass& comparison, const PassSums& sums);

}  // namespace quillet
