// The function bodies of quillet._direct: hold the buffers, check them, run the
// core with the interpreter lock released, build the result.
#include "functions.h"

#include <cstdint>

#include "direct_compare.h"
#include "errors.h"
#include "frame_buffers.h"
#include "full_size_diff.h"
#include "png_scanlines.h"
#include "py_ref.h"

namespace quillet::direct {

namespace {

// Each thread compares with its own state; streams of same-size frames reuse
// its buffers.
thread_local DirectComparer thread_comparer;

// Gives the interpreter lock up for the life of the object. Exceptions thrown
// meanwhile take it back on their way out, before they become Python errors.
class UnlockedInterpreter {
public:
    UnlockedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
    ~UnlockedInterpreter() { PyEval_RestoreThread(state_); }
    UnlockedInterpreter(const UnlockedInterpreter&) = delete;
    UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;

private:
    PyThreadState* state_;
};

PyObject* metrics_tuple(const Metrics& metrics) {
    return Py_BuildValue("(dddd)", static_cast<double>(metrics.ssim),
                         static_cast<double>(metrics.psnr), static_cast<double>(metrics.mse),
                         static_cast<double>(metrics.max_diff));
}

// Both frames held and checked against one width and height.
struct FramePair {
    HeldBuffer left_buffer;
    HeldBuffer right_buffer;
    FrameRows left{};
    FrameRows right{};

    bool take(PyObject* left_object, PyObject* right_object, int width, int height) noexcept {
        return left_buffer.acquire_readable(left_object) &&
               frame_rows_of(left_buffer, "left", width, height, left) &&
               right_buffer.acquire_readable(right_object) &&
               frame_rows_of(right_buffer, "right", width, height, right);
    }
};

}  // namespace

PyObject* compare(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"left", "right", "width", "height", "picture", nullptr};
        PyObject *left_object, *right_object;
        int width, height, picture = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOii|$p:compare",
                                         const_cast<char**>(keywords), &left_object,
                                         &right_object, &width, &height, &picture))
            return nullptr;
        FramePair pair;
        if (!pair.take(left_object, right_object, width, height)) return nullptr;

        Metrics metrics;
        if (!picture) {
            {
                UnlockedInterpreter unlocked;
                metrics = thread_comparer.compare(pair.left, pair.right, false);
            }
            return metrics_tuple(metrics);
        }
        // The picture is written straight into the bytes object it is returned in.
        const CompareSize size = reduced_size(width, height);
        const std::size_t bytes = static_cast<std::size_t>(size.width < 0 ? 0 : size.width) *
                                  static_cast<std::size_t>(size.height < 0 ? 0 : size.height) * 4;
        PyRef rgba(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
        if (!rgba) return nullptr;
        {
            UnlockedInterpreter unlocked;
            metrics = thread_comparer.compare_into(
                pair.left, pair.right,
                {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(rgba.get())), bytes});
        }
        PyRef figures(metrics_tuple(metrics));
        if (!figures) return nullptr;
        return PyTuple_Pack(2, figures.get(), rgba.get());
    });
}

PyObject* max_squared_distance(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"left", "right", "width", "height", nullptr};
        PyObject *left_object, *right_object;
        int width, height;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOii:max_squared_distance",
                                         const_cast<char**>(keywords), &left_object,
                                         &right_object, &width, &height))
            return nullptr;
        FramePair pair;
        if (!pair.take(left_object, right_object, width, height)) return nullptr;
        std::int32_t largest;
        {
            UnlockedInterpreter unlocked;
            largest = quillet::max_squared_distance(pair.left, pair.right);
        }
        return PyLong_FromLong(largest);
    });
}

PyObject* full_size_rows(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"left",     "right",     "width",     "height",
                                         "max_diff", "first_row", "row_count", "out",
                                         "scanlines", nullptr};
        PyObject *left_object, *right_object, *out_object;
        int width, height, first_row, row_count, scanlines = 0;
        float max_diff;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOiifiiO|$p:full_size_rows",
                                         const_cast<char**>(keywords), &left_object,
                                         &right_object, &width, &height, &max_diff, &first_row,
                                         &row_count, &out_object, &scanlines))
            return nullptr;
        FramePair pair;
        if (!pair.take(left_object, right_object, width, height)) return nullptr;
        if (first_row < 0 || row_count < 0 || row_count > height - first_row) {
            PyErr_Format(PyExc_ValueError, "rows %d to %d are not within a frame of %d rows",
                         first_row, first_row + row_count - 1, height);
            return nullptr;
        }
        HeldBuffer out;
        if (!out.acquire_writable(out_object)) return nullptr;
        const Py_ssize_t prefix = scanlines ? 1 : 0;
        const Py_ssize_t needed =
            static_cast<Py_ssize_t>(row_count) * (prefix + static_cast<Py_ssize_t>(width) * 4);
        if (out.view().len < needed) {
            PyErr_Format(PyExc_ValueError, "out: %d rows need %zd bytes, the buffer has %zd",
                         row_count, needed, out.view().len);
            return nullptr;
        }
        {
            UnlockedInterpreter unlocked;
            auto* rows = static_cast<std::uint8_t*>(out.view().buf);
            full_size_diff_rows(pair.left, pair.right, max_diff, first_row, row_count, rows,
                                static_cast<std::size_t>(prefix));
            if (scanlines)
                sub_filter_scanlines(rows, static_cast<std::size_t>(width),
                                     static_cast<std::size_t>(row_count));
        }
        Py_RETURN_NONE;
    });
}

PyObject* png_scanlines(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"rgba", "width", "out", nullptr};
        PyObject *rgba_object, *out_object;
        Py_ssize_t width;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnO:png_scanlines",
                                         const_cast<char**>(keywords), &rgba_object, &width,
                                         &out_object))
            return nullptr;
        HeldBuffer rgba;
        if (!rgba.acquire_readable(rgba_object)) return nullptr;
        if (!PyBuffer_IsContiguous(&rgba.view(), 'C') || rgba.view().itemsize != 1) {
            PyErr_SetString(PyExc_ValueError, "rgba: expected a contiguous buffer of bytes");
            return nullptr;
        }
        if (width < 1 || rgba.view().len % (width * 4) != 0) {
            PyErr_Format(PyExc_ValueError, "rgba: %zd bytes are not whole rows of %zd pixels",
                         rgba.view().len, width);
            return nullptr;
        }
        const Py_ssize_t rows = rgba.view().len / (width * 4);
        HeldBuffer out;
        if (!out.acquire_writable(out_object)) return nullptr;
        if (out.view().len < rows * (1 + width * 4)) {
            PyErr_Format(PyExc_ValueError, "out: %zd rows need %zd bytes, the buffer has %zd",
                         rows, rows * (1 + width * 4), out.view().len);
            return nullptr;
        }
        {
            UnlockedInterpreter unlocked;
            write_sub_scanlines(static_cast<const std::uint8_t*>(rgba.view().buf),
                                static_cast<std::size_t>(width), static_cast<std::size_t>(rows),
                                static_cast<std::uint8_t*>(out.view().buf));
        }
        Py_RETURN_NONE;
    });
}

PyObject* png_rgb_rows(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"scanlines", "width", "height", nullptr};
        PyObject* scanlines_object;
        Py_ssize_t width, height;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onn:png_rgb_rows",
                                         const_cast<char**>(keywords), &scanlines_object, &width,
                                         &height))
            return nullptr;
        if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / 3 / height) {
            PyErr_Format(PyExc_ValueError, "png_rgb_rows: no picture of %zd x %zd pixels", width,
                         height);
            return nullptr;
        }
        HeldBuffer scanlines;
        if (!scanlines.acquire_readable(scanlines_object)) return nullptr;
        if (!PyBuffer_IsContiguous(&scanlines.view(), 'C') || scanlines.view().itemsize != 1) {
            PyErr_SetString(PyExc_ValueError, "scanlines: expected a contiguous buffer of bytes");
            return nullptr;
        }
        const Py_ssize_t row_bytes = width * 3;
        if (scanlines.view().len / height != row_bytes + 1 ||
            scanlines.view().len % height != 0) {
            PyErr_Format(PyExc_ValueError,
                         "scanlines: %zd bytes are not %zd scanlines of %zd pixels",
                         scanlines.view().len, height, width);
            return nullptr;
        }
        PyRef rows(PyBytes_FromStringAndSize(nullptr, row_bytes * height));
        if (!rows) return nullptr;
        bool whole;
        {
            UnlockedInterpreter unlocked;
            whole = unfilter_rgb_scanlines(
                static_cast<const std::uint8_t*>(scanlines.view().buf),
                static_cast<std::size_t>(width), static_cast<std::size_t>(height),
                reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(rows.get())));
        }
        if (!whole) Py_RETURN_NONE;
        return rows.release();
    });
}

}  // namespace quillet::direct
