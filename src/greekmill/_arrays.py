"""One normalisation for every function of the package.

Inputs are broadcast, converted to float64 and checked for shape here; the
numbers are computed by the native engine without the interpreter lock, over
contiguous columns (a broadcast scalar is a column of stride 0, never
materialised).  All-scalar calls skip numpy entirely.
"""

from __future__ import annotations

import itertools
import math
import numbers
import sys
from typing import Any, Sequence

import numpy as np

from . import _native, _progress
from ._dividends import engine_schedule
from ._results import Greeks

OPERATIONS: dict[str, tuple[int, int]] = _native.operation_table()

PRECISIONS = {"exact": 0, "fast": 1}
ACCURACIES = {"fast": 0, "accurate": 1, "high": 2}
ERRORS = ("raise", "nan")


def _spellings(word: str) -> list[str]:
    return ["".join(letters) for letters in itertools.product(*({c, c.upper()} for c in word))]


# Every accepted spelling of an option type, mapped to its code (0 call, 1 put).
OPTION_TYPES: dict[str, int] = {
    **{w: 0 for word in ("call", "c") for w in _spellings(word)},
    **{w: 1 for word in ("put", "p") for w in _spellings(word)},
}

# The columns of the engine, in its order, and the failure codes of
# core/batch/columns.hpp: code -> (column, what the domain requires).
_COLUMNS = ("price", "s", "k", "t", "r", "sigma", "q")
_DOMAIN = {
    1: (0, "must be finite"),
    2: (1, "must be finite and > 0"),
    3: (2, "must be finite and > 0"),
    4: (3, "must be finite and >= 0"),
    5: (4, "must be finite"),
    6: (5, "must be finite and >= 0"),
    7: (6, "must be finite"),
    # 8 to 10, the no-arbitrage bounds of implied volatility: _bound_rule
    # words them with their values.
    8: (0, "is below the lower no-arbitrage bound"),
    9: (0, "is at or above the upper no-arbitrage bound"),
    10: (0, "equals the exercise value"),
}
_NOT_CONVERGED = 11
_NOT_REPRESENTABLE = 12


class Operation:
    """One row of the engine's table, with the names the Python function uses."""

    __slots__ = ("name", "index", "outputs", "labels", "failure_columns")

    def __init__(self, name: str, labels: Sequence[str] = _COLUMNS,
                 failure_columns: dict[int, int] | None = None) -> None:
        self.name = name
        self.index, self.outputs = OPERATIONS[name]
        # How the Python function calls each engine column (tau for the
        # exercise boundary travels in the spot column), and the column a
        # failure code names where it is not the usual one.
        self.labels = tuple(labels)
        self.failure_columns = failure_columns or {}


def _choice(value: object, accepted: dict[str, int] | tuple[str, ...], what: str) -> Any:
    if isinstance(value, str) and value in accepted:
        return accepted[value] if isinstance(accepted, dict) else value
    names = ", ".join(repr(a) for a in accepted)
    raise ValueError(f"{what} must be one of {names}; got {value!r}")


def _threads(threads: object) -> int:
    """0 for every CPU, else at most `threads` (any size: the engine takes no
    more threads than the machine has CPUs)."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be None or a positive int; got {threads!r}")
    if threads < 1:
        raise ValueError(f"threads must be None or a positive int; got {threads!r}")
    return min(threads, _MAX_THREADS)


_MAX_THREADS = 1 << 20


def _option_code(value: object) -> int:
    if not isinstance(value, str):
        raise TypeError(f"option_type must be a str or an array of str; got {type(value).__name__}")
    code = OPTION_TYPES.get(value)
    if code is None:
        raise ValueError(f"option_type must be 'call' or 'put' ('c', 'p', any letter case); got {value!r}")
    return code


def _option_codes(option_type: object) -> tuple[int | np.ndarray, tuple[int, ...]]:
    """The option types as a code (0 call, 1 put) or an array of uint8 codes."""
    if isinstance(option_type, str):
        return _option_code(option_type), ()
    array = np.asarray(option_type)
    if array.ndim == 0:
        return _option_code(array.item()), ()
    if array.dtype.kind == "U":
        return _codes_of_text(array), array.shape
    if array.dtype.kind == "O":
        codes = np.fromiter((_option_code(v) for v in array.reshape(-1)), dtype=np.uint8,
                            count=array.size)
        return codes.reshape(array.shape), array.shape
    raise TypeError(f"option_type must be a str or an array of str; got an array of {array.dtype}")


_CALL = np.array([ord(c) for c in "call"], dtype=np.uint32)
_PUT = np.array([ord(c) for c in "put"] + [0], dtype=np.uint32)
_C = np.array([ord("c"), 0, 0, 0], dtype=np.uint32)
_P = np.array([ord("p"), 0, 0, 0], dtype=np.uint32)


def _codes_of_text(array: np.ndarray) -> np.ndarray:
    # Compare code points, not Python strings: a million elements in a few
    # milliseconds.  Only ASCII letters change case.  Blocks bound the
    # temporaries to a few megabytes whatever the size of the book.
    width = array.dtype.itemsize // 4
    points = np.ascontiguousarray(array).reshape(-1).view(np.uint32).reshape(-1, width)
    codes = np.empty(points.shape[0], dtype=np.uint8)
    bad_count, first_bad = 0, -1
    for start in range(0, points.shape[0], _TEXT_BLOCK):
        block = points[start:start + _TEXT_BLOCK]
        head = np.zeros((block.shape[0], 4), dtype=np.uint32)
        head[:, : min(width, 4)] = block[:, :4]
        head |= ((head >= 65) & (head <= 90)).astype(np.uint32) << 5
        put = (head == _PUT).all(axis=1) | (head == _P).all(axis=1)
        call = (head == _CALL).all(axis=1) | (head == _C).all(axis=1)
        bad = ~(put | call)
        if width > 4:
            bad |= (block[:, 4:] != 0).any(axis=1)
        if bad.any():
            if first_bad < 0:
                first_bad = start + int(np.flatnonzero(bad)[0])
            bad_count += int(bad.sum())
        codes[start:start + block.shape[0]] = put
    if bad_count:
        index = np.unravel_index(first_bad, array.shape)
        raise ValueError(
            f"option_type must be 'call' or 'put' ('c', 'p', any letter case); "
            f"option_type[{_index_text(index)}] = {str(array[index])!r} is not "
            f"({bad_count} such element{'s' if bad_count > 1 else ''})")
    return codes.reshape(array.shape)


_TEXT_BLOCK = 1 << 16


def _index_text(index: tuple[Any, ...]) -> str:
    return ", ".join(str(int(i)) for i in index)


def _numeric(value: object, label: str) -> np.ndarray:
    array = np.asarray(value)
    if array.ndim > _MAX_DIMENSIONS:
        raise ValueError(f"{label} has {array.ndim} dimensions; at most {_MAX_DIMENSIONS} "
                         f"are supported")
    if array.dtype.kind in "biuf":
        return array.astype(np.float64, copy=False)
    if array.dtype.kind == "O":
        return _numeric_objects(array, label)
    raise TypeError(f"{label} must be a real number or an array of real numbers; got "
                    f"{type(value).__name__}" + (f" of {array.dtype}" if array.ndim else ""))


# numpy's own limit on the dimensions of a broadcast of several arrays.
_MAX_DIMENSIONS = 32


_NOT_NUMBERS = (str, bytes, bytearray, type(None))


def _numeric_objects(array: np.ndarray, label: str) -> np.ndarray:
    """An object array of numbers as float64.  Text, bytes and None are not
    numbers, though numpy's conversion would parse "100" or make None a NaN."""
    flat = array.reshape(-1)
    if not any(issubclass(kind, _NOT_NUMBERS) for kind in set(map(type, flat))):
        try:
            return array.astype(np.float64)
        except (TypeError, ValueError):
            pass  # the loop below names the element
    result = np.empty(flat.shape[0], dtype=np.float64)
    for i, element in enumerate(flat):
        if isinstance(element, float):
            result[i] = element
            continue
        if not isinstance(element, _NOT_NUMBERS):
            try:
                result[i] = element if isinstance(element, numbers.Real) else float(element)
                continue
            except (TypeError, ValueError):
                pass
        where = f"[{_index_text(np.unravel_index(i, array.shape))}]" if array.ndim else ""
        raise TypeError(f"{label}{where} must be a real number; got "
                        f"{type(element).__name__} {_short_repr(element)}")
    return result.reshape(array.shape)


def _short_repr(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 50 else f"{text[:50]}... ({len(text)} characters)"


def _bound_rule(function: str, code: int, value_at: Any, put: bool, accuracy: object) -> str:
    """The bound of an implied volatility that the price crossed, with its value."""
    s, k, t, r, q = (float(value_at(c)) for c in (1, 2, 3, 4, 6))
    sign = -1.0 if put else 1.0
    exercise = max(sign * (s - k), 0.0)
    intrinsic = f"the intrinsic value max({'k - s' if put else 's - k'}, 0) is {exercise:.10g}"
    if "american" in function:
        if code == 10:
            return (f"equals the exercise value {exercise:.10g}: every low enough volatility "
                    "gives that American value, so the price carries no information about "
                    "volatility")
        if code == 9:
            return (f"is at or above the upper no-arbitrage bound {(k if put else s):.10g} "
                    f"(the {'strike' if put else 'spot'}, an American "
                    f"{'put' if put else 'call'}'s value as the volatility grows without bound)")
        from . import american  # the value at zero volatility, for this message only
        engine_price: Any = american.price
        floor = engine_price(s, k, t, r, 0.0, q, "put" if put else "call", accuracy=accuracy)
        bound = max(exercise, floor)
        return (f"is below the lower no-arbitrage bound {bound:.10g} (the larger of the "
                f"exercise value and the value at zero volatility, {floor:.10g}); {intrinsic}")
    if t == 0.0:
        relation = "below" if code == 8 else "above"
        return (f"is {relation} the value at expiry {exercise:.10g}, which every volatility "
                f"gives ({intrinsic})")
    spot, strike = s * math.exp(-q * t), k * math.exp(-r * t)
    if code == 9:
        return (f"is at or above the upper no-arbitrage bound {(strike if put else spot):.10g} "
                f"(the discounted {'strike k e^(-rt)' if put else 'spot s e^(-qt)'}, the "
                f"value as the volatility grows without bound)")
    forward = "k e^(-rt) - s e^(-qt)" if put else "s e^(-qt) - k e^(-rt)"
    return (f"is below the lower no-arbitrage bound {max(sign * (spot - strike), 0.0):.10g} "
            f"(the value at zero volatility, max({forward}, 0)); {intrinsic}")


def _failure_message(function: str, op: Operation, code: int, count: int,
                     value_at: Any, index: tuple[int, ...] | None,
                     put_at: Any = None, accuracy: object = "accurate") -> str:
    where = "" if index is None else f"[{_index_text(index)}]"
    if code == _NOT_REPRESENTABLE:
        text = (f"{function}: the result{where and ' at ' + where} is not representable in "
                f"double precision: a term of the computation overflows or is 0/0 at these "
                f"inputs")
    elif code not in _DOMAIN:
        text = f"{function}: the engine could not value the option{where and ' at ' + where}"
    else:
        column, rule = _DOMAIN[code]
        column = op.failure_columns.get(code, column)
        label = op.labels[column]
        value = float(value_at(column))
        if code <= 7:
            text = f"{function}: {label}{where} = {value!r} is out of the domain ({label} {rule})"
        else:
            rule = _bound_rule(function, code, value_at, bool(put_at()), accuracy)
            text = f"{function}: {label}{where} = {value!r} {rule}"
    if count > 1:
        text += f"; {count} elements fail, this is the first"
    return text + " (errors='nan' gives NaN there instead)"


_tuple_new = tuple.__new__


def evaluate(function: str, op: Operation, values: tuple[Any, ...], option_type: object,
             precision: object, accuracy: object, errors: object, threads: object,
             progress: object = False, dividends: object = None) -> Any:
    """Run `op`; `values` are the seven engine columns (price, s, k, t, r, sigma, q).

    `dividends`: None or a ``Dividends`` schedule read by every element.
    """
    schedule = engine_schedule(dividends)
    # All plain numbers and plain keywords: one call on this thread, no numpy,
    # every check in the engine (NotImplemented sends anything else below).
    if progress is False and schedule is None and (
            threads is None or (type(threads) is int and threads > 0)):
        result = _native.evaluate(op.index, precision, accuracy, errors, option_type, *values)
        if result is not NotImplemented:
            if type(result) is int:
                raise ValueError(_failure_message(
                    function, op, result, 1, values.__getitem__, None,
                    lambda: _option_code(option_type), accuracy))
            return result if op.outputs == 1 else _tuple_new(Greeks, result)

    precision_code = _choice(precision, PRECISIONS, "precision")
    accuracy_code = _choice(accuracy, ACCURACIES, "accuracy")
    _choice(errors, ERRORS, "errors")
    thread_count = _threads(threads)
    if isinstance(option_type, str):
        _option_code(option_type)  # raises for an unknown type

    report = _progress.reporter(progress, function)

    # A Dask array among the inputs: a lazy block-wise graph instead (greekmill._dask).
    if not _PLAIN.issuperset(map(type, (*values, option_type))) and any(
            map(is_dask_collection, (*values, option_type))):
        if report is not None:
            raise ValueError(f"{function}: progress= follows a call computed here; a Dask "
                             f"result is lazy: follow its computation with Dask's own "
                             f"progress bars (dask.diagnostics.ProgressBar, "
                             f"distributed.progress)")
        from . import _dask
        return _dask.evaluate(function, op, values, option_type, precision, accuracy, errors,
                              threads, dividends if schedule is not None else None)

    arrays = [_numeric(v, label) for v, label in zip(values, op.labels)]
    codes, type_shape = _option_codes(option_type)
    shape = _broadcast_shape(function, op, arrays, type_shape)
    n = math.prod(shape)
    columns = [_column(a, shape, n) for a in arrays]
    types = codes if isinstance(codes, int) else _type_column(codes, shape, n)
    outputs = tuple(np.empty(shape) for _ in range(op.outputs))
    try:
        failed, first, reason = _native.compute(op.index, precision_code, accuracy_code, 0, n,
                                                thread_count, (*columns, types), outputs, report,
                                                schedule)
    finally:
        if isinstance(report, _progress.Bar):
            report.close()
    if failed and errors == "raise":
        index = tuple(int(i) for i in np.unravel_index(first, shape)) if shape else None
        raise ValueError(_failure_message(
            function, op, reason, failed,
            lambda column: np.broadcast_to(arrays[column], shape)[index or ()], index,
            lambda: codes if isinstance(codes, int) else np.broadcast_to(codes, shape)[index or ()],
            accuracy))
    if shape == ():
        return float(outputs[0][()]) if op.outputs == 1 else Greeks(*(float(o[()]) for o in outputs))
    return outputs[0] if op.outputs == 1 else Greeks(*outputs)


# Types that are never Dask collections: the common case skips the look-ups.
_PLAIN = frozenset({float, int, str, list, tuple, np.ndarray, np.float64})


def is_dask_collection(value: object) -> bool:
    """Whether `value` is a Dask collection with a task graph.  A numpy-backed
    xarray.DataArray has the attribute ``__dask_graph__`` too, returning None;
    and nothing is a Dask collection before Dask has been imported."""
    dask = sys.modules.get("dask")
    return dask is not None and bool(dask.is_dask_collection(value))


def _broadcast_shape(function: str, op: Operation, arrays: list[np.ndarray],
                     type_shape: tuple[int, ...]) -> tuple[int, ...]:
    shapes = [a.shape for a in arrays] + [type_shape]
    try:
        shape = np.broadcast_shapes(*shapes)
    except ValueError:
        shape = None
    if shape is not None and math.prod(shape) <= _MAX_ELEMENTS:
        return shape
    named = ", ".join(f"{label} {a.shape}" for label, a in zip(op.labels, arrays) if a.ndim)
    if type_shape:
        named += f", option_type {type_shape}"
    size = _broadcast_size(shapes)
    if size is None:
        raise ValueError(f"{function}: the shapes do not broadcast together: {named}")
    raise MemoryError(f"{function}: the result is too large: the shapes {named} broadcast to "
                      f"{size:,} elements, more than an array of float64 may hold")


# The most float64 elements an array may hold: its size in bytes fits an intp.
_MAX_ELEMENTS = np.iinfo(np.intp).max // 8


def _broadcast_size(shapes: list[tuple[int, ...]]) -> int | None:
    """The number of elements of the broadcast of `shapes` by numpy's rules
    (as a Python int, however large), or None when they do not broadcast."""
    size = 1
    for lengths in itertools.zip_longest(*(reversed(s) for s in shapes), fillvalue=1):
        longest = max(lengths)
        if any(n not in (1, longest) for n in lengths):
            return None
        size *= longest
    return size


def _column(array: np.ndarray, shape: tuple[int, ...], n: int) -> Any:
    if array.size == 1:
        return float(array.reshape(()))
    if array.size == n and array.flags.c_contiguous:
        return array
    return np.ascontiguousarray(np.broadcast_to(array, shape))


def _type_column(codes: np.ndarray, shape: tuple[int, ...], n: int) -> Any:
    if codes.size == 1:
        return int(codes.reshape(()))
    if codes.size == n and codes.flags.c_contiguous:
        return codes
    return np.ascontiguousarray(np.broadcast_to(codes, shape))
