// The function bodies: bind, convert in parameter order (so a failed conversion
// changes no state), run the core operations, build the result.
#include "functions.h"

#include <cstdint>
#include <cstring>

#include "args.h"
#include "config.h"
#include "errors.h"
#include "frame_cache.h"
#include "py_ref.h"

namespace quillet::entry {

namespace {

constexpr const char* kCompareParameters[] = {"left", "right", "width", "height"};
constexpr const char* kInitFrameCacheParameters[] = {"width", "height"};
constexpr const char* kCacheFrameParameters[] = {"slot", "rgb", "width", "height"};
constexpr const char* kSetConfigParameters[] = {"max_width", "max_height", "block_size"};
constexpr const char* kSetEmaAlphaParameters[] = {"alpha"};

constexpr FunctionDescription kCompare{"compare", kCompareParameters};
constexpr FunctionDescription kInitFrameCache{"init_frame_cache", kInitFrameCacheParameters};
constexpr FunctionDescription kCacheFrame{"cache_frame", kCacheFrameParameters};
constexpr FunctionDescription kSetConfig{"set_config", kSetConfigParameters};
constexpr FunctionDescription kSetEmaAlpha{"set_ema_alpha", kSetEmaAlphaParameters};

// (ssim, psnr, mse, max_diff) as Python floats; float -> double is exact.
PyObject* metrics_tuple(const Metrics& metrics) {
    const float values[] = {metrics.ssim, metrics.psnr, metrics.mse, metrics.max_diff};
    PyRef tuple(PyTuple_New(4));
    if (!tuple) panic_after_error();
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (item == nullptr) panic_after_error();
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple.release();
}

// The slot widened with its sign, so -1 becomes the largest index and is ignored.
std::size_t slot_index(std::int32_t slot) noexcept {
    return static_cast<std::size_t>(static_cast<std::int64_t>(slot));
}

}  // namespace

PyObject* compare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        if (!extract_arguments_fastcall(kCompare, args, nargs, kwnames, slots)) return nullptr;
        const auto left = extract_bytes(slots[0], "left");
        if (!left) return nullptr;
        const auto right = extract_bytes(slots[1], "right");
        if (!right) return nullptr;
        const auto width = extract_int32(slots[2], "width");
        if (!width) return nullptr;
        const auto height = extract_int32(slots[3], "height");
        if (!height) return nullptr;

        // Each step takes the cache on its own; a failure keeps the earlier steps.
        init_cache(*width, *height);
        cache_frame_slot(0, *left, *width, *height);
        cache_frame_slot(1, *right, *width, *height);
        return metrics_tuple(compare_cached());
    });
}

PyObject* init_frame_cache(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!extract_arguments_fastcall(kInitFrameCache, args, nargs, kwnames, slots))
            return nullptr;
        const auto width = extract_int32(slots[0], "width");
        if (!width) return nullptr;
        const auto height = extract_int32(slots[1], "height");
        if (!height) return nullptr;

        init_cache(*width, *height);
        Py_RETURN_NONE;
    });
}

PyObject* cache_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        if (!extract_arguments_fastcall(kCacheFrame, args, nargs, kwnames, slots)) return nullptr;
        const auto slot = extract_int32(slots[0], "slot");
        if (!slot) return nullptr;
        const auto rgb = extract_bytes(slots[1], "rgb");
        if (!rgb) return nullptr;
        const auto width = extract_int32(slots[2], "width");
        if (!width) return nullptr;
        const auto height = extract_int32(slots[3], "height");
        if (!height) return nullptr;

        cache_frame_slot(slot_index(*slot), *rgb, *width, *height);
        Py_RETURN_NONE;
    });
}

PyObject* set_config(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!extract_arguments_fastcall(kSetConfig, args, nargs, kwnames, slots)) return nullptr;
        const auto max_width = extract_int32(slots[0], "max_width");
        if (!max_width) return nullptr;
        const auto max_height = extract_int32(slots[1], "max_height");
        if (!max_height) return nullptr;
        const auto block_size = extract_int32(slots[2], "block_size");
        if (!block_size) return nullptr;

        quillet::set_config(*max_width, *max_height, *block_size);
        Py_RETURN_NONE;
    });
}

PyObject* set_ema_alpha(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!extract_arguments_fastcall(kSetEmaAlpha, args, nargs, kwnames, slots)) return nullptr;
        const auto alpha = extract_double(slots[0], "alpha");
        if (!alpha) return nullptr;

        quillet::set_ema_alpha(*alpha);
        Py_RETURN_NONE;
    });
}

PyObject* compare_cached_frames(PyObject*, PyObject*) noexcept {
    return guarded([]() -> PyObject* { return metrics_tuple(compare_cached()); });
}

PyObject* get_diff_rgba(PyObject*, PyObject*) noexcept {
    return guarded([]() -> PyObject* {
        // One copy, straight from the cache into the new bytes object; creating
        // it runs no Python code, so holding the cache meanwhile is safe.
        PyObject* picture =
            with_diff_rgba([](const std::uint8_t* data, std::size_t size) noexcept -> PyObject* {
                PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
                if (bytes != nullptr && size > 0) std::memcpy(PyBytes_AS_STRING(bytes), data, size);
                return bytes;
            });
        // Reported only after the cache is given back: printing the error may
        // run Python code.
        if (picture == nullptr) panic_after_error();
        return picture;
    });
}

PyObject* clear_frame_cache(PyObject*, PyObject*) noexcept {
    return guarded([]() -> PyObject* {
        quillet::clear_frame_cache();
        Py_RETURN_NONE;
    });
}

}  // namespace quillet::entry
