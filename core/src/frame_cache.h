// The per-thread comparison state and its operations: two cached frames, the
// difference picture of the latest comparison and the smoothing history.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frame_rows.h"

namespace quillet {

// The four figures of one comparison, in this order.
struct Metrics {
    float ssim;
    float psnr;
    float mse;
    float max_diff;
};

// One cached frame: packed RGB bytes and the dimensions given with them.
struct FrameSlot {
    std::vector<std::uint8_t> rgb;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

struct FrameCache {
    FrameSlot slots[2];                   // 0 = left, 1 = right
    std::vector<std::uint8_t> diff_rgba;  // 4 bytes per pixel of the last comparison
    std::vector<float> ema_buffer;        // smoothed distance per pixel
    std::int32_t expected_width = 0;
    std::int32_t expected_height = 0;
    float last_max_diff = 0.0f;  // colour scale of the next comparison
    float ema_alpha = 1.0f;      // 1.0 = smoothing off
    bool ema_primed = false;

    // Compares two frames of width x height pixels (0 <= pixels <= 1280 * 720),
    // writing the picture and the smoothing history into this cache.
    Metrics compute_diff_impl(std::span<const std::uint8_t> left,
                              std::span<const std::uint8_t> right, std::int32_t width,
                              std::int32_t height);

    // The same comparison of two frames read in place, row by row, at the left
    // frame's width x height: the right frame must have at least as many rows
    // and pixels per row (the caller checks this; nothing here reads outside
    // them). Gives the bits, picture and history that compute_diff_impl gives
    // for the same pixels packed without row padding, with no copy of either
    // frame. Any pixel count a 32-bit product reaches without going negative is
    // accepted.
    Metrics compare_rows(const FrameRows& left, const FrameRows& right);
};

// Largest frame compared at full size; larger ones are reduced to fit.
inline constexpr std::int32_t kMaxCompareWidth = 1280;
inline constexpr std::int32_t kMaxCompareHeight = 720;

// The size at which a width x height pair is compared (itself when it fits).
struct CompareSize {
    std::int32_t width;
    std::int32_t height;
};
CompareSize reduced_size(std::int32_t width, std::int32_t height) noexcept;

// Operations on the calling thread's cache, created with its defaults at the
// thread's first operation and freed when the thread ends. Each one panics (see
// panic.h) on a failed check and throws std::bad_alloc when memory runs out; the
// cache is never left held.
void init_cache(std::int32_t width, std::int32_t height);
void cache_frame_slot(std::size_t slot, std::span<const std::uint8_t> bytes, std::int32_t width,
                      std::int32_t height);
Metrics compare_cached();
std::vector<std::uint8_t> get_diff_rgba();
void clear_frame_cache();
void set_ema_alpha(double alpha);

// Calls sink(data, size) with the difference picture while the cache is held
// for reading, so a caller can build its result with a single copy. The sink
// must not call back into these operations.
template <typename Sink>
decltype(auto) with_diff_rgba(Sink&& sink);

// ---- access to the per-thread cache ---------------------------------------

enum class CacheState : std::uint8_t { not_created, alive, destroyed };

// State of the calling thread's cache (for tests and diagnostics).
CacheState frame_cache_state() noexcept;

// A hold on the calling thread's cache, given back when it goes out of scope.
// An exclusive hold fails while any other hold exists; a shared hold fails while
// an exclusive one exists.
class CacheHold {
public:
    enum class Mode : std::uint8_t { exclusive, shared };
    explicit CacheHold(Mode mode);
    ~CacheHold();
    CacheHold(const CacheHold&) = delete;
    CacheHold& operator=(const CacheHold&) = delete;

    FrameCache& cache() const noexcept { return *cache_; }
    FrameCache* operator->() const noexcept { return cache_; }

private:
    FrameCache* cache_;
    Mode mode_;
};

template <typename Sink>
decltype(auto) with_diff_rgba(Sink&& sink) {
    CacheHold hold(CacheHold::Mode::shared);
    const std::vector<std::uint8_t>& picture = hold->diff_rgba;
    return sink(picture.data(), picture.size());
}

}  // namespace quillet
