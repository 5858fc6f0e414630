"""Option tables: one contract per row of a pandas (or Dask) DataFrame.

    import greekmill as gm
    book = pd.DataFrame({"s": ..., "k": ..., "t": ..., "r": ..., "sigma": ...,
                         "q": ..., "option_type": ...})
    gm.tables.value(book)                        # price, delta, gamma, theta, vega, rho
    gm.tables.value(book, "european", greeks=False)
    gm.tables.implied_volatility(quotes, price="mid")

Columns are named ``s``, ``k``, ``t``, ``r``, ``sigma``, ``q`` and
``option_type`` unless ``columns`` maps parameter names to other column names
(``columns={"s": "spot", "k": "strike"}``).  ``q`` may be absent (0.0); the
others must be there.  The result is a new DataFrame of float64 columns with
the input's index, the input is never modified, and every value has the bits
of the same function called on the columns as arrays.

A Dask DataFrame is valued partition by partition, lazily: the result is a
Dask DataFrame with the same partitions and divisions.  Inside those tasks
``threads=None`` means one thread per task, as for Dask arrays (Dask already
runs a task per core).

Errors: ``errors="raise"`` raises the function's ``ValueError``; the index it
names is the row's position in the table (in the partition, for a Dask
DataFrame), and the message adds the row's index label.  ``errors="nan"``
gives NaN in the rows out of the model's domain.

This module needs pandas (``pip install "greekmill[dask]"``); ``import
greekmill`` does not import it, ``greekmill.tables`` does on first use.
"""

from __future__ import annotations

import functools
import re
from typing import Any, Callable, Mapping

import numpy as np

from . import _arrays, _dask, _progress, american, european
from ._dividends import Dividends, engine_schedule
from ._results import Greeks

__all__ = ["value", "implied_volatility"]

PARAMETERS = ("s", "k", "t", "r", "sigma", "q", "option_type")
# model -> the module and the keyword arguments that choose the engine
MODELS: dict[str, tuple[Any, dict[str, str]]] = {
    "european": (european, {}),
    "american": (american, {"method": "spectral"}),
    "bjerksund-stensland": (american, {"method": "bjerksund-stensland"}),
}
IMPLIED_MODELS = ("european", "american")


def value(df: Any, model: str = "american", *, columns: Mapping[str, str] | None = None,
          greeks: bool = True, dividends: Dividends | Mapping[Any, Dividends] | None = None,
          accuracy: str = "accurate", errors: str = "raise", threads: int | None = None,
          progress: Any = False) -> Any:
    """Price (and with ``greeks=True`` the five Greeks) of every row.

    ``model``: ``"european"`` (Black-Scholes-Merton), ``"american"`` (the
    accurate engine, ``method="spectral"``, at the given ``accuracy``) or
    ``"bjerksund-stensland"`` (the closed form).  ``dividends``: one
    ``greekmill.Dividends`` for every row, or a mapping from the values of the
    column ``underlying`` (renamed with ``columns={"underlying": ...}``) to
    schedules; rows whose underlying has none pay no cash dividends.  Returns
    a DataFrame with the columns ``price`` (and ``delta``, ``gamma``,
    ``theta``, ``vega``, ``rho``) and ``df``'s index.  ``progress``: as for the
    array functions, over the whole table (a pandas DataFrame; a Dask one is lazy).
    """
    module, keywords = _model(model, MODELS)
    keywords = dict(keywords, errors=_choice(errors, _arrays.ERRORS, "errors"))
    _choice(accuracy, _arrays.ACCURACIES, "accuracy")
    if module is american:
        keywords["accuracy"] = accuracy
    names = _names(columns, PARAMETERS)
    if isinstance(dividends, Mapping):
        for schedule in dividends.values():
            engine_schedule(schedule)  # raises for anything but a Dividends
        names["underlying"] = (columns or {}).get("underlying", "underlying")
        dividends = dict(dividends)
    else:
        engine_schedule(dividends)
    if dividends and model == "bjerksund-stensland":
        raise ValueError("dividends need model='american' or 'european'; the closed form "
                         "takes a continuous yield only")
    outputs = ("price", *Greeks._fields) if greeks else ("price",)
    job = functools.partial(_value_rows, module.__name__, bool(greeks), keywords, dividends)
    return _by_partition(df, job, names, outputs, threads, "value", progress)


def implied_volatility(df: Any, model: str = "european", *, price: str = "price",
                       columns: Mapping[str, str] | None = None, accuracy: str = "accurate",
                       errors: str = "raise", threads: int | None = None) -> Any:
    """The volatility that reprices the column ``price`` of every row.

    ``model``: ``"european"`` or ``"american"`` (the accurate engine at the
    given ``accuracy``).  ``sigma`` is not read.  Returns a DataFrame with the
    column ``implied_volatility`` and ``df``'s index.
    """
    module, _ = _model(model, {m: MODELS[m] for m in IMPLIED_MODELS})
    keywords = {"errors": _choice(errors, _arrays.ERRORS, "errors")}
    _choice(accuracy, _arrays.ACCURACIES, "accuracy")
    if module is american:
        keywords["accuracy"] = accuracy
    if not isinstance(price, str):
        raise TypeError(f"price must be a column name (str); got {price!r}")
    names = _names(columns, tuple(p for p in PARAMETERS if p != "sigma"))
    names = {"price": price, **names}
    job = functools.partial(_implied_rows, module.__name__, keywords)
    return _by_partition(df, job, names, ("implied_volatility",), threads,
                         "implied_volatility")


# ---- one pandas DataFrame (a whole table, or one partition)

Job = Callable[[dict[str, Any], "int | None", Any], dict[str, np.ndarray]]


def _value_rows(module: str, greeks: bool, keywords: dict[str, Any], dividends: Any,
                inputs: dict[str, Any], threads: int | None,
                progress: Any = None) -> dict[str, np.ndarray]:
    functions = _module(module)
    arguments = [inputs[p] for p in PARAMETERS]
    calls = 1  # with the Greeks too: one valuation, one solve per row

    def rows(arguments: list[Any], schedule: Any, stages: list[Any]) -> dict[str, np.ndarray]:
        if greeks:
            return dict(functions.valuation(*arguments, **keywords, threads=threads,
                                            progress=stages[0], dividends=schedule)._asdict())
        return {"price": functions.price(*arguments, **keywords, threads=threads,
                                         progress=stages[0], dividends=schedule)}

    if not isinstance(dividends, dict):
        return rows(arguments, dividends, _progress.stages(progress, calls))
    # One call per underlying with a schedule, one for the rest; each row's
    # bits are those of a call on its group alone.
    underlying = np.asarray(inputs["underlying"], dtype=object)
    n = underlying.shape[0]
    rest = np.ones(n, dtype=bool)
    groups = []
    for key, schedule in dividends.items():
        mask = underlying == key
        if mask.any():
            groups.append((np.flatnonzero(mask), schedule))
            rest &= ~mask
    groups.append((np.flatnonzero(rest), None))
    out: dict[str, np.ndarray] = {}
    offset = 0
    for where, schedule in groups:
        if where.size == 0:
            continue
        # Columns are numpy arrays, or the option types as stored (pandas, Arrow).
        subset = [a[where] if getattr(a, "ndim", 0) == 1 else a for a in arguments]
        try:
            part = rows(subset, schedule, _group_stages(progress, offset, where.size, n, calls))
        except ValueError as error:
            raise ValueError(_ROW_INDEX.sub(lambda m: f"[{where[int(m.group(1))]}]",
                                            str(error), count=1)) from None
        offset += where.size
        for name, values in part.items():
            out.setdefault(name, np.empty(n))[where] = values
    return out


_ROW_INDEX = re.compile(r"\[(\d+)\]")


def _group_stages(report: Any, offset: int, size: int, n: int, calls: int) -> list[Any]:
    """The calls of one group of rows reported as part of the whole table: the
    groups one after the other, each taking `calls` units per row."""
    if report is None:
        return [False] * calls

    def stage(index: int) -> Any:
        def forward(done: int, total: int) -> Any:
            return report(calls * offset + index * size + done * size // max(total, 1),
                          calls * n)
        return forward

    return [stage(i) for i in range(calls)]


def _implied_rows(module: str, keywords: dict[str, Any], inputs: dict[str, Any],
                  threads: int | None, progress: Any = None) -> dict[str, np.ndarray]:
    functions = _module(module)
    arguments = [inputs[p] for p in ("price", "s", "k", "t", "r", "q", "option_type")]
    return {"implied_volatility": functions.implied_volatility(*arguments, **keywords,
                                                               threads=threads)}


def _module(name: str) -> Any:
    return european if name == european.__name__ else american


def _rows(job: Job, names: dict[str, str], outputs: tuple[str, ...], threads: int | None,
          frame: Any, progress: Any = None) -> Any:
    import pandas as pd

    if len(frame) == 0:
        if progress is not None:
            progress(0, 0)
        return pd.DataFrame({name: np.empty(0) for name in outputs}, index=frame.index)
    inputs: dict[str, Any] = {}
    for parameter, name in names.items():
        if name not in frame.columns:
            inputs[parameter] = 0.0  # only q may be missing (see _check_columns)
            continue
        column = frame[name]
        if parameter != "option_type" and pd.api.types.is_numeric_dtype(column.dtype):
            inputs[parameter] = column.to_numpy(dtype=np.float64, na_value=np.nan)
        elif parameter == "option_type":
            inputs[parameter] = column.array  # read in the engine: categories, Arrow text
        else:
            inputs[parameter] = column.to_numpy()  # the function checks and names the type
    try:
        result = job(inputs, threads, progress)
    except ValueError as error:
        raise ValueError(_with_label(str(error), frame.index)) from None
    return pd.DataFrame({name: result[name] for name in outputs}, index=frame.index)


def _task_rows(frame: Any, job: Job, names: dict[str, str], outputs: tuple[str, ...],
               threads: int | None) -> Any:
    """One partition of a Dask DataFrame, in a task: see ``_dask.task_threads``."""
    return _rows(job, names, outputs, _dask.task_threads(threads), frame)


_ROW = re.compile(r"\[(\d+)\] = ")


def _with_label(message: str, index: Any) -> str:
    """Adds the index label of the row the message names by its position."""
    match = _ROW.search(message)
    if match is None or int(match.group(1)) >= len(index):
        return message
    return f"{message} (row {match.group(1)}: index label {index[int(match.group(1))]!r})"


# ---- pandas or Dask

def _by_partition(df: Any, job: Job, names: dict[str, str], outputs: tuple[str, ...],
                  threads: int | None, what: str, progress: Any = False) -> Any:
    if threads is not None:
        _arrays._threads(threads)
    report = _progress.reporter(progress, f"greekmill.tables.{what}")
    _check_columns(df, names, what)
    if _arrays.is_dask_collection(df):
        import pandas as pd

        if report is not None:
            raise ValueError(f"greekmill.tables.{what}: progress= follows a table valued "
                             f"here; a Dask DataFrame's result is lazy: follow its "
                             f"computation with Dask's own progress bars")
        meta = pd.DataFrame({name: pd.Series(dtype=np.float64) for name in outputs},
                            index=df._meta.index)
        return df.map_partitions(_task_rows, job, names, outputs, threads, meta=meta)
    try:
        return _rows(job, names, outputs, threads, df, report)
    finally:
        if isinstance(report, _progress.Bar):
            report.close()


def _check_columns(df: Any, names: dict[str, str], what: str) -> None:
    if not hasattr(df, "columns") or not hasattr(df, "index"):
        raise TypeError(f"greekmill.tables.{what} takes a pandas or Dask DataFrame; got "
                        f"{type(df).__module__}.{type(df).__name__}")
    present = set(df.columns)
    used = set(names.values())
    repeated = [name for name in dict.fromkeys(df.columns)
                if name in used and list(df.columns).count(name) > 1]
    if repeated:
        raise ValueError(f"greekmill.tables.{what}: the DataFrame has more than one column "
                         f"named {repeated[0]!r}; name each input column once")
    missing = [f"{name!r} (for {parameter})" for parameter, name in names.items()
               if name not in present and not (parameter == "q" and name == "q")]
    if missing:
        raise KeyError(f"greekmill.tables.{what}: no column {', '.join(missing)} in the "
                       f"DataFrame; its columns are {list(df.columns)!r} (map other names "
                       f"with columns={{parameter: column}})")


def _names(columns: Mapping[str, str] | None, parameters: tuple[str, ...]) -> dict[str, str]:
    names = {p: p for p in parameters}
    if columns is None:
        return names
    if not isinstance(columns, Mapping):
        raise TypeError(f"columns must map parameter names to column names; got {columns!r}")
    # One mapping serves both functions: a name for a parameter that this
    # function does not read (sigma for implied volatility) is accepted and unused.
    unknown = [key for key in columns if key not in _ALL_PARAMETERS]
    if unknown:
        raise ValueError(f"columns: unknown parameter {unknown[0]!r}; the parameters are "
                         + ", ".join(repr(p) for p in parameters))
    names.update((key, value) for key, value in columns.items() if key in names)
    return names


_ALL_PARAMETERS = ("s", "k", "t", "r", "sigma", "q", "option_type", "underlying")


def _model(model: object, models: Mapping[str, Any]) -> Any:
    return models[_choice(model, tuple(models), "model")]


def _choice(value: object, accepted: Any, what: str) -> Any:
    if isinstance(value, str) and value in accepted:
        return value
    return _arrays._choice(value, accepted, what)
