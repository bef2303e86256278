// Portable floors: an ordered-sum pass and a byte-copy pass.
#include "memory_floor.h"

#include <cstring>

namespace quillet::bench {

std::uint64_t memory_pass_portable(const std::uint8_t* left, const std::uint8_t* right,
                                   std::uint8_t* rgba, std::size_t pixels) {
    std::uint64_t check = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        rgba[4 * i] = left[3 * i];
        rgba[4 * i + 1] = left[3 * i + 1];
        rgba[4 * i + 2] = left[3 * i + 2];
        rgba[4 * i + 3] = 255;
        check += right[3 * i] ^ right[3 * i + 1] ^ right[3 * i + 2];
    }
    return check;
}

std::uint64_t rows_pass_portable(const std::uint8_t* left, const std::uint8_t* right,
                                 const std::size_t* row_offsets, std::size_t rows,
                                 std::size_t row_bytes) {
    std::uint64_t sum = 0;
    for (std::size_t y = 0; y < rows; ++y) {
        const std::size_t ahead = row_offsets[y + 1 < rows ? y + 1 : y];
        for (std::size_t i = 0; i + 8 <= row_bytes; i += 8) {
            if (i % 64 == 0) {
                __builtin_prefetch(left + ahead + i, 0, 2);
                __builtin_prefetch(right + ahead + i, 0, 2);
            }
            std::uint64_t l, r;
            std::memcpy(&l, left + row_offsets[y] + i, 8);
            std::memcpy(&r, right + row_offsets[y] + i, 8);
            sum += l ^ r;
        }
    }
    return sum;
}

float ordered_sums(const float* a, const float* b, std::size_t count) {
    float first = 0.0f;
    float second = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        first = first + a[i];
        second = second + b[i];
    }
    return first + second;
}

}  // namespace quillet::bench
