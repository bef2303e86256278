// What the processor offers to the comparison kernels, detected once per process.
#pragma once

namespace quillet {

struct CpuFeatures {
    bool avx2 = false;       // AVX2 with the YMM state enabled by the OS
    // AVX-512 F, BW and VBMI with the ZMM and mask state enabled by the OS: the
    // set the avx512 kernel is built for (VBMI for its byte permutes).
    bool avx512bw = false;
    bool popcnt = false;
    bool neon = false;       // always true on arm64
};

// Detected on first use; the same object afterwards.
const CpuFeatures& cpu_features() noexcept;

}  // namespace quillet
