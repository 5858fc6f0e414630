"""greekmill: option values and Greeks for whole books at once.

    import greekmill as gm
    gm.european.greeks(s, k, t, r, sigma, q, option_type)     # arrays in, arrays out
    gm.american.price(s, k, t, r, sigma, q, "put", method="bjerksund-stensland")

See ``greekmill.european`` and ``greekmill.american``.  The scalar functions of
``greekmill_python`` ship beside this package, unchanged.
"""

from __future__ import annotations

from . import american, european
from ._results import Greeks

__all__ = ["Greeks", "american", "european"]
__version__ = "0.1.0"
