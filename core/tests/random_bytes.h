// Deterministic pseudo-random bytes (xorshift), independent of the library:
// shared by the tests and the benchmarks so both build the same kinds of frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet::testing {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out(count);
        for (auto& b : out) b = byte();
        return out;
    }

private:
    std::uint64_t state_;
};

}  // namespace quillet::testing
