// Translation of C++ exceptions into Python exceptions, and unraisable reports.
#include "errors.hpp"

#include "ref.hpp"

#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace korvo {

void set_error_from_current_exception() noexcept {
    if (PyErr_Occurred() != nullptr) return;  // the interpreter's own error wins
    try {
        throw;
    } catch (const python_error&) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {  // before runtime_error: it derives from it
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

void report_unraisable(const char* context) noexcept {
    if (PyErr_Occurred() == nullptr) return;
    PyObject* exc = PyErr_GetRaisedException();
    object name = object::steal(PyUnicode_FromString(context));
    PyErr_Clear();  // a failure to name the context must not replace the real error
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(name.ptr());
}

void report_unraisable_current_exception(const char* context) noexcept {
    set_error_from_current_exception();
    report_unraisable(context);
}

}  // namespace korvo
