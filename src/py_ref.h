// An owned reference to a Python object, released when the handle goes out of
// scope, so every return path gives back what it took.
#pragma once

#include <Python.h>

#include <utility>

namespace quillet {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (or null).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    // A new reference to a borrowed object.
    static PyRef borrowed(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace quillet
