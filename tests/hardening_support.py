"""Shared helpers of the robustness tests: the fault-injection build of the
extension and a way to run Python code against it in a fresh interpreter;
and the two ways a C caller hands a function its own keyword dictionary.

The fault-injection build is the ordinary module compiled with
GREEKMILL_FAULT_INJECTION, which lets the environment variable GREEKMILL_FAULT
make named internal sites fail.  It is built on first use into
build/hardening-faults-<interpreter> (or taken from GREEKMILL_FAULT_BUILD, which
scripts/sanitize.sh points at a sanitizer build of it) and only ever loaded in
child interpreters, never into the process running the tests.
"""

from __future__ import annotations

import _thread
import ctypes
import fcntl
import functools
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# One build per interpreter version: CMake builds the module against the
# headers of the interpreter it is configured with.
FAULT_BUILD = ROOT / "build" / f"hardening-faults-{sys.implementation.cache_tag}"


@functools.cache
def fault_build() -> Path | None:
    """Directory holding the fault-injection greekmill_python, or None when it
    cannot be built here (no cmake or no compiler)."""
    prebuilt = os.environ.get("GREEKMILL_FAULT_BUILD")
    if prebuilt:
        return Path(prebuilt)
    if shutil.which("cmake") is None:
        return None
    FAULT_BUILD.parent.mkdir(parents=True, exist_ok=True)
    # Several developers (and pytest sessions) may share the tree: one build
    # at a time.
    with open(FAULT_BUILD.parent / "hardening-faults.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(FAULT_BUILD),
            "-DGREEKMILL_FAULT_INJECTION=ON", "-DGREEKMILL_BUILD_TESTS=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
        build = ["cmake", "--build", str(FAULT_BUILD), "-j", "2"]
        for command in (configure, build):
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                raise RuntimeError(
                    f"building the fault-injection module failed:\n{done.stdout}\n{done.stderr}")
    return FAULT_BUILD


def run_child(build: Path, code: str, env: dict[str, str] | None = None, stdin: object = None):
    """Runs `code` in a fresh interpreter that imports greekmill_python from
    `build`; the code prints one JSON document, which is returned.  The
    child's GREEKMILL_FAULT starts unset unless `env` sets it."""
    child_env = {k: v for k, v in os.environ.items() if k != "GREEKMILL_FAULT"}
    child_env["PYTHONPATH"] = os.pathsep.join(
        [str(build)] + ([child_env["PYTHONPATH"]] if child_env.get("PYTHONPATH") else []))
    if child_env.get("GREEKMILL_ASAN_PRELOAD"):
        # A sanitizer build (scripts/sanitize.sh) needs the ASan runtime
        # loaded before anything else in the uninstrumented interpreter.
        child_env["LD_PRELOAD"] = child_env["GREEKMILL_ASAN_PRELOAD"]
    child_env.update(env or {})
    prologue = textwrap.dedent(f"""
        import json, os, sys
        def loaded_from_build():
            import greekmill_python
            assert os.path.dirname(greekmill_python.__file__) == {str(build)!r}, greekmill_python.__file__
        """) + inspect.getsource(describe_exception)
    done = subprocess.run(
        [sys.executable, "-c", prologue + textwrap.dedent(code)],
        input=json.dumps(stdin), capture_output=True, text=True, env=child_env, cwd=build,
        timeout=300)
    if done.returncode != 0:
        raise AssertionError(f"child interpreter failed ({done.returncode}):\n{done.stderr}")
    return json.loads(done.stdout)


def describe_exception(error: BaseException) -> dict:
    """What the tests compare about a raised exception.  Children get this
    function's source."""
    cause = error.__cause__
    return {
        "type": type(error).__name__,
        "module": type(error).__module__,
        "message": str(error),
        "is_exception": isinstance(error, Exception),
        "cause": None if cause is None else type(cause).__name__,
    }


# PyObject_Call(function, args, kwargs): the function gets `kwargs` itself,
# where `function(*args, **kwargs)` would give it a copy.
object_call = ctypes.pythonapi.PyObject_Call
object_call.argtypes = [ctypes.py_object] * 3
object_call.restype = ctypes.py_object

_thread_data = threading.local()


class _ThreadEnd:
    """Kept in a thread's thread-local data; releases `lock` when the thread
    ends and its state is cleared."""

    def __init__(self, lock):
        self.lock = lock

    def __del__(self):
        self.lock.release()


class ThreadCall:
    """One call made by `_thread.start_new_thread(function, args, kwargs)`,
    which passes the dictionary itself and discards the result.

    The thread cannot be joined, so user code that runs in the call (a
    conversion) calls `entered()`, which leaves a marker in the thread's
    local data: the marker dies, and `run` returns, when the thread ends.  A
    call in which no user code runs fails in binding, and its report ends
    the wait instead."""

    def __init__(self):
        self._finished = _thread.allocate_lock()
        self._finished.acquire()
        self._entered = False

    def entered(self):
        if not self._entered:
            self._entered = True
            _thread_data.end = _ThreadEnd(self._finished)

    def run(self, function, args, kwargs):
        """Returns None, or the exception the thread reported."""
        reported = []

        def hook(unraisable):
            reported.append(unraisable.exc_value)
            if not self._entered:
                self._finished.release()

        previous = sys.unraisablehook
        sys.unraisablehook = hook
        try:
            _thread.start_new_thread(function, args, kwargs)
            if not self._finished.acquire(timeout=120):
                raise AssertionError("the thread did not end")
        finally:
            sys.unraisablehook = previous
        return reported[0] if reported else None
