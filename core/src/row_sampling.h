// Point sampling of one source row into packed pixels, planned once per
// comparison: the sampled columns are cut into chunks of at most 16 pixels
// whose bytes lie within 128 bytes of the source row, so that an instruction
// set with a two-register byte permute copies a chunk with two loads, one
// permute and one store.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

struct SampleChunk {
    alignas(64) std::uint8_t index[64];  // byte i of the chunk's pixels: source byte index[i]
    std::int32_t source_offset;          // first source byte, from the row's start
    std::int32_t out_offset;             // first output byte
    std::uint64_t load_low;              // bytes 0 ... 63 from source_offset that are read
    std::uint64_t load_high;             // bytes 64 ... 127
    std::uint64_t store;                 // output bytes written (3 per pixel)
};

// At most this many chunks: steps up to about 3 (3840 -> 1280) fit; a plan
// that needs more is not made and the columns are copied one by one.
inline constexpr std::size_t kMaxSampleChunks = 128;

struct SamplePlan {
    std::size_t chunks = 0;
    SampleChunk chunk[kMaxSampleChunks];
};

// Plans the copy of `columns` pixels whose source byte offsets (3 * sx, never
// decreasing) are `column_offsets`; false when it needs too many chunks.
bool plan_row_sampling(const std::int32_t* column_offsets, std::size_t columns, SamplePlan& plan);

// Copies the pixels of chunks [first_chunk, end_chunk) of the plan from the
// source row starting at `row` to their places in the output row `out`; reads
// only bytes between the first and the last sampled byte of those chunks.
// Null when this build or processor has no such copy.
using RowSampler = void (*)(const std::uint8_t* row, const SamplePlan& plan,
                            std::size_t first_chunk, std::size_t end_chunk, std::uint8_t* out);
RowSampler active_row_sampler();

}  // namespace quillet
