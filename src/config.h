// The comparison configuration that set_config records. Nothing reads it yet:
// comparisons always reduce to 1280 x 720 and use no block size.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillet {

struct CompareConfig {
    std::int32_t max_width;
    std::int32_t max_height;
    std::int32_t block_size;
};

// The current record, null until the first set_config; shared by all threads.
extern std::atomic<CompareConfig*> CONFIG;

// Stores a new record (values unchecked) and frees the one it replaces.
// Throws std::bad_alloc when the record cannot be allocated.
void set_config(std::int32_t max_width, std::int32_t max_height, std::int32_t block_size);

}  // namespace quillet
