// The eight Python-callable entry points of quillet._core.
#pragma once

#include <Python.h>

namespace quillet::entry {

// METH_FASTCALL | METH_KEYWORDS
PyObject* compare(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept;
PyObject* init_frame_cache(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;
PyObject* cache_frame(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* set_config(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;
PyObject* set_ema_alpha(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// METH_NOARGS
PyObject* compare_cached_frames(PyObject* module, PyObject* unused) noexcept;
PyObject* get_diff_rgba(PyObject* module, PyObject* unused) noexcept;
PyObject* clear_frame_cache(PyObject* module, PyObject* unused) noexcept;

}  // namespace quillet::entry
