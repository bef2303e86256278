// The planned row copy with AVX-512 VBMI: per chunk two masked loads, one
// two-register byte permute and one store, for both frames at once, while the
// rows ahead are asked for into the second-level cache.
#include "avx512_intrinsics.h"

#include "row_sampling.h"

namespace quillet {

namespace {

// Asks for the source bytes [offset, offset + 128) of both rows ahead (the
// second line when `second_line`) into the second-level cache: the
// first-level one keeps the rows being copied and compared.
inline void ask_ahead(const SampledRowPair& rows, std::ptrdiff_t offset, bool second_line) {
    __builtin_prefetch(rows.left_ahead + offset, 0, 2);
    __builtin_prefetch(rows.right_ahead + offset, 0, 2);
    if (second_line) {
        __builtin_prefetch(rows.left_ahead + offset + 64, 0, 2);
        __builtin_prefetch(rows.right_ahead + offset + 64, 0, 2);
    }
}

inline __m512i gather(const std::uint8_t* from, __mmask64 low, __mmask64 high, __m512i index) {
    return _mm512_permutex2var_epi8(_mm512_maskz_loadu_epi8(low, from), index,
                                    _mm512_maskz_loadu_epi8(high, from + 64));
}

}  // namespace

void sample_rows_avx512(const SampledRowPair& rows_in, const SamplePlan& plan) {
    // Local copies: the stores through the output pointers could otherwise
    // alias the pair and the plan, which would then be read again for every chunk.
    const SampledRowPair rows = rows_in;
    const std::size_t whole_stores = plan.whole_stores;
    const std::size_t uniform = plan.uniform;
    const std::size_t chunks = plan.chunks;
    std::size_t c = 0;
    if (uniform != 0) {
        const SampleChunk& first = plan.chunk[0];
        const __m512i index = _mm512_load_si512(first.index);
        const __mmask64 low = first.load_low;
        const __mmask64 high = first.load_high;
        const __mmask64 store = first.store;
        const std::ptrdiff_t source_stride = plan.source_stride;
        const std::ptrdiff_t out_stride = plan.out_stride;
        std::ptrdiff_t source = first.source_offset;
        std::ptrdiff_t out = first.out_offset;
        // Each 64-byte line of the rows ahead is asked for once, as the copy
        // passes its offset.
        std::ptrdiff_t asked = source;
        const auto ask_ahead_to = [&](std::ptrdiff_t end) {
            for (; asked < end; asked += 64) {
                __builtin_prefetch(rows.left_ahead + asked, 0, 2);
                __builtin_prefetch(rows.right_ahead + asked, 0, 2);
            }
        };
        for (; c < whole_stores; ++c, source += source_stride, out += out_stride) {
            ask_ahead_to(source + source_stride);
            _mm512_storeu_si512(rows.left_out + out, gather(rows.left + source, low, high, index));
            _mm512_storeu_si512(rows.right_out + out, gather(rows.right + source, low, high, index));
        }
        for (; c < uniform; ++c, source += source_stride, out += out_stride) {
            ask_ahead_to(source + source_stride);
            _mm512_mask_storeu_epi8(rows.left_out + out, store,
                                    gather(rows.left + source, low, high, index));
            _mm512_mask_storeu_epi8(rows.right_out + out, store,
                                    gather(rows.right + source, low, high, index));
        }
    }
    for (; c < chunks; ++c) {
        const SampleChunk& chunk = plan.chunk[c];
        const __m512i index = _mm512_load_si512(chunk.index);
        ask_ahead(rows, chunk.source_offset, chunk.load_high != 0);
        _mm512_mask_storeu_epi8(
            rows.left_out + chunk.out_offset, chunk.store,
            gather(rows.left + chunk.source_offset, chunk.load_low, chunk.load_high, index));
        _mm512_mask_storeu_epi8(
            rows.right_out + chunk.out_offset, chunk.store,
            gather(rows.right + chunk.source_offset, chunk.load_low, chunk.load_high, index));
    }
}

}  // namespace quillet
