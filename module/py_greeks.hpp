// PyGreeks: the immutable result object of bs_greeks and am_greeks.
#pragma once

#include "option.hpp"
#include "python.hpp"

namespace greekmill::python {

// The type object, created from its PyType_Spec on first need and kept while
// the interpreter that made it lives.  Returns a borrowed reference, or
// nullptr with an exception set if the interpreter could not create it.
PyTypeObject* greeks_type() noexcept;

// Drops the cached type without releasing it: called when a new interpreter
// replaces a finalised one, whose objects must never be touched again.
void forget_greeks_type() noexcept;

// The module's private reconstructor of pickled instances, registered as
// greekmill_python._rebuild_greeks (outside __all__); PyGreeks.__reduce__
// names it.  It takes exactly five floats.
inline constexpr const char* kRebuildGreeksName = "_rebuild_greeks";
PyMethodDef* rebuild_greeks_method() noexcept;

// A new PyGreeks reference holding the record's fields, or nullptr with a
// PanicException set.
PyObject* new_greeks(const Greeks& greeks) noexcept;

}  // namespace greekmill::python
