// How the glue raises Python exceptions: every error leaves C++ as py::error_already_set with the
// Python exception already set, so handlers on the way (status lines, pools, locks) see one kind of
// failure and callers see the exact type and message. The core's own exceptions (plain C++) become
// Python ones in one place, raise_core_failure.
//
// Everything here must be called with the GIL held, except the work given to without_gil.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace corvane::native {

namespace py = pybind11;

// type(message), raised: `type` is an exception class (PyExc_ValueError, pickle.UnpicklingError, ...).
[[noreturn]] void raise_error(const py::handle &type, const py::handle &message);
[[noreturn]] void raise_error(const py::handle &type, const char *message);
// The same with a message built as PyErr_Format builds it ("%.200s" of a type's name and the like).
[[noreturn]] void raise_formatted(const py::handle &type, const char *format, ...);
// `exception`, an exception instance, raised with `cause` as its __cause__ and __context__.
[[noreturn]] void raise_with_cause(const py::handle &exception, const py::handle &cause);
// The exception that a failed call of Python's C API left set.
[[noreturn]] void raise_pending();

// `failure`, the exception being handled, raised as the Python exception a caller of the store
// expects: SystemCallError as the OSError subclass of its errno, naming the file; LockTimeout as
// TimeoutError; WaitInterrupted as KeyboardInterrupt (or the exception a signal handler raised);
// std::invalid_argument as ValueError and any other std::runtime_error as RuntimeError. Anything
// else is thrown on unchanged. Call it only from a catch block.
[[noreturn]] void raise_core_failure(const std::exception &failure);

// work(), its core failures raised as Python exceptions.
template <typename Work>
auto raising_core_failures(Work &&work) -> decltype(work()) {
    try {
        return work();
    } catch (const py::error_already_set &) {
        throw;
    } catch (const std::exception &failure) {
        raise_core_failure(failure);
    }
}

// work() run with the GIL released, so that a thread waiting on a lock or a disk never stalls the
// others; its core failures are raised once the GIL is back.
template <typename Work>
auto without_gil(Work &&work) -> decltype(work()) {
    return raising_core_failures([&]() -> decltype(work()) {
        py::gil_scoped_release release;
        return work();
    });
}

}  // namespace corvane::native
