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

This module needs pandas (``pip install ".[dask]"`` in a checkout); ``import
greekmill`` does not import it, ``greekmill.tables`` does on first use.
"""

from __future__ import annotations

import functools
import re
from typing import Any, Callable, Literal, Mapping

import numpy as np

from . import _arrays, _dask, _docs, _progress, american, european
from ._dividends import Dividends, engine_schedule
from ._reasons import NAMES
from ._results import Greeks
from ._signatures import Accuracy, Errors, Progress

Model = Literal["european", "american", "bjerksund-stensland"]
ImpliedModel = Literal["european", "american"]

__all__ = ["value", "implied_volatility"]

PARAMETERS = ("s", "k", "t", "r", "sigma", "q", "option_type")
_RAISES = """\
KeyError
    A column that the DataFrame does not have (the message names the keyword
    that maps it: ``columns=``, or ``price=`` for the prices).
ValueError
    With ``errors="raise"``, a row out of the model's domain (the message
    gives the first such row's position and index label, and how many rows
    fail); an unknown ``model``, ``accuracy`` or ``errors``; a ``dividends``
    mapping none of whose keys is a value of the column ``underlying``.
TypeError
    ``df`` is not a DataFrame, or a cell is not a number (the message names
    its row, index label and column)."""
# model -> the module and the keyword arguments that choose the engine
MODELS: dict[str, tuple[Any, dict[str, str]]] = {
    "european": (european, {}),
    "american": (american, {"method": "spectral"}),
    "bjerksund-stensland": (american, {"method": "bjerksund-stensland"}),
}
IMPLIED_MODELS = ("european", "american")
_REASONS = ("bool", "``True`` adds the column ``reason``: a Categorical of the "
                    "``greekmill.Reason`` names, why each NaN row is NaN (``OK`` elsewhere).")


def value(df: Any, model: Model = "american", *, columns: Mapping[str, str] | None = None,
          greeks: bool = True, dividends: Dividends | Mapping[Any, Dividends] | None = None,
          accuracy: Accuracy = "accurate", errors: Errors = "raise", threads: int | None = None,
          progress: Progress = False, reasons: bool = False) -> Any:
    module, keywords = _model(model, MODELS)
    keywords = dict(keywords, errors=_choice(errors, _arrays.ERRORS, "errors"),
                    reasons=_flag(reasons, "reasons"))
    _choice(accuracy, _arrays.ACCURACIES, "accuracy")
    if module is american:
        keywords["accuracy"] = accuracy
    names = _names(columns, PARAMETERS)
    dividends = _schedules(dividends, columns, names)
    if dividends and model == "bjerksund-stensland":
        raise ValueError("dividends need model='american' or 'european'; the closed form "
                         "takes a continuous yield only")
    outputs = ("price", *Greeks._fields) if greeks else ("price",)
    outputs += ("reason",) if reasons else ()
    job = functools.partial(_value_rows, module.__name__, bool(greeks), keywords, dividends)
    return _by_partition(df, job, names, outputs, threads, "value", progress, dividends)


def implied_volatility(df: Any, model: ImpliedModel = "european", *, price: str = "price",
                       columns: Mapping[str, str] | None = None,
                       dividends: Dividends | Mapping[Any, Dividends] | None = None,
                       accuracy: Accuracy = "accurate", errors: Errors = "raise",
                       threads: int | None = None, progress: Progress = False,
                       reasons: bool = False) -> Any:
    module, _ = _model(model, {m: MODELS[m] for m in IMPLIED_MODELS})
    keywords = {"errors": _choice(errors, _arrays.ERRORS, "errors"),
                "reasons": _flag(reasons, "reasons")}
    _choice(accuracy, _arrays.ACCURACIES, "accuracy")
    if module is american:
        keywords["accuracy"] = accuracy
    if not isinstance(price, str):
        raise TypeError(f"price must be a column name (str); got {price!r}")
    names = _names(columns, tuple(p for p in PARAMETERS if p != "sigma"))
    names = {"price": price, **names}
    dividends = _schedules(dividends, columns, names)
    job = functools.partial(_implied_rows, module.__name__, keywords, dividends)
    outputs = ("implied_volatility", "reason") if reasons else ("implied_volatility",)
    return _by_partition(df, job, names, outputs, threads, "implied_volatility", progress,
                         dividends)


def _schedules(dividends: Any, columns: Mapping[str, str] | None,
               names: dict[str, str]) -> Any:
    """``dividends=`` checked: None, one schedule, or a dict by underlying (whose
    column then joins `names`)."""
    if not isinstance(dividends, Mapping):
        engine_schedule(dividends)  # raises for anything but None or a Dividends
        return dividends
    for schedule in dividends.values():
        engine_schedule(schedule)
    names["underlying"] = (columns or {}).get("underlying", "underlying")
    return dict(dividends)


_DIVIDENDS = ("greekmill.Dividends, mapping or None",
              "One schedule for every row, or a mapping from the values of the column "
              "``underlying`` (renamed with ``columns=``) to schedules; rows whose underlying "
              "has none pay no cash dividends.  A mapping none of whose keys is a value of "
              "that column is a ValueError (a pandas DataFrame); keys match as dictionary "
              "keys do, case and type included.")

value.__doc__ = _docs.numpydoc(value, """\
Price (and with ``greeks=True`` the five Greeks) of every row.
""", returns="""\
pandas.DataFrame or dask.dataframe.DataFrame
    A new frame with ``df``'s index and the float64 columns ``price`` (in
    currency units) and, with ``greeks=True``, ``delta``, ``gamma``,
    ``theta`` (per calendar day), ``vega`` (per 1.0 of volatility) and
    ``rho`` (per percentage point of rate); lazy for a Dask DataFrame.  With
    ``reasons=True`` also ``reason``, a Categorical of ``greekmill.Reason``
    names: why a row is NaN, ``OK`` where it was valued.""",
    raises=_RAISES, examples="""\
>>> import pandas as pd
>>> import greekmill as gm
>>> book = pd.DataFrame({"s": [90.0, 110.0], "k": 100.0, "t": 0.5, "r": 0.05,
...                      "sigma": 0.2, "q": 0.02, "option_type": ["put", "call"]},
...                     index=["a", "b"])
>>> gm.tables.value(book, "european").round(4)
     price   delta   gamma   theta     vega     rho
a  10.5099 -0.7079  0.0264 -0.0050  21.3885 -0.3711
b  13.1864  0.7946  0.0177 -0.0171  21.3939  0.3711
>>> gm.tables.value(book, greeks=False).round(4)
     price
a  10.9745
b  13.1864
""", overrides={"dividends": _DIVIDENDS, "reasons": _REASONS,
                "model": ("str",
                          '``"european"`` (Black-Scholes-Merton), ``"american"`` (the '
                          'accurate engine at ``accuracy``) or ``"bjerksund-stensland"`` '
                          "(the closed form of ``greekmill_python``).")})

implied_volatility.__doc__ = _docs.numpydoc(implied_volatility, """\
The volatility that reprices the column ``price`` of every row (``sigma`` is
not read).
""", returns="""\
pandas.DataFrame or dask.dataframe.DataFrame
    A new frame with ``df``'s index and the float64 column
    ``implied_volatility`` (annual fraction); lazy for a Dask DataFrame.  With
    ``reasons=True`` also ``reason``, a Categorical of ``greekmill.Reason``
    names: why a row is NaN (below a bound, ...), ``OK`` where it was solved.""",
    raises=_RAISES, examples="""\
>>> import pandas as pd
>>> import greekmill as gm
>>> quotes = pd.DataFrame({"mid": [10.5, 12.0], "s": [90.0, 110.0], "k": 100.0,
...                        "t": 0.5, "r": 0.05, "q": 0.02, "option_type": ["put", "call"]})
>>> gm.tables.implied_volatility(quotes, price="mid").round(4)
   implied_volatility
0              0.1995
1              0.1365
""", overrides={"dividends": _DIVIDENDS, "reasons": _REASONS,
                "model": ("str",
                          '``"european"`` or ``"american"`` (the accurate engine at '
                          "``accuracy``)."),
                "price": ("str", "Name of the column of option prices, "
                                                  "in currency units.")})


# ---- one pandas DataFrame (a whole table, or one partition)

Job = Callable[[dict[str, Any], "int | None", Any], dict[str, np.ndarray]]


def _value_rows(module: str, greeks: bool, keywords: dict[str, Any], dividends: Any,
                inputs: dict[str, Any], threads: int | None,
                progress: Any = None) -> dict[str, np.ndarray]:
    functions = _module(module)

    def rows(arguments: list[Any], schedule: Any, report: Any, errors: str) -> dict[str, Any]:
        # With the Greeks too: one valuation, one solve per row.
        function = functions.valuation if greeks else functions.price
        result = function(*arguments, **dict(keywords, errors=errors), threads=threads,
                          progress=report, dividends=schedule)
        return _columns_of(result, keywords["reasons"], lambda r: r._asdict() if greeks
                           else {"price": r})

    return _by_underlying(rows, [inputs[p] for p in PARAMETERS], inputs, dividends,
                          keywords["errors"], progress)


def _implied_rows(module: str, keywords: dict[str, Any], dividends: Any,
                  inputs: dict[str, Any], threads: int | None,
                  progress: Any = None) -> dict[str, np.ndarray]:
    functions = _module(module)

    def rows(arguments: list[Any], schedule: Any, report: Any, errors: str) -> dict[str, Any]:
        result = functions.implied_volatility(*arguments, **dict(keywords, errors=errors),
                                              threads=threads, progress=report,
                                              dividends=schedule)
        return _columns_of(result, keywords["reasons"], lambda r: {"implied_volatility": r})

    arguments = [inputs[p] for p in ("price", "s", "k", "t", "r", "q", "option_type")]
    return _by_underlying(rows, arguments, inputs, dividends, keywords["errors"], progress)


def _by_underlying(rows: Callable[..., dict[str, Any]], arguments: list[Any],
                   inputs: dict[str, Any], dividends: Any, errors: str,
                   progress: Any) -> dict[str, np.ndarray]:
    """`rows` on the whole table with one schedule, or with a mapping once per
    underlying that has a schedule and once for the rest; each row's bits are
    those of a call on its group alone."""
    if not isinstance(dividends, dict):
        return rows(arguments, dividends, False if progress is None else progress, errors)
    n = len(inputs["underlying"])
    groups = [(where, dividends[key]) for key, where in _groups(inputs["underlying"], dividends)]
    rest = np.ones(n, dtype=bool)
    for where, _ in groups:
        rest[where] = False
    groups.append((np.flatnonzero(rest), None))
    out: dict[str, np.ndarray] = {}
    offset = 0
    for where, schedule in groups:
        if where.size == 0:
            continue
        # Columns are numpy arrays, or the option types as stored (pandas, Arrow).
        subset = [a[where] if getattr(a, "ndim", 0) == 1 else a for a in arguments]
        # With errors="raise" the groups run with NaN for failures, so that the
        # message can name the table's first failing row and count them all.
        part = rows(subset, schedule, _group_stage(progress, offset, where.size, n), "nan")
        offset += where.size
        for name, values in part.items():
            out.setdefault(name, np.empty(n, dtype=np.asarray(values).dtype))[where] = values
    if errors == "raise":
        failed = np.isnan(next(iter(out.values())))
        if failed.any():
            _raise_first(rows, arguments, groups, failed)
    return out


def _groups(underlying: Any, dividends: dict[Any, Any]) -> list[tuple[Any, np.ndarray]]:
    """The rows of each key of `dividends` found in the column `underlying`
    (compared as dictionary keys are: ==, with the type's hash; missing values
    such as None, NaN or pandas.NA match no key)."""
    import pandas as pd

    codes, uniques = pd.factorize(underlying)
    position = {value: i for i, value in enumerate(uniques)}
    return [(key, np.flatnonzero(codes == position[key])) for key in dividends
            if key in position]


def _raise_first(rows: Callable[..., dict[str, Any]], arguments: list[Any],
                 groups: list[tuple[np.ndarray, Any]], failed: np.ndarray) -> None:
    """The ValueError of the table's first failing row, with the table's count."""
    first = int(np.flatnonzero(failed)[0])
    for where, schedule in groups:
        if first in where:
            # The row alone, with its group's schedule: the message of that element.
            subset = [a[[first]] if getattr(a, "ndim", 0) == 1 else a for a in arguments]
            try:
                rows(subset, schedule, False, "raise")
            except ValueError as error:
                message = _ROW_INDEX.sub(f"[{first}]", str(error), count=1)
                message = message.replace(" (1 such element)", "", 1)
                count = int(failed.sum())
                if count > 1:
                    message = message.replace(
                        _REASON_THERE, f"; {count} rows fail, this is the first{_REASON_THERE}", 1)
                raise ValueError(message) from None
    raise ValueError(f"row {first} could not be valued")  # not reached: a NaN has a reason


_ROW_INDEX = re.compile(r"\[0\]")
_REASON_THERE = " (Reason."  # the start of the end of every failure message


def _group_stage(report: Any, offset: int, size: int, n: int) -> Any:
    """The call of one group of rows reported as part of the whole table: the
    groups one after the other, one unit per row."""
    if report is None:
        return False

    def forward(done: int, total: int) -> Any:
        return report(offset + done * size // max(total, 1), n)

    return forward


def _columns_of(result: Any, reasons: bool,
                columns: Callable[[Any], dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """A function's result as named columns, with its reason codes as ``reason``."""
    if not reasons:
        return dict(columns(result))
    values, codes = result
    return {**columns(values), "reason": codes}


def _flag(value: object, what: str) -> bool:
    if value is not True and value is not False:
        raise TypeError(f"{what} must be True or False; got {value!r}")
    return value


def _reason_column(codes: Any) -> Any:
    """The int8 codes of the engine as a Categorical of the Reason names."""
    import pandas as pd

    return pd.Categorical.from_codes(np.asarray(codes, dtype=np.int8), categories=NAMES)


def _module(name: str) -> Any:
    return european if name == european.__name__ else american


def _rows(job: Job, names: dict[str, str], outputs: tuple[str, ...], threads: int | None,
          frame: Any, progress: Any = None) -> Any:
    import pandas as pd

    if len(frame) == 0:
        if progress is not None:
            progress(0, 0)
        return pd.DataFrame({name: np.empty(0) if name != "reason" else _reason_column([])
                             for name in outputs}, index=frame.index)
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
        elif parameter != "underlying":  # a label, not a number
            inputs[parameter] = _numeric_cells(column, parameter, frame.index)
        else:
            inputs[parameter] = column.array  # labels as stored: pandas.NA stays missing
    try:
        result = job(inputs, threads, progress)
    except ValueError as error:
        raise ValueError(_with_label(str(error), frame.index)) from None
    return pd.DataFrame({name: result[name] if name != "reason" else _reason_column(result[name])
                         for name in outputs}, index=frame.index)


def _task_rows(frame: Any, job: Job, names: dict[str, str], outputs: tuple[str, ...],
               threads: int | None) -> Any:
    """One partition of a Dask DataFrame, in a task: see ``_dask.task_threads``."""
    return _rows(job, names, outputs, _dask.task_threads(threads), frame)


def _numeric_cells(column: Any, parameter: str, index: Any) -> np.ndarray:
    """An object column as float64 by the array functions' rules (text is no
    number), or a TypeError naming the first cell that is not one."""
    cells = column.to_numpy()
    try:
        return _arrays._numeric(cells, parameter)
    except TypeError:
        pass
    for row, cell in enumerate(cells):
        try:
            _arrays._numeric(np.array([cell], dtype=object), parameter)
        except TypeError:
            raise TypeError(
                f"column {column.name!r} (for {parameter}) holds {cell!r} in row {row} (index "
                f"label {_arrays._plain(index[row])!r}), which is not a number; convert the column, e.g. with "
                f"pandas.to_numeric(df[{column.name!r}], errors='coerce') (NaN where it is "
                f"no number)") from None
    raise TypeError(f"column {column.name!r} (for {parameter}) does not convert to float64")


_ROW = re.compile(r"\[(\d+)\] = ")


def _with_label(message: str, index: Any) -> str:
    """Adds the index label of the row the message names by its position."""
    match = _ROW.search(message)
    if match is None or int(match.group(1)) >= len(index):
        return message
    label = _arrays._plain(index[int(match.group(1))])
    return f"{message} (row {match.group(1)}: index label {label!r})"


# ---- pandas or Dask

def _by_partition(df: Any, job: Job, names: dict[str, str], outputs: tuple[str, ...],
                  threads: int | None, what: str, progress: Any = False,
                  dividends: Any = None) -> Any:
    if threads is not None:
        _arrays._threads(threads)
    report = _progress.reporter(progress, f"greekmill.tables.{what}")
    _check_columns(df, names, what)
    if isinstance(dividends, dict) and dividends and not _arrays.is_dask_collection(df):
        _check_keys(df[names["underlying"]], dividends, what)
    if _arrays.is_dask_collection(df):
        import pandas as pd

        if report is not None:
            raise ValueError(f"greekmill.tables.{what}: progress= follows a table valued "
                             f"here; a Dask DataFrame's result is lazy: follow its "
                             f"computation with Dask's own progress bars")
        meta = pd.DataFrame({name: pd.Series(dtype=np.float64) if name != "reason"
                             else pd.Series(_reason_column([])) for name in outputs},
                            index=df._meta.index)
        return df.map_partitions(_task_rows, job, names, outputs, threads, meta=meta)
    try:
        return _rows(job, names, outputs, threads, df, report)
    finally:
        if isinstance(report, _progress.Bar):
            report.close()


def _check_keys(underlying: Any, dividends: dict[Any, Any], what: str) -> None:
    """A mapping of which no key is a value of the column is a mistake (keys
    in another case, numbers for text): a book holding only some of the
    mapped underlyings is not."""
    if len(underlying) == 0 or _groups(underlying.array, dividends):
        return
    import pandas as pd

    held = list(pd.unique(underlying.dropna()))
    raise ValueError(
        f"greekmill.tables.{what}: no key of dividends= is a value of the column "
        f"{underlying.name!r}: the keys are {_few(list(dividends))}, the column holds "
        f"{_few(held)} (keys are compared with ==, so case and type count)")


def _few(values: list[Any]) -> str:
    shown = ", ".join(repr(_arrays._plain(v)) for v in values[:5])
    return f"[{shown}{', ...' if len(values) > 5 else ''}] ({len(values)})"


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
    missing = [parameter for parameter, name in names.items()
               if name not in present and not (parameter == "q" and name == "q")]
    if missing:
        listed = ", ".join(f"{names[p]!r} (for {p})" for p in missing)
        # The keyword that fixes it: price= names the column of prices,
        # columns= the others.
        unused = [str(c) for c in df.columns if c not in names.values()]
        hints = []
        if "price" in missing:
            hints.append(f"name the column of prices with price=, e.g. "
                         f"price={unused[0] if unused else 'mid'!r}")
        others = [p for p in missing if p != "price"]
        if others:
            hints.append("map parameters to other column names with columns=, e.g. columns={"
                         + ", ".join(f"{p!r}: '...'" for p in others) + "}")
        raise KeyError(f"greekmill.tables.{what}: no column {listed} in the DataFrame; its "
                       f"columns are {list(df.columns)!r} ({'; '.join(hints)})")


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
