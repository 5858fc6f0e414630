"""The numpydoc text of the package's functions.

Each parameter is described once, with its unit and its domain; a function's
Parameters section lists the descriptions of the parameters its signature
has, in its order, so the help can never name a parameter the function does
not take or leave one out.
"""

from __future__ import annotations

import inspect
import textwrap
from typing import Any, Callable

_NUMBER = "float or array_like"

# name -> (type, description); the default comes from the signature.
PARAMETERS: dict[str, tuple[str, str]] = {
    "price": (_NUMBER, "Price of the option to invert, in currency units (those of ``s`` "
                       "and ``k``)."),
    "s": (_NUMBER, "Spot price of the underlying, in currency units; > 0."),
    "k": (_NUMBER, "Strike, in the same currency units as the spot; > 0."),
    "t": (_NUMBER, "Time to expiry in years (one day is 1/365); >= 0."),
    "tau": (_NUMBER, "Time to expiry in years at which the boundary is wanted; >= 0."),
    "r": (_NUMBER, "Risk-free rate, continuously compounded, as an annual fraction (0.05 "
                   "is 5 %); any sign."),
    "sigma": (_NUMBER, "Volatility of the underlying, as an annual fraction (0.2 is 20 %); "
                       ">= 0."),
    "q": (_NUMBER, "Continuous dividend yield, as an annual fraction (0.02 is 2 %); any "
                   "sign."),
    "option_type": ("str or array_like of str",
                    '``"call"`` or ``"put"`` (``"c"``, ``"p"``, any letter case), or an '
                    "array of them that broadcasts with the numbers."),
    "method": ('{"spectral", "bjerksund-stensland"}',
               '``"spectral"``: the accurate engine (the exercise boundary solved from its '
               'integral equation); ``"bjerksund-stensland"``: the closed form of '
               "``greekmill_python``, a lower bound that misses most of the early-exercise "
               "premium."),
    "accuracy": ('{"fast", "accurate", "high"}',
                 "Tier of the accurate engine (boundary nodes and quadrature points); the "
                 "README gives each tier's measured error and cost."),
    "precision": ('{"exact", "fast"}',
                  '``"exact"``: the bits of ``greekmill_python``, on the C library\'s '
                  'maths functions; ``"fast"``: vectorised maths of the package\'s own, '
                  "the same bits on every machine, a few ulps from ``\"exact\"``."),
    "errors": ('{"raise", "nan"}',
               '``"raise"``: an element outside the domain raises ``ValueError`` naming '
               'the parameter, its value and its index; ``"nan"``: such elements give NaN '
               "and the others are computed."),
    "threads": ("int or None",
                "Most threads to use; ``None`` uses every CPU the process may run on. The "
                "results do not depend on it."),
    "out": ("ndarray, tuple of ndarray or None",
            "Arrays of the broadcast shape (float64, C-contiguous) to write the result "
            "into, one per output; ``None`` makes new ones."),
    "progress": ("bool or callable",
                 "``True`` draws a progress bar on stderr for long calls; a callable "
                 "receives ``(done, total)``; ``False`` shows nothing."),
    "reasons": ("bool",
                "``True`` returns ``(result, reason)``: ``reason`` holds a "
                "``greekmill.Reason`` code per element, an int8 array of the result's "
                "shape (a ``Reason`` for an all-scalar call, an int8 Series on a pandas "
                "index), ``OK`` where a value was computed and why not elsewhere: every "
                "NaN has a reason other than ``OK``. The result's bits do not depend on it."),
    "dividends": ("greekmill.Dividends or None",
                  "Cash dividends of the underlying: ex-dividend times in years from today "
                  "and amounts in currency units; the spot drops by each amount at its time. "
                  "``None`` pays none (the yield ``q`` still applies)."),
    "df": ("pandas.DataFrame or dask.dataframe.DataFrame",
           "One option per row, with the columns named by ``columns``."),
    "columns": ("mapping of str to str or None",
                'Column names for parameters whose column is not named after them, e.g. '
                '``{"s": "spot", "k": "strike"}``.'),
    "greeks": ("bool", "Whether to add the five Greeks to the price."),
}

# The Returns sections of the array functions: one result, or the five Greeks.
ONE_RESULT = ("float or ndarray\n    A float when every argument is a scalar, else a new float64 "
              "array of the\n    broadcast shape: ")
GREEKS_RESULT = """\
greekmill.Greeks
    ``Greeks(delta, gamma, theta, vega, rho)`` of floats when every argument
    is a scalar, else of new float64 arrays of the broadcast shape; units as
    in ``delta`` ... ``rho`` (theta per calendar day, vega per 1.0 of
    volatility, rho per percentage point)."""

VALUATION_RESULT = """\
greekmill.Valuation
    ``Valuation(price, delta, gamma, theta, vega, rho)`` of floats when every
    argument is a scalar, else of new float64 arrays of the broadcast shape;
    the price in currency units, the Greeks in the units of ``greeks``."""

def raises_domain(more: str = "") -> str:
    """The Raises section of the pricing functions; `more` adds to ValueError."""
    return f"""\
ValueError
    With ``errors="raise"``, an element outside the domain (every number
    finite, ``s > 0``, ``k > 0``, ``t >= 0``, ``sigma >= 0``); shapes that do
    not broadcast; an unknown ``option_type`` or keyword value.{more}
TypeError
    An argument that is not a number or an array of numbers; dividend times
    or amounts that are dates, durations, text or None."""


RAISES_DOMAIN = raises_domain()


def parameters_section(function: Callable[..., Any],
                       overrides: dict[str, tuple[str, str]]) -> str:
    lines = ["Parameters", "----------"]
    for name, parameter in inspect.signature(function).parameters.items():
        kind, text = overrides.get(name) or PARAMETERS[name]
        default = ("" if parameter.default is inspect.Parameter.empty
                   else f", default {parameter.default!r}")
        lines.append(f"{name} : {kind}{default}")
        lines.append(textwrap.fill(text, 76, initial_indent="    ", subsequent_indent="    "))
    return "\n".join(lines)


def numpydoc(function: Callable[..., Any], summary: str, *, returns: str, raises: str,
             examples: str, notes: str = "",
             overrides: dict[str, tuple[str, str]] | None = None) -> str:
    """The docstring of `function`: summary, Parameters, Returns, Raises, Notes, Examples.

    `returns` and `raises` are the bodies of their sections; `examples` is
    doctest text run by the tests; `overrides` replaces the shared
    description of a parameter that means something else here.
    """
    sections = [summary.strip(), parameters_section(function, overrides or {}),
                "Returns\n-------\n" + returns.strip("\n"),
                "Raises\n------\n" + raises.strip("\n")]
    if notes:
        sections.append("Notes\n-----\n" + notes.strip("\n"))
    sections.append("Examples\n--------\n" + examples.strip("\n"))
    return "\n\n".join(sections) + "\n"
