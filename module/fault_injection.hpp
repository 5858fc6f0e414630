// Test-only fault injection.  Internal faults -- a C++ exception escaping an
// entry point's body, an interpreter call that must not fail failing -- cannot
// be caused by any input, so the tests that show every entry point converts
// them into PanicException need a way to make them happen.
//
// Only a build configured with GREEKMILL_FAULT_INJECTION (never the shipped
// wheel) compiles the hooks in: the environment variable GREEKMILL_FAULT holds
// the comma-separated names of the sites that fail, read at every pass so a
// test can arm and disarm sites between calls.  In every other build the macros are the bare
// expression and cost nothing.
//
//   GM_FAULT_THROW("site")         throws std::runtime_error("injected fault: site")
//   GM_FAULT_OR("site", call(...)) fails like the call does when memory runs
//                                  out: MemoryError set, nullptr (or -1 for an
//                                  int status) returned instead of calling
//   GM_FAULT_CORE_ERROR(result)    the core result, or an OptionError in its
//                                  place (sites "core_error" and
//                                  "core_type_error"): no input makes the core
//                                  fail, yet every wrapper maps its errors
#pragma once

#if defined(GREEKMILL_FAULT_INJECTION)

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "option.hpp"
#include "python.hpp"

namespace greekmill::python::fault {

[[nodiscard]] inline bool armed(const char* site) noexcept {
    const char* sites = std::getenv("GREEKMILL_FAULT");
    if (sites == nullptr) {
        return false;
    }
    const std::size_t length = std::strlen(site);
    for (const char* p = sites; *p != '\0';) {
        const char* end = std::strchr(p, ',');
        const std::size_t n = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (n == length && std::strncmp(p, site, n) == 0) {
            return true;
        }
        p += n;
        if (*p == ',') {
            ++p;
        }
    }
    return false;
}

inline void throw_if_armed(const char* site) {
    if (armed(site)) {
        throw std::runtime_error(std::string("injected fault: ") + site);
    }
}

template <class T>
[[nodiscard]] T fail() noexcept {
    PyErr_NoMemory();
    if constexpr (std::is_pointer_v<T>) {
        return nullptr;
    } else {
        return T(-1);
    }
}

template <class T>
[[nodiscard]] Result<T> core_result(Result<T> result) {
    if (armed("core_error")) {
        return std::unexpected(OptionError::invalid_parameters("injected fault"));
    }
    if (armed("core_type_error")) {
        return std::unexpected(OptionError::invalid_option_type());
    }
    return result;
}

}  // namespace greekmill::python::fault

#define GM_FAULT_THROW(site) ::greekmill::python::fault::throw_if_armed(site)
#define GM_FAULT_OR(site, expr)                                                   \
    (::greekmill::python::fault::armed(site)                                      \
         ? ::greekmill::python::fault::fail<std::remove_cvref_t<decltype(expr)>>() \
         : (expr))
#define GM_FAULT_CORE_ERROR(result) ::greekmill::python::fault::core_result(result)

#else

#define GM_FAULT_THROW(site) static_cast<void>(0)
#define GM_FAULT_OR(site, expr) (expr)
#define GM_FAULT_CORE_ERROR(result) (result)

#endif
