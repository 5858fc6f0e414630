"""Long calls: Ctrl-C interrupts them promptly and leaves the pool healthy,
progress= reports them, and all-scalar calls release the interpreter lock
around expensive work, so that other Python threads run meanwhile."""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
import textwrap
import threading
from typing import Any

import numpy as np
import pytest

import greekmill as gm
from greekmill import _progress


def run_python(code: str, timeout: float = 120.0, prefix: tuple[str, ...] = ()) -> str:
    done = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("threads", [1, None])
def test_ctrl_c_abandons_a_long_call_and_the_next_call_works(threads: int | None) -> None:
    # A million accurate American Greeks take a minute or more; SIGINT after
    # the first progress report must end the call long before the last element.
    out = run_python(f"""
        import os, signal
        import numpy as np
        import greekmill as gm
        n = 1_000_000
        s = np.linspace(60.0, 140.0, n)
        seen = []
        def progress(done, total):
            seen.append(done)
            if len(seen) == 1:
                os.kill(os.getpid(), signal.SIGINT)
        try:
            gm.american.greeks(s, 100.0, 1.0, 0.05, 0.2, 0.0, "put", threads={threads!r},
                               progress=progress)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", max(seen) < n)
        small = gm.american.price(s[:20_000:100], 100.0, 1.0, 0.05, 0.2, 0.0, "put",
                                  threads={threads!r})
        alone = [gm.american.price(x, 100.0, 1.0, 0.05, 0.2, 0.0, "put") for x in s[:20_000:100]]
        print(small.tolist() == alone)
        """)
    assert out.split() == ["interrupted", "True", "True"]


def test_ctrl_c_from_a_timer_interrupts_a_call_without_progress() -> None:
    # Without the fix the signal waits for the end of the call (a minute or
    # more here) and the child outlives the timeout.
    out = run_python("""
        import os, signal, threading
        import numpy as np
        import greekmill as gm
        s = np.linspace(60.0, 140.0, 1_000_000)
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            gm.american.greeks(s, 100.0, 1.0, 0.05, 0.2, 0.0, "put")
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        """, timeout=30.0)
    assert out.split() == ["interrupted"]


def test_an_exception_from_progress_cancels_the_call() -> None:
    class Stop(Exception):
        pass

    def progress(done: int, total: int) -> None:
        if done < total:
            raise Stop(done)

    s = np.linspace(60.0, 140.0, 200_000)
    with pytest.raises(Stop):
        gm.american.price(s, 100.0, 1.0, 0.05, 0.2, 0.0, "put", progress=progress)
    assert gm.american.price(s[:3], 100.0, 1.0, 0.05, 0.2, 0.0, "put").tolist() == [
        gm.american.price(x, 100.0, 1.0, 0.05, 0.2, 0.0, "put") for x in s[:3]]


@pytest.mark.parametrize("call, total", [
    (lambda p: gm.american.price(np.linspace(60, 140, 30_000), 100, 1, 0.05, 0.2, 0, "put",
                                 threads=2, progress=p), 30_000),
    (lambda p: gm.european.greeks(np.linspace(60, 140, 400_000), 100, 1, 0.05, 0.2,
                                  progress=p), 400_000),
    (lambda p: gm.european.delta(np.ones((3, 0)), 100, 1, 0.05, 0.2, progress=p), 0),
    (lambda p: gm.american.implied_volatility(5.0, 100, 100, 1, 0.05, progress=p), 1),
    (lambda p: gm.american.exercise_boundary([0.5, 1.0], 100, 0.05, 0.2, progress=p), 2),
], ids=["american-two-threads", "european-greeks", "empty", "scalar", "boundary"])
def test_progress_callable_is_monotone_in_elements_and_ends_at_total(call: Any,
                                                                      total: int) -> None:
    reports: list[tuple[int, int]] = []
    call(lambda done, all_: reports.append((done, all_)))
    assert reports and reports[-1] == (total, total)
    assert all(all_ == total for _, all_ in reports)
    dones = [done for done, _ in reports]
    assert dones == sorted(set(dones))


def test_progress_of_a_table_covers_each_row_once() -> None:
    # The value and the Greeks of a row come from one valuation: one pass.
    pd = pytest.importorskip("pandas")
    book = pd.DataFrame({"s": np.linspace(60, 140, 5_000), "k": 100.0, "t": 1.0, "r": 0.05,
                         "sigma": 0.2, "option_type": "put"})
    reports: list[tuple[int, int]] = []
    gm.tables.value(book, progress=lambda done, total: reports.append((done, total)))
    assert reports[-1] == (5_000, 5_000)
    assert [d for d, _ in reports] == sorted(d for d, _ in reports)
    assert [d for d, t in reports].count(5_000) == 1


@pytest.mark.parametrize("progress", [None, 1, "yes"])
def test_progress_must_be_a_bool_or_a_callable(progress: Any) -> None:
    with pytest.raises(TypeError, match="progress must be True, False or a callable"):
        gm.european.price([100.0], 100, 1, 0.05, 0.2, progress=progress)


def test_progress_is_refused_for_lazy_dask_results() -> None:
    da = pytest.importorskip("dask.array")
    with pytest.raises(ValueError, match="a Dask result is lazy"):
        gm.european.price(da.ones(4) * 100, 100, 1, 0.05, 0.2, progress=True)


class FakeClock:
    def __init__(self) -> None:
        self.now = 0.0

    def __call__(self) -> float:
        return self.now


# (elapsed seconds, done, total) of the first report after which the bar shows
@pytest.mark.parametrize("elapsed, done, total, shown", [
    (0.1, 10, 1000, False),     # too early to tell
    (0.6, 900, 1000, False),    # projected 0.67 s: short
    (0.6, 100, 1000, True),     # projected 6 s
    (0.6, 0, 1000, True),       # nothing done yet after half a second
    (3.0, 1000, 1000, False),   # finished at its first report: nothing to show
])
def test_the_bar_appears_only_for_long_calls(monkeypatch: pytest.MonkeyPatch, elapsed: float,
                                             done: int, total: int, shown: bool) -> None:
    monkeypatch.setitem(sys.modules, "tqdm", None)  # the plain fallback
    clock, stream = FakeClock(), io.StringIO()
    bar = _progress.Bar("greekmill.x", clock=clock, stream=stream)
    clock.now = elapsed
    bar(done, total)
    if shown:
        bar(total, total)
    assert bool(stream.getvalue()) == shown
    if shown:
        assert stream.getvalue().endswith("\n")
        assert f"{total:,}/{total:,}" in stream.getvalue()


def test_progress_true_draws_a_bar_on_stderr_for_a_long_call() -> None:
    out = run_python("""
        import sys, io, numpy as np, greekmill as gm
        from greekmill import _progress
        _progress.SHOW_AFTER, _progress.LONG_CALL = 0.0, 0.0
        sys.stderr = io.StringIO()
        gm.american.price(np.linspace(60, 140, 5_000), 100, 1, 0.05, 0.2, 0, "put",
                          progress=True)
        print("greekmill.american.price" in sys.stderr.getvalue())
        """)
    assert out.split() == ["True"]


@pytest.mark.parametrize("call, repeat", [
    (lambda: gm.american.price(100.0, 100.0, 5.0, -0.01, 0.3, -0.03, "put", accuracy="high"), 3),
    (lambda: gm.american.implied_volatility(12.0, 100.0, 100.0, 2.0, 0.05, 0.0, "put",
                                            accuracy="high"), 100),
], ids=["american-price", "american-implied-volatility"])
def test_expensive_scalar_calls_let_other_threads_run(call: Any, repeat: int) -> None:
    # With a switch interval far longer than the call, the other thread gets
    # the lock during the call only if the call releases it.
    inside = threading.Event()
    stop = threading.Event()
    seen_inside = []

    def watcher() -> None:
        while not stop.is_set():
            if inside.is_set():
                seen_inside.append(True)
            stop.wait(0.0005)

    interval = sys.getswitchinterval()
    thread = threading.Thread(target=watcher)
    thread.start()
    try:
        sys.setswitchinterval(100.0)
        inside.set()
        for _ in range(repeat):
            call()
        inside.clear()
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()
    assert seen_inside


@pytest.mark.skipif(shutil.which("unshare") is None or os.geteuid() != 0,
                    reason="needs unshare and root for a PID namespace")
def test_a_child_forked_into_a_new_pid_namespace_makes_its_own_workers() -> None:
    # As PID 1 of a namespace, the process forks a child into another new
    # namespace, where the child is PID 1 as well: a pool recognised by the
    # process id would be the parent's, with no worker in the child.
    out = run_python("""
        import ctypes, os, numpy as np, greekmill as gm
        s = np.linspace(60, 140, 2_000_000)
        expected = gm.european.delta(s, 100, 1, 0.05, 0.2)
        libc = ctypes.CDLL(None, use_errno=True)
        assert libc.unshare(0x20000000) == 0  # CLONE_NEWPID: the next child is PID 1
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            before = len(os.listdir("/proc/self/task"))
            same = bool((gm.european.delta(s, 100, 1, 0.05, 0.2) == expected).all())
            after = len(os.listdir("/proc/self/task"))
            os.write(write, f"{os.getpid()} {same} {after > before}".encode())
            os._exit(0)
        os.waitpid(child, 0)
        print(os.getpid(), os.read(read, 100).decode())
        """, prefix=("unshare", "--pid", "--fork", "--mount-proc"))
    assert out.split() == ["1", "1", "True", "True"]


# Calls long enough that a signal 0.1 s in finds them in the engine, on small
# inputs (the outputs are only touched as far as the call gets): every engine
# family, each precision, one thread so that the length holds on any machine.
_LONG_CALLS = """
    s = np.linspace(60.0, 140.0, 4_000_000)
    few = s[:: 200]
    def table():
        import pandas as pd
        book = pd.DataFrame({"s": few, "k": 100.0, "t": 1.0, "r": 0.05, "sigma": 0.2,
                             "option_type": "put"})
        return gm.tables.value(book, progress=progress, threads=1)
    calls = {
        "european-exact": lambda: gm.european.valuation(s, 100.0, 1.0, 0.05, 0.2, threads=1,
                                                        progress=progress),
        "european-fast": lambda: gm.european.valuation(np.tile(s, 4), 100.0, 1.0, 0.05, 0.2,
                                                       threads=1, precision="fast",
                                                       progress=progress),
        "closed-form-fast": lambda: gm.american.valuation(
            s, 100.0, 1.0, 0.05, 0.2, 0.0, "put", method="bjerksund-stensland",
            precision="fast", threads=1, progress=progress),
        "american": lambda: gm.american.greeks(few, 100.0, 1.0, 0.05, 0.2, 0.0, "put",
                                               threads=1, progress=progress),
        "european-iv": lambda: gm.european.implied_volatility(
            10.0, s, 100.0, 1.0, 0.05, threads=1, errors="nan", progress=progress),
        "american-iv": lambda: gm.american.implied_volatility(
            10.0, few, 100.0, 1.0, 0.05, 0.0, "put", threads=1, errors="nan",
            progress=progress),
        "boundary": lambda: gm.american.exercise_boundary(few / 100, 100.0, 0.05, 0.2, 0.0,
                                                          "put", threads=1, progress=progress),
        "dividends": lambda: gm.european.price(few, 100.0, 1.0, 0.05, 0.2, threads=1,
                                               dividends=gm.Dividends([0.5], [1.0]),
                                               progress=progress),
        "table": table,
    }
"""


@pytest.mark.parametrize("progress", ["False", "True", "lambda done, total: time.monotonic()"],
                         ids=["no-progress", "bar", "callable"])
def test_ctrl_c_raises_keyboard_interrupt_on_every_path(progress: str) -> None:
    # A watcher that said stop once must never be asked again while the job
    # drains: it would call Python (the bar's clock, the callable) with the
    # KeyboardInterrupt still set, which Python reports as a SystemError.
    out = run_python(f"""
        import os, signal, threading, time
        import numpy as np
        import greekmill as gm
        progress = {progress}
        {textwrap.indent(textwrap.dedent(_LONG_CALLS), " " * 8).strip()}
        for name, call in calls.items():
            timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            try:
                call()
                outcome = "finished"
            except KeyboardInterrupt:
                outcome = "interrupted"
            except BaseException as error:
                outcome = type(error).__name__
            try:
                timer.join()  # a call that finished first meets the signal here
            except KeyboardInterrupt:
                pass
            print(name, outcome)
        """, timeout=60.0)
    outcomes = dict(line.split() for line in out.splitlines())
    assert outcomes == dict.fromkeys(outcomes, "interrupted") and len(outcomes) == 9


def test_interpreter_exit_with_daemon_threads_in_the_engine_is_quiet() -> None:
    # Threads still in the engine when the interpreter finalises must never
    # meet it (it ends them by unwinding their C++ frames): they park, and the
    # process exits with status 0 and nothing on stderr.  Several runs: the
    # abort depended on where each thread was.
    code = textwrap.dedent("""
        import threading, time, numpy as np, greekmill as gm
        s = np.linspace(50, 150, 20000)
        for progress in (False, False, lambda done, total: None):
            threading.Thread(target=lambda: gm.american.price(
                s, 100., 1., .05, .3, 0., "put", progress=progress), daemon=True).start()
        threading.Thread(target=lambda: [gm.american.price(100., 100., 1., .05, .3, 0., "put")
                                         for _ in range(10**6)], daemon=True).start()
        time.sleep(0.3)
        """)
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stderr) == (0, "")


def test_a_child_forked_while_a_thread_returns_from_the_engine_exits() -> None:
    # At the fork a thread of the parent is often waiting for the interpreter
    # lock on its way back from the engine; the child, which does not have
    # that thread, must not wait for it at exit.
    out = run_python("""
        import os, sys, threading, time
        import greekmill as gm
        def busy():
            while True:
                gm.american.price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", accuracy="fast")
        threading.Thread(target=busy, daemon=True).start()
        time.sleep(0.05)
        for _ in range(8):
            child = os.fork()
            if child == 0:
                gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2)
                sys.exit(0)  # a normal interpreter exit: atexit hooks run
            deadline = time.monotonic() + 10.0
            while os.waitpid(child, os.WNOHANG) == (0, 0):
                if time.monotonic() > deadline:
                    os.kill(child, 9)
                    print("hung")
                    break
                time.sleep(0.01)
        print("done")
        """, timeout=120.0)
    assert out.split() == ["done"]
