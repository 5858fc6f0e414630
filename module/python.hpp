// Every file of the extension includes Python.h through this header, so the
// whole module is compiled against the stable ABI of CPython 3.11: one abi3
// binary serves every later interpreter.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
