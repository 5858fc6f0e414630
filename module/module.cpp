// greekmill_python: module entry and registration.
//
// Read top to bottom: the docstrings, the function tables (one row per
// exported function), registration, and the init function.  Single-phase
// initialisation, main interpreter only: the module object is made once per
// life of the main interpreter and every later import returns it; a
// sub-interpreter is refused, before or after the main interpreter imports.

#include <cstdint>

#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"
#include "errors.hpp"
#include "fault_injection.hpp"
#include "py_greeks.hpp"
#include "python.hpp"
#include "wrappers.hpp"

namespace greekmill::python {
namespace {

// ---------------------------------------------------------------------------
// Docstrings.  The first line is the text signature that the interpreter
// strips into __text_signature__ (so inspect.signature works); __doc__ starts
// at the summary.

#define GM_SIG6(name) name "(s, k, t, r, sigma, q=0.0)"
#define GM_SIG7(name) name "(s, k, t, r, sigma, q=0.0, option_type=\"call\")"
#define GM_ARGS_SKT                                          \
    "    s: Current price of the underlying asset\n"         \
    "    k: Strike price of the option\n"                    \
    "    t: Time to expiration in years\n"
#define GM_ARGS_RSQ                                          \
    "    r: Risk-free interest rate\n"                       \
    "    sigma: Volatility of the underlying asset\n"        \
    "    q: Dividend yield\n"
#define GM_ARG_TYPE "    option_type: 'call' or 'put'\n"
#define GM_ARGS6 GM_ARGS_SKT GM_ARGS_RSQ
#define GM_ARGS7 GM_ARGS_SKT GM_ARGS_RSQ GM_ARG_TYPE
#define GM_DOC(signature, summary, args, returns) \
    signature "\n--\n\n" summary "\n\nArgs:\n" args "\nReturns:\n    " returns

constexpr const char* kModuleDoc =
    "Python module for option pricing Greeks calculations.\n"
    "\n"
    "This module provides functions for calculating option Greeks using:\n"
    "- Black-Scholes model (European options): bs_* functions\n"
    "- Bjerksund-Stensland model (American options): am_* functions";

constexpr const char* kBsDeltaDoc =
    GM_DOC(GM_SIG7("bs_delta"), "Calculate the delta of a European option using Black-Scholes.",
           GM_ARGS_SKT "    r: Risk-free interest rate (e.g., 0.05 for 5%)\n"
                       "    sigma: Volatility of the underlying asset (e.g., 0.2 for 20%)\n"
                       "    q: Dividend yield (e.g., 0.01 for 1%)\n" GM_ARG_TYPE,
           "The delta of the option");
constexpr const char* kBsGammaDoc =
    GM_DOC(GM_SIG6("bs_gamma"), "Calculate the gamma of a European option using Black-Scholes.",
           GM_ARGS6, "The gamma of the option (same for calls and puts)");
constexpr const char* kBsThetaDoc =
    GM_DOC(GM_SIG7("bs_theta"), "Calculate the theta of a European option using Black-Scholes.",
           GM_ARGS7, "The theta of the option (per day)");
constexpr const char* kBsVegaDoc =
    GM_DOC(GM_SIG6("bs_vega"), "Calculate the vega of a European option using Black-Scholes.",
           GM_ARGS6, "The vega of the option (same for calls and puts)");
constexpr const char* kBsRhoDoc =
    GM_DOC(GM_SIG7("bs_rho"), "Calculate the rho of a European option using Black-Scholes.",
           GM_ARGS7, "The rho of the option (per 1% change in interest rate)");
constexpr const char* kBsGreeksDoc =
    GM_DOC(GM_SIG7("bs_greeks"), "Calculate all Greeks for a European option using Black-Scholes.",
           GM_ARGS7, "A Greeks object with delta, gamma, theta, vega, and rho");
constexpr const char* kAmPriceDoc = GM_DOC(
    GM_SIG7("am_price"), "Calculate the price of an American option using Bjerksund-Stensland 2002.",
    GM_ARGS7, "The price of the American option");
constexpr const char* kAmDeltaDoc = GM_DOC(
    GM_SIG7("am_delta"), "Calculate the delta of an American option using Bjerksund-Stensland.",
    GM_ARGS7, "The delta of the American option");
constexpr const char* kAmGammaDoc = GM_DOC(
    GM_SIG7("am_gamma"), "Calculate the gamma of an American option using Bjerksund-Stensland.",
    GM_ARGS7, "The gamma of the American option");
constexpr const char* kAmThetaDoc = GM_DOC(
    GM_SIG7("am_theta"), "Calculate the theta of an American option using Bjerksund-Stensland.",
    GM_ARGS7, "The theta of the American option (per day)");
constexpr const char* kAmVegaDoc = GM_DOC(
    GM_SIG7("am_vega"), "Calculate the vega of an American option using Bjerksund-Stensland.",
    GM_ARGS7, "The vega of the American option");
constexpr const char* kAmRhoDoc = GM_DOC(
    GM_SIG7("am_rho"), "Calculate the rho of an American option using Bjerksund-Stensland.",
    GM_ARGS7, "The rho of the American option (per 1% change in interest rate)");
constexpr const char* kAmGreeksDoc = GM_DOC(
    GM_SIG7("am_greeks"),
    "Calculate all Greeks for an American option using Bjerksund-Stensland.", GM_ARGS7,
    "A Greeks object with delta, gamma, theta, vega, and rho");

// ---------------------------------------------------------------------------
// Function tables, in registration order.

namespace bs = greekmill::black_scholes;
namespace am = greekmill::bjerksund_stensland;

constexpr FunctionDescription kBsDelta = describe("bs_delta", true);
constexpr FunctionDescription kBsGamma = describe("bs_gamma", false);
constexpr FunctionDescription kBsTheta = describe("bs_theta", true);
constexpr FunctionDescription kBsVega = describe("bs_vega", false);
constexpr FunctionDescription kBsRho = describe("bs_rho", true);
constexpr FunctionDescription kBsGreeks = describe("bs_greeks", true);
constexpr FunctionDescription kAmPrice = describe("am_price", true);
constexpr FunctionDescription kAmDelta = describe("am_delta", true);
constexpr FunctionDescription kAmGamma = describe("am_gamma", true);
constexpr FunctionDescription kAmTheta = describe("am_theta", true);
constexpr FunctionDescription kAmVega = describe("am_vega", true);
constexpr FunctionDescription kAmRho = describe("am_rho", true);
constexpr FunctionDescription kAmGreeks = describe("am_greeks", true);

// Long-lived records: the function objects point into this table for the
// rest of the process.
PyMethodDef functions[] = {
    method<kBsDelta, bs::delta>(kBsDeltaDoc),
    method<kBsGamma, bs::gamma>(kBsGammaDoc),
    method<kBsTheta, bs::theta>(kBsThetaDoc),
    method<kBsVega, bs::vega>(kBsVegaDoc),
    method<kBsRho, bs::rho>(kBsRhoDoc),
    method<kBsGreeks, bs::all_greeks>(kBsGreeksDoc),
    method<kAmPrice, am::price>(kAmPriceDoc),
    method<kAmDelta, am::delta>(kAmDeltaDoc),
    method<kAmGamma, am::gamma>(kAmGammaDoc),
    method<kAmTheta, am::theta>(kAmThetaDoc),
    method<kAmVega, am::vega>(kAmVegaDoc),
    method<kAmRho, am::rho>(kAmRhoDoc),
    method<kAmGreeks, am::all_greeks>(kAmGreeksDoc),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "greekmill_python",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// ---------------------------------------------------------------------------
// Registration.

bool set_type_error(const char* format_with_type, PyObject* value) noexcept {
    PyObject* type_name = PyType_GetQualName(Py_TYPE(value));
    if (type_name == nullptr) {
        return false;
    }
    PyErr_Format(PyExc_TypeError, format_with_type, type_name);
    Py_DECREF(type_name);
    return false;
}

// Appends `name` to the module's __all__ (creating the list on first use)
// and sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) noexcept {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        set_type_error("'%U' object cannot be converted to 'PyList'", all);
        Py_DECREF(all);
        return false;
    }
    const int appended = GM_FAULT_OR("all_append", PyList_Append(all, name));
    Py_DECREF(all);
    if (appended < 0) {
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) noexcept {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        return false;
    }
    PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
    Py_DECREF(module_name);
    if (function == nullptr) {
        return false;
    }
    bool ok = false;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    if (name != nullptr) {
        if ((PyType_GetFlags(Py_TYPE(name)) & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
            set_type_error("'%U' object cannot be converted to 'PyString'", name);
        } else {
            ok = add_to_module(module, name, function);
        }
        Py_DECREF(name);
    }
    Py_DECREF(function);
    return ok;
}

bool add_greeks_class(PyObject* module) noexcept {
    PyTypeObject* type = greeks_type();
    if (type == nullptr) {
        raise_from_pending(PyExc_RuntimeError,
                           "An error occurred while initializing class PyGreeks");
        return false;
    }
    PyObject* name = PyUnicode_FromString("PyGreeks");
    if (name == nullptr) {
        return false;
    }
    const bool ok = add_to_module(module, name, reinterpret_cast<PyObject*>(type));
    Py_DECREF(name);
    return ok;
}

// Private (not in __all__): only pickle calls it, through PyGreeks.__reduce__.
bool add_greeks_reconstructor(PyObject* module) noexcept {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        return false;
    }
    PyObject* function = PyCMethod_New(rebuild_greeks_method(), module, module_name, nullptr);
    Py_DECREF(module_name);
    if (function == nullptr) {
        return false;
    }
    const bool ok = PyObject_SetAttrString(module, kRebuildGreeksName, function) == 0;
    Py_DECREF(function);
    return ok;
}

PyObject* build_module() noexcept {
    PyObject* module = PyModule_Create2(&module_def, 3);
    if (module == nullptr) {
        return nullptr;
    }
    for (PyMethodDef& def : functions) {
        if (!add_function(module, &def)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (!add_greeks_class(module) || !add_greeks_reconstructor(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// CPython numbers interpreters in order of creation, from 0: the main
// interpreter, the first one Py_Initialize makes, is 0 in every life of the
// runtime, including one started again after Py_FinalizeEx.
constexpr std::int64_t kMainInterpreter = 0;

// The key of the module's entry in the main interpreter's state dictionary
// (PyInterpreterState_GetDict, private to C code): absent until the first
// import attempt of this interpreter, None while no attempt has succeeded,
// then the module.  The dictionary dies with the interpreter, so an absent
// entry tells a first import from one in a new interpreter after
// Py_FinalizeEx, whose cached objects belong to the finalised one.
constexpr const char* kStateKey = "greekmill_python.module";

void forget_objects_of_a_finalised_interpreter() noexcept {
    forget_greeks_type();
    forget_panic_type();
    forget_interned_parameter_names();
}

PyObject* init() {
    GM_FAULT_THROW("init");
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        return nullptr;
    }
    if (id != kMainInterpreter) {
        // Checked before anything is made or cached: a refused import leaves
        // nothing behind, and the main interpreter imports as if it had not
        // happened.
        PyErr_SetString(PyExc_ImportError,
                        "greekmill_python does not support sub-interpreters: only the main "
                        "interpreter can import it");
        return nullptr;
    }
    PyObject* state = PyInterpreterState_GetDict(interpreter);
    if (state == nullptr) {  // no exception is set in this case
        return PyErr_NoMemory();
    }
    PyObject* key = PyUnicode_FromString(kStateKey);
    if (key == nullptr) {
        return nullptr;
    }
    PyObject* entry = PyDict_GetItemWithError(state, key);  // borrowed
    if (entry == nullptr && PyErr_Occurred() == nullptr) {
        // The first attempt in this interpreter: whatever is cached was made
        // by a finalised one.
        forget_objects_of_a_finalised_interpreter();
        if (PyDict_SetItem(state, key, Py_None) == 0) {
            entry = Py_None;
        }
    }
    PyObject* module = nullptr;
    if (entry == Py_None) {
        module = build_module();
        if (module != nullptr && PyDict_SetItem(state, key, module) < 0) {
            Py_CLEAR(module);
        }
    } else if (entry != nullptr) {
        module = Py_NewRef(entry);
    }
    Py_DECREF(key);
    return module;
}

}  // namespace
}  // namespace greekmill::python

PyMODINIT_FUNC PyInit_greekmill_python(void) {
    return greekmill::python::guarded([] { return greekmill::python::init(); });
}
