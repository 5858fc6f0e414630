#include "binder.hpp"

#include <cstring>
#include <vector>

#include "errors.hpp"
#include "fault_injection.hpp"

namespace greekmill::python {
namespace {

// "bs_delta()" or "Class.method()", the way CPython names a callable in its
// binding errors.
std::string full_name(const FunctionDescription& d) {
    std::string name;
    if (d.cls_name != nullptr) {
        name += d.cls_name;
        name += '.';
    }
    name += d.func_name;
    name += "()";
    return name;
}

bool too_many_positional(const FunctionDescription& d, Py_ssize_t given) {
    const std::size_t n = d.positional_parameter_names.size();
    const std::size_t required = d.required_positional_parameters;
    std::string message = full_name(d) + " takes ";
    if (required != n) {
        message += "from " + std::to_string(required) + " to ";
    }
    message += std::to_string(n) + " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool unexpected_keyword(const FunctionDescription& d, PyObject* key) {
    const std::string name = full_name(d);
    // %S runs the key's __str__, which may empty the dictionary that holds
    // the only other reference to the key.
    Py_INCREF(key);
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", name.c_str(), key);
    Py_DECREF(key);
    return false;
}

bool multiple_values(const FunctionDescription& d, std::string_view parameter) {
    const std::string message = full_name(d) + " got multiple values for argument '" +
                                std::string(parameter) + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool missing_required(const FunctionDescription& d, PyObject* const* slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < d.required_positional_parameters; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(d.positional_parameter_names[i]);
        }
    }
    std::string message = full_name(d) + " missing " + std::to_string(missing.size()) +
                          " required positional " +
                          (missing.size() == 1 ? "argument: " : "arguments: ");
    push_parameter_list(message, missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

std::string_view parameter_name(const FunctionDescription& d, Py_ssize_t slot) {
    const auto i = static_cast<std::size_t>(slot);
    const std::size_t n = d.positional_parameter_names.size();
    return i < n ? d.positional_parameter_names[i] : d.keyword_only_parameters[i - n];
}

// The byte comparison written out: parameter names are a few bytes long, and
// string_view's == calls memcmp for every candidate of the same length, which
// costs more than the comparison itself on the keyword path of every call.
[[nodiscard]] inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// Index of the parameter named `wanted` among names[first ..), or -1.
Py_ssize_t find_parameter(std::span<const std::string_view> names, std::size_t first,
                          std::string_view wanted) noexcept {
    for (std::size_t i = first; i < names.size(); ++i) {
        if (same_bytes(names[i], wanted)) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// The interned names of d's positional parameters, made on first need; null
// when d keeps none or they cannot be made now (the byte comparison then
// serves alone, and the next call tries again).
PyObject* const* interned_names(const FunctionDescription& d) noexcept {
    PyObject** names = d.interned_positional_names;
    const std::size_t n = d.positional_parameter_names.size();
    if (names == nullptr || n == 0) {
        return nullptr;
    }
    if (names[n - 1] != nullptr) {  // filled in order: the last one is made last
        return names;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (names[i] != nullptr) {
            continue;
        }
        const std::string_view name = d.positional_parameter_names[i];
        PyObject* text =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        PyUnicode_InternInPlace(&text);
        names[i] = text;  // kept for the life of the process
    }
    return names;
}

// The slot a keyword binds to, or -1.  Names are compared as UTF-8 bytes:
// keyword-only names first (their slots follow the positional ones), then
// the positional names; a positional-only name never matches a keyword, and
// a key that cannot be encoded (a lone surrogate) matches nothing.  The
// identity test in front gives the byte comparison's answer (parameter names
// are distinct, and an identical object has identical bytes), only sooner.
Py_ssize_t keyword_slot(const FunctionDescription& d, PyObject* const* names,
                        PyObject* key) noexcept {
    if (names != nullptr) {
        const std::size_t n = d.positional_parameter_names.size();
        for (std::size_t i = d.positional_only_parameters; i < n; ++i) {
            if (names[i] == key) {
                return static_cast<Py_ssize_t>(i);
            }
        }
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view wanted(text, static_cast<std::size_t>(length));
    const Py_ssize_t keyword_only = find_parameter(d.keyword_only_parameters, 0, wanted);
    if (keyword_only >= 0) {
        return keyword_only + static_cast<Py_ssize_t>(d.positional_parameter_names.size());
    }
    return find_parameter(d.positional_parameter_names, d.positional_only_parameters, wanted);
}

}  // namespace

bool extract_arguments_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                                  PyObject** slots) noexcept {
    return guarded([&]() -> bool {
        GM_FAULT_THROW("bind");
        const auto n = static_cast<Py_ssize_t>(d.positional_parameter_names.size());
        const Py_ssize_t given = PyTuple_Size(args);
        if (given < 0) {
            return false;
        }
        const Py_ssize_t bound = given < n ? given : n;
        for (Py_ssize_t i = 0; i < bound; ++i) {
            slots[i] = Py_NewRef(PyTuple_GetItem(args, i));
        }
        if (given > n) {
            return too_many_positional(d, given);
        }

        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            PyObject* const* names = interned_names(d);
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                const Py_ssize_t index = keyword_slot(d, names, key);
                if (index < 0) {
                    return unexpected_keyword(d, key);
                }
                if (slots[index] != nullptr) {
                    return multiple_values(d, parameter_name(d, index));
                }
                slots[index] = Py_NewRef(value);
            }
        }

        const auto required = static_cast<Py_ssize_t>(d.required_positional_parameters);
        if (given < required) {
            for (Py_ssize_t i = given; i < required; ++i) {
                if (slots[i] == nullptr) {
                    return missing_required(d, slots);
                }
            }
        }
        return true;
    });
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                message += ',';
            }
            message += i == names.size() - 1 ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

}  // namespace greekmill::python
