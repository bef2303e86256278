// Helpers shared by the core tests: frame builders and running a body on a
// thread of its own (so it starts with a fresh per-thread cache).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "frame_cache.h"
#include "random_bytes.h"

namespace quillet::testing {

using Bytes = std::vector<std::uint8_t>;

struct Rgb {
    std::uint8_t r, g, b;
};

inline Bytes solid_frame(int width, int height, Rgb colour) {
    Bytes rgb;
    rgb.reserve(static_cast<std::size_t>(width) * height * 3);
    for (int i = 0; i < width * height; ++i) rgb.insert(rgb.end(), {colour.r, colour.g, colour.b});
    return rgb;
}

// Runs `body` on a new thread and waits for it; assertions inside are reported.
inline void on_fresh_thread(const std::function<void()>& body) {
    std::thread worker(body);
    worker.join();
}

// Bitwise float equality (NaN equals NaN, 0.0 differs from -0.0).
inline bool same_bits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// A copy of the calling thread's cache fields, read under a shared hold.
inline FrameCache snapshot_cache() {
    CacheHold hold(CacheHold::Mode::shared);
    return hold.cache();
}

}  // namespace quillet::testing
