"""Revalue a book of American options under a grid of spot and volatility shocks
on a Dask cluster, and write every option's scenario P&L as Parquet.

    python examples/scenario_grid.py                 # 10^6 options, 5 x 3 scenarios
    python examples/scenario_grid.py --small         # 10^4 options, 3 x 3: a quick look
    python examples/scenario_grid.py --scheduler tcp://scheduler:8786   # a real cluster
    DASK_SCHEDULER_ADDRESS=tcp://scheduler:8786 python examples/scenario_grid.py
    python examples/scenario_grid.py --in-process    # no cluster: this process's threads

Without a scheduler address it starts a local cluster of worker processes
(one thread each) and stops it at the end; Dask's progress bar follows the
tasks.  With ``--in-process`` the book is valued with numpy arrays on this
process's threads, one call per scenario, each drawing its progress bar
(``progress=True``).  The book is made on the workers
from a seed (a real run would read it: ``dask.dataframe.read_parquet``); every
scenario multiplies the spot by (1 + spot shock) and adds the volatility shock
(floored at zero).  The output has one row per option: its number, its value
today, and one column of P&L (scenario value - value today) per scenario, named
like ``s-10%_v+5pt``.  On a real cluster the output directory must be one the
workers can write (a shared file system, or an ``s3://`` ... URL).

The American engine is the package's default (``method="spectral"``, the
accurate engine) at ``--accuracy`` (default ``accurate``); ``--method
bjerksund-stensland`` takes the closed form instead.  Each task values one
scenario for ``--chunk`` options.

``--dividends 0.25:0.8,0.5:0.8,0.75:0.8`` gives the underlying a schedule of
cash dividends (ex-dividend time in years : amount), valued by the
finite-difference engine: about a millisecond an option and scenario at
``accurate`` on one core (``fast``: a fifth of it), so size the book to the
cluster, e.g. ``--small --dividends ...`` for a quick look.
"""

from __future__ import annotations

import argparse
import os
import time
from typing import Any

import dask.array as da
import dask.dataframe as dd
import numpy as np
from distributed import Client, LocalCluster, progress

import greekmill as gm


def make_book(n: int, chunk: int, seed: int) -> dict[str, Any]:
    """n options made on the workers, chunk options a block."""
    rng = da.random.default_rng(seed)
    return {
        "s": rng.uniform(80.0, 120.0, n, chunks=chunk),
        "k": rng.uniform(60.0, 140.0, n, chunks=chunk),
        "t": rng.uniform(0.02, 3.0, n, chunks=chunk),
        "r": 0.04,
        "sigma": rng.uniform(0.08, 0.6, n, chunks=chunk),
        "q": rng.uniform(0.0, 0.05, n, chunks=chunk),
        "option_type": da.where(rng.random(n, chunks=chunk) < 0.5, "call", "put"),
    }


def scenario_grid(book: dict[str, Any], spot_shocks: list[float], vol_shocks: list[float],
                  engine: dict[str, Any]) -> tuple[Any, Any, list[str]]:
    """Today's values (n,), the P&L (n, scenarios) and the scenario names."""
    spot, vol = (np.array(x, dtype=np.float64).reshape(-1, 1) for x in np.meshgrid(
        spot_shocks, vol_shocks, indexing="ij"))  # one row per scenario
    names = [f"s{a:+.0%}_v{b * 100:+g}pt" for a, b in zip(spot.ravel(), vol.ravel())]
    rest = dict(k=book["k"], t=book["t"], r=book["r"], q=book["q"],
                option_type=book["option_type"], **engine)
    today = gm.american.price(book["s"], sigma=book["sigma"], **rest)
    # A block per scenario and chunk of options: tasks of seconds, a smooth progress bar.
    spot, vol = da.from_array(spot, chunks=1), da.from_array(vol, chunks=1)
    shocked = gm.american.price(book["s"] * (1.0 + spot),
                                sigma=da.maximum(book["sigma"] + vol, 0.0), **rest)
    return today, (shocked - today).T, names


def in_process(args: argparse.Namespace, spot_shocks: list[float], vol_shocks: list[float],
               engine: dict[str, Any]) -> None:
    """The same valuations without Dask: numpy arrays, one call per scenario."""
    import pandas as pd

    rng = np.random.default_rng(args.seed)
    n = args.options
    book = {"s": rng.uniform(80.0, 120.0, n), "k": rng.uniform(60.0, 140.0, n),
            "t": rng.uniform(0.02, 3.0, n), "r": 0.04, "sigma": rng.uniform(0.08, 0.6, n),
            "q": rng.uniform(0.0, 0.05, n),
            "option_type": np.where(rng.random(n) < 0.5, "call", "put")}
    rest = {name: book[name] for name in ("k", "t", "r", "q", "option_type")}
    start = time.perf_counter()
    print("today")
    today = gm.american.price(book["s"], sigma=book["sigma"], **rest, **engine, progress=True)
    columns = {"option": np.arange(n), "value": today}
    for a in spot_shocks:
        for b in vol_shocks:
            name = f"s{a:+.0%}_v{b * 100:+g}pt"
            print(name)
            shocked = gm.american.price(book["s"] * (1.0 + a),
                                        sigma=np.maximum(book["sigma"] + b, 0.0), **rest,
                                        **engine, progress=True)
            columns[name] = shocked - today
    elapsed = time.perf_counter() - start
    frame = pd.DataFrame(columns)
    frame.to_parquet(args.out, index=False)
    valuations = n * (len(columns) - 1)
    print(f"\n{valuations:,} valuations in {elapsed:.1f} s "
          f"({valuations / elapsed / 1e6:.2f} million a second); written to {args.out}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", default=os.environ.get("DASK_SCHEDULER_ADDRESS"),
                        help="a Dask scheduler's address (default: $DASK_SCHEDULER_ADDRESS, "
                             "else a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--options", type=int, default=1_000_000)
    parser.add_argument("--chunk", type=int, default=100_000, help="options per task")
    parser.add_argument("--spot-shocks", default="-0.2,-0.1,0,0.1,0.2",
                        help="relative spot shocks, comma separated")
    parser.add_argument("--vol-shocks", default="-0.05,0,0.05",
                        help="absolute volatility shocks, comma separated")
    parser.add_argument("--method", default="spectral",
                        choices=["spectral", "bjerksund-stensland"])
    parser.add_argument("--accuracy", default="accurate", choices=["fast", "accurate", "high"],
                        help="tier of the spectral engine")
    parser.add_argument("--dividends", default="",
                        help="cash dividends of the underlying as time:amount pairs, comma "
                             "separated (e.g. 0.25:0.8,0.75:0.8)")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--out", default="scenario_pnl.parquet", help="output directory")
    parser.add_argument("--small", action="store_true",
                        help="10^4 options, 3 x 3 scenarios")
    parser.add_argument("--in-process", action="store_true",
                        help="no cluster: numpy arrays on this process's threads, with a "
                             "progress bar per scenario")
    args = parser.parse_args()
    if args.small:
        args.options, args.chunk = 10_000, 2_500
        args.spot_shocks, args.vol_shocks = "-0.1,0,0.1", "-0.05,0,0.05"
    spot_shocks = [float(x) for x in args.spot_shocks.split(",")]
    vol_shocks = [float(x) for x in args.vol_shocks.split(",")]
    engine: dict[str, Any] = {"method": args.method}
    if args.method == "spectral":
        engine["accuracy"] = args.accuracy
    if args.dividends:
        pairs = [item.split(":") for item in args.dividends.split(",")]
        engine["dividends"] = gm.Dividends([float(t) for t, _ in pairs],
                                           [float(a) for _, a in pairs])
    if args.in_process:
        in_process(args, spot_shocks, vol_shocks, engine)
        return

    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    try:
        print(f"cluster: {client.dashboard_link}  workers: {len(client.scheduler_info()['workers'])}")
        print(f"{args.options:,} American options x {len(spot_shocks) * len(vol_shocks)} "
              f"scenarios, " + ", ".join(f"{k}={v!r}" for k, v in engine.items()))
        book = make_book(args.options, args.chunk, args.seed)
        today, pnl, names = scenario_grid(book, spot_shocks, vol_shocks, engine)

        number = da.arange(args.options, chunks=args.chunk, dtype=np.float64)
        table = da.concatenate([number[:, None], today[:, None], pnl], axis=1)
        frame = dd.from_dask_array(table, columns=["option", "value", *names])
        frame = frame.astype({"option": "int64"})
        write = frame.to_parquet(args.out, write_index=False, compute=False)

        start = time.perf_counter()
        # One graph: the Parquet files and the book's totals share the valuations.
        futures = client.compute([write, frame[["value", *names]].sum()])
        progress(futures)
        _, totals = client.gather(futures)
        elapsed = time.perf_counter() - start
        valuations = args.options * (len(names) + 1)
        print(f"\n{valuations:,} valuations in {elapsed:.1f} s "
              f"({valuations / elapsed / 1e6:.2f} million a second); written to {args.out}")
        print(f"book value today {totals['value']:,.0f}; its P&L by scenario "
              f"(rows: spot shock, columns: volatility shock)")
        grid = totals[names].to_numpy().reshape(len(spot_shocks), len(vol_shocks))
        print("spot \\ vol " + "".join(f"{v * 100:>+13g}pt" for v in vol_shocks))
        for shock, row in zip(spot_shocks, grid):
            print(f"{shock:>+10.0%} " + "".join(f"{x:>15,.0f}" for x in row))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main()
