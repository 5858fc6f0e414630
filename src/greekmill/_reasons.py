"""Why an element of a result is NaN: ``reasons=True`` of every array function."""

from __future__ import annotations

import enum


class Reason(enum.IntEnum):
    """Why an element has no value; ``reasons=True`` gives one per element.

    The numbers are those of the ``int8`` array beside the result, and the
    names those of a table's ``reason`` column and of the ``errors="raise"``
    message.  A NaN element never has ``OK``; every other element has ``OK``
    (``valuation`` and ``greeks`` keep a finite value beside Greeks that
    overflowed, under ``NOT_REPRESENTABLE``).

    OK
        The element was computed.
    INVALID_INPUT
        An input out of the model's domain: a number not finite, ``s``, ``k``
        <= 0, ``t``, ``sigma`` < 0; or an option type that is neither a call
        nor a put (misspelt, missing).
    BELOW_LOWER_BOUND
        Implied volatility: the price is below the no-arbitrage lower bound
        (the value at zero volatility; for an American option also the
        exercise value; at ``t == 0`` the value at expiry).
    ABOVE_UPPER_BOUND
        Implied volatility: the price is at or above the upper bound (the
        value as the volatility grows without bound: the discounted spot of a
        European call, the discounted strike of a put; the spot, the strike
        for American options; at ``t == 0`` the value at expiry).
    NO_VOLATILITY_INFORMATION
        Implied volatility: every volatility (at ``t == 0``), or every low
        enough one (an American price equal to its exercise value), gives
        this price, so it determines none.
    NO_CONVERGENCE
        An iteration (implied volatility, the accurate or the dividend
        engine) did not reach its tolerance.
    NOT_REPRESENTABLE
        The inputs are in the domain but the value or a term of its formula
        lies beyond the range of a double (overflow, 0/0).
    DOUBLE_BOUNDARY
        ``exercise_boundary``: in the double-boundary regime (a put with
        q < r <= 0, a call with r < q <= 0) early exercise happens between
        two boundaries, so there is no single one to give.
    BELOW_RESOLUTION
        Implied volatility: a positive price so small (within the rounding of
        the spot or the strike of the exercise value 0) that no volatility
        can be told from another by the engine's value.
    """

    OK = 0
    INVALID_INPUT = 1
    BELOW_LOWER_BOUND = 2
    ABOVE_UPPER_BOUND = 3
    NO_VOLATILITY_INFORMATION = 4
    NO_CONVERGENCE = 5
    NOT_REPRESENTABLE = 6
    DOUBLE_BOUNDARY = 7
    BELOW_RESOLUTION = 8


# The engine's failure codes (core/batch/columns.hpp, Failure) as reasons: the
# numbers of Failure not listed (the domain checks, 1 to 7, and option types,
# 13) are invalid input.  core/batch/columns.hpp's reason_of is the same map.
_OF_FAILURE = {
    8: Reason.BELOW_LOWER_BOUND,
    9: Reason.ABOVE_UPPER_BOUND,
    10: Reason.NO_VOLATILITY_INFORMATION,
    11: Reason.NO_CONVERGENCE,
    12: Reason.NOT_REPRESENTABLE,
    14: Reason.BELOW_RESOLUTION,
    15: Reason.DOUBLE_BOUNDARY,
}


def of_failure(code: int) -> Reason:
    """The reason of one of the engine's failure codes."""
    return _OF_FAILURE.get(code, Reason.INVALID_INPUT) if code else Reason.OK


# The names by code, for the categories of a table's ``reason`` column.
NAMES = tuple(reason.name for reason in Reason)
