// The Sub filter of PNG over RGBA rows.
#include "png_scanlines.h"

#include <cstring>
#include <vector>

namespace quillet::direct {

namespace {

constexpr std::uint8_t kSubFilter = 1;

// out[i] = row[i] - row[i - 4], the first pixel as it is; out and row apart.
void sub_filter_row(const std::uint8_t* row, std::size_t bytes, std::uint8_t* out) noexcept {
    const std::size_t head = bytes < 4 ? bytes : 4;
    std::memcpy(out, row, head);
    for (std::size_t i = head; i < bytes; ++i)
        out[i] = static_cast<std::uint8_t>(row[i] - row[i - 4]);
}

}  // namespace

void write_sub_scanlines(const std::uint8_t* rgba, std::size_t width, std::size_t rows,
                         std::uint8_t* out) noexcept {
    const std::size_t row_bytes = width * 4;
    for (std::size_t y = 0; y < rows; ++y, rgba += row_bytes, out += row_bytes + 1) {
        out[0] = kSubFilter;
        sub_filter_row(rgba, row_bytes, out + 1);
    }
}

void sub_filter_scanlines(std::uint8_t* scanlines, std::size_t width, std::size_t rows) {
    const std::size_t row_bytes = width * 4;
    // One row's copy, so the filter reads the original bytes while it writes.
    thread_local std::vector<std::uint8_t> original;
    original.resize(row_bytes);
    for (std::size_t y = 0; y < rows; ++y, scanlines += row_bytes + 1) {
        std::memcpy(original.data(), scanlines + 1, row_bytes);
        scanlines[0] = kSubFilter;
        sub_filter_row(original.data(), row_bytes, scanlines + 1);
    }
}

}  // namespace quillet::direct
