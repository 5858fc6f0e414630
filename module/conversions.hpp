// Conversion of bound argument objects to the core's plain values.  Each
// returns false with a Python exception set when the value cannot be
// converted; a TypeError is re-worded to name the parameter.
#pragma once

#include <string_view>

#include "option.hpp"
#include "python.hpp"

namespace greekmill::python {

// Re-raises the pending conversion error of `parameter`: a TypeError (the
// class itself, not a subclass) becomes TypeError("argument 'p': <old
// message>") with the old exception's __cause__, and the old exception, with
// its traceback, as its __context__; anything else is left as it is.  Always
// returns false.
bool argument_extraction_error(const char* parameter) noexcept;

// Any object with a float or index conversion: float, int, bool, numpy
// scalars, ...  Ints too large for a double raise OverflowError.  Inline:
// it runs six times in every call, and only its failure needs more than a
// few instructions.
[[nodiscard]] inline bool to_double(PyObject* value, const char* parameter, double& out) noexcept {
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred() != nullptr) [[unlikely]] {
        return argument_extraction_error(parameter);
    }
    out = converted;
    return true;
}

// A str, or an instance of a str subclass, read as UTF-8.  The text is
// borrowed from the str object and valid while it is alive.
[[nodiscard]] bool to_text(PyObject* value, const char* parameter, std::string_view& out) noexcept;

// "call", "c", "put" or "p" in any mixture of case, nothing else: no blanks
// are trimmed.  Raises ValueError "Invalid option type. Use 'call' or 'put'."
[[nodiscard]] bool parse_option_type(std::string_view text, OptionType& out) noexcept;

}  // namespace greekmill::python
