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
from ._dividends import Dividends, engine_schedule
from ._reasons import Reason, of_failure
from ._results import Greeks, Valuation

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
    14: (0, "is below the resolution of the engine"),
}
_NOT_CONVERGED = 11
_NOT_REPRESENTABLE = 12
# 13 is an option type that is neither a call nor a put (_type_failure).
_BELOW_RESOLUTION = 14
_DOUBLE_BOUNDARY = 15


class Operation:
    """One row of the engine's table, with the names the Python function uses."""

    __slots__ = ("name", "index", "outputs", "labels", "failure_columns", "record")

    def __init__(self, name: str, labels: Sequence[str] = _COLUMNS,
                 failure_columns: dict[int, int] | None = None) -> None:
        self.name = name
        self.index, self.outputs = OPERATIONS[name]
        # The record of a many-valued result: the five Greeks, or the value and them.
        self.record: Any = Valuation if self.outputs == 6 else Greeks
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
        raise ValueError(f"option_type must be 'call' or 'put' ('c', 'p', any letter case); "
                         f"got {_shown(value)}")
    return code


def _shown(value: object) -> str:
    """The repr of a value in a message; a long text by its head and its length."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (str, bytes)) and len(value) > _SHOWN:
        unit = "characters" if isinstance(value, str) else "bytes"
        return f"{value[:_SHOWN]!r}... ({len(value)} {unit})"
    return repr(value)


_SHOWN = 50
_EPSILON = float(np.finfo(np.float64).eps)

# How the engine stores an option-type column (core/batch/columns.hpp, TypeStorage).
_CODES, _UTF32, _BYTES, _DICTIONARY, _UTF8, _LARGE_UTF8, _UNSIGNED_DICTIONARY = range(7)
_NOT_AN_OPTION_TYPE = 2


class _Types:
    """An option-type column as the engine reads it, and its own elements for messages."""

    __slots__ = ("spec", "shape", "element", "bad")

    def __init__(self, spec: Any, shape: tuple[int, ...], element: Any) -> None:
        self.spec = spec          # an int code, or (storage, width, pieces) for _native
        self.shape = shape
        self.element = element    # flat index -> the element as given
        self.bad = 0              # bad elements of a column decoded before broadcasting


def _piece(length: int, values: Any, text: Any = None, valid: Any = None, offset: int = 0,
           table: Any = None, start: int = 0) -> tuple[Any, ...]:
    return (start, length, values, text, valid, offset, table)


def _option_types(option_type: object) -> _Types:
    """Reads nothing per element: describes the column's buffers for the engine."""
    if isinstance(option_type, str):
        return _Types(_option_code(option_type), (), lambda i: option_type)
    module = type(option_type).__module__
    if module.startswith("pyarrow"):
        return _arrow_types(option_type)
    if module.startswith("pandas"):
        array = getattr(option_type, "array", option_type)  # a Series, an Index: its values
        if hasattr(array, "categories") and hasattr(array, "codes"):
            return _categorical_types(array)
        dtype = getattr(array, "dtype", None)
        if getattr(dtype, "storage", None) == "pyarrow" or type(dtype).__name__ == "ArrowDtype":
            return _arrow_types(array.__arrow_array__())  # the Arrow buffers, not copied
        option_type = array
    array = np.asarray(option_type)
    if array.ndim == 0:
        element = array.item()
        if isinstance(element, bytes):  # a 0-d bytes array: ASCII, as a bytes column is read
            element = element.decode("ascii", "replace")
        return _Types(_option_code(element), (), lambda i: array.item())
    if array.dtype.kind == "T":  # numpy's variable-width StringDType: read as str objects
        array = array.astype(object)
    flat = np.ascontiguousarray(array).reshape(-1)
    if array.dtype.kind in "US":
        storage = _UTF32 if array.dtype.kind == "U" else _BYTES
        if array.dtype.itemsize == 0:
            empty = np.full(flat.size, _NOT_AN_OPTION_TYPE, np.uint8)  # "" is no option type
            return _Types((_CODES, 1, (_piece(flat.size, empty),)),
                          array.shape, flat.__getitem__)
        return _Types((storage, array.dtype.itemsize, (_piece(flat.size, flat),)), array.shape,
                      flat.__getitem__)
    if array.dtype.kind == "O":
        codes = np.empty(flat.size, dtype=np.uint8)
        _native.codes_of_objects(flat, codes)
        return _Types((_CODES, 1, (_piece(flat.size, codes),)), array.shape, flat.__getitem__)
    raise TypeError(f"option_type must be a str or an array of str; got an array of {array.dtype}")


def _table_of(categories: Any) -> np.ndarray:
    """The code of each category (a handful of them, read once)."""
    return np.fromiter((OPTION_TYPES.get(c, _NOT_AN_OPTION_TYPE) if isinstance(c, str)
                        else _NOT_AN_OPTION_TYPE for c in categories), dtype=np.uint8,
                       count=len(categories))


def _categorical_types(categorical: Any) -> _Types:
    codes = np.ascontiguousarray(categorical.codes)
    table = _table_of(list(categorical.categories))
    return _Types((_DICTIONARY, codes.dtype.itemsize, (_piece(codes.size, codes, table=table),)),
                  codes.shape, lambda i: categorical[i])


def _arrow_types(array: Any) -> _Types:
    import pyarrow as pa

    chunks = array.chunks if isinstance(array, pa.ChunkedArray) else [array]
    value_type = array.type
    pieces: list[tuple[Any, ...]] = []
    start = 0
    if pa.types.is_dictionary(value_type):
        storage = (_DICTIONARY if pa.types.is_signed_integer(value_type.index_type)
                   else _UNSIGNED_DICTIONARY)
        width = value_type.index_type.bit_width // 8
        for chunk in chunks:
            validity, indices = chunk.indices.buffers()[:2]
            table = _table_of(chunk.dictionary.to_pylist())
            pieces.append(_piece(len(chunk), indices, None, validity, chunk.offset, table, start))
            start += len(chunk)
    elif pa.types.is_string(value_type) or pa.types.is_large_string(value_type):
        storage = _UTF8 if pa.types.is_string(value_type) else _LARGE_UTF8
        width = 4 if storage == _UTF8 else 8
        for chunk in chunks:
            validity, offsets, text = chunk.buffers()[:3]
            pieces.append(_piece(len(chunk), offsets, text, validity, chunk.offset, None, start))
            start += len(chunk)
    else:
        # Other layouts (string views, binary): read as Python objects once.
        return _option_types(np.asarray(array.to_pylist(), dtype=object))
    if not pieces:
        return _Types((_CODES, 1, ()), (0,), lambda i: None)
    return _Types((storage, width, tuple(pieces)), (start,), lambda i: array[int(i)].as_py())


def _type_column(types: _Types, shape: tuple[int, ...], n: int) -> Any:
    """The engine's column: the types as they are, or their codes broadcast."""
    size = math.prod(types.shape)
    if isinstance(types.spec, int) or size == n or size == 1:
        return types.spec
    codes = np.empty(size, dtype=np.uint8)
    _native.option_codes(types.spec, size, codes)
    types.bad = int(np.count_nonzero(codes == _NOT_AN_OPTION_TYPE))
    whole = np.ascontiguousarray(np.broadcast_to(codes.reshape(types.shape), shape))
    return (_CODES, 1, (_piece(n, whole.reshape(-1)),))


def _own_element(types: _Types, shape: tuple[int, ...],
                 flat: int) -> tuple[tuple[int, ...], int]:
    """The position in the option-type column itself of broadcast element `flat`,
    and its flat index there."""
    own = types.shape
    if math.prod(own) == math.prod(shape):
        position = tuple(int(i) for i in np.unravel_index(flat, own)) if own else ()
    else:  # broadcast: the element of the column itself
        whole = np.unravel_index(flat, shape)
        position = tuple(0 if d == 1 else int(i)
                         for d, i in zip(own, whole[len(shape) - len(own):]))
    return position, int(np.ravel_multi_index(position, own)) if own else 0


def _is_put(types: _Types, shape: tuple[int, ...], flat: int) -> bool:
    value = types.element(_own_element(types, shape, flat)[1])
    text = value.decode("ascii", "replace") if isinstance(value, bytes) else str(value)
    return OPTION_TYPES.get(text) == 1


def _type_failure(function: str, types: _Types, shape: tuple[int, ...], flat: int,
                  count: int, labels: Any) -> str:
    """The message for the first element that is neither a call nor a put."""
    position, own_flat = _own_element(types, shape, flat)
    if math.prod(types.shape) != math.prod(shape):
        count = types.bad  # counted in the column, not in its broadcast copies
    value = types.element(own_flat)
    text = (f"{function}: option_type must be 'call' or 'put' ('c', 'p', any letter case); "
            f"option_type[{_index_text(position)}] = {_shown(value)} is not "
            f"({count} such element{'s' if count > 1 else ''})")
    return text + _nan_instead(Reason.INVALID_INPUT) + _label_of(labels, flat, shape)


def _nan_instead(reason: Reason) -> str:
    """The end of every failure message: the element's reason, and the way on."""
    return f" (Reason.{reason.name}; errors='nan' gives NaN there instead)"


def _label_of(labels: Any, flat: int, shape: tuple[int, ...]) -> str:
    if labels is None or len(shape) != 1:
        return ""
    return f" (row {flat}: index label {_plain(labels[flat])!r})"


def _plain(value: object) -> object:
    """A numpy scalar as the Python value it holds, so that a message shows
    ``0``, not ``np.int64(0)``."""
    return value.item() if isinstance(value, np.generic) else value


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


def _bound_rule(function: str, code: int, value_at: Any, put: bool, accuracy: object,
                dividends: object = None) -> str:
    """The bound of an implied volatility that the price crossed, with its value."""
    s, k, t, r, q = (float(value_at(c)) for c in (1, 2, 3, 4, 6))
    if dividends is not None and code == 8 and t > 0.0:
        from ._dividends import lower_bound_rule  # the bound of the schedule given
        return lower_bound_rule(function, (s, k, t, r, q), put, accuracy, dividends)
    sign = -1.0 if put else 1.0
    exercise = max(sign * (s - k), 0.0) + 0.0  # never -0
    intrinsic = f"the intrinsic value max({'k - s' if put else 's - k'}, 0) is {exercise:.10g}"
    if "american" in function:
        if code == _BELOW_RESOLUTION:
            upper = k if put else s
            return (f"is positive but within 4 ulps of max({'k' if put else 's'}, price) "
                    f"({4 * _EPSILON * max(upper, float(value_at(0))):.3g}) of the exercise "
                    f"value 0: some volatility gives that value, but the engine's values are "
                    f"rounded at the scale of the {'strike' if put else 'spot'} "
                    f"{upper:.10g}, so a price this small cannot be inverted")
        if code == 10:
            return (f"equals the exercise value {exercise:.10g}: every low enough volatility "
                    "gives that American value, so the price carries no information about "
                    "volatility")
        if code == 9:
            # Where the holder waits to expiry (r < 0 for a put, q < 0 for a
            # call) the bound is the larger discounted strike or spot.
            held = k * math.exp(-r * t) if put else s * math.exp(-q * t)
            if held > (k if put else s):
                return (f"is at or above the upper no-arbitrage bound {held:.10g} (the "
                        f"discounted {'strike k e^(-rt)' if put else 'spot s e^(-qt)'}, above "
                        f"the {'strike' if put else 'spot'} where "
                        f"{'r' if put else 'q'} < 0: an American {'put' if put else 'call'}'s "
                        f"value as the volatility grows without bound)")
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
                     put_at: Any = None, accuracy: object = "accurate",
                     dividends: object = None) -> str:
    where = "" if index is None else f"[{_index_text(index)}]"
    if code == _NOT_REPRESENTABLE:
        text = (f"{function}: the result{where and ' at ' + where} is not representable in "
                f"double precision: a term of the computation overflows or is 0/0 at these "
                f"inputs")
    elif code == _DOUBLE_BOUNDARY:
        r, q, put = float(value_at(4)), float(value_at(6)), bool(put_at())
        text = (f"{function}: the option{where and ' at ' + where} (r = {r!r}, q = {q!r}) is "
                f"in the double-boundary regime "
                f"({'q < r <= 0 for a put' if put else 'r < q <= 0 for a call'}): early "
                f"exercise happens between two boundaries, so there is no single one")
    elif code not in _DOMAIN:
        text = f"{function}: the engine could not value the option{where and ' at ' + where}"
        if dividends is not None:
            from ._dividends import failure_reason  # why the cash-dividend engine did not
            text += failure_reason(function, value_at, bool(put_at()), accuracy, dividends)
    else:
        column, rule = _DOMAIN[code]
        column = op.failure_columns.get(code, column)
        label = op.labels[column]
        value = float(value_at(column))
        if code <= 7:
            text = f"{function}: {label}{where} = {value!r} is out of the domain ({label} {rule})"
        else:
            rule = _bound_rule(function, code, value_at, bool(put_at()), accuracy, dividends)
            text = f"{function}: {label}{where} = {value!r} {rule}"
    if count > 1:
        text += f"; {count} elements fail, this is the first"
    return text + _nan_instead(of_failure(code))


_tuple_new = tuple.__new__


def evaluate(function: str, op: Operation, values: tuple[Any, ...], option_type: object,
             precision: object, accuracy: object, errors: object, threads: object,
             progress: object = False, dividends: object = None, out: Any = None,
             reasons: object = False) -> Any:
    """Run `op`; `values` are the seven engine columns (price, s, k, t, r, sigma, q).

    `dividends`: None or a ``Dividends`` schedule read by every element.
    `reasons`: True returns (result, reason) with a ``Reason`` per element,
    written by the engine beside the result.
    """
    schedule = engine_schedule(dividends)
    if reasons is not False and reasons is not True:
        raise TypeError(f"{function}: reasons must be True or False; got {reasons!r}")
    # All plain numbers and plain keywords: one call on this thread, no numpy,
    # every check in the engine (NotImplemented sends anything else below).
    if progress is False and schedule is None and out is None and not reasons and (
            threads is None or (type(threads) is int and threads > 0)):
        result = _native.evaluate(op.index, precision, accuracy, errors, option_type, *values)
        if result is not NotImplemented:
            if type(result) is int:
                raise ValueError(_failure_message(
                    function, op, result, 1, values.__getitem__, None,
                    lambda: _option_code(option_type), accuracy))
            return result if op.outputs == 1 else _tuple_new(op.record, result)

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
        if out is not None:
            raise ValueError(f"{function}: out= takes numpy arrays; with Dask arrays the "
                             f"result is lazy")
        from . import _dask
        return _dask.evaluate(function, op, values, option_type, precision, accuracy, errors,
                              threads, dividends if schedule is not None else None,
                              reasons=reasons)

    index = None
    if not _PLAIN.issuperset(map(type, (*values, option_type))):
        index, values, option_type = _aligned(function, op, values, option_type)

    arrays = [_numeric(v, label) for v, label in zip(values, op.labels)]
    types = _option_types(option_type)
    shape = _broadcast_shape(function, op, arrays, types.shape)
    if index is not None and shape != (len(index),):
        raise ValueError(f"{function}: pandas Series give results on their index; the other "
                         f"inputs broadcast them to the shape {shape}")
    n = math.prod(shape)
    columns = [_column(a, shape, n) for a in arrays]
    type_column = _type_column(types, shape, n)
    outputs = (tuple(np.empty(shape) for _ in range(op.outputs)) if out is None
               else _outputs(function, op, out, shape, (*values, option_type, *arrays,
                                                        *_schedule_arrays(dividends))))
    codes = np.zeros(shape, dtype=np.int8) if reasons else None
    try:
        failed, first, reason, type_failed, first_type = _native.compute(
            op.index, precision_code, accuracy_code, 0, n, thread_count,
            (*columns, type_column), outputs, report, schedule, codes)
    finally:
        if isinstance(report, _progress.Bar):
            report.close()
    if failed and errors == "raise":
        if type_failed:
            raise ValueError(_type_failure(function, types, shape, first_type, type_failed,
                                           index))
        where = tuple(int(i) for i in np.unravel_index(first, shape)) if shape else None
        raise ValueError(_failure_message(
            function, op, reason, failed,
            lambda column: np.broadcast_to(arrays[column], shape)[where or ()], where,
            lambda: _is_put(types, shape, first), accuracy,
            None if schedule is None else dividends)
            + _label_of(index, first, shape))
    result = _result(function, op, outputs, index, shape if out is None else None)
    if codes is None:
        return result
    if index is not None:
        import pandas as pd
        return result, pd.Series(codes, index=index, name="reason", copy=False)
    return result, Reason(int(codes[()])) if shape == () else codes


def _result(function: str, op: Operation, outputs: tuple[np.ndarray, ...], index: Any,
            shape: tuple[int, ...] | None) -> Any:
    """The result as returned: on a pandas index, floats for a scalar call (shape
    ()), else the arrays (also those of ``out=``, shape None)."""
    if index is not None:
        return _pandas_result(function, op, outputs, index)
    if shape == ():
        return float(outputs[0][()]) if op.outputs == 1 else op.record(
            *(float(o[()]) for o in outputs))
    return outputs[0] if op.outputs == 1 else op.record(*outputs)


def _schedule_arrays(dividends: object) -> tuple[Any, ...]:
    """The caller's schedule arrays, which out= may not overlap either."""
    return (dividends.times, dividends.amounts) if isinstance(dividends, Dividends) else ()


def _outputs(function: str, op: Operation, out: Any, shape: tuple[int, ...],
             inputs: tuple[Any, ...]) -> tuple[np.ndarray, ...]:
    """The caller's arrays to write into, numpy's rules for ``out=``."""
    given = (out,) if op.outputs == 1 and not isinstance(out, tuple) else out
    if not isinstance(given, tuple) or len(given) != op.outputs:
        what = "an array" if op.outputs == 1 else f"a tuple of {op.outputs} arrays"
        raise ValueError(f"{function}: out must be {what}")
    for position, array in enumerate(given):
        name = "out" if op.outputs == 1 else f"out[{position}]"
        if not isinstance(array, np.ndarray):
            raise ValueError(f"{function}: {name} must be a numpy array; got "
                             f"{type(array).__name__}")
        if array.dtype != np.float64 or array.shape != shape:
            raise ValueError(f"{function}: {name} must be float64 of shape {shape}; got "
                             f"{array.dtype} of shape {array.shape}")
        if not array.flags.c_contiguous or not array.flags.writeable:
            raise ValueError(f"{function}: {name} must be C-contiguous and writeable")
        others = [a for a in inputs if isinstance(a, np.ndarray)] + list(given[:position])
        if any(np.shares_memory(array, other) for other in others):
            raise ValueError(f"{function}: {name} overlaps an input, the dividend schedule or "
                             f"another output")
    return given


def _is_series(value: object) -> bool:
    kind = type(value)
    return kind.__name__ == "Series" and kind.__module__.startswith("pandas")


def _aligned(function: str, op: Operation, values: tuple[Any, ...],
             option_type: Any) -> tuple[Any, tuple[Any, ...], Any]:
    """pandas Series aligned on their index, as pandas arithmetic aligns them.

    Returns the common index (None without a Series), the numbers as arrays in
    its order and the option types as the column of its order.
    """
    named = [(label, v) for label, v in zip((*op.labels, "option_type"), (*values, option_type))
             if _is_series(v)]
    if not named:
        return None, values, option_type
    first, index = named[0][0], named[0][1].index
    for label, other in named[1:]:
        if not index.equals(other.index):
            if not (index.is_unique and other.index.is_unique):
                raise ValueError(
                    f"{function}: the Series {first} and {label} have different indexes, one "
                    f"with repeated labels, which cannot be aligned label by label; give them "
                    f"the same index (e.g. {label}.set_axis({first}.index) if the rows "
                    f"correspond) or pass arrays (.to_numpy())")
            index = index.join(other.index, how="outer")
    # NaN where a Series has no row: out of the domain, as pandas would give NaN.
    def aligned(value: Any, numeric: bool) -> Any:
        if not _is_series(value):
            return value
        if not value.index.equals(index):
            value = value.reindex(index)
        if numeric and value.dtype.kind in "biuf":
            return value.to_numpy(dtype=np.float64, na_value=np.nan)
        return value.array
    return (index, tuple(aligned(v, True) for v in values), aligned(option_type, False))


def _pandas_result(function: str, op: Operation, outputs: tuple[np.ndarray, ...],
                   index: Any) -> Any:
    import pandas as pd

    if op.outputs == 1:
        return pd.Series(outputs[0], index=index, name=function.rsplit(".", 1)[-1], copy=False)
    return pd.DataFrame(dict(zip(op.record._fields, outputs)), index=index, copy=False)


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

