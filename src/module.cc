// PyInit__core: the module object, created once per process by single-phase
// initialisation, and the registration of its eight functions.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors.h"
#include "functions.h"
#include "py_ref.h"

namespace quillet {

namespace {

template <typename Function>
PyCFunction as_cfunction(Function* function) noexcept {
    // The interpreter calls the function through the signature its flags name.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

// Registration order is the order of __all__. The text before "\n--\n\n" is the
// text signature that inspect.signature reads.
PyMethodDef method_records[] = {
    {"compare", as_cfunction(entry::compare), kFastCallWithKeywords,
     "compare(left, right, width, height)\n--\n\n"
     "Compare two RGB frames, returns (ssim, psnr, mse, max_diff)"},
    {"init_frame_cache", as_cfunction(entry::init_frame_cache), kFastCallWithKeywords,
     "init_frame_cache(width, height)\n--\n\n"
     "Initialize frame cache with expected dimensions"},
    {"cache_frame", as_cfunction(entry::cache_frame), kFastCallWithKeywords,
     "cache_frame(slot, rgb, width, height)\n--\n\n"
     "Cache a frame to slot (0=left, 1=right)\n"
     "RGB data should be width * height * 3 bytes"},
    {"compare_cached_frames", as_cfunction(entry::compare_cached_frames), METH_NOARGS,
     "compare_cached_frames()\n--\n\n"
     "Compare cached frames, returns (ssim, psnr, mse, max_diff)"},
    {"get_diff_rgba", as_cfunction(entry::get_diff_rgba), METH_NOARGS,
     "get_diff_rgba()\n--\n\n"
     "Get diff RGBA data as bytes (width * height * 4 bytes, ready for PIL.Image)"},
    {"clear_frame_cache", as_cfunction(entry::clear_frame_cache), METH_NOARGS,
     "clear_frame_cache()\n--\n\n"
     "Clear frame cache"},
    {"set_config", as_cfunction(entry::set_config), kFastCallWithKeywords,
     "set_config(max_width, max_height, block_size)\n--\n\n"
     "Set comparison config"},
    {"set_ema_alpha", as_cfunction(entry::set_ema_alpha), kFastCallWithKeywords,
     "set_ema_alpha(alpha)\n--\n\n"
     "Set EMA smoothing factor (1.0 = off, 0.3 = moderate filtering)"},
};

// No method table and no per-module state: the functions are added one by one
// once the module object exists.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Python module definition",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kApiVersion = 1013;

constexpr const char kSubinterpreterMessage[] =
    "quillet._core: extension modules of this kind do not support subinterpreters yet, "
    "see https://github.com/quillet/quillet/issues";

// The first interpreter to import the module; -1 until then.
std::atomic<std::int64_t> recorded_interpreter{-1};

// The module object, kept for the rest of the process once initialised. Read and
// written only with the interpreter lock held.
PyObject* module_cell = nullptr;

void raise_pending_or_system_error() noexcept {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

// Creates the function object for `record` and adds it to the module and to
// its __all__. Returns false with an exception set.
bool register_function(PyObject* module, PyMethodDef* record) noexcept {
    PyRef function;
    {
        PyRef module_name(PyModule_GetNameObject(module));
        if (!module_name) return false;
        function = PyRef(PyCMethod_New(record, module, module_name.get(), nullptr));
        if (!function) return false;
    }
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;

    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        raise_pending_or_system_error();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
        return nullptr;
    }

    if (module_cell != nullptr) return Py_NewRef(module_cell);

    PyRef module(PyModule_Create2(&module_definition, kApiVersion));
    if (!module) {
        raise_pending_or_system_error();
        return nullptr;
    }
    for (PyMethodDef& record : method_records) {
        // On failure the new module is dropped and the cell stays empty, so a
        // later import starts again.
        if (!register_function(module.get(), &record)) return nullptr;
    }
    if (module_cell == nullptr) module_cell = module.release();
    return Py_NewRef(module_cell);
}

}  // namespace

}  // namespace quillet

PyMODINIT_FUNC PyInit__core() {
    return quillet::guarded([] { return quillet::initialise(); });
}
