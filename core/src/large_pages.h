// Large-page backing for the big, long-lived buffers of the frame cache.
#pragma once

#include <cstddef>

namespace quillet {

// Size of a large page where the system has them (2 MiB transparent huge
// pages on x86-64 Linux), else 0.
std::size_t large_page_size() noexcept;

// Asks the system to back the whole large pages inside [data, data + size)
// with large pages when they are first touched. A comparison of large frames
// reads rows spread over tens of megabytes; with 4 KiB pages most of its time
// can go in address translation. Only a hint: where it is refused or
// unsupported nothing changes.
void advise_large_pages(void* data, std::size_t size) noexcept;

}  // namespace quillet
