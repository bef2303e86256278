// Binding of fast-call arguments to parameters and their conversion to native
// values, with the exact messages of every failure.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quillet {

// One function with parameters: its name and its parameter names in order.
// Every parameter is required and may be given by position or by keyword.
struct FunctionDescription {
    const char* function_name;
    std::span<const char* const> parameters;
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call into `slots` (one
// borrowed reference per parameter). Returns false with a TypeError raised.
bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept;

// Converts one bound argument. On failure the error for parameter `name` is
// raised (see argument_extraction_error) and nothing is returned.
std::optional<std::span<const std::uint8_t>> extract_bytes(PyObject* object,
                                                           const char* name) noexcept;
std::optional<std::int32_t> extract_int32(PyObject* object, const char* name) noexcept;
std::optional<double> extract_double(PyObject* object, const char* name) noexcept;

// Replaces the pending conversion error by the error to raise for parameter
// `name`: an exact TypeError is rewrapped with the name, anything else passes
// unchanged, and a PanicException from Python code is resumed.
void argument_extraction_error(const char* name) noexcept;

}  // namespace quillet
