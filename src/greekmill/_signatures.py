"""The call signatures of the package's functions, for type checkers.

Every function is typed three times: all-float arguments give a float (or
Greeks / Valuation of floats); a pandas Series as the first argument gives a
pandas result (typed Any: pandas stays optional); anything else array-like
gives a float64 ndarray (or Greeks / Valuation of them).  ``out=`` takes the
arrays of the result.  ``reasons=True`` pairs each result with its reasons: a
``Reason`` for all-float arguments, an int8 ndarray otherwise.
"""

from __future__ import annotations

from typing import Any, Callable, Literal, Protocol, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._dividends import Dividends
from ._reasons import Reason
from ._results import Greeks, Valuation

Array = NDArray[np.float64]
# reasons=True: a greekmill.Reason code per element.
ReasonArray = NDArray[np.int8]
Precision = Literal["exact", "fast"]
Accuracy = Literal["fast", "accurate", "high"]
Errors = Literal["raise", "nan"]
Method = Literal["spectral", "bjerksund-stensland"]
OptionTypes = str | ArrayLike
# progress=: False, True (a bar on stderr for long calls) or a callable of (done, total).
Progress = bool | Callable[[int, int], object]


class SeriesLike(Protocol):
    """A pandas Series, structurally (its index and its values)."""

    @property
    def index(self) -> Any: ...
    @property
    def array(self) -> Any: ...


class EuropeanValue(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: None = ...) -> float: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Any: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Array: ...
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: None = ...) -> tuple[float, Reason]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Array, ReasonArray]: ...


class EuropeanGreeks(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: None = ...) -> Greeks[float]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array] | None = ...) -> Any: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array] | None = ...) -> Greeks[Array]: ...
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: None = ...) -> tuple[Greeks[float], Reason]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array] | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array] | None = ...) -> tuple[Greeks[Array],
                 ReasonArray]: ...


class EuropeanValuation(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: None = ...) -> Valuation[float]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array, Array] | None = ...) -> Any: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array,
                 Array] | None = ...) -> Valuation[Array]: ...
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: None = ...) -> tuple[Valuation[float], Reason]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array, Array] | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, precision: Precision = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array, Array] | None = ...) -> tuple[Valuation[Array],
                 ReasonArray]: ...


class AmericanValue(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[False] = ..., out: None = ...) -> float: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Any: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Array: ...
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[True], out: None = ...) -> tuple[float, Reason]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Array, ReasonArray]: ...


class AmericanGreeks(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[False] = ..., out: None = ...) -> Greeks[float]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array] | None = ...) -> Any: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array] | None = ...) -> Greeks[Array]: ...
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[True], out: None = ...) -> tuple[Greeks[float], Reason]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array] | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array] | None = ...) -> tuple[Greeks[Array],
                 ReasonArray]: ...


class AmericanValuation(Protocol):
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[False] = ..., out: None = ...) -> Valuation[float]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array, Array] | None = ...) -> Any: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: tuple[Array, Array, Array, Array, Array,
                 Array] | None = ...) -> Valuation[Array]: ...
    @overload
    def __call__(self, s: float, k: float, t: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, method: Method = ..., accuracy: Accuracy = ...,
                 precision: Precision = ..., errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[True], out: None = ...) -> tuple[Valuation[float], Reason]: ...
    @overload
    def __call__(self, s: SeriesLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array, Array] | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, method: Method = ...,
                 accuracy: Accuracy = ..., precision: Precision = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True], out: tuple[Array,
                 Array, Array, Array, Array, Array] | None = ...) -> tuple[Valuation[Array],
                 ReasonArray]: ...


class EuropeanImpliedVolatility(Protocol):
    @overload
    def __call__(self, price: float, s: float, k: float, t: float, r: float, q: float = ...,
                 option_type: str = ..., *, errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[False] = ..., out: None = ...) -> float: ...
    @overload
    def __call__(self, price: SeriesLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Any: ...
    @overload
    def __call__(self, price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Array: ...
    @overload
    def __call__(self, price: float, s: float, k: float, t: float, r: float, q: float = ...,
                 option_type: str = ..., *, errors: Errors = ..., threads: int | None = ...,
                 progress: Progress = ..., dividends: Dividends | None = ...,
                 reasons: Literal[True], out: None = ...) -> tuple[float, Reason]: ...
    @overload
    def __call__(self, price: SeriesLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Array, ReasonArray]: ...


class AmericanImpliedVolatility(Protocol):
    @overload
    def __call__(self, price: float, s: float, k: float, t: float, r: float, q: float = ...,
                 option_type: str = ..., *, accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: None = ...) -> float: ...
    @overload
    def __call__(self, price: SeriesLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Any: ...
    @overload
    def __call__(self, price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[False] = ...,
                 out: Array | None = ...) -> Array: ...
    @overload
    def __call__(self, price: float, s: float, k: float, t: float, r: float, q: float = ...,
                 option_type: str = ..., *, accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: None = ...) -> tuple[float, Reason]: ...
    @overload
    def __call__(self, price: SeriesLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, price: ArrayLike, s: ArrayLike, k: ArrayLike, t: ArrayLike, r: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 dividends: Dividends | None = ..., reasons: Literal[True],
                 out: Array | None = ...) -> tuple[Array, ReasonArray]: ...


class ExerciseBoundary(Protocol):
    @overload
    def __call__(self, tau: float, k: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ...,
                 reasons: Literal[False] = ..., out: None = ...) -> float: ...
    @overload
    def __call__(self, tau: SeriesLike, k: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 reasons: Literal[False] = ..., out: Array | None = ...) -> Any: ...
    @overload
    def __call__(self, tau: ArrayLike, k: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 reasons: Literal[False] = ..., out: Array | None = ...) -> Array: ...
    @overload
    def __call__(self, tau: float, k: float, r: float, sigma: float, q: float = ...,
                 option_type: str = ..., *, accuracy: Accuracy = ..., errors: Errors = ...,
                 threads: int | None = ..., progress: Progress = ..., reasons: Literal[True],
                 out: None = ...) -> tuple[float, Reason]: ...
    @overload
    def __call__(self, tau: SeriesLike, k: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 reasons: Literal[True], out: Array | None = ...) -> tuple[Any, Any]: ...
    @overload
    def __call__(self, tau: ArrayLike, k: ArrayLike, r: ArrayLike, sigma: ArrayLike,
                 q: ArrayLike = ..., option_type: OptionTypes = ..., *, accuracy: Accuracy = ...,
                 errors: Errors = ..., threads: int | None = ..., progress: Progress = ...,
                 reasons: Literal[True], out: Array | None = ...) -> tuple[Array, ReasonArray]: ...
