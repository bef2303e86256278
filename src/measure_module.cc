// PyInit__measure: the standard figures (PSNR, Gaussian-window SSIM) on any
// C-contiguous byte buffer, read in place, with the interpreter lock released
// while they are computed; and the names of the kernels in use.
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>

#include "compute_diff.h"
#include "panic.h"
#include "py_ref.h"
#include "standard_psnr.h"
#include "standard_ssim.h"
#include "ms_ssim.h"

namespace quillet::measure {

namespace {

// A buffer exported by a Python object for the length of a call.
class BorrowedBuffer {
public:
    BorrowedBuffer() noexcept = default;
    BorrowedBuffer(const BorrowedBuffer&) = delete;
    BorrowedBuffer& operator=(const BorrowedBuffer&) = delete;
    ~BorrowedBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Returns false with TypeError or BufferError raised.
    bool acquire(PyObject* object, const char* name) noexcept {
        if (!PyObject_CheckBuffer(object)) {
            PyErr_Format(PyExc_TypeError,
                         "%s must be a bytes-like object (bytes, bytearray, memoryview, a NumPy "
                         "uint8 array), not %.200s",
                         name, Py_TYPE(object)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
        held_ = true;
        if (view_.itemsize != 1) {
            PyErr_Format(PyExc_TypeError,
                         "%s must hold bytes (items of one byte), not items of %zd bytes "
                         "(format '%s'); convert it to uint8 first",
                         name, view_.itemsize, view_.format ? view_.format : "B");
            return false;
        }
        return true;
    }
    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Two frames of one size, checked and held for the call.
struct FramePair {
    BorrowedBuffer left;
    BorrowedBuffer right;
    std::size_t width = 0;
    std::size_t height = 0;
};

// Parses (left, right, width, height) and checks that both buffers hold
// width * height * 3 bytes. Returns false with an exception raised.
bool bind_frames(PyObject* left, PyObject* right, Py_ssize_t width, Py_ssize_t height,
                 FramePair& frames) noexcept {
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "width and height must be at least 1, got %zd x %zd", width,
                     height);
        return false;
    }
    const auto w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    if (w > PY_SSIZE_T_MAX / 3 / h) {
        PyErr_Format(PyExc_ValueError, "a %zd x %zd frame is too large", width, height);
        return false;
    }
    if (!frames.left.acquire(left, "left") || !frames.right.acquire(right, "right")) return false;
    const std::size_t expected = w * h * 3;
    const char* names[2] = {"left", "right"};
    const BorrowedBuffer* buffers[2] = {&frames.left, &frames.right};
    for (int side = 0; side < 2; ++side) {
        if (buffers[side]->size() != expected) {
            PyErr_Format(PyExc_ValueError,
                         "%s holds %zu bytes, but a %zd x %zd RGB frame needs %zu", names[side],
                         buffers[side]->size(), width, height, expected);
            return false;
        }
    }
    frames.width = w;
    frames.height = h;
    return true;
}

// The one place where C++ failures become Python exceptions.
void raise_failure(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const Panic& error) {
        PyErr_SetString(PyExc_RuntimeError, error.message().c_str());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "quillet._measure: unknown native failure");
    }
}

// Runs `body` without the interpreter lock; returns false with an exception
// raised if it threw.
template <typename Body>
bool without_interpreter_lock(Body&& body) noexcept {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        body();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) raise_failure(failure);
    return !failure;
}

PyObject* float_tuple(std::span<const double> values) noexcept {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

bool thread_count_in_range(Py_ssize_t threads) noexcept {
    if (threads >= 0 && threads <= 1024) return true;
    PyErr_Format(PyExc_ValueError, "threads must be 0 (automatic) to 1024, got %zd", threads);
    return false;
}

PyObject* psnr(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"left", "right", "width", "height", "threads", nullptr};
    PyObject *left, *right;
    Py_ssize_t width, height, threads = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnn|$n:psnr", const_cast<char**>(keywords), &left,
                                     &right, &width, &height, &threads))
        return nullptr;
    if (!thread_count_in_range(threads)) return nullptr;
    FramePair frames;
    if (!bind_frames(left, right, width, height, frames)) return nullptr;
    StandardPsnr result{};
    if (!without_interpreter_lock([&] {
            result = standard_psnr(frames.left.data(), frames.right.data(), frames.width, frames.height,
                                   static_cast<unsigned>(threads));
        }))
        return nullptr;
    const double values[] = {result.rgb, result.r, result.g, result.b};
    return float_tuple(values);
}

PyObject* ssim(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"left", "right", "width", "height", "threads", nullptr};
    PyObject *left, *right;
    Py_ssize_t width, height, threads = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnn|$n:ssim", const_cast<char**>(keywords),
                                     &left, &right, &width, &height, &threads))
        return nullptr;
    if (!thread_count_in_range(threads)) return nullptr;
    FramePair frames;
    if (!bind_frames(left, right, width, height, frames)) return nullptr;
    StandardSsim result{};
    if (!without_interpreter_lock([&] {
            result = standard_ssim({frames.left.data(), frames.right.data(), frames.width, frames.height},
                                   static_cast<unsigned>(threads));
        }))
        return nullptr;
    const double values[] = {result.rgb, result.r, result.g, result.b, result.y};
    return float_tuple(values);
}

PyObject* ms_ssim_figures(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"left", "right", "width", "height", "threads", nullptr};
    PyObject *left, *right;
    Py_ssize_t width, height, threads = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnn|$n:ms_ssim", const_cast<char**>(keywords),
                                     &left, &right, &width, &height, &threads))
        return nullptr;
    if (!thread_count_in_range(threads)) return nullptr;
    FramePair frames;
    if (!bind_frames(left, right, width, height, frames)) return nullptr;
    MsSsim result{};
    if (!without_interpreter_lock([&] {
            result = ms_ssim({frames.left.data(), frames.right.data(), frames.width, frames.height},
                             static_cast<unsigned>(threads));
        }))
        return nullptr;
    const double values[] = {result.rgb, result.r, result.g, result.b, result.y};
    return float_tuple(values);
}

PyObject* diff_kernel_name(PyObject*, PyObject*) noexcept {
    try {
        // The same selection (and the same failure for a bad QUILLET_KERNEL) as _core's.
        const DiffKernel active = active_diff_kernel();
        for (const DiffKernelInfo& kernel : diff_kernels())
            if (kernel.run == active) return PyUnicode_FromString(kernel.name);
        PyErr_SetString(PyExc_RuntimeError, "the active comparison kernel is not in the kernel table");
        return nullptr;
    } catch (...) {
        raise_failure(std::current_exception());
        return nullptr;
    }
}

PyObject* standard_kernel_name(PyObject*, PyObject*) noexcept {
    return PyUnicode_FromString(active_ssim_kernel().name);
}

PyObject* psnr_kernel_name(PyObject*, PyObject*) noexcept {
    return PyUnicode_FromString(active_squared_error_kernel().name);
}

PyObject* default_threads(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"width", "height", nullptr};
    Py_ssize_t width, height;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nn:default_threads", const_cast<char**>(keywords),
                                     &width, &height))
        return nullptr;
    if (width < 0 || height < 0) {
        PyErr_SetString(PyExc_ValueError, "width and height must not be negative");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(
        default_ssim_threads(static_cast<std::size_t>(width), static_cast<std::size_t>(height)));
}

template <typename Function>
PyCFunction as_cfunction(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"psnr", as_cfunction(psnr), METH_VARARGS | METH_KEYWORDS,
     "psnr(left, right, width, height, *, threads=0)\n--\n\n"
     "PSNR of two packed RGB frames: (rgb, r, g, b) in dB, 10*log10(255**2 / MSE) from exact\n"
     "integer sums; inf for identical frames. threads=0 chooses."},
    {"ssim", as_cfunction(ssim), METH_VARARGS | METH_KEYWORDS,
     "ssim(left, right, width, height, *, threads=0)\n--\n\n"
     "Gaussian-window SSIM (sigma 1.5, 11 x 11, K1 0.01, K2 0.03, L 255) of two packed RGB frames:\n"
     "(rgb, r, g, b, y), rgb the mean of the channels, y on BT.709 luma; the mean of the map over\n"
     "the positions where the window fits. Frames must be at least 11 x 11. threads=0 chooses."},
    {"ms_ssim", as_cfunction(ms_ssim_figures), METH_VARARGS | METH_KEYWORDS,
     "ms_ssim(left, right, width, height, *, threads=0)\n--\n\n"
     "Multi-scale SSIM (Wang, Simoncelli and Bovik 2003, five scales) of two packed RGB frames:\n"
     "(rgb, r, g, b, y). Frames must be at least 176 x 176. threads=0 chooses."},
    {"default_threads", as_cfunction(default_threads), METH_VARARGS | METH_KEYWORDS,
     "default_threads(width, height)\n--\n\n"
     "The number of threads ssim uses for frames of this size when threads=0."},
    {"diff_kernel_name", as_cfunction(diff_kernel_name), METH_NOARGS,
     "diff_kernel_name()\n--\n\n"
     "The per-pixel kernel of the built-in comparison (honours QUILLET_KERNEL)."},
    {"standard_kernel_name", as_cfunction(standard_kernel_name), METH_NOARGS,
     "standard_kernel_name()\n--\n\n"
     "The instruction set SSIM runs with."},
    {"psnr_kernel_name", as_cfunction(psnr_kernel_name), METH_NOARGS,
     "psnr_kernel_name()\n--\n\n"
     "The instruction set PSNR's squared-error sums run with."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_measure",
    "Standard image-quality figures (PSNR, SSIM) computed in native code.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quillet::measure

PyMODINIT_FUNC PyInit__measure() {
    return PyModule_Create(&quillet::measure::module_definition);
}
