// CPUID/XGETBV probing on x86-64; fixed answers elsewhere. The AVX bits of
// CPUID only say the processor has the instructions: whether the operating
// system saves the wider registers on a context switch is in XCR0, read with
// XGETBV, and only that makes the instructions safe to run.
#include "cpu_features.h"

#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

#include <cstdint>

#include <fstream>
#include <string>

namespace quillet {

namespace {

#if defined(__x86_64__) || defined(_M_X64)

struct CpuidRegisters {
    std::uint32_t eax, ebx, ecx, edx;
};

CpuidRegisters cpuid(std::uint32_t leaf, std::uint32_t subleaf) noexcept {
    CpuidRegisters r{0, 0, 0, 0};
#if defined(_MSC_VER) && !defined(__clang__)
    int regs[4];
    __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<std::uint32_t>(regs[0]), static_cast<std::uint32_t>(regs[1]),
         static_cast<std::uint32_t>(regs[2]), static_cast<std::uint32_t>(regs[3])};
#else
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// XCR0: which register states the operating system saves and restores.
std::uint64_t read_xcr0() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
#endif
}

CpuFeatures detect() noexcept {
    CpuFeatures f;
    const std::uint32_t max_leaf = cpuid(0, 0).eax;
    if (max_leaf < 1) return f;
    const CpuidRegisters leaf1 = cpuid(1, 0);
    f.popcnt = (leaf1.ecx >> 23) & 1u;
    const bool osxsave = (leaf1.ecx >> 27) & 1u;
    const bool avx = (leaf1.ecx >> 28) & 1u;
    if (!osxsave || !avx || max_leaf < 7) return f;  // XGETBV is only valid with OSXSAVE

    const std::uint64_t xcr0 = read_xcr0();
    const bool ymm_state = (xcr0 & 0x6u) == 0x6u;     // SSE and AVX state
    const bool zmm_state = (xcr0 & 0xE6u) == 0xE6u;   // plus opmask, ZMM_Hi256, Hi16_ZMM
    const CpuidRegisters leaf7 = cpuid(7, 0);
    const bool has_avx2 = (leaf7.ebx >> 5) & 1u;
    const bool has_avx512f = (leaf7.ebx >> 16) & 1u;
    const bool has_avx512bw = (leaf7.ebx >> 30) & 1u;
    const bool has_avx512vbmi = (leaf7.ecx >> 1) & 1u;
    const bool has_avx512vnni = (leaf7.ecx >> 11) & 1u;
    f.avx2 = ymm_state && has_avx2;
    f.fma = ymm_state && ((leaf1.ecx >> 12) & 1u);
    f.avx512bw = zmm_state && has_avx512f && has_avx512bw && f.avx2;
    f.avx512vbmi = f.avx512bw && has_avx512vbmi;
    f.avx512vnni = f.avx512bw && has_avx512vnni;
    return f;
}

#else

CpuFeatures detect() noexcept {
    CpuFeatures f;
#if defined(__aarch64__) || defined(_M_ARM64)
    f.neon = true;  // Advanced SIMD is part of the arm64 base architecture
#endif
    return f;
}

#endif

// The first word of a file; "" when it cannot be read.
std::string first_word(const std::string& path) {
    std::ifstream file(path);
    std::string word;
    file >> word;
    return word;
}

// The size of the highest-level data cache of the first processor, as Linux
// describes it in sysfs; 0 elsewhere or when unreadable. (glibc's sysconf
// answer can be the sum over the whole package on some processors.)
std::size_t last_level_cache_bytes() noexcept {
    try {
        std::size_t best_level = 0, best_bytes = 0;
        for (int index = 0;; ++index) {
            const std::string dir =
                "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
            const std::size_t level = cache_size_bytes(first_word(dir + "level"));
            if (level == 0) break;
            if (level > best_level && first_word(dir + "type") != "Instruction") {
                best_level = level;
                best_bytes = cache_size_bytes(first_word(dir + "size"));
            }
        }
        return best_bytes;
    } catch (...) {  // no memory for the paths
        return 0;
    }
}

CpuFeatures detect_all() noexcept {
    CpuFeatures f = detect();
    f.last_level_cache_bytes = last_level_cache_bytes();
    return f;
}

}  // namespace

std::size_t cache_size_bytes(std::string_view text) noexcept {
    std::size_t value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        if (value > (SIZE_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<std::size_t>(text[digits] - '0');
    }
    const std::string_view unit = text.substr(digits);
    const unsigned shift = unit.empty()  ? 0
                           : unit == "K" ? 10
                           : unit == "M" ? 20
                           : unit == "G" ? 30
                                         : 64;  // not a unit
    if (digits == 0 || shift == 64 || value > (SIZE_MAX >> shift)) return 0;
    return value << shift;
}

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect_all();
    return features;
}

}  // namespace quillet
