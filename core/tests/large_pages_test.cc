// Large frames cached in a slot lie in memory marked for large pages, where
// the system offers them; the hint changes no byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "frame_cache.h"
#include "large_pages.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::Bytes;
using testing::Random;

// Whether the kernel may back `address`'s mapping with transparent huge pages
// ("THPeligible: 1" in its /proc/self/smaps entry); false when not found.
bool large_pages_allowed_at(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= at && at < end;
            continue;
        }
        if (inside && line.rfind("THPeligible:", 0) == 0) return line.find('1') != std::string::npos;
    }
    return false;
}

bool transparent_huge_pages_off() {
    std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text;
    std::getline(mode, text);
    return text.empty() || text.find("[never]") != std::string::npos;
}

struct FrameSize {
    int width, height;
};

class LargePagesTest : public ::testing::TestWithParam<FrameSize> {};

TEST_P(LargePagesTest, grown_slot_is_marked_and_keeps_its_bytes) {
    const FrameSize size = GetParam();
    const std::size_t page = large_page_size();
    if (page == 0 || transparent_huge_pages_off())
        GTEST_SKIP() << "no transparent huge pages here";
    Random random(static_cast<std::uint64_t>(size.width));
    const Bytes frame = random.bytes(3 * static_cast<std::size_t>(size.width) * size.height);
    testing::on_fresh_thread([&] {
        cache_frame_slot(0, Bytes(30, 1), 5, 2);  // small first: the next frame grows the slot
        cache_frame_slot(0, frame, size.width, size.height);
        CacheHold hold(CacheHold::Mode::shared);
        const std::vector<std::uint8_t>& rgb = hold->slots[0].rgb;
        EXPECT_EQ(rgb, frame);
        // The first whole large page inside the buffer.
        const auto start = reinterpret_cast<std::uintptr_t>(rgb.data());
        const std::uintptr_t first = (start + page - 1) & ~(std::uintptr_t{page} - 1);
        ASSERT_LE(first + page, start + rgb.size());
        EXPECT_TRUE(large_pages_allowed_at(reinterpret_cast<const void*>(first)));
    });
}

INSTANTIATE_TEST_SUITE_P(sizes, LargePagesTest,
                         ::testing::Values(FrameSize{1920, 1080}, FrameSize{3840, 2160},
                                           FrameSize{4096, 2160}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

// Ranges with no whole large page inside, or none at all, are left alone.
TEST(large_pages_test, ranges_without_a_whole_page_are_ignored) {
    Bytes small(4096, 9);
    advise_large_pages(small.data(), small.size());
    advise_large_pages(nullptr, 1 << 22);
    advise_large_pages(small.data() + 1, 0);
    EXPECT_EQ(small, Bytes(4096, 9));
}

}  // namespace
}  // namespace quillet
