"""PyGreeks: read-only fields, fixed repr, no constructor, no subclassing, an
immutable class; pickled by its fields, so it crosses process pools."""

import concurrent.futures
import copy
import math
import multiprocessing
import pickle
import re
import random
import struct
import sys

import pytest

import greekmill_python as gm

FIELDS = ("delta", "gamma", "theta", "vega", "rho")


def fixed6(x: float) -> str:
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, ".6f")  # exact value, ties to even, sign of -0.0 kept


def expected_repr(g) -> str:
    return "Greeks(" + ", ".join(f"{f}={fixed6(getattr(g, f))}" for f in FIELDS) + ")"


def test_repr_of_a_typical_result():
    g = gm.bs_greeks(100.0, 100.0, 1.0, 0.05, 0.2)
    assert repr(g) == ("Greeks(delta=0.636831, gamma=0.018762, theta=-0.017573, "
                       "vega=37.524035, rho=0.532325)")
    assert str(g) == repr(g)


def test_repr_of_special_values():
    # An expired in-the-money put: delta -0.0, gamma and theta NaN, rho -0.0.
    g = gm.bs_greeks(110, 100, 0, 0.05, 0.2, 0, "put")
    assert repr(g) == "Greeks(delta=-0.000000, gamma=NaN, theta=NaN, vega=0.000000, rho=-0.000000)"
    # Infinite spot: the value is infinite and so are the differences.
    g = gm.am_greeks(math.inf, 100, 1, 0.05, 0.2, 0.0)
    assert repr(g) == expected_repr(g)


@pytest.mark.parametrize("scale", [1e20, 1e100, 1e300])
def test_repr_writes_large_values_in_full(scale):
    g = gm.bs_greeks(scale, scale, 1.0, 0.0, 0.2)
    assert g.vega > scale / 10
    text = repr(g)
    assert re.search(r"\de", text) is None
    assert text == expected_repr(g)


def test_repr_matches_exact_six_decimal_formatting_on_many_results():
    rng = random.Random(3)
    for _ in range(3000):
        args = (rng.uniform(-10, 400), rng.uniform(0, 400), rng.uniform(-0.5, 5),
                rng.uniform(-0.1, 0.3), rng.uniform(0, 2), rng.uniform(-0.1, 0.5),
                rng.choice(("call", "put")))
        for g in (gm.bs_greeks(*args), gm.am_greeks(*args)):
            assert repr(g) == expected_repr(g)


def test_fields_are_floats_and_stable():
    g = gm.am_greeks(100, 105, 0.5, 0.05, 0.3, 0.02, "put")
    for field in FIELDS:
        value = getattr(g, field)
        assert type(value) is float
        assert value == getattr(g, field)
    assert g.delta == gm.am_delta(100, 105, 0.5, 0.05, 0.3, 0.02, "put")


def test_fields_are_read_only_and_there_is_no_instance_dict():
    g = gm.bs_greeks(100, 100, 1, 0.05, 0.2)
    before = g.delta
    with pytest.raises(AttributeError):
        g.delta = 1.0
    with pytest.raises(AttributeError):
        del g.rho
    with pytest.raises(AttributeError):
        g.price = 1.0
    assert g.delta == before
    assert not hasattr(g, "__dict__")


@pytest.mark.parametrize("make", [
    lambda: gm.PyGreeks(),
    lambda: gm.PyGreeks(1, 2, 3, 4, 5),
    lambda: gm.PyGreeks(delta=1.0),
    lambda: gm.PyGreeks.__new__(gm.PyGreeks),
], ids=["no_args", "positional", "keyword", "dunder_new"])
def test_no_constructor(make):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == "No constructor defined for PyGreeks"


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (gm.PyGreeks,), {})


@pytest.mark.parametrize(("name", "value"), [
    ("__repr__", lambda self: "forged"),
    ("__new__", staticmethod(lambda cls, *args: object.__new__(cls))),
    ("__init__", lambda self, *args: None),
    ("delta", property(lambda self: 0.0)),
    ("rho", 0.0),
    ("forged", 1),
    ("__name__", "Forged"),
    ("__qualname__", "Forged"),
    ("__module__", "forged"),
    ("__doc__", "forged"),
])
def test_the_class_can_be_neither_changed_nor_emptied(name, value):
    g = gm.am_greeks(100, 105, 0.5, 0.05, 0.3, 0.02, "put")
    before = (repr(g), g.delta, g.rho, gm.PyGreeks.__name__, gm.PyGreeks.__qualname__,
              gm.PyGreeks.__module__, gm.PyGreeks.__doc__)
    with pytest.raises(TypeError, match="immutable type"):
        setattr(gm.PyGreeks, name, value)
    if name in vars(gm.PyGreeks):
        with pytest.raises(TypeError, match="immutable type"):
            delattr(gm.PyGreeks, name)
    assert (repr(g), g.delta, g.rho, gm.PyGreeks.__name__, gm.PyGreeks.__qualname__,
            gm.PyGreeks.__module__, gm.PyGreeks.__doc__) == before
    with pytest.raises(TypeError, match="^No constructor defined for PyGreeks$"):
        gm.PyGreeks()


def test_class_identity_and_names():
    g = gm.bs_greeks(100, 100, 1, 0.05, 0.2)
    assert type(g) is gm.PyGreeks
    assert type(g).__name__ == "PyGreeks"
    assert type(g).__qualname__ == "PyGreeks"
    assert type(g).__module__ == "builtins"
    assert gm.PyGreeks.__doc__ == "Container for all option Greeks returned to Python"
    assert type(gm.am_greeks(100, 100, 1, 0.05, 0.2)) is gm.PyGreeks


def test_equality_and_hash_are_by_identity():
    a = gm.bs_greeks(100, 100, 1, 0.05, 0.2)
    b = gm.bs_greeks(100, 100, 1, 0.05, 0.2)
    assert a != b
    assert a == a
    assert hash(a) != hash(b) or a is b


def test_results_do_not_leak_references_to_the_type():
    before = sys.getrefcount(gm.PyGreeks)
    for _ in range(20000):
        gm.am_greeks(100, 100, 1, 0.05, 0.2)
        gm.bs_greeks(100, 100, 1, 0.05, 0.2, 0.0, "put")
    after = sys.getrefcount(gm.PyGreeks)
    assert after == before


def bits(g) -> tuple[bytes, ...]:
    return tuple(struct.pack("<d", getattr(g, f)) for f in FIELDS)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_rebuilds_the_fields_bit_for_bit(protocol):
    results = [gm.am_greeks(100, 105, 0.5, 0.05, 0.3, 0.02, "put"),
               gm.bs_greeks(110, 100, 0, 0.05, 0.2, 0, "put"),  # NaN, -0.0
               gm.am_greeks(math.inf, 100, 1, 0.05, 0.2, 0.0)]
    for g in results:
        again = pickle.loads(pickle.dumps(g, protocol))
        assert type(again) is gm.PyGreeks and again is not g
        assert bits(again) == bits(g)
        assert repr(again) == repr(g)
        assert bits(copy.deepcopy(g)) == bits(g)


@pytest.mark.parametrize("args", [(), (1.0, 2.0, 3.0, 4.0), (1.0, 2.0, 3.0, 4.0, 5),
                                  (1.0, 2.0, 3.0, 4.0, "5")], ids=["none", "four", "int", "str"])
def test_the_reconstructor_takes_exactly_five_floats(args):
    with pytest.raises(TypeError, match="^_rebuild_greeks"):
        gm._rebuild_greeks(*args)
    assert "_rebuild_greeks" not in gm.__all__


def test_results_cross_a_process_pool():
    rng = random.Random(5)
    cases = [(rng.uniform(60, 140), 100.0, rng.uniform(0.05, 2), rng.uniform(0, 0.1),
              rng.uniform(0.1, 0.5), rng.uniform(0, 0.05), rng.choice(("call", "put")))
             for _ in range(40)]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        remote = list(pool.map(gm.am_greeks, *zip(*cases)))
    assert [bits(g) for g in remote] == [bits(gm.am_greeks(*c)) for c in cases]
