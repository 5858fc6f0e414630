"""Argument binding and conversion: CPython's rules and messages."""

import math
import traceback

import pytest

import greekmill_python as gm

SEVEN = ["bs_delta", "bs_theta", "bs_rho", "bs_greeks",
         "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
SIX = ["bs_gamma", "bs_vega"]
ALL = SEVEN + SIX
NAMES = ["s", "k", "t", "r", "sigma", "q", "option_type"]
MARKET = (100.0, 95.0, 0.75, 0.04, 0.25, 0.015)


def same(a, b):
    """Same result: floats bit for bit, PyGreeks field by field."""
    if isinstance(a, float):
        return isinstance(b, float) and (a == b or (math.isnan(a) and math.isnan(b)))
    fields = ("delta", "gamma", "theta", "vega", "rho")
    return all(same(getattr(a, f), getattr(b, f)) for f in fields)


BINDING_ERRORS = [
    ("missing_two", lambda: gm.bs_delta(100.0, 100.0, 1.0),
     "bs_delta() missing 2 required positional arguments: 'r' and 'sigma'"),
    ("missing_all", lambda: gm.bs_delta(),
     "bs_delta() missing 5 required positional arguments: 's', 'k', 't', 'r', and 'sigma'"),
    ("missing_three", lambda: gm.am_price(1.0, 2.0),
     "am_price() missing 3 required positional arguments: 't', 'r', and 'sigma'"),
    ("missing_one_with_keyword", lambda: gm.bs_delta(1.0, 2.0, 3.0, sigma=0.2),
     "bs_delta() missing 1 required positional argument: 'r'"),
    ("missing_by_keyword_only", lambda: gm.bs_vega(s=1.0, t=2.0, sigma=0.2),
     "bs_vega() missing 2 required positional arguments: 'k' and 'r'"),
    ("too_many", lambda: gm.bs_delta(1, 2, 3, 4, 5, 6, "call", 8),
     "bs_delta() takes from 5 to 7 positional arguments but 8 were given"),
    ("too_many_six", lambda: gm.bs_gamma(1, 2, 3, 4, 5, 6, 7),
     "bs_gamma() takes from 5 to 6 positional arguments but 7 were given"),
    ("no_option_type_parameter", lambda: gm.bs_gamma(1, 2, 3, 4, 5, option_type="put"),
     "bs_gamma() got an unexpected keyword argument 'option_type'"),
    ("given_twice", lambda: gm.bs_delta(1, 2, 3, 4, 5, s=1),
     "bs_delta() got multiple values for argument 's'"),
    ("given_twice_last", lambda: gm.am_greeks(1, 2, 3, 4, 5, 6, "put", option_type="call"),
     "am_greeks() got multiple values for argument 'option_type'"),
    ("too_many_beats_unknown_keyword", lambda: gm.bs_delta(1, 2, 3, 4, 5, 6, "call", 8, x=1),
     "bs_delta() takes from 5 to 7 positional arguments but 8 were given"),
    ("unknown_keyword_beats_missing", lambda: gm.bs_delta(1, 2, volatility=0.2),
     "bs_delta() got an unexpected keyword argument 'volatility'"),
    ("first_unknown_keyword_written", lambda: gm.am_rho(1, 2, 3, 4, 5, zeta=1, alpha=2),
     "am_rho() got an unexpected keyword argument 'zeta'"),
    ("names_are_case_sensitive", lambda: gm.bs_rho(1, 2, 3, 4, 5, Q=0.1),
     "bs_rho() got an unexpected keyword argument 'Q'"),
    ("lone_surrogate_keyword", lambda: gm.bs_theta(1, 2, 3, 4, 5, **{"\udcff": 1}),
     "bs_theta() got an unexpected keyword argument '\udcff'"),
    ("non_ascii_keyword", lambda: gm.bs_theta(1, 2, 3, 4, 5, **{"σ": 0.2}),
     "bs_theta() got an unexpected keyword argument 'σ'"),
]


@pytest.mark.parametrize("call,message", [c[1:] for c in BINDING_ERRORS],
                         ids=[c[0] for c in BINDING_ERRORS])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("name", ALL)
def test_keywords_in_any_order_equal_positional(name):
    function = getattr(gm, name)
    n = 7 if name in SEVEN else 6
    values = list(MARKET) + ["put"]
    positional = function(*values[:n])
    for order in (NAMES[:n], list(reversed(NAMES[:n])), NAMES[3:n] + NAMES[:3]):
        kwargs = {key: values[NAMES.index(key)] for key in order}
        assert same(function(**kwargs), positional)
    assert same(function(*values[:2], **dict(zip(NAMES[2:n], values[2:n]))), positional)


@pytest.mark.parametrize("name", ALL)
def test_defaults(name):
    function = getattr(gm, name)
    base = MARKET[:5]
    assert same(function(*base), function(*base, 0.0))
    if name in SEVEN:
        assert same(function(*base), function(*base, 0.0, "call"))
        assert same(function(*base, option_type="put"), function(*base, 0.0, "put"))


@pytest.mark.parametrize("text,put", [
    ("call", False), ("CALL", False), ("Call", False), ("cAlL", False), ("c", False),
    ("C", False), ("put", True), ("PUT", True), ("Put", True), ("p", True), ("P", True),
])
def test_accepted_option_types(text, put):
    expected = gm.bs_delta(*MARKET, "put" if put else "call")
    assert gm.bs_delta(*MARKET, option_type=text) == expected


class Text(str):
    pass


def test_str_subclass_is_accepted_as_option_type():
    assert gm.am_price(*MARKET, Text("Put")) == gm.am_price(*MARKET, "put")


@pytest.mark.parametrize("text", ["call ", " call", "", "calls", "C ", "puts", "pu", "straddle",
                                  "c\x00", "ｃａｌｌ", "\u212aall", "call\n"])
def test_rejected_option_types(text):
    with pytest.raises(ValueError) as info:
        gm.bs_rho(*MARKET, option_type=text)
    assert str(info.value) == "Invalid option type. Use 'call' or 'put'."


@pytest.mark.parametrize("value,type_name", [
    (None, "NoneType"), (b"call", "bytes"), (1, "int"), (0.5, "float"), (["call"], "list"),
])
def test_option_type_must_be_a_str(value, type_name):
    with pytest.raises(TypeError) as info:
        gm.am_delta(*MARKET, option_type=value)
    assert str(info.value) == (
        f"argument 'option_type': '{type_name}' object cannot be converted to 'PyString'")


def test_option_type_that_cannot_be_encoded_raises_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        gm.bs_delta(*MARKET, option_type="c\udcff")


@pytest.mark.parametrize("position", range(6))
def test_unconvertible_number_names_its_parameter(position):
    args = list(MARKET)
    args[position] = "100"
    with pytest.raises(TypeError) as info:
        gm.bs_delta(*args)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{NAMES[position]}': ")
    assert str(info.value) == f"argument '{NAMES[position]}': must be real number, not str"


def test_explicit_none_for_q_is_not_the_default():
    with pytest.raises(TypeError, match=r"^argument 'q': "):
        gm.bs_vega(100, 100, 1, 0.05, 0.2, q=None)


def test_number_is_reported_before_option_type_text():
    with pytest.raises(TypeError, match=r"^argument 's': "):
        gm.bs_delta("x", 2, 3, 4, 5, 0.0, "straddle")
    with pytest.raises(TypeError, match=r"^argument 'q': "):
        gm.am_price(1, 2, 3, 4, 5, "x", None)


def test_overflowing_int_raises_overflow_error_unchanged():
    with pytest.raises(OverflowError) as info:
        gm.bs_delta(10**400, 100, 1, 0.05, 0.2)
    assert not str(info.value).startswith("argument")


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __index__(self):
        return 100


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class MyTypeError(TypeError):
    pass


def test_numbers_convert_like_float():
    reference = gm.bs_delta(100.0, 100.0, 1.0, 0.05, 0.2)
    assert gm.bs_delta(100, 100, 1, Number(0.05), 0.2) == reference
    assert gm.bs_delta(Index(), 100.0, True, 0.05, 0.2) == reference
    assert gm.bs_delta(True, 1.0, 1.0, 0.05, 0.2) == gm.bs_delta(1.0, 1.0, 1.0, 0.05, 0.2)
    # -1.0 is an ordinary value, not an error marker.
    assert math.isnan(gm.bs_delta(-1.0, 100.0, 1.0, 0.05, 0.2))


def test_conversion_errors_of_other_kinds_pass_unchanged():
    with pytest.raises(ZeroDivisionError):
        gm.bs_gamma(FloatRaises(ZeroDivisionError("boom")), 1, 1, 0.05, 0.2)
    with pytest.raises(MyTypeError) as info:
        gm.bs_gamma(1, FloatRaises(MyTypeError("sub")), 1, 0.05, 0.2)
    assert str(info.value) == "sub"


def test_type_error_is_reworded_and_keeps_its_cause():
    original = TypeError("bad float")
    original.__cause__ = KeyError("root")
    with pytest.raises(TypeError) as info:
        gm.bs_gamma(1, 1, FloatRaises(original), 0.05, 0.2)
    assert str(info.value) == "argument 't': bad float"
    assert info.value is not original
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__context__ is original


def refuse():
    raise TypeError("refused on this line")


class RefusesInADeeperFrame:
    def __float__(self):
        return refuse()


def test_reworded_type_error_keeps_the_original_with_its_traceback_and_context():
    handled = KeyError("being handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(TypeError) as info:
            gm.am_vega(1, 1, 1, 0.05, RefusesInADeeperFrame())
    error = info.value
    assert str(error) == "argument 'sigma': refused on this line"
    assert error.__cause__ is None
    original = error.__context__
    assert type(original) is TypeError and str(original) == "refused on this line"
    assert original.__context__ is handled
    frames = traceback.extract_tb(original.__traceback__)
    assert [frame.name for frame in frames] == ["__float__", "refuse"]
    # The printed report shows the user's failing line.
    assert 'raise TypeError("refused on this line")' in "".join(traceback.format_exception(error))


def test_float_returning_the_wrong_type():
    with pytest.raises(TypeError, match=r"^argument 'sigma': "):
        gm.bs_vega(1, 1, 1, 0.05, Number("0.2"))
