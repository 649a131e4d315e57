// C++ <-> Python error boundary: every C++ entry called by the interpreter goes through guard().
#pragma once

#include <Python.h>

#include <exception>
#include <type_traits>

namespace korvo {

// Thrown when a Python exception is already set; the boundary leaves it in place.
struct python_error {};

// Throws python_error when the interpreter reports a failure (null / -1) with an exception set.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw python_error{};
    return result;
}
inline int check(int result) {
    if (result == -1 && PyErr_Occurred() != nullptr) throw python_error{};
    return result;
}

// Sets the Python exception for the exception being handled (call inside a catch block).
// A pending Python exception is left as it is; std exceptions follow the table in errors.cpp;
// anything else becomes RuntimeError "Unknown exception".
void set_error_from_current_exception() noexcept;

// Runs fn; on any C++ exception sets the Python error and returns failure_value (given first,
// so that the body reads as the block it is).
// No exception leaves this function.
template <class Fn>
std::invoke_result_t<Fn> guard(std::type_identity_t<std::invoke_result_t<Fn>> failure_value, Fn&& fn) noexcept {
    try {
        return fn();
    } catch (...) {
        set_error_from_current_exception();
        return failure_value;
    }
}

// Keeps the pending exception aside while cleanup code runs Python, and puts it back when the
// scope ends; whatever the cleanup raised meanwhile is dropped.
class saved_error {
public:
    saved_error() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~saved_error() { PyErr_SetRaisedException(exc_); }
    saved_error(const saved_error&) = delete;
    saved_error& operator=(const saved_error&) = delete;

private:
    PyObject* exc_;
};

// Reports the pending exception (or the C++ exception being handled) through
// sys.unraisablehook with the qualified function name as context, for paths that have
// no Python caller. Needs the interpreter lock. Never raises.
void report_unraisable(const char* context) noexcept;
void report_unraisable_current_exception(const char* context) noexcept;

}  // namespace korvo
