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

// Two ordered chains of float additions, as the comparison's two running sums.
float ordered_sums(const float* a, const float* b, std::size_t count);

}  // namespace quillet::bench
