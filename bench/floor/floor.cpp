// greekmill_bench_floor: the floor of a call of greekmill's shape.  Built for
// the benchmark only (bench/run.sh); never installed, never in __all__ of
// greekmill_python.
//
// Both functions use the calling convention of the real module
// (METH_VARARGS | METH_KEYWORDS, limited API 3.11) and its parameter list
// (s, k, t, r, sigma, q=0.0, option_type="call").  They bind by hand as
// cheaply as a careful C programmer would: tuple items by index, keywords by
// identity with the interned parameter names (a byte comparison of their
// UTF-8 text for any other key), every number through PyFloat_AsDouble, the
// option-type text matched on ASCII bytes.  Errors raise a bare TypeError/ValueError without CPython's wording:
// the floor only has to be right on the success path.
//
//   zero(...)   binds, converts and returns 0.0: the cost of the call itself.
//   delta(...)  binds, converts and returns the Black-Scholes delta, computed
//               inline with the same formula as the core.
//
// Two more functions are not floors: core_ns(case, n) times n calls of a core
// operation inside this process (CPU time), so that the Python benchmark can
// take "the core's own cost" in the same interleaved rounds as everything
// else; core_cases() names the cases.

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

#include "bjerksund_stensland.hpp"
#include "black_scholes.hpp"

namespace {

constexpr int kParameters = 7;
constexpr const char* kNames[kParameters] = {"s", "k", "t", "r", "sigma", "q", "option_type"};
constexpr std::size_t kNameLengths[kParameters] = {1, 1, 1, 1, 5, 1, 11};

// The interned str objects of the names, made at import: a keyword written
// literally at a call site arrives as that very object, so the cheapest
// binding compares identities first and reads the text only for other keys.
PyObject* interned[kParameters] = {};

struct Inputs {
    double x[6];
    bool put;
};

bool fail(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    return false;
}

bool bind(PyObject* args, PyObject* kwargs, Inputs& in) {
    PyObject* slots[kParameters] = {};
    const Py_ssize_t given = PyTuple_Size(args);
    if (given > kParameters) {
        return fail(PyExc_TypeError, "too many arguments");
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[i] = PyTuple_GetItem(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int found = -1;
            for (int i = 0; i < kParameters; ++i) {
                if (key == interned[i]) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                Py_ssize_t length = 0;
                const char* text = PyUnicode_AsUTF8AndSize(key, &length);
                if (text == nullptr) {
                    return false;
                }
                for (int i = 0; i < kParameters; ++i) {
                    if (static_cast<std::size_t>(length) == kNameLengths[i] &&
                        std::memcmp(text, kNames[i], kNameLengths[i]) == 0) {
                        found = i;
                        break;
                    }
                }
            }
            if (found < 0 || slots[found] != nullptr) {
                return fail(PyExc_TypeError, "bad keyword");
            }
            slots[found] = value;
        }
    }
    for (int i = 0; i < 6; ++i) {
        if (slots[i] == nullptr) {
            if (i < 5) {
                return fail(PyExc_TypeError, "missing argument");
            }
            in.x[i] = 0.0;
            continue;
        }
        in.x[i] = PyFloat_AsDouble(slots[i]);
        if (in.x[i] == -1.0 && PyErr_Occurred() != nullptr) {
            return false;
        }
    }
    in.put = false;
    if (slots[6] != nullptr) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(slots[6], &length);
        if (text == nullptr) {
            return false;
        }
        char folded[4] = {};
        if (length < 1 || length > 4) {
            return fail(PyExc_ValueError, "bad option type");
        }
        for (Py_ssize_t i = 0; i < length; ++i) {
            const char c = text[i];
            folded[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        if ((length == 4 && std::memcmp(folded, "call", 4) == 0) ||
            (length == 1 && folded[0] == 'c')) {
            in.put = false;
        } else if ((length == 3 && std::memcmp(folded, "put", 3) == 0) ||
                   (length == 1 && folded[0] == 'p')) {
            in.put = true;
        } else {
            return fail(PyExc_ValueError, "bad option type");
        }
    }
    return true;
}

PyObject* zero(PyObject*, PyObject* args, PyObject* kwargs) {
    Inputs in;
    if (!bind(args, kwargs, in)) {
        return nullptr;
    }
    return PyFloat_FromDouble(0.0);
}

// The Black-Scholes delta, written out as the core writes it.
PyObject* delta(PyObject*, PyObject* args, PyObject* kwargs) {
    Inputs in;
    if (!bind(args, kwargs, in)) {
        return nullptr;
    }
    const double s = in.x[0], k = in.x[1], t = in.x[2], r = in.x[3], sigma = in.x[4],
                 q = in.x[5];
    const double sqrt_t = std::sqrt(t);
    const double v = sqrt_t * sigma;
    const double d1 = ((sigma * sigma * 0.5 + (r - q)) * t + std::log(s / k)) / v;
    const double dq = std::exp((-q) * t);
    const double sign = in.put ? -1.0 : 1.0;
    const double phi = std::erfc((sign * d1) / (-1.4142135623730951)) * 0.5;
    return PyFloat_FromDouble(sign * dq * phi);
}

// ---------------------------------------------------------------------------
// core_ns(case, n): ns per call of one core operation, timed in-process.

namespace bs = greekmill::black_scholes;
namespace am = greekmill::bjerksund_stensland;
using greekmill::OptionType;

struct Case {
    const char* name;
    OptionType type;
    int op;
};

enum Op { kBsDelta, kBsGreeks, kAmPrice, kAmGreeks, kAmSingles };

// The inputs of the Python benchmark: s = k = 100, t = 0.5, r = 0.05,
// sigma = 0.2, q = 0.03.  With b = r - q < r the American value goes through
// the twelve terms, for the call and for the put.
constexpr double kInputs[6] = {100.0, 100.0, 0.5, 0.05, 0.2, 0.03};
constexpr Case kCases[] = {
    {"bs_delta", OptionType::Call, kBsDelta},
    {"bs_greeks", OptionType::Call, kBsGreeks},
    {"am_price", OptionType::Call, kAmPrice},
    {"am_greeks", OptionType::Call, kAmGreeks},
    // The five single Greeks in turn: the eleven evaluations of the American
    // value that am_greeks replaces by eight.
    {"am_singles", OptionType::Call, kAmSingles},
};

// CPU time of this process: on a machine shared with other work, time spent
// descheduled is not the core's cost.
struct cpu_clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<cpu_clock>;
    static time_point now() noexcept {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return time_point(duration(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec));
    }
};

// Keeps the compiler from hoisting the pure core call out of the loop.
template <class T>
inline void opaque(T& value) {
    asm volatile("" : "+m"(value));
}

PyObject* core_ns(PyObject*, PyObject* args) {
    int which = 0;
    long long n = 0;
    if (!PyArg_ParseTuple(args, "iL", &which, &n)) {
        return nullptr;
    }
    if (which < 0 || which >= static_cast<int>(sizeof kCases / sizeof kCases[0]) || n <= 0) {
        PyErr_SetString(PyExc_ValueError, "bad case or count");
        return nullptr;
    }
    struct {
        double s, k, t, r, sigma, q;
        OptionType type;
    } c{kInputs[0], kInputs[1], kInputs[2], kInputs[3], kInputs[4], kInputs[5],
        kCases[which].type};
    const int op = kCases[which].op;
    double sink = 0.0;
    const auto start = cpu_clock::now();
    for (long long i = 0; i < n; ++i) {
        opaque(c);
        switch (op) {
            case kBsDelta:
                sink += *bs::delta(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type);
                break;
            case kBsGreeks:
                sink += bs::all_greeks(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type)->delta;
                break;
            case kAmPrice:
                sink += *am::price(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type);
                break;
            case kAmGreeks:
                sink += am::all_greeks(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type)->delta;
                break;
            default:
                sink += *am::delta(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type) +
                        *am::gamma(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type) +
                        *am::theta(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type) +
                        *am::vega(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type) +
                        *am::rho(c.s, c.k, c.t, c.r, c.sigma, c.q, c.type);
                break;
        }
        opaque(sink);
    }
    const auto stop = cpu_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(stop - start).count();
    return PyFloat_FromDouble(ns / static_cast<double>(n));
}

PyObject* core_cases(PyObject*, PyObject*) {
    PyObject* names = PyList_New(0);
    if (names == nullptr) {
        return nullptr;
    }
    for (const Case& c : kCases) {
        PyObject* name = PyUnicode_FromString(c.name);
        if (name == nullptr || PyList_Append(names, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(names);
            return nullptr;
        }
        Py_DECREF(name);
    }
    return names;
}

template <PyCFunctionWithKeywords F>
constexpr PyCFunction as_function() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef methods[] = {
    {"zero", as_function<zero>(), METH_VARARGS | METH_KEYWORDS,
     "zero(s, k, t, r, sigma, q=0.0, option_type=\"call\")\n--\n\nBinds and returns 0.0."},
    {"delta", as_function<delta>(), METH_VARARGS | METH_KEYWORDS,
     "delta(s, k, t, r, sigma, q=0.0, option_type=\"call\")\n--\n\n"
     "Binds and returns the Black-Scholes delta."},
    {"core_ns", core_ns, METH_VARARGS,
     "core_ns(case, n)\n--\n\nns per call of core case `case`, n calls timed in-process."},
    {"core_cases", core_cases, METH_NOARGS, "core_cases()\n--\n\nNames of the core_ns cases."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "greekmill_bench_floor",
    "Benchmark-only floor of greekmill_python's calling convention.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_greekmill_bench_floor(void) {
    for (int i = 0; i < kParameters; ++i) {
        if (interned[i] == nullptr) {
            interned[i] = PyUnicode_InternFromString(kNames[i]);
            if (interned[i] == nullptr) {
                return nullptr;
            }
        }
    }
    return PyModule_Create(&module_def);
}
