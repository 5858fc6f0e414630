"""The records of many-valued results: the five Greeks, the value with them."""

from __future__ import annotations

from typing import Generic, NamedTuple, TypeVar

T = TypeVar("T")


class Greeks(NamedTuple, Generic[T]):
    """The five sensitivities of an option, as floats or as arrays of one shape.

    delta: per unit of spot. gamma: per unit of spot, squared.
    theta: per calendar day (negative when the option loses value with time).
    vega: per 1.0 of volatility (multiply by 0.01 for one volatility point).
    rho: per percentage point of the rate.
    """

    delta: T
    gamma: T
    theta: T
    vega: T
    rho: T


class Valuation(NamedTuple, Generic[T]):
    """The value of an option and its five Greeks, from one evaluation.

    price: in currency units; the Greeks in the units of ``Greeks``.  Each
    field equals the single function's result bit for bit.
    """

    price: T
    delta: T
    gamma: T
    theta: T
    vega: T
    rho: T
