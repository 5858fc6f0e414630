"""Module metadata: registration order, __all__, docstrings, text signatures."""

import inspect

import pytest

import greekmill_python as gm

FUNCTIONS = [
    "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
    "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks",
]
WITHOUT_OPTION_TYPE = {"bs_gamma", "bs_vega"}

# Each result's unit, on the line after its name.
DELTA = "\n    the change in value per unit change of the spot"
GAMMA = "\n    the change in delta per unit change of the spot"
THETA = "\n    the change in value per calendar day, in currency units"
VEGA = ("\n    the change in value per 1.0 of volatility (0.01 for one volatility point),\n"
        "    in currency units")
RHO = "\n    the change in value per percentage point of the rate, in currency units"
GREEKS = ("A Greeks object with delta, gamma, theta (per day), vega (per 1.0 of\n"
          "    volatility) and rho (per 1% change in interest rate)")
SUMMARIES = {
    "bs_delta": ("Calculate the delta of a European option using Black-Scholes.",
                 f"The delta of the option:{DELTA}"),
    "bs_gamma": ("Calculate the gamma of a European option using Black-Scholes.",
                 f"The gamma of the option (same for calls and puts):{GAMMA}"),
    "bs_theta": ("Calculate the theta of a European option using Black-Scholes.",
                 f"The theta of the option (per day: the annual rate / 365):{THETA}"),
    "bs_vega": ("Calculate the vega of a European option using Black-Scholes.",
                f"The vega of the option (same for calls and puts):{VEGA}"),
    "bs_rho": ("Calculate the rho of a European option using Black-Scholes.",
               f"The rho of the option (per 1% change in interest rate):{RHO}"),
    "bs_greeks": ("Calculate all Greeks for a European option using Black-Scholes.", GREEKS),
    "am_price": ("Calculate the price of an American option using Bjerksund-Stensland 2002.",
                 "The price of the American option, in currency units"),
    "am_delta": ("Calculate the delta of an American option using Bjerksund-Stensland.",
                 f"The delta of the American option:{DELTA}"),
    "am_gamma": ("Calculate the gamma of an American option using Bjerksund-Stensland.",
                 f"The gamma of the American option:{GAMMA}"),
    "am_theta": ("Calculate the theta of an American option using Bjerksund-Stensland.",
                 "The theta of the American option (per day: the change in value when\n"
                 "    expiry comes one day closer), in currency units"),
    "am_vega": ("Calculate the vega of an American option using Bjerksund-Stensland.",
                f"The vega of the American option:{VEGA}"),
    "am_rho": ("Calculate the rho of an American option using Bjerksund-Stensland.",
               f"The rho of the American option (per 1% change in interest rate):{RHO}"),
    "am_greeks": ("Calculate all Greeks for an American option using Bjerksund-Stensland.",
                  GREEKS),
}


def expected_doc(name: str) -> str:
    """Every parameter with its unit, the result with its unit."""
    summary, returns = SUMMARIES[name]
    lines = [
        summary,
        "",
        "Args:",
        "    s: Current price of the underlying asset, in currency units",
        "    k: Strike price of the option, in the same currency units",
        "    t: Time to expiration in years (one day is 1/365)",
        "    r: Risk-free interest rate, continuously compounded, as an annual",
        "       fraction (e.g., 0.05 for 5%)",
        "    sigma: Volatility of the underlying asset, as an annual fraction",
        "       (e.g., 0.2 for 20%)",
        "    q: Continuous dividend yield, as an annual fraction (e.g., 0.01 for 1%);",
        "       default 0.0",
    ]
    if name not in WITHOUT_OPTION_TYPE:
        lines.append("    option_type: 'call' or 'put' ('c', 'p', any letter case); default 'call'")
    lines += ["", "Returns:", "    " + returns]
    return "\n".join(lines)


def test_all_lists_the_functions_then_the_class_in_registration_order():
    assert gm.__all__ == FUNCTIONS + ["PyGreeks"]
    for name in gm.__all__:
        assert hasattr(gm, name)


def test_module_docstring():
    assert gm.__doc__ == (
        "Python module for option pricing Greeks calculations.\n"
        "\n"
        "This module provides functions for calculating option Greeks using:\n"
        "- Black-Scholes model (European options): bs_* functions\n"
        "- Bjerksund-Stensland model (American options): am_* functions"
    )


def test_extension_is_built_for_the_stable_abi():
    assert gm.__file__.endswith(".abi3.so")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(name):
    function = getattr(gm, name)
    assert function.__name__ == name
    assert function.__module__ == "greekmill_python"
    assert function.__self__ is gm
    assert function.__doc__ == expected_doc(name)
    if name in WITHOUT_OPTION_TYPE:
        assert function.__text_signature__ == "(s, k, t, r, sigma, q=0.0)"
    else:
        assert function.__text_signature__ == '(s, k, t, r, sigma, q=0.0, option_type="call")'


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_through_inspect(name):
    parameters = inspect.signature(getattr(gm, name)).parameters
    expected = ["s", "k", "t", "r", "sigma", "q"]
    if name not in WITHOUT_OPTION_TYPE:
        expected.append("option_type")
    assert list(parameters) == expected
    for p in parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert [p.default for p in parameters.values()][5:] == [0.0, "call"][: len(expected) - 5]
    for p in list(parameters.values())[:5]:
        assert p.default is inspect.Parameter.empty

