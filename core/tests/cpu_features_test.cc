// The cache size read from sysfs, which decides when a sampled comparison asks
// for its next rows ahead.
#include <gtest/gtest.h>

#include <cstddef>

#include "cpu_features.h"

namespace quillet {
namespace {

struct SizeText {
    const char* text;
    std::size_t bytes;
};

class CacheSizeTest : public ::testing::TestWithParam<SizeText> {};

TEST_P(CacheSizeTest, reads_the_size_or_gives_zero) {
    EXPECT_EQ(cache_size_bytes(GetParam().text), GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    texts, CacheSizeTest,
    ::testing::Values(SizeText{"32768K", std::size_t{32} << 20}, SizeText{"1024K", 1 << 20},
                      SizeText{"1M", 1 << 20}, SizeText{"2G", std::size_t{2} << 30},
                      SizeText{"512", 512}, SizeText{"3", 3},
                      // Not sizes: nothing, no digits, an unknown or repeated unit,
                      // a sign, a value too large for its unit.
                      SizeText{"", 0}, SizeText{"K", 0}, SizeText{"32768KB", 0},
                      SizeText{"32768k", 0}, SizeText{"-1", 0}, SizeText{"12 K", 0},
                      SizeText{"99999999999999999999999", 0},
                      SizeText{"18014398509481984K", 0}));

}  // namespace
}  // namespace quillet
