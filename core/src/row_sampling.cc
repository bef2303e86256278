// Planning of row sampling, and the choice of the vector copy (with the kernel
// that the dispatcher chose: its instruction set is known to run here).
#include "row_sampling.h"

#include <cstring>

#include "compute_diff.h"

namespace quillet {

#if defined(QUILLET_HAVE_AVX512_KERNEL)
void sample_row_avx512(const std::uint8_t* row, const SamplePlan& plan, std::size_t first_chunk,
                       std::size_t end_chunk, std::uint8_t* out);
#endif

namespace {

std::uint64_t low_bits(std::uint32_t count) {
    return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

}  // namespace

bool plan_row_sampling(const std::int32_t* column_offsets, std::size_t columns, SamplePlan& plan) {
    plan.chunks = 0;
    std::size_t x = 0;
    while (x < columns) {
        if (plan.chunks == kMaxSampleChunks) return false;
        SampleChunk& chunk = plan.chunk[plan.chunks++];
        const std::int32_t first = column_offsets[x];
        std::size_t count = 0;
        while (count < 16 && x + count < columns && column_offsets[x + count] + 3 - first <= 128)
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
    return true;
}

RowSampler active_row_sampler() {
    static const RowSampler chosen = [] () -> RowSampler {
#if defined(QUILLET_HAVE_AVX512_KERNEL)
        if (active_diff_kernel() == compute_diff_avx512) return sample_row_avx512;
#endif
        return nullptr;
    }();
    return chosen;
}

}  // namespace quillet
