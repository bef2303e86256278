// Frames and output buffers taken from any object with the buffer protocol,
// held for the length of one call and read in place.
#pragma once

#include <Python.h>

#include <cstdint>

#include "frame_rows.h"

namespace quillet::direct {

// A buffer held from its object until destruction.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes a read-only view with its shape and strides; false with an exception set.
    bool acquire_readable(PyObject* object) noexcept;
    // Takes a writable C-contiguous view; false with an exception set.
    bool acquire_writable(PyObject* object) noexcept;

    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The rows of a width x height packed-RGB frame in `buffer`: a C-contiguous
// buffer of exactly width * height * 3 bytes, or a (height, width, 3) or
// (height, width * 3) byte array whose rows may lie apart (a crop). Returns
// false with ValueError or TypeError raised, naming the argument.
bool frame_rows_of(const HeldBuffer& buffer, const char* name, std::int32_t width,
                   std::int32_t height, FrameRows& rows) noexcept;

}  // namespace quillet::direct
