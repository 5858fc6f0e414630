// The one shape of every exported function: bind -> convert -> one core call
// -> box.  A function is an instance of `call` for its description and core
// operation; adding a function is adding a row to the module's tables.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "binder.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "fault_injection.hpp"
#include "option.hpp"
#include "py_greeks.hpp"
#include "python.hpp"

namespace greekmill::python {

inline constexpr std::array<std::string_view, 7> kParametersWithType{
    "s", "k", "t", "r", "sigma", "q", "option_type"};
inline constexpr std::array<std::string_view, 6> kParametersWithoutType{
    "s", "k", "t", "r", "sigma", "q"};
// The C strings the conversion messages name, in parameter order.
inline constexpr std::array<const char*, 7> kParameterNames{
    "s", "k", "t", "r", "sigma", "q", "option_type"};

// The binder's cache of the interned names, one per parameter list.
inline PyObject* interned_parameters_with_type[kParametersWithType.size()] = {};
inline PyObject* interned_parameters_without_type[kParametersWithoutType.size()] = {};

// Empties those caches without releasing the names: called when a new
// interpreter replaces a finalised one.  Its interned strings may have been
// freed with it (3.12 and later free them even when referenced), and an
// address reused by a new key would match by identity.
inline void forget_interned_parameter_names() noexcept {
    for (PyObject*& name : interned_parameters_with_type) {
        name = nullptr;
    }
    for (PyObject*& name : interned_parameters_without_type) {
        name = nullptr;
    }
}

// s, k, t, r and sigma are required; q and option_type have defaults.
inline constexpr std::size_t kRequiredParameters = 5;

[[nodiscard]] constexpr FunctionDescription describe(const char* name, bool has_option_type) {
    return {
        name,
        nullptr,
        has_option_type ? std::span<const std::string_view>(kParametersWithType)
                        : std::span<const std::string_view>(kParametersWithoutType),
        0,
        kRequiredParameters,
        {},
        has_option_type ? interned_parameters_with_type : interned_parameters_without_type,
    };
}

[[nodiscard]] inline PyObject* box(const Result<double>& result) noexcept {
    if (!result) {
        return raise_option_error(result.error());
    }
    PyObject* value = GM_FAULT_OR("result_float", PyFloat_FromDouble(*result));
    if (value == nullptr) {
        return raise_panic("could not create a float for the result");
    }
    return value;
}

[[nodiscard]] inline PyObject* box(const Result<Greeks>& result) noexcept {
    if (!result) {
        return raise_option_error(result.error());
    }
    return new_greeks(*result);
}

template <auto CoreOp>
inline constexpr bool kTakesOptionType =
    std::is_invocable_v<decltype(CoreOp), double, double, double, double, double, double,
                        OptionType>;

// The entry point the interpreter calls (METH_VARARGS | METH_KEYWORDS).
template <const FunctionDescription& Description, auto CoreOp>
PyObject* call(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    constexpr bool has_option_type = kTakesOptionType<CoreOp>;
    constexpr std::size_t parameters = Description.positional_parameter_names.size();
    static_assert(parameters == (has_option_type ? 7 : 6),
                  "the parameter list must match the core operation");
    static_assert(Description.keyword_only_parameters.empty());

    return guarded([&]() -> PyObject* {
        // The call owns its arguments from binding to return: user code run
        // by a conversion cannot free one that is still to be read.
        BoundArguments<parameters> slots;
        if (!extract_arguments_tuple_dict(Description, args, kwargs, slots.slots())) {
            return nullptr;
        }
        GM_FAULT_THROW("call");
        // Every conversion happens, in parameter order, before the option
        // type text is interpreted: a bad number is reported first.
        std::array<double, 6> x{};
        for (std::size_t i = 0; i < kRequiredParameters; ++i) {
            if (!to_double(slots[i], kParameterNames[i], x[i])) {
                return nullptr;
            }
        }
        if (slots[5] != nullptr && !to_double(slots[5], kParameterNames[5], x[5])) {
            return nullptr;
        }
        if constexpr (has_option_type) {
            OptionType type = OptionType::Call;  // the default text "call"
            if (slots[6] != nullptr) {
                std::string_view text;
                if (!to_text(slots[6], kParameterNames[6], text) ||
                    !parse_option_type(text, type)) {
                    return nullptr;
                }
            }
            return box(GM_FAULT_CORE_ERROR(CoreOp(x[0], x[1], x[2], x[3], x[4], x[5], type)));
        } else {
            return box(GM_FAULT_CORE_ERROR(CoreOp(x[0], x[1], x[2], x[3], x[4], x[5])));
        }
    });
}

// The method definition of one function: its name, entry point, calling
// convention and docstring (text signature first).
template <const FunctionDescription& Description, auto CoreOp>
[[nodiscard]] constexpr PyMethodDef method(const char* doc) {
    PyCFunctionWithKeywords entry = call<Description, CoreOp>;
    return {Description.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace greekmill::python
