#include "errors.hpp"

#include <string>

#include "fault_injection.hpp"

namespace greekmill::python {
namespace {

// Created on first use and kept while the interpreter that made it lives.
PyObject* cached_panic_type = nullptr;

PyObject* panic_type() noexcept {
    PyObject*& type = cached_panic_type;
    if (type == nullptr) {
        type = GM_FAULT_OR("panic_type", PyErr_NewExceptionWithDoc(
            "greekmill_python.PanicException",
            "An internal fault of greekmill_python that ordinary input cannot cause.\n\n"
            "Derives from BaseException so that `except Exception` does not hide it.",
            PyExc_BaseException, nullptr));
    }
    return type;
}

}  // namespace

void forget_panic_type() noexcept {
    cached_panic_type = nullptr;
}

PyObject* raise_from_pending(PyObject* type, const char* text) noexcept {
    PyObject* cause_type = nullptr;
    PyObject* cause = nullptr;
    PyObject* cause_tb = nullptr;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    // The cause is instantiated now, while no exception is pending: creating
    // it after the new one is set would fail with a SystemError that replaces
    // both.
    if (cause_type != nullptr) {
        PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
        if (cause_tb != nullptr && cause != nullptr) {
            PyException_SetTraceback(cause, cause_tb);
        }
    }
    PyErr_SetString(type, text);
    if (cause != nullptr) {
        PyObject* error_type = nullptr;
        PyObject* error = nullptr;
        PyObject* error_tb = nullptr;
        PyErr_Fetch(&error_type, &error, &error_tb);
        PyErr_NormalizeException(&error_type, &error, &error_tb);
        if (error != nullptr) {
            PyException_SetCause(error, cause);  // steals the reference
            cause = nullptr;
        }
        PyErr_Restore(error_type, error, error_tb);
    }
    Py_XDECREF(cause_type);
    Py_XDECREF(cause);
    Py_XDECREF(cause_tb);
    return nullptr;
}

PyObject* raise_panic(const char* text) noexcept {
    // The exception class is made (on first use) with nothing pending.
    PyObject* cause_type = nullptr;
    PyObject* cause = nullptr;
    PyObject* cause_tb = nullptr;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    PyObject* type = panic_type();
    if (type == nullptr) {
        // Not even the exception class could be made: the interpreter's own
        // exception (a MemoryError) is the best report left.
        Py_XDECREF(cause_type);
        Py_XDECREF(cause);
        Py_XDECREF(cause_tb);
        return nullptr;
    }
    PyErr_Restore(cause_type, cause, cause_tb);
    return raise_from_pending(type, text);
}

PyObject* raise_option_error(const OptionError& error) noexcept {
    return guarded([&]() -> PyObject* {
        const std::string text = error.message();
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return nullptr;
    });
}

}  // namespace greekmill::python
