// Planning of row sampling, and the choice of the vector copy (with the kernel
// that the dispatcher chose: its instruction set is known to run here).
#include "row_sampling.h"

#include <algorithm>
#include <cstring>

#include "compute_diff.h"

namespace quillet {

#if defined(QUILLET_HAVE_AVX512_KERNEL)
void sample_rows_avx512(const SampledRowPair& rows, const SamplePlan& plan);
#endif

namespace {

std::uint64_t low_bits(std::uint32_t count) {
    return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

// Most pixels in a chunk: 63 output bytes, one vector store.
constexpr std::size_t kChunkPixels = 21;

// The largest pixel count n <= kChunkPixels, within 128 source bytes, with
// which the columns repeat (offset x + n = offset x + a fixed shift, for every
// x), so that every whole chunk of n pixels is the first one moved along the
// row, in at most kMaxSampleChunks chunks; 0 when there is none.
std::size_t repeating_chunk_pixels(const std::int32_t* column_offsets, std::size_t columns) {
    if (columns < 3) return 0;
    for (std::size_t n = std::min(kChunkPixels, columns - 1); n >= 2; --n) {
        if (column_offsets[n - 1] + 3 - column_offsets[0] > 128) continue;
        if ((columns + n - 1) / n > kMaxSampleChunks) break;
        const std::int32_t shift = column_offsets[n] - column_offsets[0];
        std::size_t x = n;
        while (x < columns && column_offsets[x] - column_offsets[x - n] == shift) ++x;
        if (x == columns) return n;
    }
    return 0;
}

// Whether `chunk` is `first` moved by `source` source and `out` output bytes.
bool moved_copy(const SampleChunk& chunk, const SampleChunk& first, std::int64_t source,
                std::int64_t out) {
    return chunk.source_offset == first.source_offset + source &&
           chunk.out_offset == first.out_offset + out && chunk.load_low == first.load_low &&
           chunk.load_high == first.load_high && chunk.store == first.store &&
           std::memcmp(chunk.index, first.index, sizeof chunk.index) == 0;
}

// The run of chunks at the start of the plan that repeat chunk 0, and which of
// them may store whole vectors inside an output row of `row_bytes`.
void find_uniform_run(SamplePlan& plan, std::size_t row_bytes) {
    plan.uniform = plan.chunks != 0 ? 1 : 0;
    plan.source_stride = 0;
    plan.out_stride = 0;
    if (plan.chunks >= 2) {
        const SampleChunk& first = plan.chunk[0];
        plan.source_stride = plan.chunk[1].source_offset - first.source_offset;
        plan.out_stride = plan.chunk[1].out_offset - first.out_offset;
        while (plan.uniform < plan.chunks &&
               moved_copy(plan.chunk[plan.uniform], first,
                          std::int64_t{plan.source_stride} * static_cast<std::int64_t>(plan.uniform),
                          std::int64_t{plan.out_stride} * static_cast<std::int64_t>(plan.uniform)))
            ++plan.uniform;
    }
    // The output bytes of the chunks follow each other with no gap, so the
    // bytes a whole store writes past a chunk's own are written again later
    // as long as they lie inside the row.
    plan.whole_stores = 0;
    while (plan.whole_stores < plan.uniform &&
           static_cast<std::size_t>(plan.chunk[plan.whole_stores].out_offset) + 64 <= row_bytes)
        ++plan.whole_stores;
}

}  // namespace

bool plan_row_sampling(const std::int32_t* column_offsets, std::size_t columns, SamplePlan& plan) {
    plan.chunks = 0;
    // Chunks that repeat where the columns allow it; otherwise each chunk takes
    // as many pixels as fit.
    const std::size_t repeating = repeating_chunk_pixels(column_offsets, columns);
    const std::size_t limit = repeating != 0 ? repeating : kChunkPixels;
    std::size_t x = 0;
    while (x < columns) {
        if (plan.chunks == kMaxSampleChunks) return false;
        SampleChunk& chunk = plan.chunk[plan.chunks++];
        const std::int32_t first = column_offsets[x];
        std::size_t count = 0;
        while (count < limit && x + count < columns && column_offsets[x + count] + 3 - first <= 128)
            ++count;
        std::memset(chunk.index, 0, sizeof chunk.index);
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t c = 0; c < 3; ++c)
                chunk.index[3 * i + c] =
                    static_cast<std::uint8_t>(column_offsets[x + i] - first + static_cast<std::int32_t>(c));
        const auto span = static_cast<std::uint32_t>(column_offsets[x + count - 1] + 3 - first);
        chunk.source_offset = first;
        chunk.out_offset = static_cast<std::int32_t>(3 * x);
        chunk.load_low = low_bits(span);
        chunk.load_high = span > 64 ? low_bits(span - 64) : 0;
        chunk.store = low_bits(static_cast<std::uint32_t>(3 * count));
        x += count;
    }
    find_uniform_run(plan, 3 * columns);
    return true;
}

RowSampler active_row_sampler() {
    static const RowSampler chosen = [] () -> RowSampler {
#if defined(QUILLET_HAVE_AVX512_KERNEL)
        if (active_diff_kernel() == compute_diff_avx512) return sample_rows_avx512;
#endif
        return nullptr;
    }();
    return chosen;
}

}  // namespace quillet
