// The functions of quillet._direct (keyword-capable, METH_VARARGS | METH_KEYWORDS, unless
// they take no arguments).
#pragma once

#include <Python.h>

namespace quillet::direct {

PyObject* compare(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* max_squared_distance(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* full_size_rows(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* png_scanlines(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* png_rgb_rows(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* reuse_freed_frames(PyObject* module, PyObject* unused) noexcept;

}  // namespace quillet::direct
