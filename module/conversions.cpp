#include "conversions.hpp"

#include "errors.hpp"

namespace greekmill::python {
namespace {

bool invalid_option_type() noexcept {
    PyErr_SetString(PyExc_ValueError, "Invalid option type. Use 'call' or 'put'.");
    return false;
}

}  // namespace

bool argument_extraction_error(const char* parameter) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return false;
    }
    PyObject* type = nullptr;
    PyObject* old = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &old, &traceback);
    if (type != PyExc_TypeError) {
        // A subclass of TypeError: passed on unchanged.
        PyErr_Restore(type, old, traceback);
        return false;
    }
    PyErr_NormalizeException(&type, &old, &traceback);
    // The old exception stays reachable as the new one's __context__, with
    // the traceback that leads into the user's conversion code and its own
    // __context__ and __cause__ as they were.
    if (traceback != nullptr) {
        PyException_SetTraceback(old, traceback);
        Py_DECREF(traceback);
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %S", parameter, old);
    PyObject* replacement = nullptr;
    if (message != nullptr) {
        replacement = PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr);
        Py_DECREF(message);
    }
    if (replacement == nullptr) {
        // Building the replacement failed: that failure is what the caller
        // sees.
        Py_DECREF(type);
        Py_DECREF(old);
        return false;
    }
    PyObject* cause = PyException_GetCause(old);
    if (cause != nullptr) {
        PyException_SetCause(replacement, cause);  // steals; suppresses the context's display
    }
    PyException_SetContext(replacement, old);  // steals
    // Restored as it is: PyErr_SetObject would replace this context with the
    // exception being handled around the call (which is old's own context
    // already).
    PyErr_Restore(type, replacement, nullptr);  // steals both
    return false;
}

bool to_text(PyObject* value, const char* parameter, std::string_view& out) noexcept {
    if ((PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
        PyObject* type_name = PyType_GetQualName(Py_TYPE(value));
        if (type_name != nullptr) {
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'",
                         type_name);
            Py_DECREF(type_name);
        } else {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError,
                            "'<failed to extract type name>' object cannot be converted to "
                            "'PyString'");
        }
        return argument_extraction_error(parameter);
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (text == nullptr) {
        return argument_extraction_error(parameter);
    }
    out = std::string_view(text, static_cast<std::size_t>(length));
    return true;
}

bool parse_option_type(std::string_view text, OptionType& out) noexcept {
    // Matching is case-insensitive under the full Unicode lower-case
    // mapping, done here on ASCII bytes without building a lower-cased copy:
    // no non-ASCII character lower-cases to text made only of the ASCII
    // letters of "call" and "put" (the tests check every code point), so a
    // text with any byte >= 0x80 can never match.
    char folded[4];
    if (text.empty() || text.size() > sizeof folded) {
        return invalid_option_type();
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        folded[i] = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
    }
    const std::string_view lower(folded, text.size());
    if (lower == "call" || lower == "c") {
        out = OptionType::Call;
        return true;
    }
    if (lower == "put" || lower == "p") {
        out = OptionType::Put;
        return true;
    }
    return invalid_option_type();
}

}  // namespace greekmill::python
