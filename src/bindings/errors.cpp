#include "bindings/errors.hpp"

#include "core/durable_files.hpp"

#include <cerrno>
#include <cstdarg>
#include <stdexcept>

namespace corvane::native {

void raise_error(const py::handle &type, const py::handle &message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    raise_pending();
}

void raise_error(const py::handle &type, const char *message) {
    PyErr_SetString(type.ptr(), message);
    raise_pending();
}

void raise_formatted(const py::handle &type, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type.ptr(), format, arguments);
    va_end(arguments);
    raise_pending();
}

void raise_with_cause(const py::handle &exception, const py::handle &cause) {
    // As `raise exception from cause` inside the handler of cause sets them.
    exception.attr("__context__") = cause;
    exception.attr("__cause__") = cause;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    raise_pending();
}

void raise_pending() { throw py::error_already_set(); }

void raise_core_failure(const std::exception &failure) {
    if (dynamic_cast<const py::builtin_exception *>(&failure) != nullptr) {
        // pybind11's own errors carry their Python type already.
        throw;
    }
    if (const auto *call = dynamic_cast<const core::SystemCallError *>(&failure)) {
        errno = call->error_number;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, call->path.c_str());
        raise_pending();
    }
    if (dynamic_cast<const core::LockTimeout *>(&failure) != nullptr) {
        raise_error(PyExc_TimeoutError, failure.what());
    }
    if (dynamic_cast<const core::WaitInterrupted *>(&failure) != nullptr) {
        // The interpreter's own exception is pending when a signal handler raised it.
        if (!PyErr_Occurred()) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
        raise_pending();
    }
    if (dynamic_cast<const std::invalid_argument *>(&failure) != nullptr) {
        raise_error(PyExc_ValueError, failure.what());
    }
    if (dynamic_cast<const std::runtime_error *>(&failure) != nullptr) {
        raise_error(PyExc_RuntimeError, failure.what());
    }
    throw;
}

}  // namespace corvane::native
