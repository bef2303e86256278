// The per-thread FrameCache (FRAME_CACHE) and the operations run on it.
#include "frame_cache.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>

#include "comparison_pass.h"
#include "compute_diff.h"
#include "large_pages.h"
#include "numeric.h"
#include "panic.h"
#include "reduced_rows.h"
#include "utils.h"

namespace quillet {

namespace {

// FRAME_CACHE: the cache itself lives in raw thread-local storage with a trivial
// destructor, so its state can still be read (and access refused) while and
// after the thread's destructors run. `borrow` counts shared holds, or is -1
// while the cache is held exclusively.
struct ThreadCache {
    CacheState state;
    std::int32_t borrow;
    alignas(FrameCache) unsigned char storage[sizeof(FrameCache)];

    FrameCache* cache() noexcept { return std::launder(reinterpret_cast<FrameCache*>(storage)); }
};

constinit thread_local ThreadCache FRAME_CACHE{};

// Frees the thread's cache when the thread ends; constructed (and so registered
// with the thread) at the thread's first operation.
struct ThreadCacheTeardown {
    ~ThreadCacheTeardown() {
        if (FRAME_CACHE.state == CacheState::alive) {
            FRAME_CACHE.state = CacheState::destroyed;
            FRAME_CACHE.cache()->~FrameCache();
        }
        FRAME_CACHE.state = CacheState::destroyed;
    }
};

void register_teardown() {
    thread_local ThreadCacheTeardown teardown;
    (void)teardown;
}

FrameCache* acquire_thread_cache() {
    switch (FRAME_CACHE.state) {
        case CacheState::alive:
            break;
        case CacheState::not_created:
            // Buffers start empty: creating the cache allocates none of them.
            new (FRAME_CACHE.storage) FrameCache();
            FRAME_CACHE.state = CacheState::alive;
            register_teardown();
            break;
        case CacheState::destroyed:
            panic(
                "cannot access a Thread Local Storage value during or after destruction: "
                "AccessError");
    }
    return FRAME_CACHE.cache();
}

// Releases a buffer's memory, not just its contents.
template <typename T>
void free_buffer(std::vector<T>& buffer) noexcept {
    std::vector<T>().swap(buffer);
}

}  // namespace

CacheState frame_cache_state() noexcept {
    return FRAME_CACHE.state;
}

CacheHold::CacheHold(Mode mode) : cache_(acquire_thread_cache()), mode_(mode) {
    if (mode == Mode::exclusive) {
        if (FRAME_CACHE.borrow != 0) panic("the frame cache is already held");
        FRAME_CACHE.borrow = -1;
    } else {
        if (FRAME_CACHE.borrow < 0) panic("the frame cache is already held exclusively");
        ++FRAME_CACHE.borrow;
    }
}

CacheHold::~CacheHold() {
    if (mode_ == Mode::exclusive)
        FRAME_CACHE.borrow = 0;
    else
        --FRAME_CACHE.borrow;
}

CompareSize reduced_size(std::int32_t width, std::int32_t height) noexcept {
    if (width <= kMaxCompareWidth && height <= kMaxCompareHeight) return {width, height};
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float scale = min_ignoring_nan(static_cast<float>(kMaxCompareWidth) / w,
                                         static_cast<float>(kMaxCompareHeight) / h);
    return {saturating_to_i32(scale * w), saturating_to_i32(scale * h)};
}

void init_cache(std::int32_t width, std::int32_t height) {
    CacheHold hold(CacheHold::Mode::exclusive);
    FrameCache& cache = hold.cache();
    cache.expected_width = width;
    cache.expected_height = height;
    // The pixel count is a wrapping 32-bit product widened with its sign; a
    // negative one cannot size a buffer.
    const std::int64_t pixels = wrapping_mul(width, height);
    if (pixels < 0) panic("capacity overflow");
    const auto count = static_cast<std::size_t>(pixels);
    cache.diff_rgba.resize(count * 4);
    cache.ema_buffer.resize(count);
    cache.ema_primed = false;
}

void cache_frame_slot(std::size_t slot, std::span<const std::uint8_t> bytes, std::int32_t width,
                      std::int32_t height) {
    CacheHold hold(CacheHold::Mode::exclusive);
    if (slot > 1) return;
    FrameSlot& target = hold->slots[slot];
    if (bytes.size() > target.rgb.capacity()) {
        // Grown here rather than by assign() so that the new memory can be
        // marked for large pages before it is first written; the old frame is
        // kept if the new memory cannot be had.
        std::vector<std::uint8_t> grown;
        grown.reserve(bytes.size());
        advise_large_pages(grown.data(), grown.capacity());
        target.rgb.swap(grown);
    }
    target.rgb.assign(bytes.begin(), bytes.end());  // within the capacity
    target.width = width;
    target.height = height;
}

Metrics compare_cached() {
    CacheHold hold(CacheHold::Mode::exclusive);
    FrameCache& cache = hold.cache();
    FrameSlot& left = cache.slots[0];
    FrameSlot& right = cache.slots[1];
    if (left.width < 1 || left.height < 1 || left.rgb.empty() || right.width < 1 ||
        right.height < 1 || right.rgb.empty())
        return {0.0f, 0.0f, 0.0f, 0.0f};

    // Resolve the kernel before any state changes: a kernel forced by name that
    // cannot run fails here and leaves the cached frames alone.
    (void)active_diff_kernel();

    // Both frames are taken at the left frame's size.
    const std::int32_t width = left.width;
    const std::int32_t height = left.height;
    const CompareSize size = reduced_size(width, height);

    if (size.width == width && size.height == height) {
        try {
            return cache.compute_diff_impl(left.rgb, right.rgb, width, height);
        } catch (const Panic&) {
            // A frame too short for its dimensions is dropped from both slots.
            free_buffer(left.rgb);
            free_buffer(right.rgb);
            throw;
        }
    }

    // Sampled row by row when every sampled byte is present; otherwise the
    // literal reduction below, which fails where a short frame must.
    Metrics sampled;
    if (compare_sampled(cache, left.rgb, right.rgb, width, height, size.width, size.height, sampled))
        return sampled;

    const std::size_t reduced_bytes =
        static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3;
    // Two zero-filled buffers, freed at the end of this comparison: a thread
    // keeps no memory for large frames between comparisons.
    std::vector<std::uint8_t> left_small(reduced_bytes);
    std::vector<std::uint8_t> right_small(reduced_bytes);
    downsample_bilinear(left.rgb, width, height, left_small, size.width, size.height);
    downsample_bilinear(right.rgb, width, height, right_small, size.width, size.height);
    return cache.compute_diff_impl(left_small, right_small, size.width, size.height);
}

std::vector<std::uint8_t> get_diff_rgba() {
    CacheHold hold(CacheHold::Mode::shared);
    return hold->diff_rgba;
}

void clear_frame_cache() {
    CacheHold hold(CacheHold::Mode::exclusive);
    FrameCache& cache = hold.cache();
    for (FrameSlot& slot : cache.slots) {
        slot.rgb.clear();
        slot.width = 0;
        slot.height = 0;
    }
    cache.diff_rgba.clear();
    cache.ema_buffer.clear();
    cache.expected_width = 0;
    cache.expected_height = 0;
    cache.last_max_diff = 0.0f;
    cache.ema_primed = false;
}

void set_ema_alpha(double alpha) {
    CacheHold hold(CacheHold::Mode::exclusive);
    // Narrow with round-to-nearest; a finite double beyond float's range would
    // round to an infinity, which the clamps below treat like any large value.
    float value = (std::isfinite(alpha) && std::fabs(alpha) > FLT_MAX)
                      ? (alpha > 0.0 ? INFINITY : -INFINITY)
                      : static_cast<float>(alpha);
    if (value < 0.01f) value = 0.01f;
    if (value > 1.0f) value = 1.0f;
    hold->ema_alpha = value;  // NaN fails both tests and is kept
}

ComparisonPass begin_comparison(FrameCache& cache, std::int32_t width, std::int32_t height) {
    const std::int64_t signed_pixels = wrapping_mul(width, height);
    if (signed_pixels < 0) panic("capacity overflow");
    const auto n = static_cast<std::size_t>(signed_pixels);

    cache.diff_rgba.resize(4 * n);

    const float alpha = cache.ema_alpha;
    SmoothingPass mode = SmoothingPass::plain;
    if (alpha < 1.0f) {
        if (cache.ema_buffer.size() != n) {
            std::vector<float> fresh(n);
            cache.ema_buffer.swap(fresh);
            cache.ema_primed = false;
        }
        mode = cache.ema_primed ? SmoothingPass::smoothing : SmoothingPass::priming;
    }

    // Fixed for the whole pass: the colour scale comes from the previous comparison.
    const float colour_scale = colour_scale_for(cache.last_max_diff);
    const float beta = 1.0f - alpha;
    return {n,
            PixelPass{
                nullptr,
                nullptr,
                cache.diff_rgba.data(),
                mode == SmoothingPass::plain ? nullptr : cache.ema_buffer.data(),
                n,
                mode,
                colour_scale,
                alpha,
                beta,
            }};
}

Metrics finish_comparison(FrameCache& cache, const ComparisonPass& comparison, const PassSums& sums) {
    if (comparison.pass.mode == SmoothingPass::priming) cache.ema_primed = true;
    cache.last_max_diff = sums.max_tested;

    const float count = static_cast<float>(comparison.pixels);
    const float mse = sums.distance_total / count;
    const float psnr = mse > 0.0f ? 10.0f * std::log10(kPeak / mse) : kPsnrCeiling;
    return {sums.similarity_sum / count, psnr, mse, sums.max_tested};
}

Metrics FrameCache::compute_diff_impl(std::span<const std::uint8_t> left,
                                      std::span<const std::uint8_t> right, std::int32_t width,
                                      std::int32_t height) {
    const ComparisonPass comparison = begin_comparison(*this, width, height);
    const std::size_t n = comparison.pixels;

    // Pixels whose six bytes are all present; the pass stops at the first other.
    PixelPass pass = comparison.pass;
    pass.left = left.data();
    pass.right = right.data();
    pass.pixel_count = std::min({n, left.size() / 3, right.size() / 3});
    const PassSums sums = active_diff_kernel()(pass);

    if (pass.pixel_count < n) {
        // Report the first missing byte in the order the pixel reads them.
        const std::size_t base = 3 * pass.pixel_count;
        for (std::size_t c = 0; c < 3; ++c) {
            check_index(left.size(), base + c);
            check_index(right.size(), base + c);
        }
    }
    return finish_comparison(*this, comparison, sums);
}

}  // namespace quillet
