"""What Dask costs: 10^7 European options in blocks of 10^6 on a local cluster
of worker processes, against the same call on numpy arrays in one process.

    python bench/dask/overhead.py                      # price, 1 and 2 workers
    python bench/dask/overhead.py --function greeks --workers 2 --rounds 7

Each worker is a process with one thread, and the in-process call runs with
threads=1, so both sides value the options on one core per process.  The
inputs are the same numpy arrays, shipped to the workers once before timing
(a real book lives on the cluster, read from storage); the timed cluster run
values them and keeps the results on the workers (``persist``), as a run that
writes its results from the workers would.  One more column times the same
with the results gathered into this process.

Printed: the median of the rounds, and the ratio

    cluster time / (in-process time / workers)

(1.0 would be a perfect split; the target is at most 1.3).  Rounds interleave
the two, so a machine busy with other work slows both alike, but a cluster of
W workers only gains W times when W cores are free.  So the same ratio is also
printed from CPU time (``cpu ratio``): the CPU time of the busiest worker
process over the in-process CPU time / W, which is what the wall-clock ratio
is on a machine with a free core per worker, Dask's own work in the workers
included (the scheduler's few milliseconds per task are not).
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings
from typing import Any

import dask.array as da
import numpy as np
from dask.graph_manipulation import clone
from distributed import Client, LocalCluster, wait

import greekmill as gm


def inputs(n: int, seed: int) -> tuple[Any, ...]:
    rng = np.random.default_rng(seed)
    return (rng.uniform(50.0, 150.0, n), rng.uniform(50.0, 150.0, n),
            rng.uniform(0.01, 2.0, n), rng.uniform(0.0, 0.06, n), rng.uniform(0.05, 0.8, n),
            rng.uniform(0.0, 0.04, n), np.where(rng.random(n) < 0.5, "call", "put"))


def timed(run: Any) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def worker_cpu_timed(client: Any, run: Any) -> tuple[float, float]:
    """Wall time, and the CPU time of the busiest worker process."""
    before = client.run(time.process_time)
    wall = timed(run)
    after = client.run(time.process_time)
    return wall, max(after[w] - before[w] for w in after)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--chunk", type=int, default=1_000_000)
    parser.add_argument("--workers", default="1,2", help="cluster sizes, comma separated")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--function", default="price", choices=["price", "greeks"])
    args = parser.parse_args()
    function = getattr(gm.european, args.function)
    book = inputs(args.n, 1)

    def in_process() -> None:
        function(*book, threads=1)

    print(f"gm.european.{args.function} of {args.n:,} options, blocks of {args.chunk:,}; "
          f"median of {args.rounds} rounds")
    print(f"{'workers':>7} {'in-process s':>13} {'cluster s':>10} {'ratio':>6} "
          f"{'+ gather s':>11} {'ratio':>6} {'cpu in-process s':>17} {'cpu worker s':>13} "
          f"{'cpu ratio':>10}")
    for workers in (int(w) for w in args.workers.split(",")):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            with warnings.catch_warnings():  # the book is sent once, in the graph
                warnings.filterwarnings("ignore", "Sending large graph")
                lazy = client.persist([da.from_array(a, chunks=args.chunk) for a in book])
            wait(lazy)

            # Every run gets keys of its own (clone), so no run finds the
            # results of the one before still on the workers.
            def on_cluster() -> None:
                result = client.persist(clone(function(*lazy), omit=lazy))
                wait(result)
                del result

            def gathered() -> None:
                client.compute(clone(function(*lazy), omit=lazy), sync=True)

            on_cluster()  # the workers import greekmill once
            times: dict[str, list[float]] = {k: [] for k in
                                             ("local", "cluster", "gather", "cpu", "worker")}
            for _ in range(args.rounds):
                start = time.process_time()
                times["local"].append(timed(in_process))
                times["cpu"].append(time.process_time() - start)
                wall, worker = worker_cpu_timed(client, on_cluster)
                times["cluster"].append(wall)
                times["worker"].append(worker)
                times["gather"].append(timed(gathered))
            local, remote, gather, cpu, worker = (statistics.median(times[k]) for k in
                                                  ("local", "cluster", "gather", "cpu", "worker"))
            ideal = local / workers
            print(f"{workers:>7} {local:>13.3f} {remote:>10.3f} {remote / ideal:>6.2f} "
                  f"{gather:>11.3f} {gather / ideal:>6.2f} {cpu:>17.3f} {worker:>13.3f} "
                  f"{worker / (cpu / workers):>10.2f}")


if __name__ == "__main__":
    main()
