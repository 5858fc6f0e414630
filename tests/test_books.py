"""Books as users hold them: option-type columns of every storage, the value
with the Greeks from one call, results written into the caller's arrays, and
pandas Series in and out."""

from __future__ import annotations

from typing import Any, Callable

import numpy as np
import pytest

import greekmill as gm

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

N = 1500  # three engine blocks and a partial one
RNG = np.random.default_rng(18)
BOOK = dict(s=RNG.uniform(50, 150, N), k=RNG.uniform(50, 150, N), t=RNG.uniform(0.0, 2, N),
            r=RNG.uniform(-0.01, 0.08, N), sigma=RNG.uniform(0.0, 0.8, N),
            q=RNG.uniform(0, 0.05, N))
SPELLINGS = np.array(["call", "put", "c", "p", "CALL", "Put", "C", "P"])
TYPES = SPELLINGS[RNG.integers(0, len(SPELLINGS), N)]
CANONICAL = np.where(np.char.lower(TYPES).astype("U1") == "c", "call", "put")


def arrow_chunks(texts: np.ndarray) -> Any:
    return pa.chunked_array([pa.array(texts[:700].tolist()), pa.array(texts[700:].tolist())])


COLUMN_KINDS: dict[str, Callable[[np.ndarray], Any]] = {
    "numpy U": lambda x: x,
    "numpy U, wide": lambda x: x.astype("U12"),
    "numpy S": lambda x: x.astype("S"),
    "numpy object": lambda x: x.astype(object),
    "list": lambda x: x.tolist(),
    "pandas Categorical": lambda x: pd.Categorical(x),
    "pandas string[python]": lambda x: pd.array(x, dtype="string[python]"),
    "pandas string[pyarrow]": lambda x: pd.array(x, dtype="string[pyarrow]"),
    "pandas str": lambda x: pd.array(x, dtype="str"),
    "pyarrow string": lambda x: pa.array(x.tolist()),
    "pyarrow large_string": lambda x: pa.array(x.tolist(), type=pa.large_string()),
    "pyarrow dictionary": lambda x: pa.array(x.tolist()).dictionary_encode(),
    "pyarrow chunks": arrow_chunks,
    "pyarrow slice": lambda x: pa.array(["put"] + x.tolist())[1:],
}


@pytest.mark.parametrize("kind", COLUMN_KINDS)
@pytest.mark.parametrize("precision", ["exact", "fast"])
def test_every_column_kind_gives_the_bits_of_the_canonical_column(kind: str,
                                                                  precision: str) -> None:
    expected = gm.european.valuation(**BOOK, option_type=CANONICAL, precision=precision)
    got = gm.european.valuation(**BOOK, option_type=COLUMN_KINDS[kind](TYPES),
                                precision=precision, threads=2)
    for field in gm.Valuation._fields:
        np.testing.assert_array_equal(getattr(got, field).view(np.uint64),
                                      getattr(expected, field).view(np.uint64), err_msg=field)


BAD = TYPES.astype(object)
BAD[[777, 1200, 1499]] = ["straddle", None, "calls"]


@pytest.mark.parametrize("kind", [k for k in COLUMN_KINDS
                                  if k not in ("numpy U", "numpy U, wide", "numpy S", "list")])
def test_a_bad_or_missing_option_type_is_named_counted_or_nan(kind: str) -> None:
    column = COLUMN_KINDS[kind](BAD)
    with pytest.raises(ValueError, match=r"option_type\[777\] = 'straddle' is not "
                                         r"\(3 such elements\)"):
        gm.european.delta(**BOOK, option_type=column)
    values = gm.european.delta(**BOOK, option_type=column, errors="nan")
    bad = np.zeros(N, dtype=bool)
    bad[[777, 1200, 1499]] = True
    assert np.isnan(values[bad]).all()
    np.testing.assert_array_equal(values[~bad],
                                  gm.european.delta(**BOOK, option_type=CANONICAL)[~bad])


def test_a_broadcast_type_column_is_named_by_its_own_index_and_long_texts_are_cut() -> None:
    huge = "x" * 1_000_000
    with pytest.raises(ValueError) as raised:
        gm.european.price([[100.0], [110.0]], 100.0, 1.0, 0.05, 0.2, 0.0,
                          np.array(["put", huge], dtype=object))
    message = str(raised.value)
    assert f"option_type[1] = {'x' * 50!r}... (1000000 characters) is not (1 such element)" \
        in message
    assert len(message) < 400
    with pytest.raises(ValueError, match=r"got 'xxxxx.*'\.\.\. \(1000000 characters\)"):
        gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, huge)


@pytest.mark.parametrize("module, keywords", [
    (gm.european, {}), (gm.european, {"precision": "fast"}),
    (gm.american, {"method": "bjerksund-stensland"}),
    (gm.american, {"method": "bjerksund-stensland", "precision": "fast"}),
    (gm.american, {"accuracy": "fast"}),
    (gm.european, {"dividends": gm.Dividends([0.3], [1.5])}),
    (gm.american, {"accuracy": "fast", "dividends": gm.Dividends([0.3], [1.5])}),
], ids=["european", "european-fast", "closed-form", "closed-form-fast", "spectral",
        "european-dividends", "spectral-dividends"])
def test_valuation_fields_are_the_single_functions_bits(module: Any, keywords: Any) -> None:
    n = 20 if "dividends" in keywords else 60 if module is gm.american else N
    book = {name: values[:n] for name, values in BOOK.items()}
    book["t"] = np.maximum(book["t"], 0.05)
    types = TYPES[:n]
    valuation = module.valuation(**book, option_type=types, **keywords)
    expected = {"price": module.price(**book, option_type=types, **keywords),
                **module.greeks(**book, option_type=types, **keywords)._asdict()}
    assert type(valuation) is gm.Valuation
    for field, values in expected.items():
        np.testing.assert_array_equal(getattr(valuation, field).view(np.uint64),
                                      values.view(np.uint64), err_msg=field)
    one = module.valuation(*(float(v[3]) for v in book.values()), str(types[3]), **keywords)
    assert one == tuple(float(getattr(valuation, f)[3]) for f in gm.Valuation._fields)


def test_out_writes_into_the_callers_arrays_and_returns_them() -> None:
    out = tuple(np.full(N, 7.0) for _ in range(6))
    result = gm.european.valuation(**BOOK, option_type=TYPES, out=out)
    assert all(a is b for a, b in zip(result, out))
    expected = gm.european.valuation(**BOOK, option_type=TYPES)
    for field, array in zip(gm.Valuation._fields, out):
        np.testing.assert_array_equal(array, getattr(expected, field), err_msg=field)
    single = np.empty(())
    assert gm.european.delta(100.0, 100.0, 1.0, 0.05, 0.2, out=single) is single
    assert single[()] == gm.european.delta(100.0, 100.0, 1.0, 0.05, 0.2)


s = BOOK["s"].copy()
WRONG_OUT = {
    "shape": np.empty(N - 1),
    "dtype": np.empty(N, dtype=np.float32),
    "not contiguous": np.empty(2 * N)[::2],
    "read-only": np.broadcast_to(np.empty(1), (N,)),
    "an input": s,
    "a view of an input": s[:],
    "not an array": [0.0] * N,
    "a tuple for one output": (np.empty(N), np.empty(N)),
}


@pytest.mark.parametrize("out", WRONG_OUT.values(), ids=WRONG_OUT.keys())
def test_a_wrong_out_is_a_value_error_and_nothing_is_written(out: Any) -> None:
    with pytest.raises(ValueError, match="greekmill.european.delta: out"):
        gm.european.delta(s, 100.0, 1.0, 0.05, 0.2, out=out)
    shared = np.empty(N)
    with pytest.raises(ValueError, match=r"out\[1\] overlaps"):
        gm.european.greeks(s, 100.0, 1.0, 0.05, 0.2,
                           out=(shared, shared, np.empty(N), np.empty(N), np.empty(N)))


def test_series_are_aligned_as_pandas_arithmetic_aligns_them() -> None:
    spot = pd.Series([100.0, 110.0, 90.0, 95.0], index=["d", "a", "c", "b"])
    vol = pd.Series([0.2, 0.3, 0.25], index=["a", "b", "e"])
    kinds = pd.Series(["put", "c", "P"], index=["b", "a", "d"], dtype="category")
    result = gm.european.delta(spot, 100.0, 1.0, 0.05, vol, 0.0, kinds, errors="nan")
    index = (spot + vol).index  # the outer join pandas arithmetic makes
    assert isinstance(result, pd.Series) and result.index.equals(index)
    aligned = pd.DataFrame({"s": spot, "sigma": vol, "type": kinds}).reindex(index)
    for label, row in aligned.iterrows():
        if row.isna().any():
            assert np.isnan(result[label])
        else:
            assert result[label] == gm.european.delta(row.s, 100.0, 1.0, 0.05, row.sigma, 0.0,
                                                       row.type)
    frame = gm.european.valuation(spot, 100.0, 1.0, 0.05, 0.2)
    assert list(frame.columns) == list(gm.Valuation._fields) and frame.index.equals(spot.index)
    with pytest.raises(ValueError, match=r"sigma\[2\] = nan .*\(row 2: index label 'c'\)"):
        gm.european.delta(spot, 100.0, 1.0, 0.05, vol)
