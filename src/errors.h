// Turning failures into Python exceptions, in one place: PanicException for
// internal failures, MemoryError for exhausted memory, and the boundary that
// keeps every C++ exception from crossing the C API.
#pragma once

#include <Python.h>

#include <string_view>

#include "py_ref.h"

namespace quillet {

// The PanicException type, created on first need (borrowed reference); null
// with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// True when `exception` is an instance of PanicException. Never creates the type:
// before it exists no instance can exist either.
bool is_panic_exception(PyObject* exception) noexcept;

// Raises PanicException with `message` as its only argument.
void raise_panic_exception(std::string_view message) noexcept;

// For a call into the interpreter that must not fail: prints the pending error
// with its traceback, then fails internally with "Python API call failed".
[[noreturn]] void panic_after_error();

// A PanicException came back out of Python code (an argument's __index__ or
// __float__): reports it on standard error and raises a new PanicException
// carrying its text.
void resume_panic_from_python(PyRef fetched) noexcept;

// Sets the Python exception for the C++ exception being handled; call only from
// inside a catch block.
void raise_current_failure() noexcept;

// Runs the body of an entry point; any C++ exception becomes a Python exception
// and the entry point returns null.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_failure();
        return nullptr;
    }
}

}  // namespace quillet
