// What the processor offers to the comparison kernels, detected once per process.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillet {

struct CpuFeatures {
    bool avx2 = false;       // AVX2 with the YMM state enabled by the OS
    bool avx512bw = false;   // AVX-512 F and BW with the ZMM and mask state enabled by the OS
    bool avx512vbmi = false; // AVX-512 VBMI (byte permutes), under the same OS check
    bool avx512vnni = false; // AVX-512 VNNI (16-bit multiply-adds into 32-bit sums), likewise
    bool fma = false;        // FMA3, under the same OS check as AVX2
    bool popcnt = false;
    bool neon = false;       // always true on arm64
    // Size of the first processor's last-level data cache as Linux describes it
    // in sysfs; 0 when unknown.
    std::size_t last_level_cache_bytes = 0;
};

// A cache size as Linux writes it in sysfs ("32768K", "1M", "512"): bytes, or
// 0 when the text is not such a size.
std::size_t cache_size_bytes(std::string_view text) noexcept;

// Detected on first use; the same object afterwards.
const CpuFeatures& cpu_features() noexcept;

}  // namespace quillet
