// Times of the comparison kernels against the two floors that bound them
// (memory traffic, and two ordered chains of float additions), measured in
// the same process, medians of many runs; then the full comparison through
// the frame cache, the streaming loop, and the reduced path of large frames.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compute_diff.h"
#include "cpu_features.h"
#include "frame_cache.h"
#include "memory_floor.h"
#include "numeric.h"
#include "random_bytes.h"
#include "reduced_rows.h"
#include "utils.h"

namespace {

using namespace quillet;
using Bytes = std::vector<std::uint8_t>;

volatile std::uint64_t sink_u64;
volatile float sink_f;

using testing::Random;

// Median wall time of `runs` calls, in milliseconds, after two warm-up calls.
template <typename F>
double median_ms(F&& body, int runs) {
    body();
    body();
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[static_cast<std::size_t>(runs / 2)];
}

struct Frames {
    Bytes left, right;
};

// A natural-looking frame: smooth gradients plus a little noise.
Bytes scene(std::size_t width, std::size_t height, std::uint64_t seed) {
    Random random(seed);
    Bytes rgb(3 * width * height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x) {
            std::uint8_t* p = rgb.data() + 3 * (y * width + x);
            p[0] = static_cast<std::uint8_t>((x * 255) / width + random.below(4));
            p[1] = static_cast<std::uint8_t>((y * 255) / height + random.below(4));
            p[2] = static_cast<std::uint8_t>(((x + y) * 127) / (width + height) + random.below(4));
        }
    return rgb;
}

Frames identical(std::size_t w, std::size_t h) {
    Bytes left = scene(w, h, 1);
    return {left, left};
}

// 5% of the pixels changed, in rectangles (clustered) or one by one (scattered).
Frames changed(std::size_t w, std::size_t h, bool clustered) {
    Random random(clustered ? 2 : 3);
    Frames f{scene(w, h, 4), {}};
    f.right = f.left;
    auto touch = [&](std::size_t i) {
        for (std::size_t c = 0; c < 3; ++c)
            f.right[3 * i + c] = static_cast<std::uint8_t>(f.left[3 * i + c] + 40 + random.below(180));
    };
    std::size_t target = w * h / 20;
    if (!clustered) {
        for (std::size_t j = 0; j < target; ++j) touch(random.below(static_cast<std::uint32_t>(w * h)));
        return f;
    }
    while (target > 0) {
        const std::size_t rw = 8 + random.below(60), rh = 8 + random.below(40);
        const std::size_t x0 = random.below(static_cast<std::uint32_t>(w - rw));
        const std::size_t y0 = random.below(static_cast<std::uint32_t>(h - rh));
        for (std::size_t y = y0; y < y0 + rh; ++y)
            for (std::size_t x = x0; x < x0 + rw; ++x) touch(y * w + x);
        target = target > rw * rh ? target - rw * rh : 0;
    }
    return f;
}

// `small` enlarged to width x height, such that the comparison, which samples
// large frames down to 1280x720 first, sees exactly the pixels of `small`: each
// pixel is its nearest pixel of `small`, then every sampled position takes the
// pixel it stands for. So the sizes differ only in what the size costs.
Bytes enlarged(const Bytes& small, std::size_t width, std::size_t height) {
    const CompareSize reduced = reduced_size(static_cast<std::int32_t>(width),
                                             static_cast<std::int32_t>(height));
    const auto small_width = static_cast<std::size_t>(reduced.width);
    const auto small_height = static_cast<std::size_t>(reduced.height);
    Bytes big(3 * width * height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            std::memcpy(&big[3 * (y * width + x)],
                        &small[3 * ((y * small_height / height) * small_width + x * small_width / width)],
                        3);
    // The positions as the reduction computes them.
    const float step_x = static_cast<float>(width) / static_cast<float>(small_width);
    const float step_y = static_cast<float>(height) / static_cast<float>(small_height);
    for (std::size_t y = 0; y < small_height; ++y) {
        const auto sy = static_cast<std::size_t>(saturating_to_i32(static_cast<float>(y) * step_y));
        for (std::size_t x = 0; x < small_width; ++x) {
            const auto sx = static_cast<std::size_t>(saturating_to_i32(static_cast<float>(x) * step_x));
            std::memcpy(&big[3 * (sy * width + sx)], &small[3 * (y * small_width + x)], 3);
        }
    }
    Bytes check(small.size());
    downsample_bilinear(big, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                        check, reduced.width, reduced.height);
    if (check != small) {
        std::fprintf(stderr, "enlarged frame does not reduce to the original\n");
        std::exit(1);
    }
    return big;
}

// The 720p 5% clustered pair, enlarged (see enlarged).
Frames clustered_at(std::size_t width, std::size_t height) {
    const Frames small = changed(1280, 720, true);
    if (width == 1280 && height == 720) return small;
    return {enlarged(small.left, width, height), enlarged(small.right, width, height)};
}

Frames random_frames(std::size_t w, std::size_t h) {
    Random random(5);
    return {random.bytes(3 * w * h), random.bytes(3 * w * h)};
}

std::vector<const DiffKernelInfo*> runnable_kernels() {
    std::vector<const DiffKernelInfo*> out;
    for (const DiffKernelInfo& k : diff_kernels())
        if (k.runs()) out.push_back(&k);
    return out;
}

// Medians, in milliseconds, of each body's calls, the bodies taking turns in
// rounds: in each round a body is called three times in a row, the first call
// untimed (it brings the body's data back into the caches), so every body is
// timed hot, and every median comes from the same stretch of time on a
// machine whose load changes.
std::vector<double> interleaved_medians_ms(const std::vector<std::function<void()>>& bodies,
                                           int rounds) {
    constexpr int kTimedPerRound = 2;
    std::vector<std::vector<double>> times(bodies.size());
    for (int round = 0; round < rounds; ++round)
        for (std::size_t b = 0; b < bodies.size(); ++b) {
            bodies[b]();
            for (int i = 0; i < kTimedPerRound; ++i) {
                const auto start = std::chrono::steady_clock::now();
                bodies[b]();
                const auto stop = std::chrono::steady_clock::now();
                times[b].push_back(std::chrono::duration<double, std::milli>(stop - start).count());
            }
        }
    std::vector<double> medians;
    for (std::vector<double>& t : times) {
        const std::size_t middle = t.size() / 2;
        std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(middle), t.end());
        medians.push_back(t[middle]);
    }
    return medians;
}

std::uint64_t rows_floor_pass(const std::uint8_t* left, const std::uint8_t* right,
                              const std::size_t* row_offsets, std::size_t rows, std::size_t row_bytes) {
#if defined(QUILLET_BENCH_AVX512_FLOOR)
    if (cpu_features().avx512bw)
        return bench::rows_pass_avx512(left, right, row_offsets, rows, row_bytes);
#endif
    return bench::rows_pass_portable(left, right, row_offsets, rows, row_bytes);
}

void memory_floor(const Frames& f, Bytes& rgba, std::size_t pixels) {
#if defined(QUILLET_BENCH_AVX512_FLOOR)
    if (cpu_features().avx512bw) {
        sink_u64 = bench::memory_pass_avx512(f.left.data(), f.right.data(), rgba.data(), pixels);
        return;
    }
#endif
    sink_u64 = bench::memory_pass_portable(f.left.data(), f.right.data(), rgba.data(), pixels);
}

// The terms of the two ordered sums: similarity-like values in [0, 1) and
// distance-like integers. The chains of additions are bound by the latency of
// each addition, not by their loads, so the floor adds a short run of terms
// (in the second-level cache) again and again: it then keeps the frames'
// bytes in the caches for the kernels it is timed in turns with.
constexpr std::size_t kSumTermRepeats = 16;

struct SumTerms {
    std::vector<float> a, b;
};

SumTerms sum_terms(std::size_t count) {
    Random random(9);
    SumTerms t{std::vector<float>(count), std::vector<float>(count)};
    for (std::size_t i = 0; i < count; ++i) {
        t.a[i] = static_cast<float>(random.below(1000)) / 1000.0f;
        t.b[i] = static_cast<float>(random.below(195076));
    }
    return t;
}

// Two ordered chains of kSumTermRepeats * terms.a.size() float additions.
float ordered_sums_floor(const SumTerms& terms) {
    float sink = 0.0f;
    for (std::size_t r = 0; r < kSumTermRepeats; ++r)
        sink += bench::ordered_sums(terms.a.data(), terms.b.data(), terms.a.size());
    return sink;
}

void kernel_table() {
    const std::size_t w = 1280, h = 720, n = w * h;
    struct Case {
        const char* name;
        Frames frames;
    };
    const Case cases[] = {{"720p identical", identical(w, h)},
                          {"720p 5% clustered", changed(w, h, true)},
                          {"720p 5% scattered", changed(w, h, false)},
                          {"720p random", random_frames(w, h)}};
    Bytes rgba(4 * n);
    const SumTerms terms = sum_terms(n / kSumTermRepeats);  // n divides evenly
    const auto kernels = runnable_kernels();

    std::printf("\nPer-pixel pass at 1280x720 (plain pass, data in cache; median ms)\n");
    std::printf("  memory floor = read both frames + write the picture; sum floor = two ordered\n");
    std::printf("  chains of %zu float adds; both timed hot, in turns with the vector kernels,\n", n);
    std::printf("  for each case (the scalar kernel apart, fewer runs)\n\n");
    std::printf("%-20s %-8s %9s %9s %9s %11s\n", "case", "kernel", "ms", "x memory", "x sums",
                "vs scalar");
    for (const Case& c : cases) {
        // The colour scale a stream would use: from the previous comparison.
        PixelPass pass{c.frames.left.data(), c.frames.right.data(), rgba.data(), nullptr, n,
                       SmoothingPass::plain, 1.0f, 1.0f, 0.0f};
        const float max_diff = compute_diff_scalar(pass).max_tested;
        pass.colour_scale = 1.0f / std::max(max_diff, 1.0f);
        std::vector<std::function<void()>> bodies = {
            [&] { memory_floor(c.frames, rgba, n); },
            [&] { sink_f = ordered_sums_floor(terms); }};
        std::vector<const DiffKernelInfo*> timed;
        const DiffKernelInfo* scalar = nullptr;
        for (const DiffKernelInfo* k : kernels) {
            if (std::strcmp(k->name, "scalar") == 0) {
                scalar = k;
                continue;
            }
            timed.push_back(k);
            bodies.push_back([&pass, k] { sink_f = k->run(pass).similarity_sum; });
        }
        const std::vector<double> ms = interleaved_medians_ms(bodies, 151);
        const double mem_floor = ms[0], sum_floor = ms[1];
        const double scalar_ms =
            scalar ? median_ms([&] { sink_f = scalar->run(pass).similarity_sum; }, 21) : 0.0;
        std::printf("%-20s %-8s %9.3f %9.2f %9.2f %11s\n", c.name, "(memory)", mem_floor, 1.0,
                    mem_floor / sum_floor, "");
        std::printf("%-20s %-8s %9.3f %9.2f %9.2f %11s\n", c.name, "(sums)", sum_floor,
                    sum_floor / mem_floor, 1.0, "");
        auto row = [&](const char* name, double t) {
            std::printf("%-20s %-8s %9.3f %9.2f %9.2f %10.1fx\n", c.name, name, t, t / mem_floor,
                        t / sum_floor, scalar_ms > 0.0 ? scalar_ms / t : 0.0);
        };
        for (std::size_t i = 0; i < timed.size(); ++i) row(timed[i]->name, ms[i + 2]);
        if (scalar) row(scalar->name, scalar_ms);
    }
}

// compute_diff_impl, the streaming loop and large frames, all through the
// frame cache with the kernel the dispatcher chose.
void cache_table() {
    std::printf("\nThrough the frame cache (kernel: %s; median ms)\n\n",
                select_diff_kernel(std::getenv("QUILLET_KERNEL")).name);
    std::printf("%-44s %9s %12s\n", "operation", "ms", "per second");
    auto row = [](const char* what, double ms) {
        std::printf("%-44s %9.3f %12.0f\n", what, ms, 1000.0 / ms);
    };

    const std::size_t w = 1280, h = 720;
    const Frames frames = changed(w, h, true);
    const Frames same = identical(w, h);
    init_cache(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
    cache_frame_slot(0, frames.left, 1280, 720);
    cache_frame_slot(1, frames.right, 1280, 720);
    row("720p 5% clustered: compare_cached", median_ms([] { sink_f = compare_cached().ssim; }, 301));
    cache_frame_slot(1, same.right, 1280, 720);
    cache_frame_slot(0, same.left, 1280, 720);
    row("720p identical: compare_cached", median_ms([] { sink_f = compare_cached().ssim; }, 301));

    // The streaming loop: both frames cached, compared, the picture fetched.
    auto stream = [&](const Frames& f) {
        cache_frame_slot(0, f.left, 1280, 720);
        cache_frame_slot(1, f.right, 1280, 720);
        sink_f = compare_cached().ssim;
        sink_u64 = get_diff_rgba().size();
    };
    row("720p stream (cache x2, compare, get_diff_rgba)",
        median_ms([&] { stream(frames); }, 301));
    row("  the same with the picture read in place",
        median_ms(
            [&] {
                cache_frame_slot(0, frames.left, 1280, 720);
                cache_frame_slot(1, frames.right, 1280, 720);
                sink_f = compare_cached().ssim;
                sink_u64 = with_diff_rgba([](const std::uint8_t* p, std::size_t size) {
                    return static_cast<std::uint64_t>(p[size / 2]);
                });
            },
            301));
    Bytes copy_target(frames.left.size());
    row("  floor: memcpy of one 720p frame", median_ms([&] {
            std::memcpy(copy_target.data(), frames.left.data(), frames.left.size());
            sink_u64 = copy_target[12345];
        }, 301));

    for (const auto& size : {std::pair<std::size_t, std::size_t>{1920, 1080}, {3840, 2160}}) {
        const std::size_t bw = size.first, bh = size.second;
        const Frames big = clustered_at(bw, bh);
        const auto iw = static_cast<std::int32_t>(bw), ih = static_cast<std::int32_t>(bh);
        cache_frame_slot(0, big.left, iw, ih);
        cache_frame_slot(1, big.right, iw, ih);
        const std::string label = std::to_string(bw) + "x" + std::to_string(bh);
        row((label + " 5% clustered: compare_cached").c_str(),
            median_ms([] { sink_f = compare_cached().ssim; }, 101));
        Bytes small(3 * 1280 * 720);
        row(("  " + label + " downsample_bilinear x1").c_str(), median_ms([&] {
                downsample_bilinear(big.left, iw, ih, small, 1280, 720);
                sink_u64 = small[777];
            }, 101));
        row(("  " + label + " stream (cache x2, compare, get_diff_rgba)").c_str(),
            median_ms([&] {
                cache_frame_slot(0, big.left, iw, ih);
                cache_frame_slot(1, big.right, iw, ih);
                sink_f = compare_cached().ssim;
                sink_u64 = get_diff_rgba().size();
            }, 51));
    }
}

// Runs jobs on a thread of its own, one at a time: its frame cache (one per
// thread) keeps the frames cached there from one job to the next.
class CacheThread {
public:
    CacheThread() : worker_([this] { serve(); }) {}
    ~CacheThread() {
        run(nullptr);
        worker_.join();
    }
    CacheThread(const CacheThread&) = delete;
    CacheThread& operator=(const CacheThread&) = delete;

    // Runs `job` there and waits for it; a null job ends the thread.
    void run(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = std::move(job);
        pending_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pending_; });
    }

private:
    void serve() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return pending_; });
            std::function<void()> job = std::move(job_);
            if (job) job();
            pending_ = false;
            changed_.notify_all();
            if (!job) return;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> job_;
    bool pending_ = false;
    std::thread worker_;
};

// compare_cached on the same content at three sizes: 720p is compared as it
// is, the larger ones (the 720p pair enlarged) are sampled down to 1280x720
// first, which gives back exactly the 720p pixels, so the pass does the same
// work at every size and the ratios show what the size itself costs. Each size has
// its frames cached on a thread of its own, and the sizes take turns in
// rounds, so that the ratios to 720p compare times taken moments apart on this
// shared machine; the figures are medians over the rounds.
void size_table() {
    struct Size {
        const char* name;
        std::int32_t width, height;
    };
    const Size sizes[] = {{"1280x720", 1280, 720}, {"1920x1080", 1920, 1080}, {"3840x2160", 3840, 2160}};
    constexpr std::size_t kSizes = std::size(sizes);
    constexpr int kRounds = 15;
    std::printf("\nSize scaling: compare_cached, 5%% clustered changes (kernel: %s; median ms)\n\n",
                select_diff_kernel(std::getenv("QUILLET_KERNEL")).name);
    std::printf("  the larger frames are the 720p pair enlarged: sampled down, they are its pixels;\n");
    std::printf("  ms, x 720p = medians over %d rounds in which the sizes take turns (31 calls each);\n",
                kRounds);
    std::printf("  sampling = the sampled rows of both cached frames made, row by row, without the pass;\n");
    std::printf("  literal = reduce both frames into fresh zero-filled copies, then compare them;\n");
    std::printf("  rows floor = read every sampled source row of both frames, nothing else\n");
    std::printf("  (64-byte loads, the next rows asked for ahead, as the comparison reads them)\n\n");
    std::printf("%-12s %12s %9s %9s %12s %12s %9s %10s %9s\n", "frame", "frame bytes", "ms", "x 720p",
                "sampling ms", "literal ms", "x 720p", "floor ms", "x floor");

    std::vector<Frames> frames;
    std::vector<std::unique_ptr<CacheThread>> threads;
    for (const Size& size : sizes) {
        frames.push_back(clustered_at(static_cast<std::size_t>(size.width),
                                      static_cast<std::size_t>(size.height)));
        threads.push_back(std::make_unique<CacheThread>());
        const Frames& f = frames.back();
        threads.back()->run([&] {
            init_cache(1280, 720);
            cache_frame_slot(0, f.left, size.width, size.height);
            cache_frame_slot(1, f.right, size.width, size.height);
        });
    }
    std::vector<double> times[kSizes], ratios[kSizes];
    for (int round = 0; round < kRounds; ++round) {
        double round_ms[kSizes];
        for (std::size_t i = 0; i < kSizes; ++i) {
            threads[i]->run([&] { round_ms[i] = median_ms([] { sink_f = compare_cached().ssim; }, 31); });
            times[i].push_back(round_ms[i]);
            ratios[i].push_back(round_ms[i] / round_ms[0]);
        }
    }
    auto median = [](std::vector<double> values) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    double literal_base_ms = 0.0;
    for (std::size_t i = 0; i < kSizes; ++i) {
        const Size& size = sizes[i];
        const Frames& f = frames[i];
        const double ms = median(times[i]);
        const CompareSize reduced = reduced_size(size.width, size.height);
        // The sampling stage alone, from the cached frames as compare_cached reads them.
        double sampling_ms = 0.0;
        if (reduced.width != size.width || reduced.height != size.height) {
            threads[i]->run([&] {
                const CacheHold hold(CacheHold::Mode::shared);
                static SampledRows sampled;
                if (!sampled.prepare(hold->slots[0].rgb, hold->slots[1].rgb, size.width,
                                     size.height, reduced.width, reduced.height))
                    return;
                alignas(64) static std::uint8_t left_row[3 * kMaxCompareWidth + 4];
                alignas(64) static std::uint8_t right_row[3 * kMaxCompareWidth + 4];
                sampling_ms = median_ms(
                    [&] {
                        for (std::int32_t y = 0; y < reduced.height; ++y)
                            sampled.rows_into(y, left_row, right_row);
                        sink_u64 = left_row[100] + right_row[200];
                    },
                    201);
            });
        }
        FrameCache literal_cache;
        const double literal_ms = median_ms(
            [&] {
                const std::size_t bytes = 3 * static_cast<std::size_t>(reduced.width) * reduced.height;
                Bytes left_small(bytes), right_small(bytes);
                downsample_bilinear(f.left, size.width, size.height, left_small, reduced.width,
                                    reduced.height);
                downsample_bilinear(f.right, size.width, size.height, right_small, reduced.width,
                                    reduced.height);
                sink_f = literal_cache
                             .compute_diff_impl(left_small, right_small, reduced.width, reduced.height)
                             .ssim;
            },
            201);
        if (literal_base_ms == 0.0) literal_base_ms = median(times[0]);
        // The source rows the comparison samples, read whole with vector loads.
        std::vector<std::size_t> row_offsets(static_cast<std::size_t>(reduced.height));
        const float step_y = static_cast<float>(size.height) / static_cast<float>(reduced.height);
        const std::size_t row_bytes = 3 * static_cast<std::size_t>(size.width);
        for (std::size_t y = 0; y < row_offsets.size(); ++y)
            row_offsets[y] = static_cast<std::size_t>(static_cast<float>(y) * step_y) * row_bytes;
        const double floor_ms = median_ms(
            [&] {
                sink_u64 = rows_floor_pass(f.left.data(), f.right.data(), row_offsets.data(),
                                           row_offsets.size(), row_bytes);
            },
            201);
        char sampling[32] = "-";
        if (sampling_ms > 0.0) std::snprintf(sampling, sizeof sampling, "%.3f", sampling_ms);
        std::printf("%-12s %12zu %9.3f %8.2fx %12s %12.3f %8.2fx %10.3f %8.2fx\n", size.name,
                    f.left.size(), ms, median(ratios[i]), sampling, literal_ms,
                    literal_ms / literal_base_ms, floor_ms, ms / floor_ms);
    }
}

}  // namespace

int main() {
    std::printf("quillet kernel benchmark; kernels here:");
    for (const DiffKernelInfo* k : runnable_kernels()) std::printf(" %s", k->name);
    std::printf("\n");
    kernel_table();
    size_table();
    cache_table();
    return 0;
}
