// An embedding program for the life-cycle tests (tests/test_lifecycle.py
// builds and runs it): the interpreter life cycles an application can put the
// module through, which a Python process cannot reach from inside.
//
//   interpreters MODULE_DIR CYCLES
//
// Each of CYCLES lives of the runtime, from Py_Initialize to Py_FinalizeEx:
//   1. a sub-interpreter imports the module before the main interpreter does;
//   2. the main interpreter imports it and uses it;
//   3. a sub-interpreter imports it again, now that the main one has it;
//   4. the main interpreter imports it again and gets the same module.
// Every step prints one line, which the test compares with what it expects.
// The legacy sub-interpreters of Py_NewInterpreter share the main
// interpreter's lock and take single-phase modules, so the module's own
// refusal is what they see on every version.

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Imports the module in the current interpreter and prints what happened.
constexpr const char* kSubInterpreter = R"(
try:
    import greekmill_python
except ImportError as error:
    print(f"{LABEL}: ImportError: {error}")
except BaseException as error:
    print(f"{LABEL}: {type(error).__name__}: {error}")
else:
    print(f"{LABEL}: imported")
)";

// Uses the module in the main interpreter: results of the positional and the
// keyword path (the binder's cache of interned names), a PyGreeks result and
// its class, a binding error and a reworded conversion error.
constexpr const char* kMainInterpreter = R"(
try:
    import greekmill_python as gm
except BaseException as error:
    print(f"{LABEL}: {type(error).__name__}: {error}")
else:
    args = (100.0, 95.0, 0.5, 0.05, 0.2, 0.01, "put")
    greeks = gm.am_greeks(*args)
    seen = [
        gm.bs_delta(*args).hex(),
        gm.am_price(s=100.0, k=95.0, t=0.5, r=0.05, sigma=0.2, q=0.01, option_type="put").hex(),
        type(greeks) is gm.PyGreeks,
        repr(greeks),
        len(gm.__all__),
    ]
    for bad in (lambda: gm.bs_delta(1.0, 2.0, 3.0, 4.0, 5.0, s=1.0),
                lambda: gm.bs_gamma(1.0, 2.0, None, 4.0, 5.0)):
        try:
            bad()
        except TypeError as error:
            seen.append(str(error))
    first = getattr(sys, "greekmill_first_import", None)
    if first is None:
        sys.greekmill_first_import = gm
    seen.append("same module" if first is None or first is gm else "another module")
    print(f"{LABEL}: " + " | ".join(map(str, seen)))
)";

// The directory the module is imported from, first on every interpreter's
// path (another copy may be installed where the embedded runtime looks).
std::string module_directory;

bool run(const std::string& label, const char* code) {
    const std::string prologue = "import sys\nsys.path.insert(0, r'''" + module_directory +
                                 "''')\nLABEL = '" + label + "'\n";
    return PyRun_SimpleString((prologue + code).c_str()) == 0;
}

bool in_sub_interpreter(const std::string& label) {
    PyThreadState* main_thread = PyThreadState_Get();
    PyThreadState* sub = Py_NewInterpreter();
    if (sub == nullptr) {
        std::printf("%s: Py_NewInterpreter failed\n", label.c_str());
        return false;
    }
    const bool ok = run(label, kSubInterpreter);
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_thread);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s MODULE_DIR CYCLES\n", argv[0]);
        return 2;
    }
    module_directory = argv[1];
    const int cycles = std::atoi(argv[2]);
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        Py_Initialize();
        const std::string n = std::to_string(cycle);
        bool ok = in_sub_interpreter("cycle " + n + " sub-interpreter before");
        ok = ok && run("cycle " + n + " main", kMainInterpreter);
        ok = ok && in_sub_interpreter("cycle " + n + " sub-interpreter after");
        ok = ok && run("cycle " + n + " main again", kMainInterpreter);
        std::fflush(stdout);
        if (Py_FinalizeEx() != 0) {
            std::printf("cycle %s: Py_FinalizeEx failed\n", n.c_str());
            return 1;
        }
        if (!ok) {
            return 1;
        }
    }
    return 0;
}
