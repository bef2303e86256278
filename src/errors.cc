// PanicException and the translation of C++ failures into Python exceptions.
#include "errors.h"

#include <new>

#include "panic.h"

namespace quillet {

namespace {

constexpr const char kPanicExceptionName[] = "pyo3_runtime.PanicException";

constexpr const char kPanicExceptionDoc[] =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Used when a failure carries no message of its own.
constexpr std::string_view kNoMessagePanic = "native code panicked without a message";

// Used when the text of a PanicException fetched from Python cannot be had.
constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";

// Written only with the interpreter lock held; lives until the process ends.
PyObject* panic_exception = nullptr;

// Message texts come from the core as UTF-8; a stray byte must not turn one
// failure into another, so undecodable bytes are replaced.
PyRef message_object(std::string_view message) noexcept {
    return PyRef(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (panic_exception != nullptr) return panic_exception;
    PyObject* created = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // Creating a type may run a collection and let another thread in; if that
    // thread stored a type meanwhile, keep its type and drop ours.
    if (panic_exception != nullptr) {
        Py_DECREF(created);
        return panic_exception;
    }
    panic_exception = created;
    return panic_exception;
}

bool is_panic_exception(PyObject* exception) noexcept {
    return panic_exception != nullptr && exception != nullptr &&
           PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(panic_exception));
}

void raise_panic_exception(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyRef text = message_object(message);
    if (!text) return;
    // Built explicitly so that args is exactly (message,).
    PyRef instance(PyObject_CallOneArg(type, text.get()));
    if (!instance) return;
    PyErr_SetRaisedException(instance.release());
}

void panic_after_error() {
    PyErr_Print();
    panic("Python API call failed");
}

void resume_panic_from_python(PyRef fetched) noexcept {
    // The text first: printing consumes the exception.
    PyRef text(PyObject_Str(fetched.get()));
    if (!text) PyErr_Clear();

    PySys_WriteStderr(
        "quillet: a PanicException was fetched from Python code; resuming the panic.\n");
    PySys_WriteStderr("Python stack trace below:\n");
    PyErr_SetRaisedException(fetched.release());
    PyErr_PrintEx(0);

    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    if (!text) {
        text = message_object(kUnwrappedPanic);
        if (!text) return;
    }
    PyRef instance(PyObject_CallOneArg(type, text.get()));
    if (!instance) return;
    PyErr_SetRaisedException(instance.release());
}

void raise_current_failure() noexcept {
    try {
        throw;
    } catch (const Panic& failure) {
        // The core has already written its report to standard error.
        raise_panic_exception(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        raise_panic_exception(kNoMessagePanic);
    }
}

}  // namespace quillet
