// Compares two generated 640 x 360 frames through the per-thread cache and
// prints the four figures, then a smoothed second comparison.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "frame_cache.h"

namespace {

std::vector<std::uint8_t> gradient_frame(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 255 / (width - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / (height - 1));
            p[2] = 128;
        }
    return rgb;
}

void print_metrics(const char* label, const quillet::Metrics& m) {
    std::printf("%-28s ssim=%.6f psnr=%.4f mse=%.4f max_diff=%.1f\n", label, m.ssim, m.psnr, m.mse,
                m.max_diff);
}

}  // namespace

int main() {
    constexpr int width = 640, height = 360;
    const auto left = gradient_frame(width, height);
    auto right = left;
    // A bright square moves into the right frame.
    for (int y = 100; y < 160; ++y)
        for (int x = 300; x < 380; ++x) {
            std::uint8_t* p = &right[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = 255, p[1] = 255, p[2] = 255;
        }

    quillet::init_cache(width, height);
    quillet::cache_frame_slot(0, left, width, height);
    quillet::cache_frame_slot(1, right, width, height);
    print_metrics("changed square:", quillet::compare_cached());

    quillet::cache_frame_slot(1, left, width, height);
    print_metrics("identical frames:", quillet::compare_cached());

    const auto picture = quillet::get_diff_rgba();
    std::printf("difference picture: %zu bytes (%d x %d x 4)\n", picture.size(), width, height);
    return 0;
}
