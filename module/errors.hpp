// Failure reporting of the extension.  Ordinary failures are Python
// exceptions with fixed messages.  Internal faults -- conditions ordinary
// input cannot cause, such as exhausted memory while boxing a result -- are
// raised as greekmill_python.PanicException, a BaseException subclass, so a
// plain `except Exception` in user code does not swallow them.  No C++
// exception ever crosses into the interpreter.
#pragma once

#include <exception>

#include "option.hpp"
#include "python.hpp"

namespace greekmill::python {

// Raises type(text) with the exception pending now, if any, as its
// __cause__.  Always returns nullptr.
PyObject* raise_from_pending(PyObject* type, const char* text) noexcept;

// Raises PanicException(text).  A pending interpreter exception becomes its
// __cause__.  Always returns nullptr, for `return raise_panic(...)`.
PyObject* raise_panic(const char* text) noexcept;

// Drops the cached PanicException class without releasing it: called when a
// new interpreter replaces a finalised one, whose objects must never be
// touched again.  The next panic makes the class anew.
void forget_panic_type() noexcept;

// Raises ValueError with the error's display text.  Returns nullptr.
PyObject* raise_option_error(const OptionError& error) noexcept;

// Runs an entry point's body and turns any C++ exception escaping it into a
// PanicException.  Costs nothing on the success path.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
    return {};
}

}  // namespace greekmill::python
