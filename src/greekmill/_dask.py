"""Dask arrays in, lazy Dask arrays out: the block-wise form of every function.

``_arrays.evaluate`` sends a call here when one of its inputs is a Dask array.
The call becomes one block-wise layer: a task per output block that runs the
very same ``_arrays.evaluate`` on the numpy blocks of the inputs, so every
element has the bits the in-process call gives it (results depend neither on
the split nor on ``threads``).  Inputs broadcast by numpy's rules, aligned on
the right; Dask cuts their chunks to common boundaries first, and numpy arrays
among them to match.  The Greeks are five Dask arrays that share one task per
block: each field is an item of that task's result, so computing all five
values every block once.

Dask is imported here, on the first call with a Dask array, never by
``import greekmill``.

Threads inside a task: ``threads=None`` becomes 1.  Dask already runs one task
per core (the threaded scheduler has a thread per core, a distributed worker
``nthreads`` threads, usually one per core it was given), so a task that
started a thread per core as well would oversubscribe the machine.  An
explicit ``threads=n`` is passed to every task unchanged, e.g. for one worker
of one thread per machine.

``errors="raise"`` raises when the failing block is computed, from whichever
block fails first.  The message is the in-process one, with the index of the
element in the whole array; when several elements of that block fail it says
how many, in which block (other blocks may fail as well, uncounted).
"""

from __future__ import annotations

import itertools
import math
import operator
import re
from typing import Any

import numpy as np

from . import _arrays
from ._results import Greeks


def task_threads(threads: int | None) -> int:
    """The thread count a Dask task passes to the engine (see the module text)."""
    return 1 if threads is None else threads


def evaluate(function: str, op: _arrays.Operation, values: tuple[Any, ...],
             option_type: Any, precision: Any, accuracy: Any, errors: Any,
             threads: Any, dividends: Any = None, reasons: bool = False) -> Any:
    """The lazy version of ``_arrays.evaluate``, the same arguments already checked.

    With ``reasons`` a pair of lazy arrays: the result and the int8 reasons,
    items of the same task per block.
    """
    import dask.array as da
    from dask.array.core import unify_chunks

    arguments: list[Any] = []
    shapes: list[tuple[str, tuple[float, ...]]] = []
    for value, label in zip(values, op.labels):
        if _is_dask_array(value, function, label):
            if value.dtype.kind not in "biufO":
                raise TypeError(f"{label} must be a real number or an array of real numbers; "
                                f"got a Dask array of {value.dtype}")
            arguments.append(value)
        else:
            array = _arrays._numeric(value, label)
            arguments.append(float(array) if array.ndim == 0 else da.asarray(array))
        if isinstance(arguments[-1], da.Array):
            shapes.append((label, arguments[-1].shape))
    if _is_dask_array(option_type, function, "option_type"):
        if option_type.dtype.kind not in "UO":
            raise TypeError(f"option_type must be a str or an array of str; got a Dask array "
                            f"of {option_type.dtype}")
        types: Any = option_type
    else:
        type_shape = _arrays._option_types(option_type).shape  # the in-process checks, now
        types = option_type if not type_shape else da.asarray(np.asarray(option_type))
    if isinstance(types, da.Array):
        shapes.append(("option_type", types.shape))
    _check_broadcast(function, shapes)

    blocks = [a for a in arguments if isinstance(a, da.Array)]
    if isinstance(types, da.Array):
        blocks.append(types)
    # Align the chunks first (numpy's broadcasting, dimensions aligned on the
    # right), so that the tasks know where their blocks sit in the whole array.
    ndim = max(b.ndim for b in blocks)
    chunks, blocks = unify_chunks(*(x for b in blocks for x in (b, tuple(range(b.ndim))[::-1])))
    output_chunks = tuple(chunks[i] for i in range(ndim)[::-1])
    task = _Task(function, op, tuple(not isinstance(a, da.Array) for a in arguments),
                 [a if not isinstance(a, da.Array) else None for a in arguments],
                 isinstance(types, da.Array), types if not isinstance(types, da.Array) else None,
                 precision, accuracy, errors, task_threads(threads),
                 _starts(output_chunks), _starts(blocks[-1].chunks) if isinstance(types, da.Array)
                 else None, dividends, reasons)
    meta = np.empty((0,) * ndim, dtype=np.float64)
    short = function.removeprefix("greekmill.")
    result = da.map_blocks(task, *blocks, dtype=np.float64, meta=meta, token=short)
    if op.outputs == 1 and not reasons:
        return result
    # One task per block computes every field; each field takes its item.
    names = ("value",) if op.outputs == 1 else op.record._fields
    fields = [result.map_blocks(operator.getitem, i, dtype=np.float64, meta=meta,
                                token=f"{short}.{field}") for i, field in enumerate(names)]
    value = fields[0] if op.outputs == 1 else op.record(*fields)
    if not reasons:
        return value
    codes = result.map_blocks(operator.getitem, op.outputs, dtype=np.int8,
                              meta=np.empty((0,) * ndim, dtype=np.int8), token=f"{short}.reason")
    return value, codes


def _starts(chunks: tuple[tuple[int, ...], ...]) -> tuple[tuple[int, ...], ...]:
    """Where each block begins, per dimension, and the dimension's length last."""
    return tuple(tuple(itertools.accumulate(sizes, initial=0)) for sizes in chunks)


def _is_dask_array(value: Any, function: str, label: str) -> bool:
    if not _arrays.is_dask_collection(value):
        return False
    import dask.array as da
    if isinstance(value, da.Array):
        return True
    raise TypeError(
        f"{function}: {label} is a {type(value).__module__}.{type(value).__name__}; "
        f"the functions take Dask arrays (a Dask Series gives one with "
        f".to_dask_array(lengths=True)), and greekmill.tables takes Dask DataFrames")


def _check_broadcast(function: str, shapes: list[tuple[str, tuple[float, ...]]]) -> None:
    """The in-process shape check, at graph time, where Dask knows the shapes."""
    if any(math.isnan(n) for _, shape in shapes for n in shape):
        return  # unknown chunk sizes: Dask checks the blocks as it aligns them
    try:
        np.broadcast_shapes(*(shape for _, shape in shapes))
    except ValueError:
        text = ", ".join(f"{label} {tuple(shape)}" for label, shape in shapes if shape)
        raise ValueError(f"{function}: the shapes do not broadcast together: {text}") from None


class _Task:
    """What every block runs: ``_arrays.evaluate`` on the numpy blocks.

    Pickled by the operation's name, so a worker looks the operation up in its
    own build of the engine.
    """

    __slots__ = ("function", "op", "constant", "constants", "types_is_block", "types",
                 "precision", "accuracy", "errors", "threads", "starts", "type_starts",
                 "dividends", "reasons")

    def __init__(self, function: str, op: _arrays.Operation, constant: tuple[bool, ...],
                 constants: list[Any], types_is_block: bool, types: Any, precision: Any,
                 accuracy: Any, errors: Any, threads: int,
                 starts: tuple[tuple[int, ...], ...],
                 type_starts: tuple[tuple[int, ...], ...] | None,
                 dividends: Any = None, reasons: bool = False) -> None:
        self.function = function
        self.op = op
        self.constant = constant
        self.constants = constants
        self.types_is_block = types_is_block
        self.types = types
        self.precision = precision
        self.accuracy = accuracy
        self.errors = errors
        self.threads = threads
        self.starts = starts
        self.type_starts = type_starts
        self.dividends = dividends
        self.reasons = reasons

    def _state(self) -> tuple[Any, ...]:
        return (self.function, self.op.name, self.op.labels, self.constant, self.constants,
                self.types_is_block, self.types, self.precision, self.accuracy, self.errors,
                self.threads, self.starts, self.type_starts, self.dividends, self.reasons)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_task_of_state, self._state())

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        return ("greekmill._dask._Task", *self._state())

    def __call__(self, *blocks: np.ndarray, block_id: tuple[int, ...] = ()) -> Any:
        given = iter(blocks)
        values = tuple(c if is_constant else next(given)
                       for c, is_constant in zip(self.constants, self.constant))
        types = next(given) if self.types_is_block else self.types
        try:
            result = _arrays.evaluate(self.function, self.op, values, types, self.precision,
                                      self.accuracy, self.errors, self.threads,
                                      dividends=self.dividends, reasons=self.reasons)
        except ValueError as error:
            raise ValueError(self._in_whole_array(str(error), block_id)) from None
        if self.reasons:
            result, codes = result
        if self.op.outputs == 1:
            fields: tuple[np.ndarray, ...] = (np.asarray(result, dtype=np.float64),)
        else:
            fields = tuple(np.asarray(field, dtype=np.float64) for field in result)
        if self.reasons:
            return (*fields, np.asarray(codes, dtype=np.int8))
        return fields[0] if self.op.outputs == 1 else fields

    def _in_whole_array(self, message: str, block_id: tuple[int, ...]) -> str:
        """The block's failure message with the element's index in the whole array.

        The engine names the first failing element of the block as
        ``label[i, j]``: an index into the output block, or for a bad option
        type into the option-type block.
        """
        match = _INDEX.search(message)
        is_type = message.startswith("option_type must be")
        starts = self.type_starts if is_type else self.starts
        if match is None or starts is None:
            return message
        # A block's index in a broadcast input: 0 where it has a single block.
        ids = block_id[len(block_id) - len(starts):]
        where = [(s[b if len(s) > 2 else 0], s[b + 1 if len(s) > 2 else 1])
                 for s, b in zip(starts, ids)]
        local = [int(i) for i in match.group(1).split(", ")]
        if len(local) != len(where):
            return message
        if any(math.isnan(start) for start, _ in where):
            return (f"{message} (the index is in block {tuple(ids)}: Dask does not know the "
                    f"lengths of the blocks)")
        index = ", ".join(str(i + start) for i, (start, _) in zip(local, where))
        block = ", ".join(f"{start}:{stop}" for start, stop in where)
        text = f"{message[:match.start()]}[{index}]{message[match.end():]}"
        text = _COUNT.sub(lambda m: f"; {m.group(1)} elements of the block [{block}] fail, "
                          f"this is the first", text, count=1)
        return _TYPE_COUNT.sub(lambda m: f"({m.group(1)} such elements in the block [{block}])",
                               text, count=1)


def _task_of_state(function: str, name: str, labels: tuple[str, ...], *rest: Any) -> _Task:
    return _Task(function, _arrays.Operation(name, labels), *rest)


_INDEX = re.compile(r"\[(\d+(?:, \d+)*)\]")
_COUNT = re.compile(r"; (\d+) elements fail, this is the first")
_TYPE_COUNT = re.compile(r"\((\d+) such elements\)")
