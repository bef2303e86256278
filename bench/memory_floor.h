// The two floors a comparison is measured against.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::bench {

// Reads both frames and writes the picture (left colour, opaque), folding the
// right frame into a checksum so that its loads are not dropped.
std::uint64_t memory_pass_portable(const std::uint8_t* left, const std::uint8_t* right,
                                   std::uint8_t* rgba, std::size_t pixels);
std::uint64_t memory_pass_avx512(const std::uint8_t* left, const std::uint8_t* right,
                                 std::uint8_t* rgba, std::size_t pixels);

// Reads rows of both frames whole, a row of each in turn (row i starts at
// row_offsets[i]), asking for the next rows' bytes into L2 while a row is
// read, as the sampled comparison does; folds them into a checksum.
std::uint64_t rows_pass_portable(const std::uint8_t* left, const std::uint8_t* right,
                                 const std::size_t* row_offsets, std::size_t rows,
                                 std::size_t row_bytes);
std::uint64_t rows_pass_avx512(const std::uint8_t* left, const std::uint8_t* right,
                               const std::size_t* row_offsets, std::size_t rows,
                               std::size_t row_bytes);

// Two ordered chains of float additions, as the comparison's two running sums.
float ordered_sums(const float* a, const float* b, std::size_t count);

}  // namespace quillet::bench
