"""greekmill.tables: option tables in pandas (and Dask) DataFrames give the
bits of the functions called on their columns, with the table's index."""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")

import greekmill as gm  # noqa: E402


# model -> the function module and the keywords the table passes
MODELS = {
    "european": (gm.european, {}),
    "bjerksund-stensland": (gm.american, {"method": "bjerksund-stensland"}),
    "american": (gm.american, {"method": "spectral"}),
}
COLUMNS = {"s": "spot", "k": "strike", "t": "expiry", "r": "rate", "sigma": "vol",
           "option_type": "kind"}


@pytest.fixture
def book() -> Any:
    """50 contracts, named columns, no q column, an index of scattered labels."""
    rng = np.random.default_rng(7)
    n = 50
    return pd.DataFrame({
        "spot": rng.uniform(60.0, 140.0, n), "strike": rng.uniform(70.0, 130.0, n),
        "expiry": rng.uniform(0.0, 2.0, n), "rate": rng.uniform(-0.01, 0.06, n),
        "vol": rng.uniform(0.0, 0.6, n),
        "kind": pd.Categorical(rng.choice(["call", "put", "P"], n)),
        "desk": "rates",
    }, index=pd.Index([f"trade-{i}" for i in rng.permutation(n)], name="trade"))


def arguments(frame: Any) -> list[Any]:
    """The columns as numpy arrays (Series would give pandas results)."""
    return [frame.spot.to_numpy(), frame.strike.to_numpy(), frame.expiry.to_numpy(),
            frame.rate.to_numpy(), frame.vol.to_numpy(), 0.0,
            frame.kind.astype(str).to_numpy(dtype=object)]


@pytest.mark.parametrize("model", ["european", "bjerksund-stensland", "american"])
def test_values_and_greeks_are_the_functions_bits_with_the_index(book: Any, model: str) -> None:
    before = book.copy()
    table = gm.tables.value(book, model, columns=COLUMNS)
    module, keywords = MODELS[model]
    expected = {"price": module.price(*arguments(book), **keywords),
                **module.greeks(*arguments(book), **keywords)._asdict()}
    assert list(table.columns) == ["price", "delta", "gamma", "theta", "vega", "rho"]
    assert table.index.equals(book.index)
    for name, values in expected.items():
        np.testing.assert_array_equal(table[name].to_numpy().view(np.uint64),
                                      values.view(np.uint64), err_msg=name)
    pd.testing.assert_frame_equal(book, before)
    prices = gm.tables.value(book, model, columns=COLUMNS, greeks=False)
    pd.testing.assert_frame_equal(prices, table[["price"]], check_exact=True)


@pytest.mark.parametrize("model", ["european", "american"])
def test_implied_volatility_is_the_functions_bits(book: Any, model: str) -> None:
    module, keywords = MODELS[model]
    quotes = book.assign(mid=module.price(*arguments(book), **keywords), vol=np.nan)
    table = gm.tables.implied_volatility(quotes, model, price="mid", columns=COLUMNS,
                                         errors="nan")
    expected = module.implied_volatility(quotes.mid.to_numpy(), *arguments(book)[:4], 0.0,
                                         arguments(book)[-1], errors="nan")
    assert list(table.columns) == ["implied_volatility"] and table.index.equals(book.index)
    np.testing.assert_array_equal(table.implied_volatility.to_numpy().view(np.uint64),
                                  expected.view(np.uint64))


def test_a_failure_names_the_row_by_position_and_index_label(book: Any) -> None:
    book.iloc[13, book.columns.get_loc("vol")] = -0.2
    label = book.index[13]
    with pytest.raises(ValueError, match=re.escape(
            f"sigma[13] = -0.2 is out of the domain") + ".*" + re.escape(f"'{label}'")):
        gm.tables.value(book, "european", columns=COLUMNS)
    table = gm.tables.value(book, "european", columns=COLUMNS, errors="nan")
    assert table.isna().any(axis=1).tolist() == [i == 13 for i in range(len(book))]


@pytest.mark.parametrize("call, error, message", [
    pytest.param(lambda b: gm.tables.value(b, columns=dict(COLUMNS, k="K")), KeyError,
                 "no column 'K' (for k)", id="missing-column"),
    pytest.param(lambda b: gm.tables.value(b, columns=dict(COLUMNS, q="dividend")), KeyError,
                 "no column 'dividend' (for q)", id="named-q-missing"),
    pytest.param(lambda b: gm.tables.value(b, "black-scholes", columns=COLUMNS), ValueError,
                 "model must be one of 'european', 'american', 'bjerksund-stensland'",
                 id="model"),
    pytest.param(lambda b: gm.tables.value(b, columns={"spot": "s"}), ValueError,
                 "columns: unknown parameter 'spot'", id="columns-key"),
    pytest.param(lambda b: gm.tables.implied_volatility(b, "bjerksund-stensland"), ValueError,
                 "model must be one of 'european', 'american'", id="implied-model"),
    pytest.param(lambda b: gm.tables.value(b.to_numpy()), TypeError,
                 "takes a pandas or Dask DataFrame", id="not-a-frame"),
    # The keyword that fixes it, with a column of the frame.
    pytest.param(lambda b: gm.tables.implied_volatility(b.rename(columns={"vol": "mid"}),
                                                        columns=COLUMNS), KeyError,
                 "(name the column of prices with price=, e.g. price='mid')",
                 id="price-missing"),
    # A cell that is no number: its row, index label and column.
    pytest.param(lambda b: gm.tables.value(b.astype({"strike": object}).assign(
        strike=lambda f: f.strike.where(f.index != f.index[3], "n/a")), columns=COLUMNS),
                 TypeError, "column 'strike' (for k) holds 'n/a' in row 3 (index label",
                 id="non-numeric-cell"),
])
def test_bad_arguments_are_named(book: Any, call: Any, error: type[Exception],
                                 message: str) -> None:
    with pytest.raises(error, match=re.escape(message)):
        call(book)


def test_a_dask_dataframe_gives_a_lazy_frame_of_the_same_rows(book: Any) -> None:
    lazy_book = dd.from_pandas(book, npartitions=4, sort=False)
    lazy_book = lazy_book[lazy_book.spot > 80.0]  # a filter: partitions of unknown lengths
    lazy = gm.tables.value(lazy_book, "bjerksund-stensland", columns=COLUMNS)
    assert lazy.npartitions == 4
    assert dict(lazy.dtypes) == {name: np.dtype(np.float64) for name in
                                 ("price", "delta", "gamma", "theta", "vega", "rho")}
    assert lazy.index.dtype == lazy_book.index.dtype
    whole = lazy_book.compute(scheduler="sync")
    pd.testing.assert_frame_equal(
        lazy.compute(scheduler="sync"),
        gm.tables.value(whole, "bjerksund-stensland", columns=COLUMNS), check_exact=True)
    empty = gm.tables.value(lazy_book[lazy_book.spot < 0], "european", columns=COLUMNS)
    assert len(empty.compute(scheduler="sync")) == 0
