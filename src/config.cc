// CONFIG, the process-wide configuration record.
#include "config.h"

namespace quillet {

std::atomic<CompareConfig*> CONFIG{nullptr};

void set_config(std::int32_t max_width, std::int32_t max_height, std::int32_t block_size) {
    auto* record = new CompareConfig{max_width, max_height, block_size};
    // No reader depends on ordering with other memory; the exchange only has to
    // hand over the previous record exactly once.
    delete CONFIG.exchange(record, std::memory_order_relaxed);
}

}  // namespace quillet
