"""The call signatures of the package's functions, for type checkers.

Every function is typed twice: all-float arguments give a float (or Greeks
of floats); anything array-like gives a float64 ndarray (or Greeks of them).
"""

from __future__ import annotations

from typing import Callable, Literal, Protocol, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._dividends import Dividends
from ._results import Greeks

Array = NDArray[np.float64]
Precision = Literal["exact", "fast"]
Accuracy = Literal["fast", "accurate", "high"]
Errors = Literal["raise", "nan"]
Method = Literal["spectral", "bjerksund-stensland"]
OptionTypes = str | ArrayLike
# progress=: False, True (a bar on stderr for long calls) or a callable of (done, total).
Progress = bool | Callable[[int, int], object]


class EuropeanValue(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> float: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 sigma: ArrayLike, q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Array: ...


class EuropeanGreeks(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Greeks[float]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 sigma: ArrayLike, q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Greeks[Array]: ...


class AmericanValue(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> float: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 sigma: ArrayLike, q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 method: Method = ..., accuracy: Accuracy = ..., precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Array: ...


class AmericanGreeks(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Greeks[float]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 sigma: ArrayLike, q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 method: Method = ..., accuracy: Accuracy = ..., precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Greeks[Array]: ...


class EuropeanImpliedVolatility(Protocol):
    @overload
    def __call__(self, price: float, s: float, k: float, t: float, r: float, q: float = ...,
                 option_type: str = ..., *, errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> float: ...
    @overload
    def __call__(self, price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike,
                 r: ArrayLike, q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Array: ...


class AmericanImpliedVolatility(Protocol):
    @overload
    def __call__(self, price: float, s: float, k: float, t: float, r: float, q: float = ...,
                 option_type: str = ..., *, accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> float: ...
    @overload
    def __call__(self, price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike,
                 r: ArrayLike, q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...,
                 dividends: Dividends | None = ...) -> Array: ...


class ExerciseBoundary(Protocol):
    @overload
    def __call__(self, tau: float, k: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...) -> float: ...
    @overload
    def __call__(self, tau: ArrayLike, k: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *,
                 accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ...,
                 progress: Progress = ...) -> Array: ...
