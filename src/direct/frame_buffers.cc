// Frames from the buffer protocol: checked once here, so the core can read
// every row it is given without further tests.
#include "frame_buffers.h"

#include <cstring>

namespace quillet::direct {

namespace {

bool is_byte_format(const char* format) noexcept {
    return format == nullptr || std::strcmp(format, "B") == 0 ||
           std::strcmp(format, "c") == 0;
}

bool fail(PyObject* type, const char* name, const char* what) noexcept {
    PyErr_Format(type, "%s: %s", name, what);
    return false;
}

}  // namespace

bool HeldBuffer::acquire_readable(PyObject* object) noexcept {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0;
    return held_;
}

bool HeldBuffer::acquire_writable(PyObject* object) noexcept {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_CONTIG) == 0;
    return held_;
}

bool frame_rows_of(const HeldBuffer& buffer, const char* name, std::int32_t width,
                   std::int32_t height, FrameRows& rows) noexcept {
    const Py_buffer& view = buffer.view();
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "frame sides must be at least 1, got %dx%d", width, height);
        return false;
    }
    if (view.itemsize != 1 || !is_byte_format(view.format))
        return fail(PyExc_TypeError, name, "expected a buffer of bytes (uint8)");
    const auto row_bytes = static_cast<Py_ssize_t>(width) * 3;
    const Py_ssize_t frame_bytes = row_bytes * height;
    rows = FrameRows{static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(row_bytes),
                     width, height};

    if (PyBuffer_IsContiguous(&view, 'C')) {
        if (view.len != frame_bytes) {
            PyErr_Format(PyExc_ValueError,
                         "%s: a %dx%d RGB frame needs %zd bytes, the buffer has %zd", name, width,
                         height, frame_bytes, view.len);
            return false;
        }
        return true;
    }
    // Rows apart from each other: (height, width, 3) or (height, width * 3),
    // each row's own bytes adjacent and in order.
    const bool three_d = view.ndim == 3 && view.shape[0] == height && view.shape[1] == width &&
                         view.shape[2] == 3 && view.strides[1] == 3 && view.strides[2] == 1;
    const bool two_d = view.ndim == 2 && view.shape[0] == height && view.shape[1] == row_bytes &&
                       view.strides[1] == 1;
    if (!(three_d || two_d)) {
        PyErr_Format(PyExc_ValueError,
                     "%s: expected %dx%d packed RGB pixels: a contiguous buffer, or rows of shape "
                     "(%d, %d, 3) whose pixels are adjacent",
                     name, width, height, height, width);
        return false;
    }
    if (view.strides[0] < row_bytes)
        return fail(PyExc_ValueError, name, "rows overlap or run backwards (row stride too small)");
    rows.row_stride = static_cast<std::size_t>(view.strides[0]);
    return true;
}

}  // namespace quillet::direct
