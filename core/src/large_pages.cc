// Large-page hints through madvise where Linux offers transparent huge pages;
// elsewhere nothing.
#include "large_pages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillet {

std::size_t large_page_size() noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE) && (defined(__x86_64__) || defined(__aarch64__))
    return std::size_t{2} << 20;
#else
    return 0;
#endif
}

void advise_large_pages(void* data, std::size_t size) noexcept {
    const std::size_t page = large_page_size();
    if (page == 0 || data == nullptr) return;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + page - 1) & ~(std::uintptr_t{page} - 1);
    const std::uintptr_t end = (start + size) & ~(std::uintptr_t{page} - 1);
    if (first >= end || start + size < start) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // A refusal (an old kernel, huge pages switched off) leaves the pages as they are.
    (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

}  // namespace quillet
