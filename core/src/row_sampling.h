// Point sampling of source rows into packed pixels, planned once per
// comparison: the sampled columns are cut into chunks of at most 21 pixels
// (63 bytes) whose bytes lie within 128 bytes of the source row, so that an instruction
// set with a two-register byte permute copies a chunk with two loads, one
// permute and one store. Where every chunk is the first one moved along the
// row (a step such as 1.5, 2 or 3: chunks are cut so where the columns
// repeat), the permute and the masks stay in registers.
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

// At most this many chunks: steps up to about 4.5 fit (3840 -> 1280 is 3); a plan
// that needs more is not made and the columns are copied one by one.
inline constexpr std::size_t kMaxSampleChunks = 128;

struct SamplePlan {
    std::size_t chunks = 0;
    // Chunks 0 ... uniform - 1 are chunk 0 moved by i * source_stride source
    // bytes and i * out_stride output bytes, with its permute and masks.
    std::size_t uniform = 0;
    std::int32_t source_stride = 0;
    std::int32_t out_stride = 0;
    // Chunks 0 ... whole_stores - 1 (all uniform) may store all 64 bytes of
    // their vector: the bytes after their own lie inside the output row and
    // are written again by the chunks after them.
    std::size_t whole_stores = 0;
    SampleChunk chunk[kMaxSampleChunks];
};

// Plans the copy of `columns` pixels whose source byte offsets (3 * sx, never
// decreasing) are `column_offsets`; false when it needs too many chunks.
bool plan_row_sampling(const std::int32_t* column_offsets, std::size_t columns, SamplePlan& plan);

// One sampled row of each frame. The rows ahead are rows that will be sampled
// later: their bytes are asked for from memory while this row is copied.
struct SampledRowPair {
    const std::uint8_t* left;   // first byte of the left source row
    const std::uint8_t* right;  // first byte of the right source row
    const std::uint8_t* left_ahead;
    const std::uint8_t* right_ahead;
    std::uint8_t* left_out;   // 3 bytes per column; nothing after them is written
    std::uint8_t* right_out;
};

// Copies the planned pixels of both source rows to their output rows; reads
// only source bytes between a row's first and last sampled ones. Null when
// this build or processor has no such copy.
using RowSampler = void (*)(const SampledRowPair& rows, const SamplePlan& plan);
RowSampler active_row_sampler();

}  // namespace quillet
