// PyInit__direct: the comparison of quillet._core applied to frames read in
// place through the buffer protocol, and the full-size difference picture.
#include <Python.h>

#include "functions.h"

namespace {

template <typename Function>
PyCFunction as_cfunction(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"compare", as_cfunction(quillet::direct::compare), kKeywords,
     "compare(left, right, width, height, *, picture=False)\n--\n\n"
     "Compare two RGB frames read in place (any bytes-like object or uint8 array, rows may\n"
     "lie apart); returns (ssim, psnr, mse, max_diff) exactly as quillet._core.compare does.\n"
     "With picture=True returns (figures, rgba): the difference picture at the compared size,\n"
     "its heat colours scaled to this pair's own max_diff."},
    {"max_squared_distance", as_cfunction(quillet::direct::max_squared_distance), kKeywords,
     "max_squared_distance(left, right, width, height)\n--\n\n"
     "The largest squared RGB distance of one pixel over the whole of two frames."},
    {"full_size_rows", as_cfunction(quillet::direct::full_size_rows), kKeywords,
     "full_size_rows(left, right, width, height, max_diff, first_row, row_count, out, *, "
     "scanlines=False)\n--\n\n"
     "Write rows of the full-size difference picture into the writable buffer out, heat\n"
     "colours scaled to max_diff: width * 4 RGBA bytes per row, or with scanlines=True each\n"
     "row as a PNG scanline (a filter-type byte, then the row under PNG's Sub filter)."},
    {"png_scanlines", as_cfunction(quillet::direct::png_scanlines), kKeywords,
     "png_scanlines(rgba, width, out)\n--\n\n"
     "Write the RGBA rows in rgba (width pixels each) into out as PNG scanlines under\n"
     "PNG's Sub filter: 1 + width * 4 bytes per row."},
    {"png_rgb_rows", as_cfunction(quillet::direct::png_rgb_rows), kKeywords,
     "png_rgb_rows(scanlines, width, height)\n--\n\n"
     "The packed RGB rows (bytes) of height PNG scanlines of 8-bit RGB, width pixels each,\n"
     "their filters undone; None when a row names no filter PNG defines."},
    {"reuse_freed_frames", quillet::direct::reuse_freed_frames, METH_NOARGS,
     "reuse_freed_frames()\n--\n\n"
     "Have the C allocator keep freed blocks of up to 32 MiB for reuse, so that a process\n"
     "streaming whole frames reuses their pages instead of faulting fresh ones in for every\n"
     "frame. Process-wide; for programs, not libraries. True if it took effect (glibc only)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_direct",
    "Frame comparison on buffers read in place, and full-size difference pictures.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__direct() {
    return PyModule_Create(&module_definition);
}
