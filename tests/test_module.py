"""Module metadata: registration order, __all__, docstrings, text signatures."""

import inspect

import pytest

import greekmill_python as gm

FUNCTIONS = [
    "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho", "bs_greeks",
    "am_price", "am_delta", "am_gamma", "am_theta", "am_vega", "am_rho", "am_greeks",
]
WITHOUT_OPTION_TYPE = {"bs_gamma", "bs_vega"}

SUMMARIES = {
    "bs_delta": ("Calculate the delta of a European option using Black-Scholes.",
                 "The delta of the option"),
    "bs_gamma": ("Calculate the gamma of a European option using Black-Scholes.",
                 "The gamma of the option (same for calls and puts)"),
    "bs_theta": ("Calculate the theta of a European option using Black-Scholes.",
                 "The theta of the option (per day)"),
    "bs_vega": ("Calculate the vega of a European option using Black-Scholes.",
                "The vega of the option (same for calls and puts)"),
    "bs_rho": ("Calculate the rho of a European option using Black-Scholes.",
               "The rho of the option (per 1% change in interest rate)"),
    "bs_greeks": ("Calculate all Greeks for a European option using Black-Scholes.",
                  "A Greeks object with delta, gamma, theta, vega, and rho"),
    "am_price": ("Calculate the price of an American option using Bjerksund-Stensland 2002.",
                 "The price of the American option"),
    "am_delta": ("Calculate the delta of an American option using Bjerksund-Stensland.",
                 "The delta of the American option"),
    "am_gamma": ("Calculate the gamma of an American option using Bjerksund-Stensland.",
                 "The gamma of the American option"),
    "am_theta": ("Calculate the theta of an American option using Bjerksund-Stensland.",
                 "The theta of the American option (per day)"),
    "am_vega": ("Calculate the vega of an American option using Bjerksund-Stensland.",
                "The vega of the American option"),
    "am_rho": ("Calculate the rho of an American option using Bjerksund-Stensland.",
               "The rho of the American option (per 1% change in interest rate)"),
    "am_greeks": ("Calculate all Greeks for an American option using Bjerksund-Stensland.",
                  "A Greeks object with delta, gamma, theta, vega, and rho"),
}


def expected_doc(name: str) -> str:
    summary, returns = SUMMARIES[name]
    example = name == "bs_delta"
    lines = [
        summary,
        "",
        "Args:",
        "    s: Current price of the underlying asset",
        "    k: Strike price of the option",
        "    t: Time to expiration in years",
        "    r: Risk-free interest rate" + (" (e.g., 0.05 for 5%)" if example else ""),
        "    sigma: Volatility of the underlying asset" + (" (e.g., 0.2 for 20%)" if example else ""),
        "    q: Dividend yield" + (" (e.g., 0.01 for 1%)" if example else ""),
    ]
    if name not in WITHOUT_OPTION_TYPE:
        lines.append("    option_type: 'call' or 'put'")
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


def test_pygreeks_descriptors_have_the_empty_docstring():
    # The units live in the type stubs and the README, not in the module.
    for name in ("delta", "gamma", "theta", "vega", "rho"):
        assert vars(gm.PyGreeks)[name].__doc__ == ""
