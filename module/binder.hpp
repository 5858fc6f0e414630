// Argument binding with Python's own rules and messages: positional
// arguments fill the parameters in order, keywords are matched by name, and
// the first binding error raises a TypeError worded as CPython words it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "python.hpp"

namespace greekmill::python {

// The constant description of one Python function, the only thing the
// binder reads.  Defaults are not part of it: the wrapper applies them.
struct FunctionDescription {
    const char* func_name;
    const char* cls_name;  // nullptr for a module-level function
    std::span<const std::string_view> positional_parameter_names;
    std::size_t positional_only_parameters;
    std::size_t required_positional_parameters;
    std::span<const std::string_view> keyword_only_parameters;
    // Optional (nullptr for none): one slot per positional parameter, null
    // until the binder fills it with the interned str of that name on first
    // need and keeps it for the life of the process.  A keyword written
    // literally at a call site arrives as that very object, so identity
    // settles the match before any text is read; other keys take the byte
    // comparison, with the same result.
    PyObject** interned_positional_names;
};

// Fills the slots, one per positional parameter and then one per keyword-only
// parameter, with strong references to the bound arguments; absent ones stay
// null, so the caller zero-initialises them.  Whatever the outcome, every
// slot it filled owns its reference and the caller releases them all
// (BoundArguments does): the conversions that follow run user code
// (__float__, __index__), which may clear or refill the keyword dictionary
// or drop the last other reference to an argument, so a borrowed reference
// from the caller's containers would not survive them.  Returns false with a
// TypeError set on a binding error.  Nothing is allocated unless an error is
// being raised.
[[nodiscard]] bool extract_arguments_tuple_dict(const FunctionDescription& description,
                                                PyObject* args, PyObject* kwargs,
                                                PyObject** slots) noexcept;

// The slots of one call: null-initialised, and every reference in them
// released when the call's scope ends, on every path out of it (returns,
// errors and unwinding alike).  Releasing the last reference to an argument
// may run its finaliser; the interpreter keeps a pending exception across it.
template <std::size_t N>
class BoundArguments {
public:
    BoundArguments() noexcept = default;
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;
    ~BoundArguments() {
        for (PyObject* argument : slots_) {
            Py_XDECREF(argument);
        }
    }

    [[nodiscard]] PyObject** slots() noexcept { return slots_; }
    [[nodiscard]] PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

private:
    PyObject* slots_[N] = {};
};

// Appends 'a', 'a' and 'b', or 'a', 'b', and 'c' to message.
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

}  // namespace greekmill::python
