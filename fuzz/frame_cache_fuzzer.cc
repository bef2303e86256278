// libFuzzer target for the per-thread frame cache: runs a random sequence of
// operations against the real cache and against a small model of its documented
// behaviour, and stops at the first difference in outcome, message or state.
// Every diff kernel is also run on each comparison and must match the scalar one.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "compute_diff.h"
#include "frame_cache.h"
#include "numeric.h"
#include "panic.h"
#include "utils.h"

namespace {

using quillet::Metrics;

// Failures go to stdout: the fuzzer may run with standard error closed, because
// every expected panic writes a report there.
[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
    std::printf("frame_cache_fuzzer: %s %s\n", what, detail.c_str());
    std::fflush(stdout);
    std::abort();
}

void require(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) fail(what, detail);
}

bool same_float(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// Equal bits, any NaN matching any NaN.
bool same_floats(const float* a, const float* b, std::size_t n) {
    if (n == 0 || std::memcmp(a, b, n * sizeof(float)) == 0) return true;
    return std::equal(a, a + n, b, same_float);
}

std::string describe(const Metrics& m) {
    char text[160];
    std::snprintf(text, sizeof text, "(%a, %a, %a, %a)", m.ssim, m.psnr, m.mse, m.max_diff);
    return text;
}

// ---- input decoding ---------------------------------------------------------

// Reads the fuzz input front to back; an exhausted input reads as zeros, so every
// prefix of an input is itself a valid input.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (std::uint32_t{u16()} << 16); }
    std::uint64_t u64() { return u32() | (std::uint64_t{u32()} << 32); }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        std::vector<std::uint8_t> out(count);
        const std::size_t have = std::min(count, size_ - std::min(pos_, size_));
        if (have) std::memcpy(out.data(), data_ + pos_, have);
        pos_ += have;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Sizes where the arithmetic changes: the reduction limit, wrapping products,
// the ends of the 32-bit range.
constexpr std::int32_t kBoundaryDims[] = {
    0,     1,     -1,    2,     3,      1280,   1281,       720,      721,
    1366,  768,   1920,  1080,  1200,   3840,   2160,       4096,     5000,
    2000,  405,   46341, 65536, 65537,  -65536, 0x7FFFFFFF, INT32_MIN, INT32_MIN + 1,
    92682, 23170, 1000,  -720,  -1280,  0x55555556,
};

std::int32_t read_dimension(Reader& in) {
    switch (in.u8() % 4) {
        case 0:
            return static_cast<std::int32_t>(in.u8() % 34) - 2;
        case 1:
            return kBoundaryDims[in.u8() % std::size(kBoundaryDims)];
        case 2:
            return static_cast<std::int32_t>(in.u32());
        default:
            return static_cast<std::int32_t>(in.u16() % 1500);
    }
}

// init_cache allocates 4 bytes and one float per pixel as asked; keep what the
// fuzzer asks for small while still reaching the wrapped and negative products.
constexpr std::int64_t kMaxInitPixels = std::int64_t{1} << 20;

void bound_init_dimensions(std::int32_t& width, std::int32_t& height) {
    const std::int64_t pixels = quillet::wrapping_mul(width, height);
    if (pixels > kMaxInitPixels) {
        width = static_cast<std::int32_t>(width % 1024);
        height = static_cast<std::int32_t>(height % 1024);
    }
}

double read_alpha(Reader& in) {
    constexpr double kSpecial[] = {
        1.0,       0.5,        0.3,     0.01,          0.0099999,          0.0,
        -5.0,      5.0,        1e300,   -1e300,        1.0000001,          0.99999999,
        -0.0,      4.9e-324,   1e-40,   double(FLT_MAX) * 1.0000001,
        std::numeric_limits<double>::quiet_NaN(),      -std::numeric_limits<double>::quiet_NaN(),
        INFINITY,  -INFINITY,
    };
    switch (in.u8() % 3) {
        case 0:
            return kSpecial[in.u8() % std::size(kSpecial)];
        case 1:
            return static_cast<double>(in.u16()) / 65535.0;
        default:
            return std::bit_cast<double>(in.u64());
    }
}

std::uint32_t next_random(std::uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Largest frame the fuzzer builds (a little over 1920 x 1080), and how many
// generated bytes one input may ask for: large frames are slow to compare, so an
// input gets a couple of them and small frames after that.
constexpr std::int64_t kMaxFrameBytes = std::int64_t{3} * 2000 * 1100;
constexpr std::int64_t kFrameBytesPerInput = std::int64_t{4} << 20;
std::int64_t frame_budget = 0;
// Likewise for the pixels compared: later comparisons of large frames are skipped.
constexpr std::int64_t kComparedPixelsPerInput = std::int64_t{1} << 20;
std::int64_t pixel_budget = 0;

// Spends the budget for comparing the cached frames; false when it is used up.
bool take_pixel_budget(const std::int32_t width, const std::int32_t height) {
    if (width < 1 || height < 1) return true;
    const quillet::CompareSize size = quillet::reduced_size(width, height);
    const std::int64_t pixels = std::int64_t{size.width} * size.height;
    if (pixels > 4096 && pixels > pixel_budget) return false;
    pixel_budget -= pixels;
    return true;
}

// A frame: literal bytes from the input, or a generated frame of (about) the size
// its dimensions need, either random or a noisy copy of the other slot's frame, so
// that both unchanged and changed pixels occur.
std::vector<std::uint8_t> read_frame(Reader& in, std::int32_t width, std::int32_t height,
                                     const std::vector<std::uint8_t>& other) {
    const std::uint8_t kind = in.u8() % 4;
    if (kind == 0) return in.bytes(in.u16() % 2048);

    std::int64_t size = 0;
    if (width > 0 && height > 0) size = std::int64_t{width} * height;  // below 2^62
    size = size > kMaxFrameBytes / 3 ? in.u16() % 4096 : size * 3;
    if (size > frame_budget) size = in.u16() % 4096;
    frame_budget -= size;
    const std::int64_t shorter = kind == 2 ? 1 + in.u8() % 8 : 0;
    size = std::max<std::int64_t>(0, size - shorter);

    std::vector<std::uint8_t> frame(static_cast<std::size_t>(size));
    std::uint32_t state = in.u32() | 1;
    const std::uint8_t noise = in.u8();
    if (kind == 3 && !other.empty()) {
        for (std::size_t i = 0; i < frame.size(); ++i) {
            const int base = i < other.size() ? other[i] : 0;
            const int delta = noise == 0 ? 0 : static_cast<int>(next_random(state) % (2u * noise + 1)) - noise;
            frame[i] = static_cast<std::uint8_t>(std::clamp(base + delta, 0, 255));
        }
    } else {
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            const std::uint32_t word = next_random(state);
            std::memcpy(frame.data() + i, &word, std::min<std::size_t>(4, frame.size() - i));
        }
    }
    return frame;
}

// ---- the model ----------------------------------------------------------------

struct Outcome {
    bool panicked = false;
    std::string message;
    Metrics metrics{0.0f, 0.0f, 0.0f, 0.0f};
    bool compared = false;  // model only: a comparison ran to its end
};

std::string out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

struct ModelSlot {
    std::vector<std::uint8_t> rgb;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// The documented behaviour of one thread's cache.
struct Model {
    ModelSlot slots[2];
    std::vector<std::uint8_t> diff_rgba;
    std::vector<float> ema_buffer;
    std::int32_t expected_width = 0;
    std::int32_t expected_height = 0;
    float last_max_diff = 0.0f;
    float ema_alpha = 1.0f;
    bool ema_primed = false;
};

using KernelList = std::vector<std::pair<const char*, quillet::DiffKernel>>;

// Every kernel of the build that this processor runs, and the one comparisons use.
KernelList kernels_under_test() {
    KernelList kernels;
    for (const quillet::DiffKernelInfo& kernel : quillet::diff_kernels())
        if (kernel.runs()) kernels.emplace_back(kernel.name, kernel.run);
    kernels.emplace_back("active", quillet::active_diff_kernel());
    return kernels;
}

// Runs every kernel on copies of the same pass and requires the scalar result.
void check_kernels_agree(const quillet::PixelPass& pass, const quillet::PassSums& expected,
                         const std::uint8_t* expected_rgba, const float* expected_ema) {
    static const KernelList kernels = kernels_under_test();
    const std::size_t n = pass.pixel_count;
    for (const auto& [name, kernel] : kernels) {
        if (kernel == quillet::compute_diff_scalar) continue;  // gave `expected`
        std::vector<std::uint8_t> rgba(4 * n + 1, 0xA5);
        std::vector<float> ema;
        if (pass.ema) ema.assign(pass.ema, pass.ema + n);
        quillet::PixelPass copy = pass;
        copy.rgba = rgba.data();
        copy.ema = pass.ema ? ema.data() : nullptr;
        const quillet::PassSums sums = kernel(copy);
        require(same_float(sums.similarity_sum, expected.similarity_sum) &&
                    same_float(sums.distance_total, expected.distance_total) &&
                    same_float(sums.max_tested, expected.max_tested),
                "kernel sums differ from scalar:", name);
        require((n == 0 || std::memcmp(rgba.data(), expected_rgba, 4 * n) == 0) && rgba[4 * n] == 0xA5,
                "kernel picture differs from scalar:", name);
        if (pass.ema)
            require(same_floats(ema.data(), expected_ema, n), "kernel history differs:", name);
    }
}

// The comparison of two frames at width x height (0 <= pixels <= 1280 * 720).
Outcome model_compute_diff(Model& m, const std::vector<std::uint8_t>& left,
                           const std::vector<std::uint8_t>& right, std::int32_t width,
                           std::int32_t height) {
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    m.diff_rgba.resize(4 * n);
    const float alpha = m.ema_alpha;
    auto mode = quillet::SmoothingPass::plain;
    if (alpha < 1.0f) {
        if (m.ema_buffer.size() != n) {
            m.ema_buffer.assign(n, 0.0f);
            m.ema_primed = false;
        }
        mode = m.ema_primed ? quillet::SmoothingPass::smoothing : quillet::SmoothingPass::priming;
    }
    const float k = 1.0f / std::max(std::isnan(m.last_max_diff) ? 1.0f : m.last_max_diff, 1.0f);
    const std::size_t complete = std::min({n, left.size() / 3, right.size() / 3});

    const bool plain = mode == quillet::SmoothingPass::plain;
    std::vector<float> history_before = plain ? std::vector<float>{} : m.ema_buffer;
    const quillet::PixelPass pass{left.data(),
                                  right.data(),
                                  m.diff_rgba.data(),
                                  plain ? nullptr : m.ema_buffer.data(),
                                  complete,
                                  mode,
                                  k,
                                  alpha,
                                  1.0f - alpha};
    const quillet::PassSums sums = quillet::compute_diff_scalar(pass);
    quillet::PixelPass replay = pass;
    replay.ema = plain ? nullptr : history_before.data();
    check_kernels_agree(replay, sums, m.diff_rgba.data(), m.ema_buffer.data());

    if (complete < n) {
        // The first byte missing, in the order a pixel reads them.
        const std::size_t base = 3 * complete;
        for (std::size_t c = 0; c < 3; ++c) {
            if (base + c >= left.size()) return {true, out_of_bounds(left.size(), base + c)};
            if (base + c >= right.size()) return {true, out_of_bounds(right.size(), base + c)};
        }
        fail("model: missing pixel without a missing byte");
    }
    if (mode == quillet::SmoothingPass::priming) m.ema_primed = true;
    m.last_max_diff = sums.max_tested;
    const float count = static_cast<float>(n);
    const float mse = sums.distance_total / count;
    const float psnr = mse > 0.0f ? 10.0f * std::log10(65025.0f / mse) : 100.0f;
    return {false, {}, {sums.similarity_sum / count, psnr, mse, sums.max_tested}, true};
}

Outcome model_init(Model& m, std::int32_t width, std::int32_t height) {
    m.expected_width = width;
    m.expected_height = height;
    const std::int32_t pixels = quillet::wrapping_mul(width, height);
    if (pixels < 0) return {true, "capacity overflow"};
    m.diff_rgba.resize(4 * static_cast<std::size_t>(pixels));
    m.ema_buffer.resize(static_cast<std::size_t>(pixels));
    m.ema_primed = false;
    return {};
}

Outcome model_cache(Model& m, std::size_t slot, const std::vector<std::uint8_t>& bytes,
                    std::int32_t width, std::int32_t height) {
    if (slot > 1) return {};
    m.slots[slot] = {bytes, width, height};
    return {};
}

Outcome model_compare(Model& m) {
    ModelSlot& left = m.slots[0];
    ModelSlot& right = m.slots[1];
    if (left.width < 1 || left.height < 1 || left.rgb.empty() || right.width < 1 ||
        right.height < 1 || right.rgb.empty())
        return {};
    const std::int32_t w = left.width;
    const std::int32_t h = left.height;
    if (w <= 1280 && h <= 720) {
        Outcome out = model_compute_diff(m, left.rgb, right.rgb, w, h);
        if (out.panicked) left.rgb.clear(), right.rgb.clear();
        return out;
    }
    const quillet::CompareSize size = quillet::reduced_size(w, h);
    require(size.width >= 0 && size.width <= 1280 && size.height >= 0 && size.height <= 720,
            "reduced size outside 1280 x 720");
    const std::size_t bytes = static_cast<std::size_t>(size.width) * size.height * 3;
    std::vector<std::uint8_t> small_left(bytes);
    std::vector<std::uint8_t> small_right(bytes);
    try {
        quillet::downsample_bilinear(left.rgb, w, h, small_left, size.width, size.height);
        quillet::downsample_bilinear(right.rgb, w, h, small_right, size.width, size.height);
    } catch (const quillet::Panic& e) {
        return {true, e.message()};
    }
    return model_compute_diff(m, small_left, small_right, size.width, size.height);
}

float model_alpha(double alpha) {
    if (std::isnan(alpha)) return std::numeric_limits<float>::quiet_NaN();
    if (alpha < double{0.01f}) return 0.01f;
    if (alpha > 1.0) return 1.0f;
    return static_cast<float>(alpha);  // in range: rounds to nearest
}

void model_clear(Model& m) {
    const float alpha = m.ema_alpha;
    m = Model{};
    m.ema_alpha = alpha;
}

// ---- running the real cache -------------------------------------------------------

template <typename Operation>
Outcome run(Operation&& operation) {
    Outcome out;
    try {
        operation(out);
    } catch (const quillet::Panic& e) {
        out.panicked = true;
        out.message = e.message();
    } catch (const std::bad_alloc&) {
        fail("unexpected bad_alloc: sizes are bounded");
    }
    return out;
}

void check_outcome(const char* operation, const Outcome& real, const Outcome& expected) {
    require(real.panicked == expected.panicked, operation,
            real.panicked ? "panicked: " + real.message : "did not panic: " + expected.message);
    require(real.message == expected.message, operation,
            "message '" + real.message + "' expected '" + expected.message + "'");
    const Metrics& a = real.metrics;
    const Metrics& b = expected.metrics;
    require(same_float(a.ssim, b.ssim) && same_float(a.psnr, b.psnr) && same_float(a.mse, b.mse) &&
                same_float(a.max_diff, b.max_diff),
            operation, describe(a) + " expected " + describe(b));
}

// Metrics of a completed comparison of n pixels lie in their documented ranges.
void check_metric_ranges(const Metrics& m, std::size_t n) {
    if (n == 0) {
        require(std::isnan(m.ssim) && m.psnr == 100.0f && std::isnan(m.mse) && m.max_diff == 0.0f,
                "metrics of an empty comparison", describe(m));
        return;
    }
    require(m.ssim >= -1e-6f && m.ssim <= 1.0f, "ssim out of range", describe(m));
    require(m.mse >= 0.0f && m.mse <= 195075.0f, "mse out of range", describe(m));
    require(m.max_diff >= 0.0f && m.max_diff <= 195075.0f, "max_diff out of range", describe(m));
    require((m.mse == 0.0f) == (m.psnr == 100.0f), "psnr ceiling without mse 0", describe(m));
    require(m.psnr >= -4.78f && m.psnr <= 108.0f, "psnr out of range", describe(m));
}

struct Capacities {
    std::size_t diff_rgba = 0;
};

// The real cache holds exactly the model's state; buffer capacity never shrinks.
void check_state(const Model& m, Capacities& capacities) {
    require(quillet::frame_cache_state() == quillet::CacheState::alive, "cache not alive");
    quillet::CacheHold hold(quillet::CacheHold::Mode::shared);
    const quillet::FrameCache& c = hold.cache();
    for (int i = 0; i < 2; ++i) {
        require(c.slots[i].rgb == m.slots[i].rgb, "slot bytes differ", std::to_string(i));
        require(c.slots[i].width == m.slots[i].width && c.slots[i].height == m.slots[i].height,
                "slot dimensions differ", std::to_string(i));
    }
    require(c.diff_rgba == m.diff_rgba, "picture differs",
            std::to_string(c.diff_rgba.size()) + " vs " + std::to_string(m.diff_rgba.size()));
    require(c.ema_buffer.size() == m.ema_buffer.size(), "history length differs");
    require(same_floats(c.ema_buffer.data(), m.ema_buffer.data(), c.ema_buffer.size()),
            "history differs");
    require(c.expected_width == m.expected_width && c.expected_height == m.expected_height,
            "expected size differs");
    require(same_float(c.last_max_diff, m.last_max_diff), "last_max_diff differs");
    require(same_float(c.ema_alpha, m.ema_alpha), "ema_alpha differs");
    require(c.ema_primed == m.ema_primed, "ema_primed differs");
    require(c.diff_rgba.capacity() >= capacities.diff_rgba, "picture capacity shrank");
    capacities.diff_rgba = c.diff_rgba.capacity();
}

// A kernel pass on arbitrary bytes, history and factors, at unaligned addresses
// and any tail length; every kernel must match the scalar one.
void fuzz_kernels_directly(Reader& in) {
    const std::size_t n = in.u16() % 700;
    const std::size_t shift = in.u8() % 64;
    std::vector<std::uint8_t> left(3 * n + shift), right(3 * n + shift);
    std::uint32_t state = in.u32() | 1;
    const std::uint8_t noise = in.u8();
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = static_cast<std::uint8_t>(next_random(state));
        const int delta = static_cast<int>(next_random(state) % (2u * noise + 1)) - noise;
        right[i] = static_cast<std::uint8_t>(std::clamp(left[i] + delta, 0, 255));
    }
    std::vector<float> ema(n + 16);
    const bool raw_history = in.u8() & 1;
    for (float& value : ema)
        value = raw_history ? std::bit_cast<float>(next_random(state))
                            : static_cast<float>(next_random(state) % 195076);
    const auto mode = static_cast<quillet::SmoothingPass>(in.u8() % 3);
    const float alpha = in.u8() & 1 ? model_alpha(read_alpha(in)) : std::bit_cast<float>(in.u32());
    const float k = in.u8() & 1 ? 1.0f / std::max(static_cast<float>(in.u32() % 195076), 1.0f)
                                : std::bit_cast<float>(in.u32());
    std::vector<std::uint8_t> rgba(4 * n + 8);
    const std::size_t ema_shift = shift % 16;
    const quillet::PixelPass pass{left.data() + shift,
                                  right.data() + shift,
                                  rgba.data() + shift % 8,
                                  mode == quillet::SmoothingPass::plain ? nullptr : ema.data() + ema_shift,
                                  n,
                                  mode,
                                  k,
                                  alpha,
                                  1.0f - alpha};
    std::vector<float> ema_before(ema);
    const quillet::PassSums sums = quillet::compute_diff_scalar(pass);
    quillet::PixelPass replay = pass;
    if (replay.ema) replay.ema = ema_before.data() + ema_shift;
    check_kernels_agree(replay, sums, pass.rgba, ema.data() + ema_shift);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::printf("frame_cache_fuzzer: kernels checked against scalar:");
    for (const auto& [name, kernel] : kernels_under_test()) std::printf(" %s", name);
    std::printf("\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    // Each input starts from a cleared cache with smoothing off.
    Model model;
    quillet::clear_frame_cache();
    quillet::set_ema_alpha(1.0);
    Capacities capacities;
    frame_budget = kFrameBytesPerInput;
    pixel_budget = kComparedPixelsPerInput;
    check_state(model, capacities);

    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.u8() % 9) {
            case 0: {  // init_cache
                std::int32_t w = read_dimension(in), h = read_dimension(in);
                bound_init_dimensions(w, h);
                check_outcome("init_cache", run([&](Outcome&) { quillet::init_cache(w, h); }),
                              model_init(model, w, h));
                break;
            }
            case 1: {  // cache_frame_slot, slot widened with its sign as the binding does
                const std::int32_t slot_arg = in.u8() & 1 ? static_cast<std::int32_t>(in.u32())
                                                          : static_cast<std::int32_t>(in.u8() % 4) - 1;
                const auto slot = static_cast<std::size_t>(static_cast<std::int64_t>(slot_arg));
                const std::int32_t w = read_dimension(in), h = read_dimension(in);
                const auto frame = read_frame(in, w, h, model.slots[slot_arg == 0 ? 1 : 0].rgb);
                check_outcome("cache_frame_slot",
                              run([&](Outcome&) { quillet::cache_frame_slot(slot, frame, w, h); }),
                              model_cache(model, slot, frame, w, h));
                break;
            }
            case 2: {  // compare_cached
                if (!take_pixel_budget(model.slots[0].width, model.slots[0].height)) break;
                const Outcome expected = model_compare(model);
                const Outcome real = run([](Outcome& out) { out.metrics = quillet::compare_cached(); });
                check_outcome("compare_cached", real, expected);
                if (expected.compared) {
                    check_metric_ranges(real.metrics, model.diff_rgba.size() / 4);
                    for (std::size_t i = 3; i < model.diff_rgba.size(); i += 4)
                        require(model.diff_rgba[i] == 255, "picture alpha is not 255");
                }
                break;
            }
            case 3: {  // the four steps of compare(left, right, width, height)
                std::int32_t w = read_dimension(in), h = read_dimension(in);
                bound_init_dimensions(w, h);
                const auto left = read_frame(in, w, h, {});
                const auto right = read_frame(in, w, h, left);
                Outcome expected = model_init(model, w, h);
                Outcome real = run([&](Outcome&) { quillet::init_cache(w, h); });
                check_outcome("compare: init_cache", real, expected);
                if (real.panicked) break;
                model_cache(model, 0, left, w, h);
                model_cache(model, 1, right, w, h);
                quillet::cache_frame_slot(0, left, w, h);
                quillet::cache_frame_slot(1, right, w, h);
                require(!model.ema_primed, "compare reached the comparison with history");
                if (!take_pixel_budget(w, h)) break;
                check_outcome("compare: compare_cached",
                              run([](Outcome& out) { out.metrics = quillet::compare_cached(); }),
                              model_compare(model));
                break;
            }
            case 4:
                quillet::clear_frame_cache();
                model_clear(model);
                break;
            case 5: {
                const double alpha = read_alpha(in);
                quillet::set_ema_alpha(alpha);
                model.ema_alpha = model_alpha(alpha);
                break;
            }
            case 6: {  // both ways of reading the picture
                require(quillet::get_diff_rgba() == model.diff_rgba, "get_diff_rgba differs");
                const bool same = quillet::with_diff_rgba([&](const std::uint8_t* p, std::size_t n) {
                    return n == model.diff_rgba.size() && (n == 0 || std::memcmp(p, model.diff_rgba.data(), n) == 0);
                });
                require(same, "with_diff_rgba differs");
                break;
            }
            case 7: {  // an operation while the cache is held fails and changes nothing
                quillet::CacheHold hold(in.u8() & 1 ? quillet::CacheHold::Mode::shared
                                                    : quillet::CacheHold::Mode::exclusive);
                const Outcome real = run([](Outcome&) { quillet::clear_frame_cache(); });
                require(real.panicked, "clear_frame_cache while the cache is held");
                break;
            }
            default:
                fuzz_kernels_directly(in);
                break;
        }
        check_state(model, capacities);
    }
    return 0;
}
