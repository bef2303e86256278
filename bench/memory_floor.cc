// Portable floors: an ordered-sum pass and a byte-copy pass.
#include "memory_floor.h"

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
