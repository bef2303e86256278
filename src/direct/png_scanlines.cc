// PNG's row filters: Sub over RGBA rows when writing, all five undone over RGB rows when reading.
#include "png_scanlines.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The filter types of PNG's filter method 0.
enum RowFilter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
constexpr std::size_t kRgbBytes = 3;

// A pixel's three channels in 16-bit lanes (the others unused), so that the
// Paeth choice is made for all three at once without branches.
using PixelLanes = std::int16_t __attribute__((vector_size(16)));

inline PixelLanes lanes_of(const std::uint8_t* bytes) noexcept {
    return PixelLanes{bytes[0], bytes[1], bytes[2], 0, 0, 0, 0, 0};
}

// The same from four bytes read at once (the fourth lands in an unused lane);
// only where a fourth byte exists.
inline PixelLanes lanes_of_word(const std::uint8_t* bytes) noexcept {
#if defined(__SSE2__)
    std::int32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return reinterpret_cast<PixelLanes>(
        _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), _mm_setzero_si128()));
#else
    return lanes_of(bytes);
#endif
}

// Stores lanes 0-2 (each 0-255) as three bytes.
inline void store_pixel(PixelLanes lanes, std::uint8_t* out) noexcept {
    out[0] = static_cast<std::uint8_t>(lanes[0]);
    out[1] = static_cast<std::uint8_t>(lanes[1]);
    out[2] = static_cast<std::uint8_t>(lanes[2]);
}

// Stores lanes 0-3 as four bytes; only where the fourth byte may be written
// over (it belongs to the next pixel, written after).
inline void store_pixel_word(PixelLanes lanes, std::uint8_t* out) noexcept {
#if defined(__SSE2__)
    const __m128i packed = _mm_packus_epi16(reinterpret_cast<__m128i>(lanes), _mm_setzero_si128());
    const std::int32_t word = _mm_cvtsi128_si32(packed);
    std::memcpy(out, &word, sizeof word);
#else
    store_pixel(lanes, out);
#endif
}

inline PixelLanes absolute(PixelLanes value) noexcept { return value < 0 ? -value : value; }

// Paeth over one row. The predictor of each byte is whichever of the left, upper
// and upper-left bytes is nearest to left + upper - upper-left, ties in that
// order. Each pixel waits on the one to its left, so a row is one chain of
// dependent steps; they are made short and without branches (the choice depends
// on the picture and would be mispredicted about half the time).
class PaethRow {
public:
    PaethRow(const std::uint8_t* raw, const std::uint8_t* above, std::uint8_t* out) noexcept
        : raw_(raw), above_(above), out_(out) {}

    // Pixel x, after pixel x - 1 of this row and pixel x of the row above.
    // Wide steps read and write four bytes at once: not for the last pixel of a
    // row, whose fourth byte would lie beyond it.
    template <bool kWide = false>
    void step(std::size_t x) noexcept {
        const std::size_t i = x * kRgbBytes;
        step_with_up<kWide>(x, kWide ? lanes_of_word(above_ + i) : lanes_of(above_ + i));
    }

    // The same with pixel x of the row above given in lanes 0-2.
    template <bool kWide>
    void step_with_up(std::size_t x, PixelLanes up) noexcept {
        const std::size_t i = x * kRgbBytes;
        PixelLanes predictor = up;  // the first pixel has nothing to its left
        if (x > 0) {
            const PixelLanes up_step = up - corner_;
            const PixelLanes left_step = left_ - corner_;
            const PixelLanes to_left = absolute(up_step);
            const PixelLanes to_up = absolute(left_step);
            const PixelLanes to_corner = absolute(up_step + left_step);
            const PixelLanes up_or_corner = to_up <= to_corner ? up : corner_;
            predictor = (to_left <= to_up) & (to_left <= to_corner) ? left_ : up_or_corner;
        }
        const PixelLanes raw = kWide ? lanes_of_word(raw_ + i) : lanes_of(raw_ + i);
        left_ = (raw + predictor) & kByteMask;
        if (kWide)
            store_pixel_word(left_, out_ + i);
        else
            store_pixel(left_, out_ + i);
        corner_ = up;
    }

    // The last pixel this row produced.
    PixelLanes last() const noexcept { return left_; }

private:
    static constexpr PixelLanes kByteMask = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const std::uint8_t* raw_;
    const std::uint8_t* above_;
    std::uint8_t* out_;
    PixelLanes left_{};
    PixelLanes corner_{};
};

void unpaeth_row(const std::uint8_t* raw, const std::uint8_t* above, std::uint8_t* out,
                 std::size_t width) noexcept {
    PaethRow row(raw, above, out);
    for (std::size_t x = 0; x < width; ++x) row.step(x);
}

// Rows under Paeth in a group worked on together, each one pixel behind the row
// above it (whose pixel it needs): their chains are independent, so the
// processor overlaps them. Only for rows at least as wide as the group.
// In the steady stretch a row takes the pixel above from the row above's
// registers, not from the bytes just stored: those four bytes span two stores
// (a pixel and the first byte of the next), which the processor cannot forward
// to a load, and the stall would sit in every row's chain.
constexpr std::size_t kPaethGroup = 4;

void unpaeth_rows(const std::uint8_t* scanlines, const std::uint8_t* above, std::uint8_t* out,
                  std::size_t width) noexcept {
    const std::size_t row_bytes = width * kRgbBytes;
    PaethRow rows[kPaethGroup] = {
        {scanlines + 1, above, out},
        {scanlines + (row_bytes + 1) + 1, out, out + row_bytes},
        {scanlines + 2 * (row_bytes + 1) + 1, out + row_bytes, out + 2 * row_bytes},
        {scanlines + 3 * (row_bytes + 1) + 1, out + 2 * row_bytes, out + 3 * row_bytes},
    };
    // Row k is k pixels behind the first row: the first rows run ahead, then all
    // step together, then the last rows catch up.
    for (std::size_t k = 0; k < kPaethGroup; ++k)
        for (std::size_t x = 0; x + 1 + k < kPaethGroup; ++x) rows[k].step(x);
    // Lower rows step first, so the row above still holds the pixel they need.
    for (std::size_t lead = kPaethGroup - 1; lead + 1 < width; ++lead) {
        for (std::size_t k = kPaethGroup - 1; k > 0; --k)
            rows[k].template step_with_up<true>(lead - k, rows[k - 1].last());
        rows[0].template step<true>(lead);
    }
    for (std::size_t k = 0; k < kPaethGroup; ++k) rows[k].step(width - 1 - k);
    for (std::size_t k = 1; k < kPaethGroup; ++k)
        for (std::size_t x = width - k; x < width; ++x) rows[k].step(x);
}

// The steps above are SSE instructions. When code that ran before on this
// thread (the inflaters of zlib and ISA-L among it) leaves the upper halves of
// the AVX registers in use, every SSE step that writes a register waits on the
// register's old contents, and the Paeth chains run at less than half speed.
// Clearing the upper halves first removes the wait; only where AVX exists.
inline void clear_upper_vector_halves() noexcept {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__AVX__)
    static const bool has_avx = __builtin_cpu_supports("avx");
    if (has_avx) __asm__ volatile("vzeroupper" ::: "memory");
#endif
}

// One row: `raw` the filtered bytes, `above` the previous unfiltered row (zeros
// for the first), `out` this row; `bytes` = width * 3.
bool unfilter_row(std::uint8_t filter, const std::uint8_t* __restrict raw,
                  const std::uint8_t* __restrict above, std::uint8_t* __restrict out,
                  std::size_t bytes) noexcept {
    const std::size_t head = bytes < kRgbBytes ? bytes : kRgbBytes;
    switch (filter) {
    case kNone:
        std::memcpy(out, raw, bytes);
        return true;
    case kSub:
        std::memcpy(out, raw, head);
        for (std::size_t i = head; i < bytes; ++i)
            out[i] = static_cast<std::uint8_t>(raw[i] + out[i - kRgbBytes]);
        return true;
    case kUp:
        for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(raw[i] + above[i]);
        return true;
    case kAverage:
        for (std::size_t i = 0; i < head; ++i) out[i] = static_cast<std::uint8_t>(raw[i] + above[i] / 2);
        for (std::size_t i = head; i < bytes; ++i)
            out[i] = static_cast<std::uint8_t>(
                raw[i] + ((static_cast<unsigned>(out[i - kRgbBytes]) + above[i]) >> 1));
        return true;
    case kPaeth:
        unpaeth_row(raw, above, out, bytes / kRgbBytes);
        return true;
    default:
        return false;
    }
}

}  // namespace

bool unfilter_rgb_scanlines(const std::uint8_t* scanlines, std::size_t width, std::size_t rows,
                            std::uint8_t* out) {
    const std::size_t row_bytes = width * kRgbBytes;
    const std::size_t scanline_bytes = row_bytes + 1;
    // The row above the first is zeros.
    thread_local std::vector<std::uint8_t> zeros;
    zeros.assign(row_bytes, 0);
    const std::uint8_t* above = zeros.data();
    clear_upper_vector_halves();
    for (std::size_t y = 0; y < rows;) {
        bool paeth_group = y + kPaethGroup <= rows && width >= kPaethGroup;
        for (std::size_t k = 0; paeth_group && k < kPaethGroup; ++k)
            paeth_group = scanlines[k * scanline_bytes] == kPaeth;
        if (paeth_group) {
            unpaeth_rows(scanlines, above, out, width);
            y += kPaethGroup;
            scanlines += kPaethGroup * scanline_bytes;
            out += kPaethGroup * row_bytes;
        } else {
            if (!unfilter_row(scanlines[0], scanlines + 1, above, out, row_bytes)) return false;
            ++y;
            scanlines += scanline_bytes;
            out += row_bytes;
        }
        above = out - row_bytes;
    }
    return true;
}

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
