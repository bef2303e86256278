// quillet._direct.reuse_freed_frames: the C allocator's policy for frame-sized
// blocks, for a process that streams whole frames.
#include <Python.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "functions.h"

namespace quillet::direct {

namespace {

// Frames up to 3840 x 2160 RGB (24.9 MB) fit under glibc's largest mapping
// threshold (32 MiB on 64-bit systems).
constexpr int kLargestReusedBlock = 32 * 1024 * 1024;
// Freed memory the heap may keep at its top before returning it.
constexpr int kKeptFreeMemory = 256 * 1024 * 1024;

}  // namespace

// By default glibc gives every block over a few megabytes its own mapping and
// unmaps it when freed, and trims the heap's freed top: each decoded frame
// then lands in pages the kernel must fault in and zero again, a few thousand
// faults per second of video. Keeping such blocks in the heap lets the next
// frame reuse the last one's pages; the process keeps its peak heap, which a
// bounded frame queue keeps small.
PyObject* reuse_freed_frames(PyObject*, PyObject*) noexcept {
#if defined(__GLIBC__)
    const bool applied = mallopt(M_MMAP_THRESHOLD, kLargestReusedBlock) == 1 &&
                         mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory) == 1;
    return PyBool_FromLong(applied);
#else
    Py_RETURN_FALSE;
#endif
}

}  // namespace quillet::direct
