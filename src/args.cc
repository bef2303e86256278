// Argument binding and conversion. The valid path allocates nothing: arguments
// are borrowed into slots on the caller's stack and keyword names are compared
// as UTF-8 bytes. Messages are built only when a call fails.
#include "args.h"

#include <cstring>
#include <limits>

#include "errors.h"
#include "py_ref.h"

namespace quillet {

namespace {

// A bounded text buffer for the one message assembled piece by piece; the
// parameter names are short, fixed and known when the module is built.
class MessageBuffer {
public:
    void append(const char* text) noexcept {
        while (*text != '\0' && length_ + 1 < sizeof(buffer_)) buffer_[length_++] = *text++;
        buffer_[length_] = '\0';
    }
    const char* c_str() const noexcept { return buffer_; }

private:
    char buffer_[512] = {};
    std::size_t length_ = 0;
};

bool name_matches(const char* parameter, const char* utf8, Py_ssize_t length) noexcept {
    return std::strlen(parameter) == static_cast<std::size_t>(length) &&
           std::memcmp(parameter, utf8, static_cast<std::size_t>(length)) == 0;
}

// "{f} missing {count} required positional {noun}: {list}", the names quoted and
// joined as in "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void raise_missing_arguments(const FunctionDescription& description,
                             PyObject* const* slots) noexcept {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < description.parameters.size() && count < std::size(missing); ++i)
        if (slots[i] == nullptr) missing[count++] = description.parameters[i];

    MessageBuffer list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) list.append(",");
            list.append(i == count - 1 ? " and " : " ");
        }
        list.append("'");
        list.append(missing[i]);
        list.append("'");
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s",
                 description.function_name, count, count == 1 ? "argument" : "arguments",
                 list.c_str());
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept {
    const std::size_t parameter_count = description.parameters.size();
    const std::size_t positional = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < parameter_count; ++i) slots[i] = i < positional ? args[i] : nullptr;

    if (positional > parameter_count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     description.function_name, parameter_count, nargs,
                     nargs == 1 ? "was" : "were");
        return false;
    }

    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
        if (utf8 == nullptr) PyErr_Clear();  // unreadable: matches no parameter

        std::size_t match = parameter_count;
        for (std::size_t i = 0; utf8 != nullptr && i < parameter_count; ++i) {
            if (name_matches(description.parameters[i], utf8, length)) {
                match = i;
                break;
            }
        }
        if (match == parameter_count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         description.function_name, keyword);
            return false;
        }
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         description.function_name, description.parameters[match]);
            return false;
        }
        slots[match] = args[nargs + k];
    }

    for (std::size_t i = positional; i < parameter_count; ++i) {
        if (slots[i] == nullptr) {
            raise_missing_arguments(description, slots);
            return false;
        }
    }
    return true;
}

std::optional<std::span<const std::uint8_t>> extract_bytes(PyObject* object,
                                                           const char* name) noexcept {
    if (PyBytes_Check(object)) {
        // The object's own storage, read in place for the duration of the call.
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
        return std::span<const std::uint8_t>(data,
                                             static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    }
    PyRef type_name(PyType_GetQualName(Py_TYPE(object)));
    if (type_name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBytes'",
                     type_name.get());
    } else {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "'<failed to extract type name>' object cannot be converted to 'PyBytes'");
    }
    argument_extraction_error(name);
    return std::nullopt;
}

std::optional<std::int32_t> extract_int32(PyObject* object, const char* name) noexcept {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        argument_extraction_error(name);
        return std::nullopt;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        argument_extraction_error(name);
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<double> extract_double(PyObject* object, const char* name) noexcept {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        argument_extraction_error(name);
        return std::nullopt;
    }
    return value;
}

void argument_extraction_error(const char* name) noexcept {
    PyRef error(PyErr_GetRaisedException());
    if (!error) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return;
    }
    if (is_panic_exception(error.get())) {
        resume_panic_from_python(std::move(error));
        return;
    }
    // Only TypeError itself names the argument; subclasses and every other
    // error pass through as raised.
    if (!Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(error.release());
        return;
    }

    PyRef text(PyObject_Str(error.get()));
    if (!text) {
        PyErr_WriteUnraisable(error.get());
        PyRef type_name(PyType_GetName(Py_TYPE(error.get())));
        if (type_name) {
            text = PyRef(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
        } else {
            PyErr_Clear();
            text = PyRef(PyUnicode_FromString("<unprintable object>"));
        }
        if (!text) return;
    }
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    // Carry over the original's cause (or none); this also suppresses the
    // context, and the original error itself is not chained.
    PyException_SetCause(wrapped.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(wrapped.release());
}

}  // namespace quillet
