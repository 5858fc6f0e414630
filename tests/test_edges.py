"""The edges of the array surface: schedules, columns, messages, pandas, progress."""

from __future__ import annotations

import datetime
import sys
import threading

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import greekmill as gm
from greekmill import _progress

# ---- schedules


@pytest.mark.parametrize("times", [
    pd.to_datetime(["2030-03-15"]) - pd.Timestamp("2030-01-01"),  # nanoseconds as numbers
    np.array([73], dtype="timedelta64[D]"),
    [datetime.timedelta(days=73)],
    [pd.Timestamp("2030-03-15")],
    np.array(["2030-03-15"], dtype="datetime64[D]"),
    [datetime.date(2030, 3, 15)],
    ["0.2"],
    [None],
    pd.Series(["0.2"], dtype="string"),
], ids=["pandas-timedelta", "timedelta64-days", "timedelta", "timestamp", "datetime64", "date",
        "text", "none", "pandas-string"])
def test_dates_durations_text_and_none_are_no_dividend_times(times):
    with pytest.raises(TypeError, match=r"times must be numbers, in years from today, "
                                        r"e\.g\. days / 365"):
        gm.Dividends(times, [1.0])
    with pytest.raises(TypeError, match="amounts must be numbers, in currency units"):
        gm.Dividends([0.2], times)


def test_equal_schedules_hash_alike():
    assert gm.Dividends([0.0], [1.0]) == gm.Dividends([-0.0], [1.0])
    assert hash(gm.Dividends([0.0], [1.0])) == hash(gm.Dividends([-0.0], [1.0]))
    assert hash(gm.Dividends([0.5], [-0.0])) == hash(gm.Dividends([0.5], [0.0]))


def test_the_engine_reads_its_own_copy_of_a_schedule():
    s = np.linspace(60.0, 140.0, 400)
    dividends = gm.Dividends([0.25, 0.5, 0.75], [1.0, 1.0, 1.0])
    states = ([1.0, 1.0, 1.0], [2.0, 3.0, 50.0])
    expected = [gm.american.price(s, 100.0, 1.0, 0.05, 0.3, 0.0, "put", accuracy="fast",
                                  dividends=gm.Dividends(dividends.times, amounts))
                for amounts in states]
    amounts = dividends.amounts
    amounts.flags.writeable = True  # numpy lets anyone undo the flag
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            for state in states:
                amounts[:] = state

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(4):
            got = gm.american.price(s, 100.0, 1.0, 0.05, 0.3, 0.0, "put", dividends=dividends,
                                    accuracy="fast", threads=2)
            # The schedule as it was when the call began, whatever came after.
            assert any(np.array_equal(got, e) for e in expected)
    finally:
        stop.set()
        writer.join()
    # out= may not be a schedule's array either.
    times = dividends.times
    times.flags.writeable = True
    with pytest.raises(ValueError, match="out overlaps an input, the dividend schedule"):
        gm.american.price([90.0, 100.0, 110.0], 100.0, 1.0, 0.05, 0.2, dividends=dividends,
                          out=times)
    assert list(times) == [0.25, 0.5, 0.75]


# ---- columns


def test_option_type_columns_of_every_storage():
    s = np.array([90.0, 110.0])
    expected = gm.european.price(s, 100.0, 1.0, 0.05, 0.2, 0.0, np.array(["put", "call"]))
    # An Arrow dictionary with unsigned indices: index 200 is category 200.
    categories = ["x"] * 256
    categories[1], categories[200] = "call", "put"
    for index_type in (pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64()):
        column = pa.DictionaryArray.from_arrays(pa.array([200, 1], index_type),
                                                pa.array(categories))
        got = gm.european.price(s, 100.0, 1.0, 0.05, 0.2, 0.0, column)
        assert np.array_equal(got, expected), index_type
    if hasattr(np.dtypes, "StringDType"):  # numpy >= 2
        column = np.array(["put", "call"], dtype=np.dtypes.StringDType())
        assert np.array_equal(gm.european.price(s, 100.0, 1.0, 0.05, 0.2, 0.0, column), expected)
    assert gm.european.price(90.0, 100.0, 1.0, 0.05, 0.2, 0.0, np.array(b"put")) == expected[0]


def test_a_missing_underlying_pays_no_dividends():
    dividends = gm.Dividends([0.25], [2.0])
    book = pd.DataFrame({"s": 100.0, "k": 100.0, "t": 1.0, "r": 0.05, "sigma": 0.2,
                         "option_type": ["put", "put", "put"],
                         "underlying": pd.array(["A", None, "B"], dtype="string")})
    got = gm.tables.value(book, "european", dividends={"A": dividends, "B": dividends},
                          greeks=False)["price"].to_numpy()
    paid = gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put", dividends=dividends)
    unpaid = gm.european.price(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "put")
    assert list(got) == [paid, unpaid, paid]
    dd = pytest.importorskip("dask.dataframe")
    lazy = gm.tables.value(dd.from_pandas(book, npartitions=2), "european",
                           dividends={"A": dividends}, greeks=False)
    assert list(lazy.compute()["price"]) == [paid, unpaid, unpaid]


# ---- messages


def test_a_tiny_american_price_says_why_it_cannot_be_inverted():
    with pytest.raises(ValueError, match=r"price = 4\.03e-15 is positive but within 4 ulps of "
                                         r"max\(s, price\) \(7\.55e-14\) of the exercise value "
                                         r"0: .* cannot be inverted"):
        gm.american.implied_volatility(4.03e-15, 85, 123.5, 0.025946, 0.046326, 0, "call")
    with pytest.raises(ValueError, match="equals the exercise value 0: every low enough"):
        gm.american.implied_volatility(0.0, 85, 123.5, 0.025946, 0.046326, 0, "call")


def test_a_table_by_underlying_names_its_first_failing_row_and_counts_them():
    dividends = gm.Dividends([0.25], [1.0])
    book = pd.DataFrame({"s": [100.0, 100.0, -1.0, -2.0, -3.0], "k": 100.0, "t": 1.0,
                         "r": 0.05, "sigma": 0.2, "option_type": "put",
                         "underlying": ["A", "B", "B", "A", "B"]},
                        index=np.arange(10, 15))
    with pytest.raises(ValueError, match=r"s\[2\] = -1\.0 is out of the domain .*; 3 rows fail, "
                                         r"this is the first .*\(row 2: index label 12\)$"):
        gm.tables.value(book, dividends={"A": dividends})
    with pytest.raises(ValueError, match=r"no key of dividends= is a value of the column "
                                         r"'underlying': the keys are \['a'\]"):
        gm.tables.value(book, dividends={"a": dividends})
    # A book holding only some of the mapped underlyings is fine.
    gm.tables.value(book.iloc[:2], dividends={"A": dividends, "C": dividends})


def test_series_labels_in_messages_and_repeated_labels():
    with pytest.raises(ValueError, match=r"\(row 1: index label 1\)$"):
        gm.european.price(pd.Series([100.0, -1.0]), 100.0, 1.0, 0.05, 0.2)
    s = pd.Series([100.0, 101.0, 102.0], index=[0, 0, 1])
    k = pd.Series([100.0, 100.0, 100.0], index=[1, 0, 0])
    with pytest.raises(ValueError, match="the Series s and k have different indexes, one with "
                                         "repeated labels"):
        gm.european.price(s, k, 1.0, 0.05, 0.2)


def test_help_and_dir():
    assert {"Any", "annotations", "importlib"}.isdisjoint(dir(gm))
    assert {"american", "european", "tables", "Dividends"} <= set(dir(gm))
    assert "default 'american', default" not in gm.tables.value.__doc__
    raises = gm.american.price.__doc__.split("Raises\n------\n")[1]
    value_errors, type_errors = raises.split("\nTypeError\n")
    assert "precision=" in value_errors and "precision=" not in type_errors


# ---- pandas tables


def test_implied_volatility_table_with_dividends_by_underlying():
    dividends = {"A": gm.Dividends([0.25], [1.5]), "B": gm.Dividends([0.5], [0.5])}
    sigma = np.array([0.2, 0.3, 0.25, 0.4])
    book = pd.DataFrame({"s": 100.0, "k": [90.0, 100.0, 110.0, 100.0], "t": 1.0, "r": 0.05,
                         "option_type": "put", "underlying": ["A", "B", "A", "C"]})
    prices = [gm.american.price(100.0, k, 1.0, 0.05, v, 0.0, "put", dividends=dividends.get(u))
              for k, v, u in zip(book["k"], sigma, book["underlying"])]
    reports = []
    got = gm.tables.implied_volatility(book.assign(price=prices), "american",
                                       dividends=dividends,
                                       progress=lambda done, total: reports.append((done, total)))
    np.testing.assert_allclose(got["implied_volatility"], sigma, rtol=1e-7)
    assert reports[-1] == (4, 4) and reports == sorted(reports)


# ---- progress and out=


def test_progress_bar_without_stderr_lets_the_call_finish(monkeypatch):
    monkeypatch.setattr(_progress, "SHOW_AFTER", 0.0)
    monkeypatch.setattr(_progress, "LONG_CALL", 0.0)
    monkeypatch.setitem(sys.modules, "tqdm", None)  # the bar of our own
    s = np.linspace(50.0, 150.0, 4000)
    expected = gm.american.price(s, 100.0, 1.0, 0.05, 0.3, 0.0, "put", threads=1)
    monkeypatch.setattr(sys, "stderr", None)
    got = gm.american.price(s, 100.0, 1.0, 0.05, 0.3, 0.0, "put", threads=1, progress=True)
    assert np.array_equal(got, expected)


def test_text_bar_gives_no_estimate_before_there_is_one():
    class Stream:
        text = ""

        def write(self, text):
            self.text += text

        def flush(self):
            pass

    stream = Stream()
    bar = _progress.TextBar("f", 100, 0, stream, elapsed=0.6)
    bar.update(0)
    assert stream.text.endswith("0/100 [0.6 s]")
    bar.drawn = -1.0  # past the redraw interval
    bar.update(50)
    assert stream.text.endswith("50/100 [0.6 s, 0.6 s left]")


def test_out_after_an_error_holds_what_errors_nan_gives():
    s = [90.0, -1.0, 110.0, np.nan]
    out = np.full(4, 7.0)
    with pytest.raises(ValueError, match="2 elements fail"):
        gm.american.price(s, 100.0, 1.0, 0.05, 0.2, out=out)
    expected = gm.american.price(s, 100.0, 1.0, 0.05, 0.2, errors="nan")
    np.testing.assert_array_equal(out, expected)
    # An argument refused before the computation leaves out as it was.
    out[:] = 7.0
    with pytest.raises(ValueError):
        gm.american.price(s, 100.0, 1.0, 0.05, 0.2, 0.0, "cal", out=out)
    assert (out == 7.0).all()


def test_american_call_delta_never_above_one_with_a_negative_rate() -> None:
    # A call with q = 0 and r < 0 deep in the money read delta 1.0000000026
    # (s=305.4, k=100, t=0.0932, r=-0.0144, sigma=0.0477): |delta| <= 1 holds
    # for every option on a spot without jumps up.  Seeded options around it.
    rng = np.random.default_rng(24)
    n = 4000
    s = np.concatenate([[305.4], rng.uniform(50.0, 400.0, n)])
    t = np.concatenate([[0.0932], rng.uniform(0.01, 0.5, n)])
    r = np.concatenate([[-0.0144], rng.uniform(-0.05, 0.0, n)])
    sigma = np.concatenate([[0.0477], rng.uniform(0.01, 0.3, n)])
    for accuracy in ("fast", "accurate"):
        delta = np.asarray(gm.american.greeks(s, 100.0, t, r, sigma, 0.0, "call",
                                              accuracy=accuracy).delta)
        assert np.all((delta >= 0.0) & (delta <= 1.0)), delta.max()
