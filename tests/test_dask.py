"""The package on a Dask cluster: two worker processes on this machine
(``distributed.LocalCluster``), started and stopped by this module.

Every function, over Dask arrays in several chunkings, gives the bits of the
same call on the numpy arrays in this process; a worker killed in the middle
of a computation costs nothing but time; failures surface at compute time
with the in-process message; what Dask ships to its workers pickles.
"""

from __future__ import annotations

import os
import pickle
import re
import signal
import subprocess
import sys
import time
from typing import Any, Callable

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")
pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")

import dask  # noqa: E402

import greekmill as gm  # noqa: E402
from greekmill import _arrays  # noqa: E402

pytestmark = pytest.mark.skipif(
    os.environ.get("GREEKMILL_SANITIZED") == "1",
    reason="the worker processes would run the installed, unsanitized engine under the "
           "preloaded sanitizer runtime: slow, and nothing of greekmill_python is tested")


@pytest.fixture(scope="module")
def client() -> Any:
    # The slow identity below is defined here, in a module the workers cannot
    # import: it travels by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


def bits(array: Any) -> np.ndarray:
    return np.asarray(array, dtype=np.float64).view(np.uint64)


# Inputs that broadcast in every way numpy allows: s (6, 40), k (40,),
# t (6, 1), r a number, sigma (40,), q (6, 40), option types (40,).  One
# element is out of the domain (s[2, 29] < 0): with errors="nan" it is NaN
# on both sides.
rng = np.random.default_rng(20261208)
S = rng.uniform(60.0, 140.0, (6, 40))
S[2, 29] = -1.0
K = rng.uniform(70.0, 130.0, 40)
T = np.concatenate([[[0.0]], rng.uniform(0.02, 2.0, (5, 1))])
R = 0.03
SIGMA = np.concatenate([[0.0], rng.uniform(0.05, 0.6, 39)])
Q = rng.uniform(0.0, 0.05, (6, 40))
TYPES = rng.choice(np.array(["call", "put", "C", "p"]), 40)


def cases() -> list[Any]:
    """(id, function, numpy arguments, keyword arguments) of every function."""
    pricing = (S, K, T, R, SIGMA, Q, TYPES)
    found = []
    for name in ("price", "delta", "gamma", "theta", "vega", "rho", "greeks"):
        found.append((f"european.{name}", getattr(gm.european, name), pricing, {}))
        for method in ("spectral", "bjerksund-stensland"):
            found.append((f"american.{name}.{method}", getattr(gm.american, name), pricing,
                          {"method": method}))
    # The vectorised kernels promise the same bits whatever the layout: block
    # edges move the elements across vector lanes.  And a cheaper tier.
    found += [
        ("european.price.fast", gm.european.price, pricing, {"precision": "fast"}),
        ("european.greeks.fast", gm.european.greeks, pricing, {"precision": "fast"}),
        ("american.greeks.bjerksund-stensland.fast", gm.american.greeks, pricing,
         {"method": "bjerksund-stensland", "precision": "fast"}),
        ("american.price.spectral.accuracy-fast", gm.american.price, pricing,
         {"method": "spectral", "accuracy": "fast"}),
    ]
    european = gm.european.price(S, K, T, R, SIGMA, Q, TYPES, errors="nan")
    american = gm.american.price(S, K, T, R, SIGMA, Q, TYPES, errors="nan")
    found += [
        ("european.implied_volatility", gm.european.implied_volatility,
         (european, S, K, T, R, Q, TYPES), {}),
        ("american.implied_volatility", gm.american.implied_volatility,
         (american, S, K, T, R, Q, TYPES), {}),
        ("american.exercise_boundary", gm.american.exercise_boundary,
         (T, K, R, SIGMA, Q, TYPES), {}),
    ]
    return [pytest.param(f, a, kw, id=i) for i, f, a, kw in found]


# How the arrays are cut: one block each; the same cuts for all; different
# cuts per argument, one of them uneven (Dask aligns them), with two threads
# inside each task.
CHUNKINGS = {
    "one-block": lambda a, i: -1,
    "even": lambda a, i: tuple(3 if n == 6 else 8 if n == 40 else n for n in a.shape),
    "per-argument": lambda a, i: tuple(
        (6 if i % 2 else 3) if n == 6 else ((7, 13, 20) if i == 0 else 10 + 10 * (i % 2))
        if n == 40 else n for n in a.shape),
}


def lazy(arguments: tuple[Any, ...], chunking: Callable[[np.ndarray, int], Any]) -> list[Any]:
    """Every array argument but the second as a Dask array (the second stays numpy)."""
    return [a if np.ndim(a) == 0 or i == 1 else da.from_array(a, chunks=chunking(np.asarray(a), i))
            for i, a in enumerate(arguments)]


@pytest.mark.parametrize("function, arguments, keywords", cases())
def test_every_function_gives_the_in_process_bits_in_every_chunking(
        client: Any, function: Any, arguments: tuple[Any, ...],
        keywords: dict[str, Any]) -> None:
    expected = function(*arguments, **keywords, errors="nan")
    results = {name: function(*lazy(arguments, chunking), **keywords, errors="nan",
                              threads=2 if name == "per-argument" else None)
               for name, chunking in CHUNKINGS.items()}
    computed = client.compute(results, sync=True)  # one round trip for all the cuts
    for name, result in results.items():
        if isinstance(expected, gm.Greeks):
            assert isinstance(result, gm.Greeks)
            assert all(isinstance(field, da.Array) for field in result)
        else:
            assert isinstance(result, da.Array)
        for got, want in zip(*((computed[name], expected) if isinstance(expected, gm.Greeks)
                               else ((computed[name],), (expected,)))):
            assert got.shape == want.shape, name
            np.testing.assert_array_equal(bits(got), bits(want), err_msg=name)


def test_the_greeks_share_one_task_per_block(monkeypatch: pytest.MonkeyPatch) -> None:
    greeks = gm.european.greeks(da.from_array(S, chunks=(3, 10)), K, T, R, SIGMA, errors="nan")
    calls = []
    evaluate = _arrays.evaluate
    monkeypatch.setattr(_arrays, "evaluate", lambda *a, **k: calls.append(1) or evaluate(*a, **k))
    dask.compute(*greeks, scheduler="sync")
    assert len(calls) == 2 * 4


# ---- failures

def test_a_failure_raises_at_compute_time_with_the_in_process_message(client: Any) -> None:
    with pytest.raises(ValueError) as in_process:
        gm.american.price(S, K, T, R, SIGMA, Q, TYPES, method="bjerksund-stensland")
    result = gm.american.price(da.from_array(S, chunks=(2, 15)), K, T, R, SIGMA, Q, TYPES,
                               method="bjerksund-stensland")  # builds: nothing computed yet
    with pytest.raises(ValueError) as on_cluster:
        result.compute()
    assert str(on_cluster.value) == str(in_process.value)
    assert "s[2, 29] = -1.0" in str(on_cluster.value)


def test_several_failures_in_a_block_are_counted_in_that_block(client: Any) -> None:
    s = S.copy()
    s[2, 29] = s[3, 26] = np.nan  # both in the block [2:4, 15:30]
    k = da.from_array(np.broadcast_to(K, (6, 40)), chunks=(2, 15))
    with pytest.raises(ValueError, match=re.escape(
            "greekmill.european.delta: s[2, 29] = nan is out of the domain (s must be finite "
            "and > 0); 2 elements of the block [2:4, 15:30] fail, this is the first")):
        gm.european.delta(np.abs(s), k, T, R, SIGMA).compute()


def test_a_bad_option_type_in_a_dask_array_is_named_by_its_index(client: Any) -> None:
    types = TYPES.astype("<U8")
    types[33] = "straddle"
    result = gm.european.price(S[0], K, 1.0, R, 0.2, 0.0, da.from_array(types, chunks=10))
    with pytest.raises(ValueError, match=r"option_type\[33\] = .*'straddle'.* is not"):
        result.compute()


def test_blocks_of_unknown_lengths_are_named_by_their_block() -> None:
    table = dd.from_pandas(pd.DataFrame({"s": [90.0, 95.0, 100.0, 105.0, -1.0, 110.0]}),
                           npartitions=3)
    spots = table.s.to_dask_array()  # lengths unknown until computed
    with pytest.raises(ValueError, match=re.escape(
            "s[0] = -1.0 is out of the domain (s must be finite and > 0) (Reason.INVALID_INPUT; "
            "errors='nan' gives NaN there instead) (the index is in block (2,): Dask does not know the lengths")):
        gm.european.price(spots, 100.0, 1.0, R, 0.2).compute(scheduler="sync")


@pytest.mark.parametrize("arguments, error, message", [
    pytest.param((da.ones((6, 40)), K[:7], 1.0, R, 0.2), ValueError,
                 "greekmill.european.price: the shapes do not broadcast together: "
                 "s (6, 40), k (7,)", id="shapes"),
    pytest.param((da.from_array(np.array(["a", "b"])), 100.0, 1.0, R, 0.2), TypeError,
                 "s must be a real number or an array of real numbers; got a Dask array of <U1",
                 id="text-dtype"),
    pytest.param((dd.from_pandas(pd.Series([100.0, 90.0]), npartitions=1), 100.0, 1.0, R,
                  0.2), TypeError, "s is a dask.dataframe", id="dask-series"),
])
def test_what_can_be_checked_without_computing_is_checked_at_the_call(
        arguments: tuple[Any, ...], error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=re.escape(message)):
        gm.european.price(*arguments)


# ---- workers lost, pickling, imports

def slow_identity(block: np.ndarray) -> np.ndarray:
    time.sleep(0.1)
    return block


def test_a_worker_killed_mid_computation_is_replaced_and_the_result_is_complete(
        client: Any) -> None:
    s = np.tile(S[:, :30], (4, 1))  # 24 rows, a block each; 0.1 s per block
    spots = da.from_array(s, chunks=(1, 30)).map_blocks(slow_identity, dtype=np.float64)
    greeks = gm.american.greeks(spots, K[:30], 0.5, R, SIGMA[:30], 0.01, TYPES[:30],
                                method="bjerksund-stensland", errors="nan")
    futures = client.compute(list(greeks))
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 20
    while not any(client.has_what().values()) and time.monotonic() < deadline:
        time.sleep(0.02)
    holder = next(w for w, keys in client.has_what().items() if keys)
    assert not all(f.done() for f in futures), "the computation ended before the kill"
    os.kill(pids[holder], signal.SIGKILL)

    computed = client.gather(futures)
    expected = gm.american.greeks(s, K[:30], 0.5, R, SIGMA[:30], 0.01, TYPES[:30],
                                  method="bjerksund-stensland", errors="nan")
    for got, want in zip(computed, expected):
        np.testing.assert_array_equal(bits(got), bits(want))
    client.wait_for_workers(2, timeout=30)
    assert pids[holder] not in client.run(os.getpid).values()


def test_functions_greeks_errors_and_graphs_pickle() -> None:
    greeks = gm.european.greeks(100.0, 100.0, 1.0, 0.05, 0.2)
    with pytest.raises(ValueError) as failure:
        gm.european.price([100.0, -1.0], 100.0, 1.0, 0.05, 0.2)
    graph = gm.american.greeks(da.from_array(S, chunks=(3, 20)), K, T, R, SIGMA, Q, TYPES,
                               method="bjerksund-stensland", errors="nan")
    for dumps, loads in ((pickle.dumps, pickle.loads), (cloudpickle.dumps, cloudpickle.loads)):
        for function in (gm.european.price, gm.american.greeks):
            assert loads(dumps(function)) is function
        again = loads(dumps(greeks))
        assert type(again) is gm.Greeks and again == greeks
        error = loads(dumps(failure.value))
        assert type(error) is ValueError and str(error) == str(failure.value)
        computed = dask.compute(*loads(dumps(graph)), scheduler="sync")
        assert all(np.array_equal(bits(a), bits(b)) for a, b in zip(computed, dask.compute(
            *graph, scheduler="sync")))


def test_import_greekmill_imports_neither_dask_nor_pandas() -> None:
    code = ("import sys, greekmill as gm\n"
            "gm.european.greeks([90.0, 110.0], 100.0, 1.0, 0.05, 0.2)\n"
            "gm.tables\n"
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'dask', 'distributed', "
            "'pandas', 'pyarrow'}))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    assert done.stdout.strip() == "[]"


def test_a_dask_dataframe_is_valued_partition_by_partition_on_the_cluster(
        client: Any) -> None:
    book = pd.DataFrame({"spot": S.ravel(), "k": np.tile(K, 6), "t": np.repeat(T, 40),
                         "r": R, "sigma": np.tile(SIGMA, 6), "option_type": np.tile(TYPES, 6)},
                        index=pd.Index(rng.permutation(240) * 7, name="trade"))
    book.loc[book.spot < 0, "spot"] = 50.0
    lazy_table = gm.tables.value(dd.from_pandas(book, npartitions=5, sort=False),
                                 "bjerksund-stensland", columns={"s": "spot"})
    assert lazy_table.npartitions == 5
    got = client.compute(lazy_table, sync=True)
    pd.testing.assert_frame_equal(got, gm.tables.value(book, "bjerksund-stensland",
                                                       columns={"s": "spot"}),
                                  check_exact=True)
