"""Property tests of the Python boundary: hostile argument lists and values.

Every call of every function with any positional count (0-9), any set of
keywords (valid, unknown, repeated from a positional, non-ASCII, lone
surrogates, str subclasses) and any kind of value either returns a float or a
PyGreeks, or raises exactly the exception type and message that the binding
and conversion rules give.  The expected outcome comes from `expected`, an
independent model of those rules written here in Python; the only thing it
borrows from the interpreter is PyFloat_AsDouble itself (through ctypes),
whose behaviour the module passes on unchanged by contract.

Each generated argument list is tried on all thirteen functions.  Examples
(and so calls per function): GREEKMILL_FUZZ_EXAMPLES, default 3000; set it
to e.g. 200000 for a long run.
"""

from __future__ import annotations

import ctypes
import decimal
import fractions
import math
import os
import random
import struct
import warnings
import weakref
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import greekmill_python as gm  # noqa: E402
from hardening_support import ThreadCall, object_call, run_child  # noqa: E402

try:
    import numpy as np
except ImportError:  # numpy scalars are fuzzed only where numpy is installed
    np = None

EXAMPLES = int(os.environ.get("GREEKMILL_FUZZ_EXAMPLES", "3000"))

WITHOUT_TYPE = {"bs_gamma", "bs_vega"}
GREEKS = {"bs_greeks", "am_greeks"}
FUNCTIONS = ["bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
             "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks"]
PARAMETERS = ("s", "k", "t", "r", "sigma", "q", "option_type")
REQUIRED = 5

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


# ---------------------------------------------------------------------------
# Hostile values.

class StrSubclass(str):
    """A str subclass whose Python-level methods lie: the module must read
    the characters, not call lower() or __str__."""

    def lower(self):
        return "call"

    def __str__(self):
        return "put"


class KeyWithOtherStr(str):
    """A keyword whose str() differs from its text: messages use str()."""

    def __str__(self):
        return "renamed"


class KeyWithFailingStr(str):
    def __str__(self):
        raise ZeroDivisionError("str() of this keyword fails")


class PretendsToBeStr:
    """isinstance(x, str) is true, but the type is not a str subclass."""

    @property
    def __class__(self):
        return str


class FloatSubclass(float):
    def __float__(self):  # never consulted for a float subclass
        return 12345.0


class FloatReturnsWrongType:
    def __float__(self):
        return "1.5"


class FloatReturnsFloatSubclass:
    def __float__(self):
        return FloatSubclass(2.5)  # DeprecationWarning, an error here


class FloatRaisesValueError:
    def __float__(self):
        raise ValueError("no float for you")


class FloatRaisesTypeError:
    def __float__(self):
        raise TypeError("refused by __float__")


class CustomTypeError(TypeError):
    pass


class FloatRaisesTypeErrorSubclass:
    def __float__(self):
        raise CustomTypeError("a TypeError subclass passes unchanged")


class FloatRaisesChainedTypeError:
    def __float__(self):
        raise TypeError("chained") from KeyError("the cause survives")


class Abort(BaseException):
    pass


class FloatRaisesBaseException:
    def __float__(self):
        raise Abort("not even an Exception")


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexReturnsWrongType:
    def __index__(self):
        return 1.5


class IndexRaises:
    def __index__(self):
        raise OverflowError("from __index__")


def float_values():
    return st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
        [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, 1.7976931348623157e308,
         -1.0, 100.0, 0.05, 0.2])


def numeric_values():
    plain = [
        float_values(),
        st.integers(min_value=-(2**64), max_value=2**64),
        st.sampled_from([2**1024, -(2**1024), 10**400, 2**1023, 2**1024 - 2**970,
                         2**1024 - 2**969]),
        st.booleans(),
        float_values().map(FloatSubclass),
        st.builds(IndexOnly, st.integers(min_value=-(2**1100), max_value=2**1100)),
        st.sampled_from([decimal.Decimal("1.25"), decimal.Decimal("NaN"),
                         fractions.Fraction(1, 3), 1 + 2j]),
        st.sampled_from([None, b"100", bytearray(b"1"), "100", StrSubclass("1.0"), object(),
                         [1.0], (1.0,)]),
    ]
    hostile = st.sampled_from([FloatReturnsWrongType(), FloatReturnsFloatSubclass(),
                               FloatRaisesValueError(), FloatRaisesTypeError(),
                               FloatRaisesTypeErrorSubclass(), FloatRaisesChainedTypeError(),
                               FloatRaisesBaseException(), IndexReturnsWrongType(), IndexRaises(),
                               PretendsToBeStr()])
    plain += [hostile, hostile]
    if np is not None:
        plain.append(st.sampled_from([np.float64(1.5), np.float32(-2.25), np.float16(0.5),
                                      np.int64(-7), np.uint8(200), np.bool_(True),
                                      np.longdouble(3.5), np.float64("nan"),
                                      np.str_("call")]))
    return st.one_of(*plain)


def option_type_texts():
    words = st.sampled_from(["call", "put", "c", "p"])
    recased = st.tuples(words, st.randoms(use_true_random=False)).map(
        lambda wr: "".join(ch.upper() if wr[1].random() < 0.5 else ch for ch in wr[0]))
    odd = st.sampled_from([
        "", " call", "call ", "\tput", "call\x00", "\x00", "p\x00", "calls", "pu", "ca", "C ",
        "c\udcff", "\ud800", "put\udfff", "ｃａｌｌ", "ＰＵＴ", "ｃ", "cALl\u200b", "puT\u0307",
        "\u212a", "İ", "straddle", "CALL" * 3,
    ])
    surrogate = st.tuples(recased, st.integers(0xD800, 0xDFFF), st.integers(0, 4)).map(
        lambda t: t[0][:t[2]] + chr(t[1]) + t[0][t[2]:])
    return st.one_of(recased, odd, surrogate, st.text(max_size=6))


def option_type_values():
    texts = option_type_texts()
    others = [texts.map(StrSubclass), st.sampled_from([None, b"call", 1, 1.0, PretendsToBeStr(),
                                                       ["call"], object()])]
    if np is not None:
        others.append(texts.filter(lambda t: "\x00" not in t).map(np.str_))
    return st.one_of(texts, texts, *others)


FLOATS = float_values()
NUMBERS = numeric_values()
OPTION_TYPES = option_type_values()
NUMBERS_OR_OPTION_TYPES = NUMBERS | OPTION_TYPES
KEY_NAMES = st.one_of(
    st.sampled_from(PARAMETERS),
    st.sampled_from(PARAMETERS).map(StrSubclass),
    st.sampled_from(["S", "Sigma", "x", "option", "optionType", "q ", "sigma2", "self",
                     "σ", "ｓ", "ŝ", "s\u0301", "\udcff", "s\udc80", "option_type\x00", ""]),
    st.sampled_from(["zz", "k"]).map(KeyWithOtherStr),
    st.just(KeyWithFailingStr("nope")),
    st.text(max_size=4),
)


@dataclass
class Call:
    name: str
    args: tuple
    kwargs: dict = field(default_factory=dict)

    def __repr__(self):
        return f"{self.name}(*{self.args!r}, **{self.kwargs!r})"


@st.composite
def argument_lists(draw):
    """(args, kwargs) for any of the functions: each drawn list is tried on
    all thirteen, which bind it against their six or seven parameters."""
    positional = draw(st.integers(min_value=0, max_value=9))
    # Most calls are well formed up to their values, so that the value paths
    # get as much traffic as the binding errors.
    tidy = draw(st.booleans())
    args = []
    for i in range(positional):
        if i == 6 and draw(st.integers(0, 3)) > 0:
            args.append(draw(OPTION_TYPES))
        elif tidy or i < 6:
            args.append(draw(FLOATS if tidy and draw(st.integers(0, 3)) > 0 else NUMBERS))
        else:
            args.append(draw(NUMBERS_OR_OPTION_TYPES))
    if tidy:
        names = [p for p in PARAMETERS[positional:] if draw(st.booleans()) or
                 PARAMETERS.index(p) < REQUIRED]
        names = draw(st.permutations(names))
    else:
        names = draw(st.lists(KEY_NAMES, max_size=8))
    kwargs = {}
    for key in names:
        kwargs[key] = draw(OPTION_TYPES if key == "option_type" else FLOATS if tidy else NUMBERS)
    return tuple(args), kwargs


# ---------------------------------------------------------------------------
# The model.

@dataclass(frozen=True)
class Returns:
    doubles: tuple
    option_type: str | None  # canonical "call"/"put", None without the parameter


@dataclass(frozen=True)
class Raises:
    type: type
    message: str
    cause: object = None  # a model of __cause__: (type, message) or None
    kind: str = ""
    original: object = None  # the reworded exception, (type, message), kept as __context__


MISSING = object()


def utf8_or_none(text: str):
    try:
        return str.encode(text, "utf-8").decode("utf-8")
    except UnicodeEncodeError:
        return None


def interpreter_as_double(value):
    """(double, None) or (None, exception), as PyFloat_AsDouble gives them."""
    try:
        return _as_double(value), None
    except BaseException as error:  # noqa: BLE001 - any exception is an outcome
        return None, error


def parameter_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def expected(call: Call):
    name = call.name
    params = PARAMETERS[:6] if name in WITHOUT_TYPE else PARAMETERS
    n, m = len(params), len(call.args)
    slots = [MISSING] * n
    for i in range(min(m, n)):
        slots[i] = call.args[i]
    if m > n:
        return Raises(TypeError, f"{name}() takes from {REQUIRED} to {n} positional arguments "
                                 f"but {m} {'was' if m == 1 else 'were'} given", kind="too many")
    for key, value in call.kwargs.items():
        text = utf8_or_none(key)
        if text not in params:
            try:
                shown = str(key)
            except BaseException as error:  # noqa: BLE001
                return Raises(type(error), str(error), kind="keyword str() fails")
            return Raises(TypeError, f"{name}() got an unexpected keyword argument '{shown}'",
                          kind="unexpected keyword")
        i = params.index(text)
        if slots[i] is not MISSING:
            return Raises(TypeError, f"{name}() got multiple values for argument '{text}'",
                          kind="multiple values")
        slots[i] = value
    if m < REQUIRED and any(slots[i] is MISSING for i in range(m, REQUIRED)):
        missing = [params[i] for i in range(REQUIRED) if slots[i] is MISSING]
        word = "argument" if len(missing) == 1 else "arguments"
        return Raises(TypeError, f"{name}() missing {len(missing)} required positional {word}: "
                                 f"{parameter_list(missing)}", kind="missing")
    doubles = []
    for i in range(6):
        if slots[i] is MISSING:  # only q can be absent here
            doubles.append(0.0)
            continue
        value, error = interpreter_as_double(slots[i])
        if error is None:
            doubles.append(value)
            continue
        if type(error) is TypeError:
            cause = error.__cause__
            return Raises(TypeError, f"argument '{params[i]}': {error}",
                          None if cause is None else (type(cause), str(cause)),
                          kind="number TypeError", original=(type(error), str(error)))
        return Raises(type(error), str(error), kind="number other error")
    option_type = None
    if name not in WITHOUT_TYPE:
        option_type = "call"
        if slots[6] is not MISSING:
            value = slots[6]
            if not issubclass(type(value), str):
                return Raises(TypeError, f"argument 'option_type': '{type(value).__qualname__}' "
                                         "object cannot be converted to 'PyString'",
                              kind="option_type not str")
            try:
                str.encode(value, "utf-8")
            except UnicodeEncodeError as error:
                return Raises(UnicodeEncodeError, str(error), kind="option_type not UTF-8")
            lowered = str.lower(value)  # full Unicode mapping, of the characters
            if lowered in ("call", "c"):
                option_type = "call"
            elif lowered in ("put", "p"):
                option_type = "put"
            else:
                return Raises(ValueError, "Invalid option type. Use 'call' or 'put'.",
                              kind="option_type text")
    return Returns(tuple(doubles), option_type)


# ---------------------------------------------------------------------------
# The properties.

def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def result_bits(result):
    if type(result) is float:
        return bits(result)
    return tuple(bits(getattr(result, a)) for a in ("delta", "gamma", "theta", "vega", "rho"))


def call_with_a_copy(function, args, kwargs):
    return function(*args, **kwargs)


def check(call: Call, tally: Counter, model_call: Call | None = None, invoke=call_with_a_copy):
    """Calls `call` through `invoke` and compares with the model, which
    evaluates `model_call` (a twin of `call` when conversions have effects)."""
    function = getattr(gm, call.name)
    with warnings.catch_warnings():
        # A __float__ returning a float subclass warns; as an error it is an
        # ordinary exception that both the model and the module see.
        warnings.simplefilter("error")
        model = expected(model_call or call)
        try:
            result = invoke(function, call.args, call.kwargs)
        except BaseException as error:  # noqa: BLE001
            raised = error
        else:
            raised = None
    if isinstance(model, Raises):
        assert raised is not None, f"{call} returned {result!r}; expected {model}"
        assert type(raised) is model.type, f"{call} raised {raised!r}; expected {model}"
        assert str(raised) == model.message, f"{call} raised {raised!r}; expected {model}"
        if model.kind == "number TypeError":
            cause = raised.__cause__
            got = None if cause is None else (type(cause), str(cause))
            assert got == model.cause, f"{call}: __cause__ {cause!r}; expected {model.cause}"
            # The exception the conversion raised is the context, with its own
            # cause: nothing of the original is lost.
            original = raised.__context__
            assert (type(original), str(original)) == model.original, f"{call}: {original!r}"
            assert original.__cause__ is cause, call
        tally[model.kind] += 1
        return
    assert raised is None, f"{call} raised {raised!r}; expected a result"
    assert type(result) is (gm.PyGreeks if call.name in GREEKS else float), f"{call}: {result!r}"
    # Every value landed in its own parameter, converted as the interpreter
    # converts it: the same call written with plain floats gives the same bits.
    plain = model.doubles if model.option_type is None else (*model.doubles, model.option_type)
    assert result_bits(result) == result_bits(function(*plain)), call
    tally["returned"] += 1


EVERY_KIND = {"returned", "too many", "unexpected keyword", "multiple values", "missing",
              "number TypeError", "number other error", "option_type not str",
              "option_type not UTF-8", "option_type text", "keyword str() fails"}


def test_every_call_returns_a_result_or_raises_what_the_binding_rules_give():
    tallies = {name: Counter() for name in FUNCTIONS}

    @settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(arguments=argument_lists())
    def property_holds(arguments):
        args, kwargs = arguments
        for name in FUNCTIONS:
            check(Call(name, args, kwargs), tallies[name])

    property_holds()
    # The generator reaches every outcome for every function: a fuzzer that
    # only ever produced binding errors would pass vacuously.
    for name, tally in tallies.items():
        wanted = EVERY_KIND - ({"option_type not str", "option_type not UTF-8",
                                "option_type text"} if name in WITHOUT_TYPE else set())
        if EXAMPLES >= 1000:
            assert wanted <= set(tally), f"{name} never reached {wanted - set(tally)}: {tally}"
        assert tally["returned"] > 0, tally
        assert sum(tally.values()) >= EXAMPLES


@pytest.mark.parametrize(("call", "kind"), [
    pytest.param(Call("bs_delta", (1.0, 2.0, 3.0, 4.0, 5.0), {KeyWithFailingStr("x"): 1.0}),
                 ZeroDivisionError, id="keyword-whose-str-raises"),
    pytest.param(Call("bs_delta", (FloatRaisesChainedTypeError(), 1.0, 1.0, 1.0, 1.0)),
                 TypeError, id="chained-TypeError-keeps-its-cause"),
    pytest.param(Call("bs_vega", (1.0, 1.0, 1.0, 1.0, 1.0, FloatRaisesTypeErrorSubclass())),
                 CustomTypeError, id="TypeError-subclass-is-not-reworded"),
    pytest.param(Call("am_theta", (1.0, 1.0, 1.0, 1.0, 1.0, FloatReturnsFloatSubclass())),
                 DeprecationWarning, id="float-subclass-from-dunder-float-warns"),
    pytest.param(Call("am_greeks", (1.0, 1.0, 1.0, 1.0, 1.0), {"option_type": StrSubclass("PuT")}),
                 None, id="str-subclass-read-by-its-characters"),
    pytest.param(Call("am_price", (1.0, 1.0, 1.0, 1.0, 1.0), {"option_type": PretendsToBeStr()}),
                 TypeError, id="isinstance-str-impostor"),
    pytest.param(Call("bs_theta", (1.0, 1.0, 1.0, 1.0, 1.0), {"\udcff": 1.0}),
                 TypeError, id="lone-surrogate-keyword"),
    pytest.param(Call("bs_rho", (2**1024 - 2**970, 1.0, 1.0, 1.0, 1.0)), OverflowError,
                 id="int-just-above-largest-double"),
])
def test_hostile_inputs_found_by_fuzzing_stay_covered(call, kind):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = expected(call)
    assert (model.type if isinstance(model, Raises) else None) is kind
    check(call, Counter())


# ---------------------------------------------------------------------------
# Callers that keep their own keyword dictionary.
#
# `f(**d)` hands the function a copy of d, but C callers pass theirs as it is:
# _thread.start_new_thread(f, args, d) from plain Python, PyObject_Call(f,
# args, d) from any extension.  The conversions (user code) then run while the
# dictionary is the call's: here they clear, refill, rewrite or thin it out,
# change the other argument objects, and leave fresh garbage of other types
# where the dropped values were.  Every argument must keep the object it was
# bound to.  The model evaluates a twin of the same scene in parameter order,
# so it sees the same effects in the same order.

MEDDLING_EXAMPLES = max(100, EXAMPLES // 6)
ACTIONS = ("clear", "refill", "rewrite", "thin", "boxes", "nothing")

class Scene:
    """The containers and objects of one call, and what its conversions do
    to them."""

    def __init__(self):
        self.kwargs = {}
        self.boxes = []  # weak references: a box the dictionary drops dies
        self.garbage = []
        self.thread_call = None  # a ThreadCall when the call runs on a new thread

    def entered(self):
        """Called by every conversion of the scene's objects."""
        if self.thread_call is not None:
            self.thread_call.entered()

    def act(self, action, seed):
        self.entered()
        d = self.kwargs
        if action == "clear":
            d.clear()
        elif action == "refill":  # the same keys, other objects of other types
            keys = list(d)
            d.clear()
            for i, key in enumerate(keys):
                d[key] = ("".join(["pu", "t"]), fresh_float(seed + i), range(seed), IndexOnly(i),
                          StrSubclass("call"))[i % 5]
        elif action == "rewrite":
            for i, key in enumerate(list(d)):
                d[key] = fresh_float(seed * 0.5 + i)
        elif action == "thin":
            for key in list(d)[::2]:
                del d[key]
        elif action == "boxes":
            for ref in self.boxes:
                box = ref()
                if box is not None:
                    box.value = -box.value - 1.0
        rng = random.Random(seed)
        self.garbage += [[float(i) + 0.5 for i in range(rng.randrange(1, 2000))],
                         ["".join(["x"] * rng.randrange(1, 12)) for _ in range(rng.randrange(200))],
                         [range(i) for i in range(rng.randrange(100))]]


class Box:
    """A number whose value another argument's conversion may change."""

    def __init__(self, scene, value):
        self.scene, self.value = scene, value
        scene.boxes.append(weakref.ref(self))

    def __float__(self):
        self.scene.entered()
        return self.value


class Meddler:
    """A number whose conversion first does `action` to the scene; then it
    returns its value or raises a TypeError (reworded by the module)."""

    def __init__(self, scene, value, action, seed, raises):
        self.scene, self.value, self.action, self.seed, self.raises = (
            scene, value, action, seed, raises)

    def __float__(self):
        self.scene.act(self.action, self.seed)
        if self.raises:
            raise TypeError(f"meddled with {self.action}")
        return self.value


class MeddlingKey(str):
    """An unknown keyword whose str(), taken for the error message, empties
    the dictionary that holds it."""

    scene = None

    def __str__(self):
        self.scene.act("clear", 7)
        return "renamed"


def fresh_float(x: float) -> float:
    return float(repr(x))


@dataclass(frozen=True)
class Plan:
    name: str
    parameters: tuple  # the names passed
    positional: int  # how many of them go in the tuple
    values: tuple  # per name: (kind, value, action, seed, raises)
    extra: str  # "", "unknown" (a MeddlingKey) or "repeated" (a positional one again)


@st.composite
def plans(draw):
    name = draw(st.sampled_from(FUNCTIONS))
    parameters = list(PARAMETERS[:REQUIRED])
    if draw(st.booleans()):
        parameters.append("q")
    if name not in WITHOUT_TYPE and draw(st.booleans()):
        parameters.append("option_type")
    positional = draw(st.integers(0, len(parameters)))
    keywords = draw(st.permutations(parameters[positional:]))
    meddled = draw(st.integers(0, REQUIRED - 1))  # one conversion always meddles
    values = {}
    for i, parameter in enumerate(parameters):
        if parameter == "option_type":
            kind = draw(st.sampled_from(["text", "text", "str-subclass", "bytes"]))
            value = draw(st.sampled_from(["call", "put", "C", "pUt", "straddle"]))
            values[parameter] = (kind, value, "", 0, False)
            continue
        kind = "meddler" if i == meddled else draw(
            st.sampled_from(["float", "subclass", "box", "meddler"]))
        values[parameter] = (kind, draw(FLOATS), draw(st.sampled_from(ACTIONS)),
                             draw(st.integers(1, 10**6)), draw(st.integers(0, 9)) == 0)
    extra = draw(st.sampled_from(["", "", "", "unknown", "repeated"]))
    return Plan(name, tuple(parameters[:positional]) + tuple(keywords), positional,
                tuple(values[p] for p in parameters[:positional]) +
                tuple(values[p] for p in keywords), extra)


def stage(plan: Plan) -> tuple[Scene, Call]:
    """A new scene of the plan: fresh objects, referenced only by the call's
    tuple and dictionary (and the scene's weak references)."""
    scene = Scene()

    def make(kind, value, action, seed, raises):
        if kind == "float":
            return fresh_float(value)
        if kind == "subclass":
            return FloatSubclass(value)
        if kind == "box":
            return Box(scene, value)
        if kind == "meddler":
            return Meddler(scene, value, action, seed, raises)
        if kind == "text":
            return "".join(list(value))  # a str nobody else holds
        if kind == "str-subclass":
            return StrSubclass(value)
        return value.encode()

    objects = [make(*spec) for spec in plan.values]
    args = tuple(objects[:plan.positional])
    for parameter, value in zip(plan.parameters[plan.positional:], objects[plan.positional:]):
        scene.kwargs[parameter] = value
    if plan.extra == "unknown":
        key = MeddlingKey("zz")
        key.scene = scene
        scene.kwargs[key] = fresh_float(1.0)
    elif plan.extra == "repeated" and plan.positional > 0:
        scene.kwargs[plan.parameters[0]] = fresh_float(2.0)
    del objects
    return scene, Call(plan.name, args, scene.kwargs)


def test_conversions_that_change_the_callers_own_dictionary_leave_every_argument_bound():
    tally = Counter()

    @settings(max_examples=MEDDLING_EXAMPLES, deadline=None, database=None, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(plan=plans())
    def property_holds(plan):
        # PyObject_Call: the result itself is compared.
        _, model_call = stage(plan)
        _, call = stage(plan)
        check(call, tally, model_call, invoke=object_call)
        # A new thread: only the outcome is seen.
        _, model_call = stage(plan)
        scene, call = stage(plan)
        model = expected(model_call)
        scene.thread_call = ThreadCall()
        error = scene.thread_call.run(getattr(gm, plan.name), call.args, call.kwargs)
        if isinstance(model, Raises):
            assert (type(error), str(error)) == (model.type, model.message), (plan, error)
        else:
            assert error is None, (plan, error)
        for _, _, action, _, _ in plan.values:
            tally[action] += 1

    property_holds()
    assert tally["returned"] > 0 and tally["number TypeError"] > 0, tally
    assert {"unexpected keyword", "multiple values"} <= set(tally), tally
    assert set(ACTIONS) <= set(tally), tally


# The report's reproducer, a thousand times over in one interpreter, on a new
# thread and through PyObject_Call, with garbage of varying kinds and sizes
# taking the memory of the freed arguments.  Before the call owned its
# arguments this crashed, or raised a TypeError naming whatever object took
# a freed string's place.
REPRODUCER = """
import _thread, random, threading
import greekmill_python as gm
loaded_from_build()
import ctypes
object_call = ctypes.pythonapi.PyObject_Call
object_call.argtypes = [ctypes.py_object] * 3
object_call.restype = ctypes.py_object
thread_data = threading.local()

class ThreadEnd:
    def __init__(self, lock):
        self.lock = lock
    def __del__(self):
        self.lock.release()

class Evil:
    def __init__(self, d, size, kind, finished):
        self.d, self.size, self.kind, self.finished = d, size, kind, finished
    def __float__(self):
        if self.finished is not None:
            thread_data.end = ThreadEnd(self.finished)
        self.d.clear()
        make = (lambda i: float(i) + 0.5, lambda i: str(i) * 3, range, lambda i: (i, i))[self.kind]
        junk = [make(i) for i in range(self.size)]
        return 100.0

class F(float):
    pass

reported = []
sys.unraisablehook = lambda unraisable: reported.append(repr(unraisable.exc_value))
rng = random.Random(20261208)
results = set()
for _ in range(1000):
    for on_thread in (True, False):
        finished = _thread.allocate_lock() if on_thread else None
        if finished is not None:
            finished.acquire()
        d = {}
        d["s"] = Evil(d, rng.randrange(1, 4000), rng.randrange(4), finished)
        d["k"] = F(100.0); d["t"] = F(1.0); d["r"] = F(0.05); d["sigma"] = F(0.2)
        d["option_type"] = "".join(["p", "ut"])
        if on_thread:
            _thread.start_new_thread(gm.bs_delta, (), d)
            del d
            assert finished.acquire(timeout=60)
        else:
            results.add(object_call(gm.bs_delta, (), d).hex())
print(json.dumps({"reported": reported, "results": sorted(results)}))
"""


def test_the_reproducer_of_the_emptied_dictionary_runs_a_thousand_times_without_a_crash():
    build = Path(gm.__file__).resolve().parent
    report = run_child(build, REPRODUCER)
    assert report == {"reported": [], "results": [(-0.3631693488243809).hex()]}
