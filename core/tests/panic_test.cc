// Failure reports: their exact text, one report per failure on standard error,
// and the thread ID they name.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "panic.h"

namespace quillet {
namespace {

TEST(panic_test, report_has_fixed_shape) {
    EXPECT_EQ(format_panic_report("capacity overflow", {"core/src/frame_cache.cc", 12, 34}, 4242),
              "\nthread '<unnamed>' (4242) panicked at core/src/frame_cache.cc:12:34:\n"
              "capacity overflow\n");
}

TEST(panic_test, panic_writes_report_then_throws_message_and_location) {
    ::testing::internal::CaptureStderr();
    const unsigned line = __LINE__ + 2;
    try {
        check_index(3, 3);
        FAIL() << "expected a panic";
    } catch (const Panic& failure) {
        const std::string report = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(failure.message(), "index out of bounds: the len is 3 but the index is 3");
        EXPECT_EQ(failure.location().line, line);
        EXPECT_GT(failure.location().column, 0u);
        EXPECT_EQ(report, format_panic_report(failure.message(), failure.location(),
                                              current_thread_id()));
        EXPECT_NE(std::string(failure.location().file).find("panic_test.cc"), std::string::npos);
    }
    EXPECT_NO_THROW(check_index(3, 2));
}

#if defined(__linux__)
TEST(panic_test, thread_id_is_the_kernel_thread_id) {
    EXPECT_EQ(current_thread_id(), static_cast<std::uint64_t>(::syscall(SYS_gettid)));
    std::uint64_t other = 0;
    std::thread([&] { other = current_thread_id(); }).join();
    EXPECT_NE(other, current_thread_id());
    EXPECT_NE(other, 0u);
}
#endif

}  // namespace
}  // namespace quillet
