// PNG scanlines both ways. Writing: 8-bit RGBA rows with the Sub filter, a
// filter-type byte (1) then each byte minus the byte one pixel to its left,
// modulo 256; photographs and flat areas alike deflate smaller and faster
// filtered than raw. Reading: 8-bit RGB scanlines under any of PNG's five
// filters back to packed RGB rows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::direct {

// Writes `rows` scanlines to `out` (rows * (1 + width * 4) bytes) from `rgba`
// (rows * width * 4 bytes); the two must not overlap.
void write_sub_scanlines(const std::uint8_t* rgba, std::size_t width, std::size_t rows,
                         std::uint8_t* out) noexcept;

// The same for rows already laid out as scanlines in `scanlines`, each a
// placeholder byte then width * 4 RGBA bytes, filtered where they are.
void sub_filter_scanlines(std::uint8_t* scanlines, std::size_t width, std::size_t rows);

// Reverses the filters of `rows` scanlines of 8-bit RGB (each a filter-type
// byte then width * 3 bytes) into packed RGB rows in `out` (rows * width * 3
// bytes, apart from `scanlines`). False, with `out` partly written, when a
// row names no filter PNG defines.
bool unfilter_rgb_scanlines(const std::uint8_t* scanlines, std::size_t width, std::size_t rows,
                            std::uint8_t* out);

}  // namespace quillet::direct
