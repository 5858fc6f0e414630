"""greekmill: option values and Greeks for whole books at once.

    import greekmill as gm
    gm.european.greeks(s, k, t, r, sigma, q, option_type)     # arrays in, arrays out
    gm.american.price(s, k, t, r, sigma, q, "put", method="bjerksund-stensland")

See ``greekmill.european`` and ``greekmill.american``.  Every function also
takes Dask arrays, and then returns lazy Dask arrays; ``greekmill.tables``
values the rows of pandas and Dask DataFrames (both need the ``dask`` extra).
The scalar functions of ``greekmill_python`` ship beside this package, unchanged.
"""

from __future__ import annotations

import importlib
from typing import Any

from . import american, european
from ._dividends import Dividends
from ._reasons import Reason
from ._results import Greeks, Valuation

__all__ = ["Dividends", "Greeks", "Reason", "Valuation", "american", "european"]
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # greekmill.tables imports pandas when first used; ``import greekmill`` never does.
    if name == "tables":
        return importlib.import_module(".tables", __name__)
    raise AttributeError(f"module 'greekmill' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The public names and the module's own dunders; not the helpers this file
    # imports (Any, importlib, annotations) nor the private submodules.
    return sorted({*(n for n in globals() if n.startswith("__")), *__all__, "tables"})
