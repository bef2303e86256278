// A packed-RGB frame read in place: rows of width * 3 bytes that need not be
// adjacent (a crop of a larger image has a row stride beyond its own width).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

struct FrameRows {
    const std::uint8_t* data;  // first byte of row 0
    std::size_t row_stride;    // bytes from one row's start to the next's, >= width * 3
    std::int32_t width;
    std::int32_t height;

    const std::uint8_t* row(std::int32_t y) const noexcept {
        return data + static_cast<std::size_t>(y) * row_stride;
    }
    std::size_t row_bytes() const noexcept { return static_cast<std::size_t>(width) * 3; }
    // Whether the rows follow each other with no gap, as the frame cache stores them.
    bool packed() const noexcept { return row_stride == row_bytes() || height <= 1; }
    std::size_t packed_bytes() const noexcept {
        return row_bytes() * static_cast<std::size_t>(height);
    }
};

}  // namespace quillet
