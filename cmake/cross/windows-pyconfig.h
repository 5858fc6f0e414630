/* CPython's configuration header for 64-bit Windows, reduced to what the
   headers of the limited API read, so that scripts/cross_toolchains.sh can
   compile greekmill's extensions for Windows with a GCC-style compiler
   (mingw-w64 GCC, clang for x86_64-windows-gnu) on a machine that has no
   Windows Python.  The values are those of the Windows build of CPython
   (LLP64: long is 32 bits, wchar_t 16; the interpreter is a DLL whose
   symbols an extension imports).  A wheel for Windows is built on Windows,
   against that Python's own headers (pyproject.toml, tool.cibuildwheel). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* Extensions import the interpreter's functions and data from its DLL. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1

typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX 0x7fffffffffffffffLL

#endif /* Py_CONFIG_H */
